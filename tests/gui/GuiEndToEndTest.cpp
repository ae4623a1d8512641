// The menu-bar app on a real X desktop: Xvfb with trayer as the system tray
// (started by gui-session.sh: a light panel at the top right, a dark one at the
// bottom, or none), xdotool as the user's mouse and keyboard, and the app inside
// sim/sandbox on a simulated Mac with a private session bus whose notification
// and file-manager services record what they are asked. Each case leaves the
// screens it checked in build/default/test-artefacts/.

#include "e2e/EndToEnd.h"

#include <QClipboard>
#include <QGuiApplication>

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
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
    bool inside(int screenWidth, int screenHeight) const {
        return x >= 0 && y >= 0 && x + width <= screenWidth && y + height <= screenHeight;
    }
};
constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;

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

// The app's windows titled Tesselwick larger than `minimum` on both sides: the
// popover (400) or its menu (60); the docked icon's window is smaller.
std::optional<Window> appWindow(int minimum, int maximum = 10000) {
    for (const Window& window : visibleWindows("Tesselwick")) {
        if (std::min(window.width, window.height) >= minimum &&
            std::max(window.width, window.height) < maximum) {
            return window;
        }
    }
    return std::nullopt;
}
std::optional<Window> popover() {
    return appWindow(200);
}

void xdotool(const std::string& arguments) {
    ASSERT_EQ(runShell("xdotool " + arguments).status, 0) << arguments;
}
void click(int x, int y, int button = 1) {
    xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y) + " click " +
            std::to_string(button));
}

// ImageMagick's answer about a screen area, in `format` ("txt:-" lists its pixels).
std::string grab(int x, int y, int width, int height, const std::string& format) {
    return runShell("import -window root -crop " + std::to_string(width) + "x" +
                    std::to_string(height) + "+" + std::to_string(x) + "+" + std::to_string(y) +
                    " -depth 8 " + format)
        .out;
}
// The colours of a screen column from `top` down to `bottom` (exclusive).
std::vector<std::array<int, 3>> column(int x, int top, int bottom) {
    std::vector<std::array<int, 3>> colours;
    std::istringstream lines(grab(x, top, 1, bottom - top, "txt:- | tail -n +2"));
    for (std::string line; std::getline(lines, line);) {
        std::array<int, 3> rgb{-1, -1, -1};
        if (const auto open = line.find('('); open != std::string::npos) {
            std::sscanf(line.c_str() + open, "(%d,%d,%d", &rgb[0], &rgb[1], &rgb[2]);
        }
        colours.push_back(rgb);
    }
    return colours;
}
std::array<int, 3> pixel(int x, int y) {
    const auto colours = column(x, y, y + 1);
    return colours.empty() ? std::array<int, 3>{-1, -1, -1} : colours[0];
}
bool isBlue(std::array<int, 3> rgb) {
    return rgb[2] > 180 && rgb[0] < 90;
}
bool isRed(std::array<int, 3> rgb) {
    return rgb[0] > 150 && rgb[1] < 60 && rgb[2] < 70;
}

// What the app put on the X clipboard.
std::string clipboardText() {
    QCoreApplication::processEvents(); // hears of a new clipboard owner
    return QGuiApplication::clipboard()->text().toStdString();
}

// The app and the X server change on their own: looks again every 100 ms, for
// at most 30 seconds.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        ::poll(nullptr, 0, 100);
    }
    return true;
}

// A process group of its own, so that a failed test ends the whole tree.
class Spawned {
public:
    explicit Spawned(std::string script) {
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
    ~Spawned() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            if (!waitForExit(10)) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    bool running() const { return pid_ > 0; }
    // The exit status once it has ended within `seconds`.
    std::optional<int> waitForExit(double seconds) {
        int status = 0;
        for (int waited = 0; waited < seconds * 1000; waited += 50) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::poll(nullptr, 0, 50);
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
};

// The app inside the sandbox on `world`. Its log directory is a link into
// `logs`, where its standard error goes too.
std::string sandboxedApp(const std::string& environment, const fs::path& logs,
                         const std::string& world) {
    const std::string inner = "mkdir -p \"$HOME/Library/Logs\" && ln -s " + quote(logs.string()) +
                              " \"$HOME/Library/Logs/Tesselwick\" && exec " + quote(programPath()) +
                              " 2>" + quote((logs / "stderr").string());
    return environment + "TESSELWICK_DIAGNOSTICS=1 " + sandbox(world, false) + "/bin/sh -c " +
           quote(inner);
}

// Places inside the compact popover, from its top-left corner (8 points of
// padding, a 62-point header, a 7-point divider, the list 6 points in, rows
// of 52 points 8 apart), and in the expanded one (10, 72).
constexpr int kActionX = 428;   // inside the right padding of a card's Mount/Unmount button
constexpr int kCardFillX = 444; // between that button and the card's edge
constexpr int kFirstCardY = 109;
constexpr int kSecondCardY = 169;
constexpr int kOpenButtonX = 329;
constexpr int kHelperButton[2] = {396, 291};
constexpr int kHelperIcon[2] = {24, 290};
constexpr int kWhyButton[2] = {230, 222}; // in the empty list
constexpr int kHeaderY = 39;
constexpr int kSizeButtonX = 348;
constexpr int kAboutButtonX = 387;
constexpr int kQuitButtonX = 426;
constexpr int kExpandedHeaderY = 46;
constexpr int kExpandedSizeButtonX = 444;

// The footer's helper icon: 'g' (green) while the helper is installed, 'b'
// (blue) while the footer offers "Install Helper", by the most of its
// coloured pixels.
char helperIconTint(int popoverX, int popoverY) {
    std::istringstream lines(grab(popoverX + kHelperIcon[0] - 6, popoverY + kHelperIcon[1] - 6, 12,
                                  12, "txt:- | tail -n +2"));
    int green = 0, blue = 0;
    for (std::string line; std::getline(lines, line);) {
        int r = 0, g = 0, b = 0;
        if (const auto open = line.find('(');
            open != std::string::npos &&
            std::sscanf(line.c_str() + open, "(%d,%d,%d", &r, &g, &b) == 3) {
            green += g > b + 60 && g > r + 60;
            blue += b > g + 60 && b > r + 60;
        }
    }
    return green > 8 && green > 2 * blue ? 'g' : blue > 8 && blue > 2 * green ? 'b' : '?';
}
const std::string kScanApplied = "DiskManager.refresh applying result";
const std::string kAlertPresented = "ContentView error alert presented";

// Small worlds on the multi-boot Mac's base: disks whose names and image file
// are 120 characters long, and a USB stick.
std::string smallWorld(int disks) {
    const std::string name = std::string("Extremely Long Vendor Name Storage Device ") +
                             std::string(78, 'X'); // 120 characters
    const std::string file = std::string(116, 'k') + ".dmg";
    const auto esp = [](const std::string& id) {
        return Json{{"id", id},
                    {"content", "EFI"},
                    {"name", "EFI System Partition"},
                    {"volumeName", "EFI"},
                    {"fs", "fat32"},
                    {"size", 209715200}};
    };
    Json all = Json::array();
    all.push_back({{"id", "disk2"},
                   {"mediaName", name},
                   {"model", name},
                   {"protocol", "SATA"},
                   {"size", 1000204886016},
                   {"partitions", {esp("disk2s1")}}});
    all.push_back({{"id", "disk4"},
                   {"image", "/Users/ava/Images/" + file},
                   {"size", 2147483648},
                   {"partitions", {esp("disk4s1")}}});
    all.push_back({{"id", "disk3"},
                   {"internal", false},
                   {"mediaName", "SanDisk Ultra Fit"},
                   {"protocol", "USB"},
                   {"size", 61530439680},
                   {"partitions", {esp("disk3s1")}}});
    all.erase(all.begin() + disks, all.end());
    return Json{{"base", worldPath("multiboot.json")}, {"disks", all}}.dump();
}

} // namespace

// One desktop, one app at a time; the tray as gui-session.sh set it up.
class GuiTest : public ::testing::Test {
protected:
    explicit GuiTest(std::string tray) : tray_(std::move(tray)) {}

    void SetUp() override {
        if (auto reason = sandboxUnavailable()) {
            GTEST_SKIP() << *reason;
        }
        const char* session = std::getenv("TESSELWICK_GUI_TRAY");
        if (std::getenv("DISPLAY") == nullptr || session == nullptr || session != tray_) {
            GTEST_SKIP() << "run under tests/gui/gui-session.sh --tray " << tray_;
        }
        ASSERT_TRUE(desktop.started());
        fs::permissions(logs.path(), fs::perms::all); // the world's user writes here
        fs::create_directories(artefacts);
    }

    // Starts the app on `world` (a file, or a world's JSON) and waits for its
    // first scan.
    void launch(const std::string& world = worldPath("multiboot.json")) {
        std::string file = world;
        if (world.front() == '{') {
            file = logs / "world.json";
            writeText(file, world);
        }
        const auto scans = logged(kScanApplied);
        app = std::make_unique<Spawned>(sandboxedApp(desktop.environment(), logs.path(), file));
        ASSERT_TRUE(app->running());
        ASSERT_TRUE(waitForLogged(kScanApplied, scans + 1)) << logText();
    }
    void screenshot(const std::string& name) {
        runShell("import -window root " + quote((artefacts / (name + ".png")).string()));
    }
    // The tray icon's place: trayer's panel holds only our icon.
    Window trayIcon() {
        std::vector<Window> panels;
        EXPECT_TRUE(eventually([&] { return !(panels = visibleWindows("panel")).empty(); }));
        return panels.empty() ? Window{} : panels[0];
    }
    Window openPopover() {
        const auto shown = logged("popover.show returned isShown=true");
        const Window icon = trayIcon();
        click(icon.x + icon.width / 2, icon.y + icon.height / 2);
        EXPECT_TRUE(waitForLogged("popover.show returned isShown=true", shown + 1));
        std::optional<Window> window;
        EXPECT_TRUE(eventually([&] { return (window = popover()).has_value(); }));
        return window.value_or(Window{});
    }
    // Waits for the popover to take `width` and returns where it is then.
    Window popoverOfWidth(int width) {
        std::optional<Window> window;
        EXPECT_TRUE(eventually([&] {
            window = popover();
            return window && window->width == width;
        })) << width;
        return window.value_or(Window{});
    }
    // Expand, then Compact: after each the whole popover is on the screen.
    void expandAndCollapseStayOnScreen(const Window& compact, const std::string& name) {
        click(compact.x + kSizeButtonX, compact.y + kHeaderY);
        const Window expanded = popoverOfWidth(560);
        EXPECT_TRUE(expanded.inside(kScreenWidth, kScreenHeight))
            << expanded.x << "," << expanded.y << " " << expanded.height;
        screenshot(name);
        click(expanded.x + kExpandedSizeButtonX, expanded.y + kExpandedHeaderY);
        const Window back = popoverOfWidth(460);
        EXPECT_TRUE(back.inside(kScreenWidth, kScreenHeight)) << back.x << "," << back.y;
    }
    // The icon stands out on its panel: what it draws is far from the panel's colour.
    void iconStandsOut() {
        const Window icon = trayIcon();
        const std::array<int, 3> panel = pixel(icon.x, icon.y);
        const double panelGrey = (panel[0] + panel[1] + panel[2]) / 765.0;
        double lightest = -1, darkest = -1; // grey levels from 0 to 1
        std::sscanf(grab(icon.x, icon.y, icon.width, icon.height,
                         "-colorspace Gray -format '%[fx:maxima] %[fx:minima]' info:")
                        .c_str(),
                    "%lf %lf", &lightest, &darkest);
        EXPECT_GT(std::max(lightest - panelGrey, panelGrey - darkest), 0.5)
            << panelGrey << " " << lightest << " " << darkest;
    }
    // Dismisses the visible alert titled `title` with its default button, after
    // a screenshot when `artefact` names one.
    void dismissAlert(const std::string& title, const std::string& artefact = "",
                      const std::string& key = "Return") {
        std::vector<Window> alerts;
        ASSERT_TRUE(eventually([&] {
            alerts = visibleWindows(title);
            std::erase_if(alerts, [](const Window& w) { return w.height < 100 || w.width == 460; });
            return !alerts.empty();
        })) << title;
        if (!artefact.empty()) {
            screenshot(artefact);
        }
        xdotool("windowfocus --sync " + std::to_string(alerts[0].id) + " key " + key);
        ASSERT_TRUE(eventually([&] {
            const auto left = visibleWindows(title);
            return std::none_of(left.begin(), left.end(),
                                [&](const Window& w) { return w.id == alerts[0].id; });
        }));
    }
    // The app's diagnostic log, read as it grows.
    std::string logText() const { return readText(logs.path() / "Tesselwick-Debug.log"); }
    std::size_t logged(const std::string& needle) const {
        const std::string all = logText();
        std::size_t n = 0;
        for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
            ++n;
        }
        return n;
    }
    bool waitForLogged(const std::string& needle, std::size_t n) const {
        return eventually([&] { return logged(needle) >= n; });
    }
    std::size_t records(const std::string& prefix) const {
        const auto all = desktop.records();
        return static_cast<std::size_t>(std::count_if(
            all.begin(), all.end(), [&](auto& r) { return r.rfind(prefix, 0) == 0; }));
    }

    std::string tray_;
    const fs::path artefacts = fs::path(TESSELWICK_BINARY_DIR) / "test-artefacts";
    DesktopServices desktop;
    TempDir logs;
    std::unique_ptr<Spawned> app;
};

class GuiTopTray : public GuiTest {
protected:
    GuiTopTray() : GuiTest("top") {}
};
class GuiBottomPanel : public GuiTest {
protected:
    GuiBottomPanel() : GuiTest("bottom") {}
};
class GuiNoTray : public GuiTest {
protected:
    GuiNoTray() : GuiTest("none") {}
};

TEST_F(GuiTopTray, APersonUsesTheApp) {
    launch();
    // Click the status icon: the popover appears under it at the compact size.
    const Window icon = trayIcon();
    const int iconX = icon.x + icon.width / 2;
    const int iconY = icon.y + icon.height / 2;
    Window shown = openPopover();
    EXPECT_EQ(shown.width, 460);
    EXPECT_EQ(shown.height, 349);
    EXPECT_GT(shown.y, iconY); // below the icon
    EXPECT_TRUE(shown.inside(kScreenWidth, kScreenHeight));
    iconStandsOut(); // dark on the light panel
    screenshot("gui-popover");
    const auto second = [&] { return pixel(shown.x + kActionX, shown.y + kSecondCardY); };
    EXPECT_TRUE(isRed(pixel(shown.x + kActionX, shown.y + kFirstCardY))); // Unmount
    EXPECT_TRUE(isBlue(second()));                                        // Mount
    expandAndCollapseStayOnScreen(shown, "gui-expanded-top-right");

    // Mount the HFS+ disk's first ESP: the world approves the administrator
    // prompt, the card turns to Unmount, one notification and one reveal.
    click(shown.x + kActionX, shown.y + kSecondCardY);
    ASSERT_TRUE(eventually([&] {
        return records("notify\tEFI mounted") == 1 && records("show-folders\t") == 1 &&
               isRed(second());
    })) << logText();
    screenshot("gui-mounted");

    // Open it again from its card: one more reveal.
    click(shown.x + kOpenButtonX, shown.y + kSecondCardY);
    ASSERT_TRUE(eventually([&] { return records("show-folders\t") == 2; }));

    // Unmount it: the card turns back to Mount, and the silent rescan after it
    // finishes (the helper button waits for it).
    const auto scans = logged(kScanApplied);
    click(shown.x + kActionX, shown.y + kSecondCardY);
    ASSERT_TRUE(eventually([&] {
        return records("notify\tEFI unmounted") == 1 && isBlue(second()) &&
               logged(kScanApplied) > scans;
    })) << logText();

    // The two ESPs of one disk look alike; the tool tip tells them apart.
    xdotool("mousemove " + std::to_string(shown.x + 200) + " " +
            std::to_string(shown.y + kSecondCardY));
    ::poll(nullptr, 0, 1500);
    screenshot("gui-tooltip");

    // Install the helper behind the world's administrator prompt.
    const auto iconTint = [&] { return helperIconTint(shown.x, shown.y); };
    EXPECT_EQ(iconTint(), 'b'); // "Install Helper"
    click(shown.x + kHelperButton[0], shown.y + kHelperButton[1]);
    ASSERT_TRUE(eventually([&] { return records("notify\tHelper ready") == 1; })) << logText();
    ASSERT_TRUE(eventually([&] { return iconTint() == 'g'; }));

    // Click outside: the popover closes.
    const auto closes = logged("popoverDidClose");
    click(300, 600);
    ASSERT_TRUE(waitForLogged("popoverDidClose", closes + 1));
    EXPECT_FALSE(popover().has_value());

    // A right click opens the menu with the main menu's three items, top to
    // bottom; Help and About open from it, and F1 in the popover still opens Help.
    click(iconX, iconY, 3);
    std::optional<Window> menu;
    const bool menuShown = eventually([&] { return (menu = appWindow(60, 400)).has_value(); });
    screenshot("gui-menu");
    ASSERT_TRUE(menuShown) << logText();
    EXPECT_FALSE(popover().has_value());
    xdotool("key Down Return");
    dismissAlert("Tesselwick Help", "gui-help");
    click(iconX, iconY, 3);
    ASSERT_TRUE(eventually([&] { return appWindow(60, 400).has_value(); }));
    xdotool("key Down Down Return");
    dismissAlert("Tesselwick");

    // With the helper installed the menu offers to remove it, behind a
    // confirmation; cancelled, nothing happens.
    const auto chooseRemoveHelper = [&] {
        ::poll(nullptr, 0, 500); // a person's pause after the last window closed
        click(iconX, iconY, 3);
        ASSERT_TRUE(eventually([&] { return (menu = appWindow(60, 400)).has_value(); }));
        xdotool("key Down Down Down Return");
    };
    chooseRemoveHelper();
    const int longMenu = menu->height;
    dismissAlert("Remove Helper", "", "Escape");
    chooseRemoveHelper();
    EXPECT_EQ(logged("DiskManager.uninstallHelper requested"), 0u); // the cancel asked nothing
    dismissAlert("Remove Helper", "gui-remove-helper");
    ASSERT_TRUE(waitForLogged("DiskManager.uninstallHelper completed helperInstalled=false", 1))
        << logText();
    // "Install Helper" again, and the menu no longer offers the removal.
    shown = openPopover();
    EXPECT_TRUE(eventually([&] { return iconTint() == 'b'; }));
    screenshot("gui-helper-removed");
    click(300, 600);
    click(iconX, iconY, 3);
    ASSERT_TRUE(eventually([&] { return (menu = appWindow(60, 400)).has_value(); }));
    EXPECT_LT(menu->height, longMenu);
    xdotool("key Escape");

    openPopover();
    xdotool("key F1");
    dismissAlert("Tesselwick Help");
    shown = openPopover();
    click(shown.x + kAboutButtonX, shown.y + kHeaderY);
    dismissAlert("Tesselwick");

    // Quit: the process ends with 0 and the log shows the termination order.
    shown = openPopover();
    click(shown.x + kQuitButtonX, shown.y + kHeaderY);
    EXPECT_EQ(app->waitForExit(30), std::optional<int>(0));
    const std::string text = logText();
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

TEST_F(GuiTopTray, ACancelledPromptKeepsItsWholeMessage) {
    // The prompt takes a second to be cancelled, time enough to close the popover.
    launch(Json{{"base", worldPath("multiboot.json")},
                {"prompt", "cancel"},
                {"faults", {{{"tool", "osascript"}, {"delay", 1}}}}}
               .dump());
    const Window shown = openPopover();
    // Beside the heart in the donation button.
    const auto heart = [&] { return pixel(shown.x + 298, shown.y + kHeaderY); };
    ASSERT_TRUE(isBlue(heart())); // not dimmed by an alert
    click(shown.x + kActionX, shown.y + kSecondCardY);
    ASSERT_TRUE(waitForLogged(kAlertPresented, 1)) << logText();
    // Well past the silent refresh that follows the failure.
    const auto scans = logged(kScanApplied);
    ASSERT_TRUE(waitForLogged(kScanApplied, scans + 1));
    ::poll(nullptr, 0, 3000);
    screenshot("gui-failure-alert");
    EXPECT_FALSE(isBlue(heart())); // the alert still covers the popover
    // Every paragraph, the reason last, read back from the alert as the user
    // would copy it.
    xdotool("key ctrl+a ctrl+c");
    const std::string copied = clipboardText();
    for (const char* paragraph :
         {"Unable to mount EFI partition disk5s1.\n\nThe helper is optional.",
          "\n\nDirect diskutil: ", "\n\nAdministrator authorization: ", "User canceled. (-128)"}) {
        EXPECT_NE(copied.find(paragraph), std::string::npos) << paragraph << "\n" << copied;
    }
    xdotool("key Return");
    ASSERT_TRUE(eventually([&] { return isBlue(heart()); }));

    // The popover closed while the mount fails: opening it shows the message.
    const auto presented = logged(kAlertPresented);
    xdotool("mousemove " + std::to_string(shown.x + kActionX) + " " +
            std::to_string(shown.y + kFirstCardY + 120) + " click 1 key Escape");
    ASSERT_TRUE(eventually([&] { return !popover().has_value(); }));
    ASSERT_TRUE(waitForLogged(kAlertPresented, presented + 1)) << logText();
    EXPECT_FALSE(popover().has_value()); // it failed while the popover was closed
    openPopover();
    ASSERT_TRUE(eventually([&] { return !isBlue(heart()); }));
    screenshot("gui-failure-alert-reopened");
    xdotool("key ctrl+a ctrl+c");
    EXPECT_NE(clipboardText().find("Unable to mount EFI partition disk5s3."), std::string::npos);
}

TEST_F(GuiTopTray, AnEmptyListSaysWhy) {
    // Apple silicon: the internal disk and its container, no ESP anywhere.
    launch(worldPath("empty.json"));
    const Window shown = openPopover();
    const auto heart = [&] { return pixel(shown.x + 298, shown.y + kHeaderY); };
    click(shown.x + kWhyButton[0], shown.y + kWhyButton[1]);
    ASSERT_TRUE(waitForLogged("ContentView why-no-ESP alert presented", 1)) << logText();
    screenshot("gui-why-no-esp");
    xdotool("key ctrl+a ctrl+c");
    const std::string copied = clipboardText();
    for (const char* line : {"\ndisk0: GUID disk without an EFI partition",
                             "\ndisk3: APFS container: its physical store disk0 has no ESP"}) {
        EXPECT_NE(copied.find(line), std::string::npos) << copied;
    }
    EXPECT_FALSE(isBlue(heart())); // dimmed under the alert, until OK
    xdotool("key Return");
    EXPECT_TRUE(eventually([&] { return isBlue(heart()); }));
}

TEST_F(GuiTopTray, SmallListsFitAndLongNamesGiveWay) {
    for (int disks : {2, 3}) {
        launch(smallWorld(disks));
        const Window shown = openPopover();
        const std::string name = "gui-" + std::to_string(disks) + "-esps";
        screenshot(name);
        // Nothing to scroll: the wheel over the list moves nothing.
        const int listY = shown.y + 77;
        const auto list = [&] {
            return grab(shown.x, listY, shown.width, 60 * disks, "-format '%#' info:");
        };
        const std::string before = list();
        xdotool("mousemove " + std::to_string(shown.x + 200) + " " + std::to_string(listY + 40) +
                " click --repeat 3 5");
        ::poll(nullptr, 0, 300);
        EXPECT_EQ(list(), before) << disks;
        // However long the names, each Mount button ends inside its card.
        for (int row = 0; row < disks; ++row) {
            const int y = shown.y + kFirstCardY + 60 * row;
            EXPECT_TRUE(isBlue(pixel(shown.x + kActionX, y))) << row;
            EXPECT_FALSE(isBlue(pixel(shown.x + kCardFillX, y))) << row;
        }
        // Expanded, the image's file name shows too, and gives way as well.
        click(shown.x + kSizeButtonX, shown.y + kHeaderY);
        const Window expanded = popoverOfWidth(560);
        screenshot(name + "-expanded");
        for (int row = 0; row < disks; ++row) {
            const int y = expanded.y + 10 + 72 + 7 + 8 + 31 + 70 * row;
            EXPECT_TRUE(isBlue(pixel(expanded.x + 560 - 30, y))) << row;
            EXPECT_FALSE(isBlue(pixel(expanded.x + 560 - 15, y))) << row;
        }
        click(expanded.x + kExpandedSizeButtonX, expanded.y + kExpandedHeaderY);
        popoverOfWidth(460);
        app.reset();
    }
}

TEST_F(GuiBottomPanel, OneESPAboveADarkPanel) {
    launch(smallWorld(1));
    const Window shown = openPopover();
    const Window icon = trayIcon();
    EXPECT_LT(shown.y + shown.height, icon.y); // above the panel
    EXPECT_TRUE(shown.inside(kScreenWidth, kScreenHeight));
    iconStandsOut(); // light on the dark panel
    screenshot("gui-one-esp-bottom");
    // No empty band: from the popover's bottom up, 8 points of background,
    // then the footer of its own height, then the gap before the list (clear
    // of the footer's rounded corner).
    const auto colours =
        column(shown.x + shown.width - 30, shown.y + shown.height / 2, shown.y + shown.height - 8);
    const auto background = [](const std::array<int, 3>& rgb) { // darker than the footer
        return rgb[0] < 12 && rgb[1] < 12;
    };
    const auto top = std::find_if(colours.rbegin(), colours.rend(), background);
    const auto footer = std::distance(colours.rbegin(), top);
    EXPECT_GE(footer, 68);
    EXPECT_LE(footer, 74);
    expandAndCollapseStayOnScreen(shown, "gui-expanded-bottom-right");
}

TEST_F(GuiNoTray, TheAppOpensAsAWindowUntilATrayAppears) {
    launch();
    // A few seconds without a tray: one line on standard error, and the
    // popover as an ordinary window.
    std::optional<Window> window;
    ASSERT_TRUE(eventually([&] { return (window = popover()).has_value(); }));
    EXPECT_EQ(window->width, 460);
    const std::string said = readText(logs / "stderr");
    const std::string line = "tesselwick: no system tray on this desktop; Tesselwick opens as "
                             "a window and moves to the tray when one appears\n";
    const auto at = said.find(line);
    EXPECT_NE(at, std::string::npos) << said;
    EXPECT_EQ(said.find("tesselwick:", at + 1), std::string::npos) << said; // once
    screenshot("gui-no-tray-window");

    // A tray appears: the window goes and the icon opens the popover again.
    Spawned tray("exec trayer --edge top --align right --widthtype request --height 24 "
                 "--SetDockType false --SetPartialStrut false --expand false >/dev/null 2>&1");
    ASSERT_TRUE(eventually([&] { return !popover().has_value(); }));
    const Window shown = openPopover();
    EXPECT_EQ(shown.height, 349);
    screenshot("gui-no-tray-then-docked");
}

// A Qt client of the test's own, for the clipboard; off screen without a display.
int main(int argc, char** argv) {
    if (std::getenv("DISPLAY") == nullptr) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
