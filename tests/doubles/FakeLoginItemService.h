#pragma once

#include "services/LoginItemService.h"
#include "support/Errors.h"

#include <optional>
#include <string>

namespace tesselwick::platform::fake {

// A login-item service whose status and outcomes the test sets. A successful
// call moves the status to the configured one; a failing call leaves it.
class FakeLoginItemService final : public services::LoginItemService {
public:
    services::LoginItemStatus currentStatus = services::LoginItemStatus::notRegistered;
    services::LoginItemStatus statusAfterRegister = services::LoginItemStatus::enabled;
    std::optional<std::string> registerError;
    std::optional<std::string> unregisterError;
    int registerCalls = 0;
    int unregisterCalls = 0;

    services::LoginItemStatus status() const override { return currentStatus; }

    void registerItem() override {
        ++registerCalls;
        if (registerError) {
            throw DomainError("Tesselwick.LoginItem", 1, *registerError);
        }
        currentStatus = statusAfterRegister;
    }

    void unregisterItem() override {
        ++unregisterCalls;
        if (unregisterError) {
            throw DomainError("Tesselwick.LoginItem", 2, *unregisterError);
        }
        currentStatus = services::LoginItemStatus::notRegistered;
    }
};

} // namespace tesselwick::platform::fake
