// The menu-bar app on a real X desktop: Xvfb with trayer as the system tray
// (started by gui-session.sh), xdotool as the user's mouse and keyboard, and
// the app inside sim/sandbox on the multi-boot world with a private session bus
// whose notification and file-manager services record what they are asked.

#include "e2e/EndToEnd.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>

extern char** environ;

using namespace simtest;
namespace fs = std::filesystem;

namespace {

struct Window {
    long id = 0;
    int x = 0, y = 0, width = 0, height = 0;
};

// Visible top-level windows titled exactly `title`, with their geometry.
std::vector<Window> visibleWindows(const std::string& title) {
    const Result found =
        runShell("for id in $(xdotool search --onlyvisible --name " + quote("^" + title + "$") +
                 "); do xdotool getwindowgeometry --shell $id | tr '\\n' ' '; echo; done");
    std::vector<Window> windows;
    std::istringstream lines(found.out);
    for (std::string line; std::getline(lines, line);) {
        Window w;
        if (std::sscanf(line.c_str(), "WINDOW=%ld X=%d Y=%d WIDTH=%d HEIGHT=%d", &w.id, &w.x, &w.y,
                        &w.width, &w.height) == 5) {
            windows.push_back(w);
        }
    }
    return windows;
}

// The popover among the app's windows: the only large one titled Tesselwick.
std::optional<Window> popover() {
    for (const Window& window : visibleWindows("Tesselwick")) {
        if (window.width >= 400 && window.height >= 200) {
            return window;
        }
    }
    return std::nullopt;
}

void xdotool(const std::string& arguments) {
    ASSERT_EQ(runShell("xdotool " + arguments).status, 0) << arguments;
}
void click(int x, int y) {
    xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}

// The colour of one screen pixel.
std::array<int, 3> pixel(int x, int y) {
    const Result shot = runShell("import -window root -crop 1x1+" + std::to_string(x) + "+" +
                                 std::to_string(y) + " -depth 8 txt:- | tail -n 1");
    std::array<int, 3> rgb{-1, -1, -1};
    if (const auto open = shot.out.find('('); open != std::string::npos) {
        std::sscanf(shot.out.c_str() + open, "(%d,%d,%d", &rgb[0], &rgb[1], &rgb[2]);
    }
    return rgb;
}
bool isBlue(std::array<int, 3> rgb) {
    return rgb[2] > 180 && rgb[0] < 90;
}
bool isRed(std::array<int, 3> rgb) {
    return rgb[0] > 150 && rgb[1] < 60 && rgb[2] < 70;
}

// The app's diagnostic log, read as it grows.
class Log {
public:
    explicit Log(fs::path directory) : file_(std::move(directory) / "Tesselwick-Debug.log") {}
    std::string text() const { return readText(file_); }
    std::size_t count(const std::string& needle) const {
        const std::string all = text();
        std::size_t n = 0;
        for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
            ++n;
        }
        return n;
    }
    // The app and the X server change on their own: looks again every 100 ms,
    // for at most 30 seconds.
    static bool waitUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            ::poll(nullptr, 0, 100);
        }
        return true;
    }
    bool waitForCount(const std::string& needle, std::size_t n) const {
        return waitUntil([&] { return count(needle) >= n; });
    }

private:
    fs::path file_;
};

// The app inside the sandbox in a process group of its own, so that a failed
// test ends the whole tree. Its log directory is a link into `logs`.
class SandboxedApp {
public:
    SandboxedApp(const std::string& environment, const fs::path& logs) {
        const std::string inner =
            "mkdir -p \"$HOME/Library/Logs\" && ln -s " + quote(logs.string()) +
            " \"$HOME/Library/Logs/Tesselwick\" && exec " + quote(programPath());
        std::string script = environment + "TESSELWICK_DIAGNOSTICS=1 " +
                             sandbox(worldPath("multiboot.json"), false) + "/bin/sh -c " +
                             quote(inner);
        char shell[] = "/bin/sh", dashC[] = "-c";
        char* argv[] = {shell, dashC, script.data(), nullptr};
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        if (posix_spawn(&pid_, shell, nullptr, &attributes, argv, environ) != 0) {
            pid_ = -1;
        }
        posix_spawnattr_destroy(&attributes);
    }
    ~SandboxedApp() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            if (!waitForExit(10)) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
    }

    bool running() const { return pid_ > 0; }
    // The exit status once it has ended within `seconds`.
    std::optional<int> waitForExit(double seconds) {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        pollfd p{pidfd, POLLIN, 0};
        const bool ended = pidfd >= 0 && ::poll(&p, 1, static_cast<int>(seconds * 1000)) == 1;
        if (pidfd >= 0) {
            ::close(pidfd);
        }
        int status = 0;
        if (!ended || ::waitpid(pid_, &status, 0) != pid_) {
            return std::nullopt;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
};

// Places inside the compact popover of the multi-boot world, from its top-left
// corner: the cards are the boot disk's mounted ESP, then the two unmounted
// ones of the HFS+ disk.
constexpr int kActionX = 428; // inside the right padding of a card's Mount/Unmount button
constexpr int kFirstCardY = 112;
constexpr int kSecondCardY = 173;
constexpr int kOpenButtonX = 323;
constexpr int kHelperButton[2] = {396, 291};
constexpr int kAboutButton[2] = {387, 38};
constexpr int kQuitButton[2] = {426, 38};
const std::string kScanApplied = "DiskManager.refresh applying result";

} // namespace

class GuiEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto reason = sandboxUnavailable()) {
            GTEST_SKIP() << *reason;
        }
        if (std::getenv("DISPLAY") == nullptr) {
            GTEST_SKIP() << "no DISPLAY: run under tests/gui/gui-session.sh";
        }
        ASSERT_TRUE(desktop.started());
        fs::permissions(logs.path(), fs::perms::all); // the world's user writes here
        log = std::make_unique<Log>(logs.path());
        app = std::make_unique<SandboxedApp>(desktop.environment(), logs.path());
        ASSERT_TRUE(app->running());
        ASSERT_TRUE(log->waitForCount(kScanApplied, 1)) << log->text();
    }

    std::size_t records(const std::string& prefix) const {
        const auto all = desktop.records();
        return static_cast<std::size_t>(std::count_if(
            all.begin(), all.end(), [&](auto& r) { return r.rfind(prefix, 0) == 0; }));
    }
    // The tray icon's centre: trayer's panel holds only our icon.
    std::pair<int, int> trayIcon() {
        const auto panels = visibleWindows("panel");
        EXPECT_FALSE(panels.empty()) << "no tray panel";
        return panels.empty() ? std::pair{0, 0}
                              : std::pair{panels[0].x + panels[0].width / 2,
                                          panels[0].y + panels[0].height / 2};
    }
    Window openPopover() {
        const auto shown = log->count("popover.show returned isShown=true");
        const auto [x, y] = trayIcon();
        click(x, y);
        EXPECT_TRUE(log->waitForCount("popover.show returned isShown=true", shown + 1));
        std::optional<Window> window;
        EXPECT_TRUE(log->waitUntil([&] { return (window = popover()).has_value(); }));
        return window.value_or(Window{});
    }
    // Dismisses the visible alert titled `title` with its default button.
    void dismissAlert(const std::string& title) {
        std::vector<Window> alerts;
        ASSERT_TRUE(log->waitUntil([&] {
            alerts = visibleWindows(title);
            std::erase_if(alerts, [](const Window& w) { return w.height == 349; }); // the popover
            return !alerts.empty();
        })) << title;
        xdotool("windowfocus --sync " + std::to_string(alerts[0].id) + " key Return");
        ASSERT_TRUE(log->waitUntil([&] {
            const auto left = visibleWindows(title);
            return std::none_of(left.begin(), left.end(),
                                [&](const Window& w) { return w.id == alerts[0].id; });
        }));
    }

    DesktopServices desktop;
    TempDir logs;
    std::unique_ptr<Log> log;
    std::unique_ptr<SandboxedApp> app;
};

TEST_F(GuiEndToEnd, APersonUsesTheApp) {
    const fs::path artefacts = fs::path(TESSELWICK_BINARY_DIR) / "test-artefacts";
    fs::create_directories(artefacts);

    // Click the status icon: the popover appears under it at the compact size.
    const auto [iconX, iconY] = trayIcon();
    Window shown = openPopover();
    EXPECT_EQ(shown.width, 460);
    EXPECT_EQ(shown.height, 349);
    EXPECT_GT(shown.y, iconY);                                   // below the icon
    EXPECT_LE(std::abs(shown.x + shown.width / 2 - iconX), 240); // under it, kept on screen
    EXPECT_LE(shown.x + shown.width, 1280);
    runShell("import -window root " + quote((artefacts / "gui-popover.png").string()));
    const auto second = [&] { return pixel(shown.x + kActionX, shown.y + kSecondCardY); };
    EXPECT_TRUE(isRed(pixel(shown.x + kActionX, shown.y + kFirstCardY))); // Unmount
    EXPECT_TRUE(isBlue(second()));                                        // Mount

    // Mount the HFS+ disk's first ESP: the world approves the administrator
    // prompt, the card turns to Unmount, one notification and one reveal.
    click(shown.x + kActionX, shown.y + kSecondCardY);
    ASSERT_TRUE(log->waitUntil([&] {
        return records("notify\tEFI mounted") == 1 && records("show-folders\t") == 1 &&
               isRed(second());
    })) << log->text();
    runShell("import -window root " + quote((artefacts / "gui-mounted.png").string()));

    // Open it again from its card: one more reveal.
    click(shown.x + kOpenButtonX, shown.y + kSecondCardY);
    ASSERT_TRUE(log->waitUntil([&] { return records("show-folders\t") == 2; }));

    // Unmount it: the card turns back to Mount, and the silent rescan after it
    // finishes (the helper button waits for it).
    const auto scans = log->count(kScanApplied);
    click(shown.x + kActionX, shown.y + kSecondCardY);
    ASSERT_TRUE(log->waitUntil([&] {
        return records("notify\tEFI unmounted") == 1 && isBlue(second()) &&
               log->count(kScanApplied) > scans;
    })) << log->text();

    // Install the helper behind the world's administrator prompt.
    click(shown.x + kHelperButton[0], shown.y + kHelperButton[1]);
    ASSERT_TRUE(log->waitUntil([&] { return records("notify\tHelper ready") == 1; }))
        << log->text();

    // Click outside: the popover closes.
    const auto closes = log->count("popoverDidClose");
    click(300, 600);
    ASSERT_TRUE(log->waitForCount("popoverDidClose", closes + 1));
    EXPECT_FALSE(popover().has_value());

    // Two fast clicks on the icon: nothing is shown. Either the second click
    // withdrew the first before it ran, or (on a slow machine) it closed what
    // the first had just shown.
    const auto withdrawn = log->count("togglePopover cancelling pending presentation");
    xdotool("mousemove " + std::to_string(iconX) + " " + std::to_string(iconY) +
            " click --repeat 2 --delay 1 1");
    ASSERT_TRUE(log->waitUntil([&] {
        return log->count("togglePopover cancelling pending presentation") > withdrawn ||
               log->count("popoverDidClose") > closes + 1;
    }));
    EXPECT_FALSE(popover().has_value());

    // Help (F1 in the popover) and About (the header's button).
    openPopover();
    xdotool("key F1");
    dismissAlert("Tesselwick Help");
    shown = openPopover();
    click(shown.x + kAboutButton[0], shown.y + kAboutButton[1]);
    dismissAlert("Tesselwick");

    // Quit: the process ends with 0 and the log shows the termination order.
    shown = openPopover();
    click(shown.x + kQuitButton[0], shown.y + kQuitButton[1]);
    EXPECT_EQ(app->waitForExit(30), std::optional<int>(0));
    const std::string text = log->text();
    std::size_t at = 0;
    for (const char* step :
         {"Popover Quit button pressed", "applicationShouldTerminate requested\nCall stack:",
          "applicationWillTerminate begin popoverShown=", "DiskManager.deinit",
          "applicationWillTerminate complete"}) {
        const auto found = text.find(step, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << step << "\n" << text;
        at = found == std::string::npos ? at : found;
    }
}
