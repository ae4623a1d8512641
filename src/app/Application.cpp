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

    AppDelegateDependencies dependencies;
    dependencies.makeDiskManager = [&] { return composition.makeDiskManager(); };
    dependencies.settings = &settings;
    dependencies.windows = &windows;
    AppDelegate delegate(std::move(dependencies));
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
