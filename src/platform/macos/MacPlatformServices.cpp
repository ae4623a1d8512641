#include "platform/PlatformServices.h"
#include "platform/macos/MacPlatform.h"

namespace tesselwick::platform {

PlatformServices makePlatformServices() {
    PlatformServices services;
    services.diskEventSourceFactory = macos::diskEventSourceFactory();
    services.loginItemService = macos::makeLoginItemService();
    auto notificationAnswers = std::make_shared<macos::PendingAnswers>();
    auto folderAnswers = std::make_shared<macos::PendingAnswers>();
    services.notificationCenter = macos::makeNotificationCenter(notificationAnswers);
    services.fileBrowser = macos::makeFileBrowser(folderAnswers);
    services.waitUntilDelivered = [notificationAnswers, folderAnswers](Seconds timeout) {
        notificationAnswers->waitUntilIdle(timeout);
        folderAnswers->waitUntilIdle(timeout);
    };
    return services;
}

} // namespace tesselwick::platform
