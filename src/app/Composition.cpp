#include "app/Composition.h"

#include "manager/DiskManager.h"

namespace tesselwick::app {

Composition::Composition(MainQueue& mainQueue, const Clock& clock)
    : mainQueue_(mainQueue), clock_(clock), platform_(platform::makePlatformServices()),
      notifier_(*platform_.notificationCenter), core_(manager::makeCoreServices()) {}

std::shared_ptr<manager::DiskManager> Composition::makeDiskManager() {
    manager::DiskManagerDependencies dependencies;
    dependencies.mainQueue = &mainQueue_;
    dependencies.clock = &clock_;
    dependencies.volumes = core_.volumes;
    dependencies.helper = core_.helper;
    dependencies.operations = core_.operations;
    dependencies.diskEventSourceFactory = platform_.diskEventSourceFactory;
    dependencies.loginItemService = platform_.loginItemService;
    dependencies.fileBrowser = platform_.fileBrowser;
    dependencies.notify = [this](const std::string& title, const std::string& body) {
        notifier_.notify(title, body);
    };
    return manager::DiskManager::create(std::move(dependencies));
}

void Composition::waitUntilDelivered(Seconds limit) {
    if (platform_.waitUntilDelivered) {
        platform_.waitUntilDelivered(limit);
    }
}

} // namespace tesselwick::app
