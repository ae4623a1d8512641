#include "app/Application.h"

#include "app/AppDelegate.h"
#include "app/QtMainQueue.h"
#include "manager/DiskManager.h"
#include "platform/PlatformServices.h"
#include "services/Notifier.h"
#include "ui/AppWindows.h"

#include <QApplication>
#include <QSettings>

namespace tesselwick::app {

namespace {
constexpr double kDeliveryLimitSeconds = 2.0;
} // namespace

ui::ContentActions managerActions(std::weak_ptr<manager::DiskManager> diskManager) {
    ui::ContentActions actions;
    actions.toggle = [diskManager](const discovery::ESPVolume& volume) {
        if (auto manager = diskManager.lock()) {
            manager->toggle(volume);
        }
    };
    actions.openMounted = [diskManager](const discovery::ESPVolume& volume) {
        if (auto manager = diskManager.lock()) {
            manager->openMounted(volume, true);
        }
    };
    actions.installHelper = [diskManager] {
        if (auto manager = diskManager.lock()) {
            manager->installHelper();
        }
    };
    return actions;
}

std::shared_ptr<manager::DiskManager> makeDiskManager(MainQueue& mainQueue, const Clock& clock,
                                                      platform::PlatformServices& services,
                                                      services::Notifier& notifier) {
    manager::DiskManagerDependencies dependencies;
    dependencies.mainQueue = &mainQueue;
    dependencies.clock = &clock;
    manager::useSharedCoreServices(dependencies);
    dependencies.diskEventSourceFactory = services.diskEventSourceFactory;
    dependencies.loginItemService = services.loginItemService;
    dependencies.fileBrowser = services.fileBrowser;
    dependencies.notify = [&notifier](const std::string& title, const std::string& body) {
        notifier.notify(title, body);
    };
    return manager::DiskManager::create(std::move(dependencies));
}

int runApplication(int argc, char** argv) {
    // Declared first so it outlives the manager and any worker still finishing.
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Tesselwick"));
    QApplication::setOrganizationName(QStringLiteral("Tesselwick"));
    QtMainQueue mainQueue;
    SystemClock clock;
    auto services = platform::makePlatformServices();
    services::Notifier notifier(*services.notificationCenter);
    QSettings settings;
    ui::AppWindows windows;

    AppDelegate delegate(AppDelegateDependencies{
        [&] { return makeDiskManager(mainQueue, clock, services, notifier); },
        managerActions,
        &settings,
        &windows,
        {}});
    delegate.applicationWillFinishLaunching();
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });
    delegate.applicationDidFinishLaunching();
    const int status = QApplication::exec();
    // Notifications and folder requests handed over just before Quit still arrive.
    if (services.waitUntilDelivered) {
        services.waitUntilDelivered(kDeliveryLimitSeconds);
    }
    return status;
}

} // namespace tesselwick::app
