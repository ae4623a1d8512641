#include "platform/linux/XdgAutostartLoginItem.h"
#include "support/Errors.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace tesselwick;
using platform::linux_::desktopExecProgram;
using platform::linux_::desktopExecValue;
using platform::linux_::XdgAutostartLoginItem;
using services::LoginItemStatus;

namespace {

struct TempHome : ::testing::Test {
    tesselwick::testing::TempDir dir;
    const std::filesystem::path& home = dir.path();
    void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }
    std::string makeProgram(const std::string& name) {
        const auto path = home / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        ::chmod(path.c_str(), 0755);
        return path.string();
    }
};

} // namespace

TEST(DesktopExec, QuotesAndReadsBackProgramPaths) {
    struct Case {
        std::string program;
        std::string value;
    };
    const Case cases[] = {
        {"/usr/bin/tesselwick", "/usr/bin/tesselwick"},                 // plain
        {"/opt/Tess Wick/tesselwick", "\"/opt/Tess Wick/tesselwick\""}, // blank
        {"/opt/a$b/t", "\"/opt/a\\\\$b/t\""},                           // shell-expanded char
        {"/opt/q\"uote/t", "\"/opt/q\\\\\"uote/t\""},                   // a double quote
        {"/opt/back\\slash/t", "\"/opt/back\\\\\\\\slash/t\""},         // a backslash
        {"/opt/100%/t", "/opt/100%%/t"},                                // field-code sign
    };
    for (const Case& c : cases) {
        EXPECT_EQ(desktopExecValue(c.program), c.value) << c.program;
        EXPECT_EQ(desktopExecProgram(desktopExecValue(c.program)), c.program) << c.program;
    }
    // A line break would let the path write further keys into the entry.
    EXPECT_THROW(desktopExecValue("/opt/x\nHidden=true"), DomainError);
}

TEST_F(TempHome, RegisterAndUnregisterRoundTrip) {
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    const std::string program = makeProgram("Apps/Tess Wick/tesselwick");
    XdgAutostartLoginItem item(XdgAutostartLoginItem::defaultAutostartDirectory(), program);
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    // Registering again replaces the entry in place, with no temporary file left beside it.
    item.registerItem();
    item.registerItem();
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home / "config/autostart"), {}), 1);
    EXPECT_TRUE(std::filesystem::exists(home / "config/autostart/tesselwick.desktop"));
    item.unregisterItem();
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    item.unregisterItem(); // already gone: not an error
}

TEST_F(TempHome, StatusOfEntriesChangedOutsideTheApplication) {
    const std::string program = makeProgram("bin/tesselwick");
    XdgAutostartLoginItem item(home / "autostart", program);
    const auto write = [&](const std::string& content) {
        std::ofstream(item.entryPath()) << content;
    };
    item.registerItem();
    struct Case {
        std::string content;
        LoginItemStatus expected;
    };
    const Case cases[] = {
        // switched off in the desktop's session settings
        {"[Desktop Entry]\nExec=" + program + "\nHidden=true\n", LoginItemStatus::notRegistered},
        {"[Desktop Entry]\nExec=" + program + "\nX-GNOME-Autostart-enabled=false\n",
         LoginItemStatus::notRegistered},
        // the program was moved away
        {"[Desktop Entry]\nExec=" + (home / "gone").string() + "\n", LoginItemStatus::notFound},
        {"[Desktop Entry]\nName=Tesselwick\n", LoginItemStatus::notFound},
        // keys of another group do not count
        {"[Desktop Entry]\nExec=" + program + "\n[Desktop Action x]\nHidden=true\n",
         LoginItemStatus::enabled},
    };
    for (const Case& c : cases) {
        write(c.content);
        EXPECT_EQ(item.status(), c.expected) << c.content;
    }
}
