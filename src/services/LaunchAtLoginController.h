#pragma once

#include "services/LoginItemService.h"

namespace tesselwick::services {

// The message shown when the platform accepted the registration but holds it
// for the user's approval.
inline constexpr const char* kLoginItemApprovalMessage =
    "macOS accepted the login item request, but it still needs approval in System Settings → "
    "General → Login Items.";

// Wraps the one login-item service of the running application.
class LaunchAtLoginController {
public:
    explicit LaunchAtLoginController(LoginItemService& service) : service_(service) {}

    LoginItemStatus status() const { return service_.status(); }
    // A registration waiting for approval counts as on.
    bool isEnabled() const { return isOn(status()); }
    static bool isOn(LoginItemStatus status) {
        return status == LoginItemStatus::enabled || status == LoginItemStatus::requiresApproval;
    }

    // Registers or unregisters unless the status already says so. Throws the
    // platform's error.
    void setEnabled(bool enabled);

private:
    LoginItemService& service_;
};

} // namespace tesselwick::services
