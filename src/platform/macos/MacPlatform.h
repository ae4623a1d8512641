#pragma once

#include "platform/macos/PendingAnswers.h"
#include "services/DiskEventSource.h"
#include "services/FileBrowser.h"
#include "services/LoginItemService.h"
#include "services/NotificationCenter.h"

#include <memory>

// Every Objective-C++ file here creates objects that only ARC releases.
#if defined(__OBJC__) && !__has_feature(objc_arc)
#error "The macOS adapters must be compiled with -fobjc-arc"
#endif

// The macOS services behind the manager's interfaces. Plain C++ here; the
// Objective-C++ stays in the .mm files.
namespace tesselwick::platform::macos {

// Disk appearances and disappearances from a DiskArbitration session on the
// main run loop, and volume mounts, unmounts and renames from the shared
// workspace's notification centre. Create and destroy on the main thread.
services::DiskEventSourceFactory diskEventSourceFactory();

// The running application's own login item (SMAppService.mainAppService).
std::shared_ptr<services::LoginItemService> makeLoginItemService();

// The application's user notification centre, whose delegate it becomes (a
// banner while the application is frontmost). Outside an application bundle,
// where the system has no centre for the process, every request is refused
// with a description and the status reads as denied. `answers` counts the
// requests whose answers are still to come and is closed when the centre goes.
std::unique_ptr<services::NotificationCenter>
makeNotificationCenter(std::shared_ptr<PendingAnswers> answers);

// Folders opened through the shared workspace (Finder); `answers` as above.
std::shared_ptr<services::FileBrowser> makeFileBrowser(std::shared_ptr<PendingAnswers> answers);

} // namespace tesselwick::platform::macos
