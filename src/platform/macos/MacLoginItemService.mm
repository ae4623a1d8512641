// Written from Apple's documentation of SMAppService (+mainAppService, -status,
// -registerAndReturnError:, -unregisterAndReturnError:, SMAppServiceStatus),
// available from macOS 13, below the build's deployment target. Compiled with
// ARC.
#include "platform/macos/MacPlatform.h"
#include "support/Errors.h"

#include <cstdint>
#include <string>

#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

namespace tesselwick::platform::macos {

namespace {

DomainError toDomainError(NSError* error) {
    if (error == nil) {
        return DomainError("Tesselwick.LoginItem", 1, "The login item could not be changed.");
    }
    const char* domain = error.domain.UTF8String;
    const char* message = error.localizedDescription.UTF8String;
    return DomainError(domain != nullptr ? domain : "Tesselwick.LoginItem",
                       static_cast<std::int64_t>(error.code), message != nullptr ? message : "");
}

class MacLoginItemService final : public services::LoginItemService {
public:
    services::LoginItemStatus status() const override {
        switch (SMAppService.mainAppService.status) {
        case SMAppServiceStatusEnabled:
            return services::LoginItemStatus::enabled;
        case SMAppServiceStatusRequiresApproval:
            return services::LoginItemStatus::requiresApproval;
        case SMAppServiceStatusNotFound:
            return services::LoginItemStatus::notFound;
        case SMAppServiceStatusNotRegistered:
        default:
            return services::LoginItemStatus::notRegistered;
        }
    }

    void registerItem() override {
        NSError* error = nil;
        if (![SMAppService.mainAppService registerAndReturnError:&error]) {
            throw toDomainError(error);
        }
    }

    void unregisterItem() override {
        NSError* error = nil;
        if (![SMAppService.mainAppService unregisterAndReturnError:&error]) {
            throw toDomainError(error);
        }
    }
};

} // namespace

std::shared_ptr<services::LoginItemService> makeLoginItemService() {
    return std::make_shared<MacLoginItemService>();
}

} // namespace tesselwick::platform::macos
