// `tesselwick screenshot`: scans once and renders the popover with the real
// widgets off screen, so the interface can be looked at without a desktop.

#include "app/Cli.h"
#include "app/Composition.h"
#include "app/QtMainQueue.h"
#include "app/TerminalText.h"
#include "manager/DiskManager.h"
#include "support/ExitCodes.h"
#include "ui/ContentView.h"
#include "ui/PopoverState.h"

#include <QApplication>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

namespace {

constexpr int kScanTimeoutMs = 60000;

int runScreenshot(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    const char* usage = "usage: tesselwick screenshot [--expanded] [--out FILE]\n";
    bool expanded = false;
    std::string path = "tesselwick-popover.png";
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--expanded") {
            expanded = true;
        } else if (argument == "--out" && i + 1 < arguments.size()) {
            path = arguments[++i];
        } else if (argument == "--help" || argument == "-h") {
            out << usage
                << "\nScans the disks once, renders the popover off screen and writes it as PNG.\n"
                   "  --expanded  the expanded view instead of the compact one\n"
                   "  --out FILE  where to write the picture (tesselwick-popover.png)\n";
            return 0;
        } else {
            err << "tesselwick screenshot: unknown option '" << argument << "'\n" << usage;
            return tesselwick::exitcode::kUsage;
        }
    }

    // Off screen whatever the session offers, so this works without a display.
    std::string program = "tesselwick";
    std::string platformOption = "-platform";
    std::string platformName = "offscreen";
    char* argv[] = {program.data(), platformOption.data(), platformName.data(), nullptr};
    int argc = 3;
    QApplication application(argc, argv);

    tesselwick::app::QtMainQueue mainQueue;
    tesselwick::SystemClock clock;
    tesselwick::app::Composition composition(mainQueue, clock);
    auto diskManager = composition.makeDiskManager();

    // A picture must not change the user's own popover settings.
    QTemporaryDir scratch;
    QSettings settings(scratch.filePath(QStringLiteral("popover.ini")), QSettings::IniFormat);
    tesselwick::ui::PopoverState popoverState(settings);
    popoverState.setExpanded(expanded);
    tesselwick::ui::ContentView view(diskManager, popoverState, {});

    QEventLoop loop;
    diskManager->addObserver([&loop](tesselwick::manager::DiskManager::Field) {
        QMetaObject::invokeMethod(
            &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, [&loop] { loop.exit(1); });
    timeout.start(kScanTimeoutMs);
    view.show();
    while (diskManager->isLoading() || !diskManager->hasCompletedInitialScan()) {
        if (loop.exec() != 0) {
            err << "tesselwick screenshot: the scan did not finish in time\n";
            return 1;
        }
        if (!diskManager->isLoading() && diskManager->lastError()) {
            err << tesselwick::app::terminalText(*diskManager->lastError(),
                                                 tesselwick::app::Lines::keep)
                << "\n";
            return 1;
        }
    }
    view.sync();
    const QPixmap picture = view.grab();
    if (!picture.save(QString::fromStdString(path), "PNG")) {
        err << "tesselwick screenshot: cannot write '" << path << "'\n";
        return 1;
    }
    out << path << " " << picture.width() << "x" << picture.height() << "\n";
    return 0;
}

} // namespace

TESSELWICK_SUBCOMMAND(screenshot, "Render the popover off screen to a PNG (--expanded, --out)",
                      runScreenshot);
