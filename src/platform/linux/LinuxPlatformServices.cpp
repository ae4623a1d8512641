#include "platform/PlatformServices.h"
#include "platform/linux/DBusFileBrowser.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/LinuxDiskEventSource.h"
#include "platform/linux/XdgAutostartLoginItem.h"

namespace tesselwick::platform {

PlatformServices makePlatformServices() {
    PlatformServices services;
    services.diskEventSourceFactory = linux_::LinuxDiskEventSource::factory();
    services.loginItemService = std::make_shared<linux_::XdgAutostartLoginItem>(
        linux_::XdgAutostartLoginItem::defaultAutostartDirectory(),
        linux_::XdgAutostartLoginItem::currentExecutablePath());
    auto notifications = std::make_unique<linux_::DBusNotificationCenter>();
    auto fileBrowser = std::make_shared<linux_::DBusFileBrowser>();
    services.waitUntilDelivered = [center = notifications.get(),
                                   browser = fileBrowser.get()](Seconds timeout) {
        center->waitUntilIdle(timeout);
        browser->waitUntilIdle(timeout);
    };
    services.notificationCenter = std::move(notifications);
    services.fileBrowser = std::move(fileBrowser);
    return services;
}

} // namespace tesselwick::platform
