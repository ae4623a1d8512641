// The menu-bar app on a real X desktop: Xvfb with trayer as the system tray
// (started by gui-session.sh), xdotool as the user's mouse and keyboard, and
// the app inside sim/sandbox on the multi-boot world with a private session bus
// whose notification and file-manager services record what they are asked.

#include "e2e/DesktopServices.h"
#include "sim/SimTestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>

extern char** environ;

using namespace simtest;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

struct Window {
    std::string id;
    int x = 0, y = 0, width = 0, height = 0;
};

// Visible top-level windows titled exactly `title`, with their geometry.
std::vector<Window> visibleWindows(const std::string& title) {
    std::vector<Window> windows;
    const Result found =
        runShell("xdotool search --onlyvisible --name " + quote("^" + title + "$"));
    std::istringstream ids(found.out);
    for (std::string id; ids >> id;) {
        Window window{id};
        const Result geometry = runShell("xdotool getwindowgeometry --shell " + id);
        std::istringstream lines(geometry.out);
        for (std::string line; std::getline(lines, line);) {
            const auto equals = line.find('=');
            if (equals == std::string::npos) {
                continue;
            }
            const std::string key = line.substr(0, equals);
            const int value = std::atoi(line.c_str() + equals + 1);
            if (key == "X")
                window.x = value;
            if (key == "Y")
                window.y = value;
            if (key == "WIDTH")
                window.width = value;
            if (key == "HEIGHT")
                window.height = value;
        }
        windows.push_back(window);
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

void click(int x, int y) {
    ASSERT_EQ(
        runShell("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1")
            .status,
        0);
}

// The colour of one screen pixel as "r,g,b".
std::array<int, 3> pixel(int x, int y) {
    const Result shot = runShell("import -window root -crop 1x1+" + std::to_string(x) + "+" +
                                 std::to_string(y) + " -depth 8 txt:- | tail -n 1");
    std::array<int, 3> rgb{-1, -1, -1};
    const auto open = shot.out.find('(');
    if (open != std::string::npos) {
        std::sscanf(shot.out.c_str() + open, "(%d,%d,%d", &rgb[0], &rgb[1], &rgb[2]);
    }
    return rgb;
}

// The app's diagnostic log, followed as it grows; waits sleep in poll on an
// inotify watch and wake when the file changes.
class LogFollower {
public:
    explicit LogFollower(fs::path directory) : directory_(std::move(directory)) {
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(fd_, directory_.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO);
    }
    ~LogFollower() { ::close(fd_); }
    LogFollower(const LogFollower&) = delete;
    LogFollower& operator=(const LogFollower&) = delete;

    std::string text() const { return readText(directory_ / "Tesselwick-Debug.log"); }
    std::size_t count(const std::string& needle) const {
        const std::string all = text();
        std::size_t n = 0;
        for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
            ++n;
        }
        return n;
    }
    // Waits until `done()` holds, checking whenever the log changes (and at
    // least every 200 ms, for conditions outside the log).
    bool waitUntil(const std::function<bool()>& done, double seconds = 30) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (Clock::now() >= deadline) {
                return false;
            }
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 200);
            char buffer[4096];
            while (::read(fd_, buffer, sizeof buffer) > 0) {
            }
        }
        return true;
    }
    bool waitForCount(const std::string& needle, std::size_t n, double seconds = 30) {
        return waitUntil([&] { return count(needle) >= n; }, seconds);
    }

private:
    fs::path directory_;
    int fd_ = -1;
};

// The app inside the sandbox, as the world's user, under `dbus` environment.
// Its log directory is a link into `logs` so the test can follow it, and the
// log is kept there after the sandbox has gone.
class SandboxedApp {
public:
    SandboxedApp(const std::string& environment, const fs::path& logs) {
        const std::string inner = "mkdir -p \"$HOME/Library/Logs\" && ln -s " +
                                  quote(logs.string()) +
                                  " \"$HOME/Library/Logs/Tesselwick\" && exec " +
                                  quote(std::string(TESSELWICK_BINARY_DIR) + "/bin/tesselwick");
        const std::string command = environment + "TESSELWICK_DIAGNOSTICS=1 " +
                                    sandbox(worldPath("multiboot.json"), false) + "/bin/sh -c " +
                                    quote(inner);
        std::string shell = "/bin/sh", dashC = "-c", script = command;
        char* argv[] = {shell.data(), dashC.data(), script.data(), nullptr};
        // Its own process group, so a failed test can end the whole tree.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        if (posix_spawn(&pid_, "/bin/sh", nullptr, &attributes, argv, environ) != 0) {
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
    SandboxedApp(const SandboxedApp&) = delete;
    SandboxedApp& operator=(const SandboxedApp&) = delete;

    bool running() const { return pid_ > 0; }
    // The exit status once it has ended within `seconds`; none otherwise.
    std::optional<int> waitForExit(double seconds) {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd < 0) {
            return std::nullopt;
        }
        pollfd p{pidfd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(seconds * 1000));
        ::close(pidfd);
        int status = 0;
        if (ready != 1 || ::waitpid(pid_, &status, 0) != pid_) {
            return std::nullopt;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
};

std::size_t countRecords(const DesktopServices& desktop, const std::string& prefix) {
    const auto records = desktop.records();
    return static_cast<std::size_t>(std::count_if(
        records.begin(), records.end(), [&](auto& r) { return r.rfind(prefix, 0) == 0; }));
}

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

bool isBlue(std::array<int, 3> rgb) {
    return rgb[2] > 180 && rgb[0] < 90;
}
bool isRed(std::array<int, 3> rgb) {
    return rgb[0] > 150 && rgb[1] < 60 && rgb[2] < 70;
}

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
        follower = std::make_unique<LogFollower>(logs.path());
        app = std::make_unique<SandboxedApp>(desktop.environment(), logs.path());
        ASSERT_TRUE(app->running());
        ASSERT_TRUE(follower->waitForCount("DiskManager.refresh applying result", 1))
            << follower->text();
    }

    // The tray icon's centre: trayer's panel holds only our icon.
    std::pair<int, int> trayIcon() {
        for (const Window& panel : visibleWindows("panel")) {
            return {panel.x + panel.width / 2, panel.y + panel.height / 2};
        }
        ADD_FAILURE() << "no tray panel";
        return {0, 0};
    }

    Window openPopover() {
        const auto shown = follower->count("popover.show returned isShown=true");
        const auto [x, y] = trayIcon();
        click(x, y);
        EXPECT_TRUE(follower->waitForCount("popover.show returned isShown=true", shown + 1));
        std::optional<Window> window;
        EXPECT_TRUE(follower->waitUntil([&] { return (window = popover()).has_value(); }));
        return window.value_or(Window{});
    }

    void closeByClickingElsewhere() {
        const auto closed = follower->count("popoverDidClose");
        click(300, 600);
        ASSERT_TRUE(follower->waitForCount("popoverDidClose", closed + 1));
        EXPECT_FALSE(popover().has_value());
    }

    // Dismisses the one visible alert window titled `title` with its default button.
    void dismissAlert(const std::string& title) {
        std::vector<Window> alerts;
        ASSERT_TRUE(follower->waitUntil([&] {
            alerts = visibleWindows(title);
            std::erase_if(alerts,
                          [](const Window& w) { return w.width >= 400 && w.height == 349; });
            return !alerts.empty();
        })) << title;
        ASSERT_EQ(runShell("xdotool windowfocus --sync " + alerts[0].id + " key Return").status, 0);
        ASSERT_TRUE(follower->waitUntil([&] {
            auto left = visibleWindows(title);
            return std::none_of(left.begin(), left.end(),
                                [&](const Window& w) { return w.id == alerts[0].id; });
        }));
    }

    DesktopServices desktop;
    TempDir logs;
    std::unique_ptr<LogFollower> follower;
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
    EXPECT_TRUE(isRed(pixel(shown.x + kActionX, shown.y + kFirstCardY)));   // Unmount
    EXPECT_TRUE(isBlue(pixel(shown.x + kActionX, shown.y + kSecondCardY))); // Mount

    // Mount the HFS+ disk's first ESP: the world approves the administrator
    // prompt, the card turns to Unmount, one notification and one reveal.
    click(shown.x + kActionX, shown.y + kSecondCardY);
    ASSERT_TRUE(follower->waitUntil([&] {
        return countRecords(desktop, "notify\tEFI mounted") == 1 &&
               countRecords(desktop, "show-folders\t") == 1;
    })) << follower->text();
    ASSERT_TRUE(follower->waitUntil(
        [&] { return isRed(pixel(shown.x + kActionX, shown.y + kSecondCardY)); }));
    runShell("import -window root " + quote((artefacts / "gui-mounted.png").string()));

    // Open it again from its card: one more reveal.
    click(shown.x + kOpenButtonX, shown.y + kSecondCardY);
    ASSERT_TRUE(follower->waitUntil([&] { return countRecords(desktop, "show-folders\t") == 2; }));

    // Unmount it: the card turns back to Mount.
    const auto scans = follower->count("DiskManager.refresh applying result");
    click(shown.x + kActionX, shown.y + kSecondCardY);
    ASSERT_TRUE(follower->waitUntil([&] {
        return countRecords(desktop, "notify\tEFI unmounted") == 1 &&
               isBlue(pixel(shown.x + kActionX, shown.y + kSecondCardY));
    })) << follower->text();

    // The silent rescan after it has finished (the helper button waits for it).
    ASSERT_TRUE(follower->waitForCount("DiskManager.refresh applying result", scans + 1));

    // Install the helper behind the world's administrator prompt.
    click(shown.x + kHelperButton[0], shown.y + kHelperButton[1]);
    ASSERT_TRUE(follower->waitUntil([&] {
        return countRecords(desktop, "notify\tHelper ready") == 1;
    })) << follower->text();

    // Click outside: the popover closes.
    closeByClickingElsewhere();

    // Two fast clicks on the icon: nothing is shown.
    const auto withdrawn = follower->count("togglePopover cancelling pending presentation");
    const auto closes = follower->count("popoverDidClose");
    ASSERT_EQ(runShell("xdotool mousemove " + std::to_string(iconX) + " " + std::to_string(iconY) +
                       " click --repeat 2 --delay 1 1")
                  .status,
              0);
    // Either the second click withdrew the first before it ran, or (on a slow
    // machine) it closed what the first had just shown.
    ASSERT_TRUE(follower->waitUntil([&] {
        return follower->count("togglePopover cancelling pending presentation") > withdrawn ||
               follower->count("popoverDidClose") > closes;
    }));
    EXPECT_FALSE(popover().has_value());

    // Help (F1 in the popover) and About (the header's button).
    openPopover();
    ASSERT_EQ(runShell("xdotool key F1").status, 0);
    dismissAlert("Tesselwick Help");
    shown = openPopover();
    click(shown.x + kAboutButton[0], shown.y + kAboutButton[1]);
    dismissAlert("Tesselwick");

    // Quit: the process ends with 0 and the log shows the termination order.
    shown = openPopover();
    click(shown.x + kQuitButton[0], shown.y + kQuitButton[1]);
    EXPECT_EQ(app->waitForExit(30), std::optional<int>(0));
    const std::string log = follower->text();
    std::size_t at = 0;
    for (const char* step :
         {"Popover Quit button pressed", "applicationShouldTerminate requested\nCall stack:",
          "applicationWillTerminate begin popoverShown=", "DiskManager.deinit",
          "applicationWillTerminate complete"}) {
        const auto found = log.find(step, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << step << "\n" << log;
        at = found == std::string::npos ? at : found;
    }
}
