#include "platform/PlatformServices.h"
#include "platform/macos/MacPlatform.h"

namespace tesselwick::platform {

PlatformServices makePlatformServices() {
    PlatformServices services;
    services.diskEventSourceFactory = macos::diskEventSourceFactory();
    services.loginItemService = macos::makeLoginItemService();
    services.notificationCenter = macos::makeNotificationCenter();
    services.fileBrowser = macos::makeFileBrowser();
    return services;
}

} // namespace tesselwick::platform
