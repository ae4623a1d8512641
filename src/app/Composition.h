#pragma once

#include "manager/CoreServices.h"
#include "platform/PlatformServices.h"
#include "services/Notifier.h"
#include "support/Duration.h"

#include <memory>

namespace tesselwick {
class Clock;
class MainQueue;
} // namespace tesselwick
namespace tesselwick::manager {
class DiskManager;
}

namespace tesselwick::app {

// The one place where the production objects are built and wired: the
// platform's services, the notifier and the core services behind the disk
// manager. The menu-bar app, the command line and the screenshot each hold
// one for as long as their manager lives.
class Composition {
public:
    // The queue and the clock must outlive this object and every manager it makes.
    Composition(MainQueue& mainQueue, const Clock& clock);
    Composition(const Composition&) = delete;
    Composition& operator=(const Composition&) = delete;

    std::shared_ptr<manager::DiskManager> makeDiskManager();

    // Blocks until notifications and folder requests handed over so far have
    // reached the desktop, or the time has passed.
    void waitUntilDelivered(Seconds limit);

private:
    MainQueue& mainQueue_;
    const Clock& clock_;
    platform::PlatformServices platform_;
    services::Notifier notifier_;
    manager::CoreServices core_;
};

} // namespace tesselwick::app
