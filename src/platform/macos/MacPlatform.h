#pragma once

#include "services/DiskEventSource.h"
#include "services/FileBrowser.h"
#include "services/LoginItemService.h"
#include "services/NotificationCenter.h"

#include <memory>

// The macOS services behind the manager's interfaces. Plain C++ here; the
// Objective-C++ stays in the .mm files.
namespace tesselwick::platform::macos {

// Disk appearances and disappearances from a DiskArbitration session on the
// main run loop, and volume mounts, unmounts and renames from the shared
// workspace's notification centre. Create and destroy on the main thread.
services::DiskEventSourceFactory diskEventSourceFactory();

// The running application's own login item (SMAppService.mainAppService).
std::shared_ptr<services::LoginItemService> makeLoginItemService();

// The application's user notification centre.
std::unique_ptr<services::NotificationCenter> makeNotificationCenter();

// Folders opened through the shared workspace (Finder).
std::shared_ptr<services::FileBrowser> makeFileBrowser();

} // namespace tesselwick::platform::macos
