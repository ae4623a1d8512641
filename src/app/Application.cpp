#include "app/Application.h"

#include "app/AppDelegate.h"
#include "app/Composition.h"
#include "app/QtMainQueue.h"
#include "manager/DiskManager.h"
#include "ui/AppWindows.h"

#include <QApplication>
#include <QSettings>

namespace tesselwick::app {

namespace {
constexpr Seconds kDeliveryLimit{2.0};
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

int runApplication(int argc, char** argv) {
    // Declared first so it outlives the manager and any worker still finishing.
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Tesselwick"));
    QApplication::setOrganizationName(QStringLiteral("Tesselwick"));
    QtMainQueue mainQueue;
    SystemClock clock;
    Composition composition(mainQueue, clock);
    QSettings settings;
    ui::AppWindows windows;

    AppDelegate delegate(AppDelegateDependencies{
        [&] { return composition.makeDiskManager(); }, managerActions, &settings, &windows, {}});
    delegate.applicationWillFinishLaunching();
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });
    delegate.applicationDidFinishLaunching();
    const int status = QApplication::exec();
    // Notifications and folder requests handed over just before Quit still arrive.
    composition.waitUntilDelivered(kDeliveryLimit);
    return status;
}

} // namespace tesselwick::app
