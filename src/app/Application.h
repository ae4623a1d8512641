#pragma once

#include "ui/ContentView.h"

#include <memory>

namespace tesselwick::manager {
class DiskManager;
}

namespace tesselwick::app {

// The popover's disk actions on the manager: the card's mount/unmount and open,
// and the footer's helper installation.
ui::ContentActions managerActions(std::weak_ptr<manager::DiskManager> diskManager);

// `tesselwick` without arguments: the menu-bar application until Quit.
int runApplication(int argc, char** argv);

} // namespace tesselwick::app
