#pragma once

#include "services/LoginItemService.h"
#include "support/Errors.h"

#include <optional>
#include <string>

namespace tesselwick::platform::fake {

// A login-item service whose status the test sets. Registering moves it to the
// configured status; a failing unregistration leaves it.
class FakeLoginItemService final : public services::LoginItemService {
public:
    services::LoginItemStatus currentStatus = services::LoginItemStatus::notRegistered;
    services::LoginItemStatus statusAfterRegister = services::LoginItemStatus::enabled;
    std::optional<std::string> unregisterError;

    services::LoginItemStatus status() const override { return currentStatus; }

    void registerItem() override { currentStatus = statusAfterRegister; }

    void unregisterItem() override {
        if (unregisterError) {
            throw DomainError("Tesselwick.LoginItem", 2, *unregisterError);
        }
        currentStatus = services::LoginItemStatus::notRegistered;
    }
};

} // namespace tesselwick::platform::fake
