#pragma once

#include "manager/DiskEventSource.h"
#include "services/LoginItemService.h"
#include "services/NotificationCenter.h"

#include <memory>

namespace tesselwick::platform {

// The running system's implementations of the manager's platform interfaces,
// for the application to wire into the disk manager and the notifier.
struct PlatformServices {
    manager::DiskEventSourceFactory diskEventSourceFactory;
    std::shared_ptr<services::LoginItemService> loginItemService;
    std::unique_ptr<services::NotificationCenter> notificationCenter;
};

PlatformServices makePlatformServices();

} // namespace tesselwick::platform
