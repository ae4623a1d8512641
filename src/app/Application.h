#pragma once

#include "support/Clock.h"
#include "ui/ContentView.h"

#include <memory>

namespace tesselwick {
class MainQueue;
}
namespace tesselwick::manager {
class DiskManager;
}
namespace tesselwick::platform {
struct PlatformServices;
}
namespace tesselwick::services {
class Notifier;
}

namespace tesselwick::app {

// The popover's disk actions on the manager: the card's mount/unmount and open,
// and the footer's helper installation.
ui::ContentActions managerActions(std::weak_ptr<manager::DiskManager> diskManager);

// The production disk manager over the shared core services and the running
// platform's services. Everything handed in must outlive the manager.
std::shared_ptr<manager::DiskManager> makeDiskManager(MainQueue& mainQueue, const Clock& clock,
                                                      platform::PlatformServices& services,
                                                      services::Notifier& notifier);

// `tesselwick` without arguments: the menu-bar application until Quit.
int runApplication(int argc, char** argv);

} // namespace tesselwick::app
