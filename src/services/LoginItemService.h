#pragma once

namespace tesselwick::services {

enum class LoginItemStatus {
    notRegistered,
    enabled,
    requiresApproval,
    notFound,
};

// The platform's login-item registration of the running application. Calls
// are synchronous; failures throw a DomainError whose text is for the user.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual LoginItemStatus status() const = 0;
    virtual void registerItem() = 0;
    virtual void unregisterItem() = 0;
};

} // namespace tesselwick::services
