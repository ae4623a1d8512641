#include "services/LaunchAtLoginController.h"

namespace tesselwick::services {

void LaunchAtLoginController::setEnabled(bool enabled) {
    const LoginItemStatus current = service_.status();
    if (enabled) {
        if (!isOn(current)) {
            service_.registerItem();
        }
        return;
    }
    // A status of "not found" still unregisters: a stale registration may
    // linger where the service can no longer find the application.
    if (current != LoginItemStatus::notRegistered) {
        service_.unregisterItem();
    }
}

} // namespace tesselwick::services
