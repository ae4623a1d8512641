#pragma once

#include "services/DiskEventSource.h"
#include "services/FileBrowser.h"
#include "services/LoginItemService.h"
#include "services/NotificationCenter.h"
#include "support/Duration.h"

#include <functional>
#include <memory>

namespace tesselwick::platform {

// The running system's implementations of the manager's platform interfaces,
// for the application to wire into the disk manager and the notifier.
struct PlatformServices {
    services::DiskEventSourceFactory diskEventSourceFactory;
    std::shared_ptr<services::LoginItemService> loginItemService;
    std::unique_ptr<services::NotificationCenter> notificationCenter;
    std::shared_ptr<services::FileBrowser> fileBrowser;
    // Blocks until notifications and folder requests handed over so far have
    // reached the desktop, or the time has passed; a short-lived process calls
    // it before it exits. Does nothing where delivery needs no waiting.
    std::function<void(Seconds timeout)> waitUntilDelivered;
};

PlatformServices makePlatformServices();

} // namespace tesselwick::platform
