// The menu-bar app on an X desktop with a tray (Xvfb and trayer, started through
// tests/gui/gui-session.sh when there is no DISPLAY), inside sim/sandbox on the
// multi-boot world. Each figure is measured in the running app and, as the
// baseline, in a bare Qt program with the same tray icon and a plain popup:
//   popover_show_ms_median, _p99  from the tray click's event to the popover's
//                                 first paint, over 50 clicks
//   expand_toggle_ms_median, _p99 from the release of a click on Expand (then
//                                 Compact, and so on) to the next paint, over 40
//   startup_to_icon_ms            from main() to the tray icon's first paint
//   first_scan_ms                 from main() to the first scan's result (the
//                                 icon must not wait for it)
//   idle_wakeups_app              context switches of all threads in 10 s with
//                                 the popover closed, less the wake that ends it
//   idle_rss_mib                  resident memory after that
// Use the release preset for figures: build/release/bin/bench_app
#include "app/AppDelegate.h"
#include "app/Composition.h"
#include "app/QtMainQueue.h"
#include "manager/DiskManager.h"
#include "ui/AppWindows.h"
#include "ui/ContentView.h"
#include "ui/Icons.h"
#include "ui/Styles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPainter>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <unistd.h>

using namespace tesselwick;
namespace fs = std::filesystem;

namespace {

constexpr int kClicks = 50;
constexpr int kToggles = 40;
constexpr int kIdleMs = 10000;

std::chrono::steady_clock::time_point mainStart;

double msSinceStart() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - mainStart)
        .count();
}

long contextSwitches() {
    long total = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

double rssMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return -1;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(std::ceil(p * values.size())) - 1;
    return values[std::min(index, values.size() - 1)];
}

// Notes the first paint of the tray icon's own window.
class IconPaintWatcher : public QObject {
public:
    double firstPaintMs = -1;
    std::function<void()> painted;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (firstPaintMs < 0 && event->type() == QEvent::Paint &&
            QByteArray(watched->metaObject()->className()) == "QSystemTrayIconSys") {
            firstPaintMs = msSinceStart();
            if (painted) {
                painted();
            }
        }
        return false;
    }
};

void clickAt(QPoint point) {
    QProcess::execute(QStringLiteral("xdotool"),
                      {QStringLiteral("mousemove"), QString::number(point.x()),
                       QString::number(point.y()), QStringLiteral("click"), QStringLiteral("1")});
}

// Idle means nobody is pointing at the icon either (its tool tip has timers).
void parkPointer() {
    QProcess::execute(QStringLiteral("xdotool"),
                      {QStringLiteral("mousemove"), QStringLiteral("5"), QStringLiteral("795")});
}

// The plain popup the baseline shows.
class PlainPopup : public QWidget {
public:
    PlainPopup() : QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint) {
        setAttribute(Qt::WA_NoMouseReplay);
        resize(460, 349);
    }
    std::function<void()> painted;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(rect(), QColor(10, 10, 13));
        if (painted) {
            QMetaObject::invokeMethod(this, painted, Qt::QueuedConnection);
        }
    }
};

// Notes when the size button is released (before the button acts on it) and
// the content's first paint after that.
class ToggleWatcher : public QObject {
public:
    QObject* button = nullptr;
    QWidget* content = nullptr;
    std::optional<std::chrono::steady_clock::time_point> released;
    QSize sizeAtRelease;
    std::optional<double> ms;
    std::function<void()> painted;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == button && event->type() == QEvent::MouseButtonRelease) {
            released = std::chrono::steady_clock::now();
            sizeAtRelease = content->size();
        } else if (watched == content && event->type() == QEvent::Paint && released && !ms &&
                   content->size() != sizeAtRelease) {
            // The button's own repaint reaches the content too; this is the
            // first paint in the other mode.
            ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                           *released)
                     .count();
            // After the paint itself, like the popover's presentation.
            QMetaObject::invokeMethod(this, painted, Qt::QueuedConnection);
        }
        return false;
    }
};

// Clicks Expand, then Compact, and so on: from the click to the next paint.
// `poke` tells `waitFor` to look at its condition again.
template <typename Click, typename WaitFor>
std::vector<double> measureExpandToggles(app::AppDelegate& delegate, Click click, WaitFor waitFor,
                                         const std::function<void()>& poke) {
    std::vector<double> toggles;
    bool presented = false;
    const auto connection = QObject::connect(&delegate, &app::AppDelegate::popoverPresented, [&] {
        presented = true;
        poke();
    });
    click(delegate.statusItem()->geometry().center());
    const bool shown = waitFor([&] { return presented; }, 5000);
    QObject::disconnect(connection);
    if (!shown) {
        return toggles;
    }
    ui::ContentView* content = delegate.contentView();
    ToggleWatcher watcher;
    watcher.button = content->sizeButton();
    watcher.content = content;
    content->sizeButton()->installEventFilter(&watcher);
    content->installEventFilter(&watcher);
    for (int i = 0; i < kToggles; ++i) {
        watcher.released.reset();
        watcher.ms.reset();
        bool done = false;
        watcher.painted = [&] {
            done = true;
            poke();
        };
        const QWidget* button = content->sizeButton();
        click(button->mapToGlobal(button->rect().center()));
        if (!waitFor([&] { return done; }, 5000) || !watcher.ms) {
            return {};
        }
        toggles.push_back(*watcher.ms);
    }
    delegate.popover()->close();
    QApplication::processEvents();
    return toggles;
}

int runInner(const std::string& mode, int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    IconPaintWatcher watcher;
    application.installEventFilter(&watcher);
    QEventLoop loop;
    // Each event the bench waits for pokes the loop, which ends once the
    // current condition holds (or the guard time has passed).
    std::function<bool()> waitingFor;
    auto poke = [&] {
        if (waitingFor && waitingFor()) {
            QMetaObject::invokeMethod(
                &loop, [&] { loop.quit(); }, Qt::QueuedConnection);
        }
    };
    watcher.painted = poke;
    auto waitFor = [&](const std::function<bool()>& done, int ms) {
        if (done()) {
            return true;
        }
        waitingFor = done;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &loop, [&] { loop.exit(1); });
        guard.start(ms);
        const bool ok = loop.exec() == 0;
        waitingFor = nullptr;
        return ok;
    };

    std::vector<double> shows;
    double firstScanMs = -1;
    if (mode == "app") {
        app::QtMainQueue mainQueue;
        SystemClock clock;
        app::Composition composition(mainQueue, clock);
        QTemporaryDir scratch;
        QSettings settings(scratch.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        ui::AppWindows windows;
        app::AppDelegateDependencies dependencies;
        dependencies.makeDiskManager = [&] {
            auto manager = composition.makeDiskManager();
            manager->addObserver([&](manager::DiskManager::Field field) {
                if (field == manager::DiskManager::Field::hasCompletedInitialScan &&
                    firstScanMs < 0) {
                    firstScanMs = msSinceStart();
                    poke();
                }
            });
            return manager;
        };
        dependencies.settings = &settings;
        dependencies.windows = &windows;
        app::AppDelegate delegate(std::move(dependencies));
        delegate.applicationWillFinishLaunching();
        delegate.applicationDidFinishLaunching();
        if (!waitFor([&] { return watcher.firstPaintMs >= 0 && firstScanMs >= 0; }, 30000)) {
            std::cerr << "bench_app: no tray icon or no scan\n";
            return 1;
        }
        std::chrono::steady_clock::time_point clicked;
        bool presented = false;
        QObject::connect(&delegate, &app::AppDelegate::statusItemClicked,
                         [&] { clicked = std::chrono::steady_clock::now(); });
        QObject::connect(&delegate, &app::AppDelegate::popoverPresented, [&] {
            shows.push_back(std::chrono::duration<double, std::milli>(
                                std::chrono::steady_clock::now() - clicked)
                                .count());
            presented = true;
            poke();
        });
        const QPoint icon = delegate.statusItem()->geometry().center();
        for (int i = 0; i < kClicks; ++i) {
            presented = false;
            clickAt(icon);
            if (!waitFor([&] { return presented; }, 5000)) {
                std::cerr << "bench_app: the popover did not appear\n";
                return 1;
            }
            delegate.popover()->close();
            QApplication::processEvents();
        }
        const std::vector<double> toggles = measureExpandToggles(delegate, clickAt, waitFor, poke);
        if (toggles.empty()) {
            std::cerr << "bench_app: the popover did not change its mode\n";
            return 1;
        }
        parkPointer();
        QApplication::processEvents();
        const long before = contextSwitches();
        QTimer::singleShot(kIdleMs, &loop, [&] { loop.quit(); });
        loop.exec();
        const long wakeups = contextSwitches() - before - 1;
        std::cout << "show_median " << percentile(shows, 0.5) << "\nshow_p99 "
                  << percentile(shows, 0.99) << "\nstartup_to_icon " << watcher.firstPaintMs
                  << "\nfirst_scan " << firstScanMs << "\nidle_wakeups " << wakeups << "\nidle_rss "
                  << rssMiB() << "\nexpand_toggle_median " << percentile(toggles, 0.5)
                  << "\nexpand_toggle_p99 " << percentile(toggles, 0.99) << "\n";
        delegate.applicationWillTerminate();
        return 0;
    }

    // Baseline: the same tray icon and a plain popup, nothing else.
    QSystemTrayIcon tray;
    QImage image = ui::bundleImage(QStringLiteral("MenuBarDriveTemplate"), QSize(17, 17));
    tray.setIcon(QIcon(QPixmap::fromImage(image)));
    tray.show();
    PlainPopup popup;
    std::chrono::steady_clock::time_point clicked;
    bool presented = false;
    QObject::connect(&tray, &QSystemTrayIcon::activated, [&](QSystemTrayIcon::ActivationReason) {
        clicked = std::chrono::steady_clock::now();
        popup.move(tray.geometry().bottomLeft() - QPoint(230, -2));
        popup.show();
    });
    popup.painted = [&] {
        if (!presented) {
            shows.push_back(std::chrono::duration<double, std::milli>(
                                std::chrono::steady_clock::now() - clicked)
                                .count());
            presented = true;
            poke();
        }
    };
    if (!waitFor([&] { return watcher.firstPaintMs >= 0 && !tray.geometry().isEmpty(); }, 30000)) {
        std::cerr << "bench_app: no tray icon\n";
        return 1;
    }
    const QPoint icon = tray.geometry().center();
    for (int i = 0; i < kClicks; ++i) {
        presented = false;
        clickAt(icon);
        if (!waitFor([&] { return presented; }, 5000)) {
            std::cerr << "bench_app: the popup did not appear\n";
            return 1;
        }
        popup.close();
        QApplication::processEvents();
    }
    parkPointer();
    QApplication::processEvents();
    const long before = contextSwitches();
    QTimer::singleShot(kIdleMs, &loop, [&] { loop.quit(); });
    loop.exec();
    const long wakeups = contextSwitches() - before - 1;
    std::cout << "show_median " << percentile(shows, 0.5) << "\nshow_p99 "
              << percentile(shows, 0.99) << "\nstartup_to_icon " << watcher.firstPaintMs
              << "\nidle_wakeups " << wakeups << "\nidle_rss " << rssMiB() << "\n";
    return 0;
}

std::map<std::string, double> runInSandbox(const std::string& self, const std::string& mode) {
    const fs::path source = TESSELWICK_SOURCE_DIR;
    std::string command = "'";
    command += (source / "sim/sandbox").string();
    command += "' --macsim '";
    command += (fs::path(TESSELWICK_BINARY_DIR) / "bin/macsim").string();
    command += "' -- '";
    command += self;
    command += "' --inner ";
    command += mode;
    std::map<std::string, double> figures;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return figures;
    }
    char key[64];
    double value = 0;
    while (std::fscanf(pipe, "%63s %lf", key, &value) == 2) {
        figures[key] = value;
    }
    pclose(pipe);
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    mainStart = std::chrono::steady_clock::now();
    if (argc >= 3 && std::string(argv[1]) == "--inner") {
        return runInner(argv[2], argc, argv);
    }
    const std::string self = fs::canonical("/proc/self/exe").string();
    if (std::getenv("DISPLAY") == nullptr) {
        const std::string session =
            std::string(TESSELWICK_SOURCE_DIR) + "/tests/gui/gui-session.sh";
        execl(session.c_str(), session.c_str(), self.c_str(), static_cast<char*>(nullptr));
        std::perror("bench_app: gui-session.sh");
        return 1;
    }
    const auto baseline = runInSandbox(self, "baseline");
    const auto app = runInSandbox(self, "app");
    if (baseline.size() < 5 || app.size() < 8) {
        std::cerr << "bench_app: a run failed (needs root for the sandbox)\n";
        return 1;
    }
    std::cout << "popover_show_ms_median " << app.at("show_median") << "\n"
              << "popover_show_ms_p99 " << app.at("show_p99") << "\n"
              << "baseline_popup_show_ms_median " << baseline.at("show_median") << "\n"
              << "baseline_popup_show_ms_p99 " << baseline.at("show_p99") << "\n"
              << "startup_to_icon_ms " << app.at("startup_to_icon") << "\n"
              << "baseline_startup_to_icon_ms " << baseline.at("startup_to_icon") << "\n"
              << "first_scan_ms " << app.at("first_scan") << "\n"
              << "idle_wakeups_app " << app.at("idle_wakeups") << "\n"
              << "baseline_idle_wakeups " << baseline.at("idle_wakeups") << "\n"
              << "idle_rss_mib " << app.at("idle_rss") << "\n"
              << "expand_toggle_ms_median " << app.at("expand_toggle_median") << "\n"
              << "expand_toggle_ms_p99 " << app.at("expand_toggle_p99") << "\n"
              << "baseline_idle_rss_mib " << baseline.at("idle_rss") << "\n";
    return 0;
}
