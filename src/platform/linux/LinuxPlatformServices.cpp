#include "platform/PlatformServices.h"
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
    services.notificationCenter = std::make_unique<linux_::DBusNotificationCenter>();
    return services;
}

} // namespace tesselwick::platform
