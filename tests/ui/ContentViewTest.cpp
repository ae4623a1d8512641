// The popover's content, cards and windows, off screen against a manager on
// virtual time.

// First: the fakes name a member `emit`, which Qt defines away.
#include "UiTestSupport.h"

#include "ui/AppTheme.h"
#include "ui/AppWindows.h"
#include "ui/ContentView.h"
#include "ui/Styles.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace tesselwick;
using ui::ContentView;
using uitest::volume;

namespace {

struct ContentFixture : ::testing::Test {
    uitest::ManagerHarness harness;
    ui::PopoverState state{harness.settings};
    std::vector<QSizeF> reported;
    std::vector<std::string> toggled;
    std::vector<std::string> opened;
    int helperInstalls = 0;
    std::unique_ptr<ContentView> view;

    void create(bool expanded = false) {
        state.setExpanded(expanded);
        ui::ContentActions actions;
        actions.toggle = [this](const discovery::ESPVolume& v) { toggled.push_back(v.id); };
        actions.openMounted = [this](const discovery::ESPVolume& v) { opened.push_back(v.id); };
        actions.installHelper = [this] { ++helperInstalls; };
        view = std::make_unique<ContentView>(harness.manager, state, actions,
                                             [this](QSizeF size) { reported.push_back(size); });
    }
    // Lets the view pick up the manager's changes as the event loop would.
    void settle() {
        QApplication::processEvents();
        view->sync();
    }
    void scan(std::vector<discovery::ESPVolume> volumes) {
        harness.scan(std::move(volumes));
        settle();
    }
};

} // namespace

TEST_F(ContentFixture, BodyStatesAndRefreshButtonFollowLoading) {
    using enum ContentView::BodyState;
    create();
    EXPECT_EQ(view->bodyState(), empty); // before the first scan
    EXPECT_TRUE(view->refreshButton()->isEnabled());
    struct Case {
        std::size_t found;
        ContentView::BodyState whileLoading, after;
    };
    const Case cases[] = {
        {0, loading, empty}, // nothing shown yet: the spinner
        {1, loading, list},
        {1, list, list}, // a rescan keeps the list visible
    };
    for (const Case& c : cases) {
        harness.work->script(std::vector(c.found, volume("disk0s1")));
        harness.manager->refresh();
        settle();
        EXPECT_EQ(view->bodyState(), c.whileLoading);
        EXPECT_FALSE(view->refreshButton()->isEnabled());
        ASSERT_TRUE(harness.queue.runUntil([&] { return !harness.manager->isLoading(); }));
        settle();
        EXPECT_EQ(view->bodyState(), c.after);
        EXPECT_TRUE(view->refreshButton()->isEnabled());
    }
}

TEST_F(ContentFixture, ReportsItsSizeAndFlipsTheMode) {
    create(true);
    std::vector<discovery::ESPVolume> volumes;
    for (int i = 0; i < 9; ++i) {
        volumes.push_back(volume("disk" + std::to_string(i) + "s1"));
    }
    scan(volumes);
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), QSizeF(560, 549)); // five rows; the list scrolls
    EXPECT_EQ(view->size(), QSize(560, 549));
    // Flipping the mode reports the other mode's size at once.
    reported.clear();
    view->sizeButton()->click();
    QApplication::processEvents();
    EXPECT_EQ(reported, std::vector{QSizeF(460, 349)});
    EXPECT_FALSE(state.isExpanded());
}

TEST_F(ContentFixture, HelperButtonTitlesAndStates) {
    create();
    scan({volume("disk0s1")});
    struct Case {
        bool installed;
        bool helperBusy;
        bool diskBusy;
        const char* title;
        bool enabled;
    };
    const Case cases[] = {
        {false, false, false, "Install Helper", true},
        {true, false, false, "Repair Helper", true},
        {false, true, false, "Installing...", false}, // installation running
        {true, true, false, "Repairing...", false},
        {false, false, true, "Install Helper", false}, // a mount in progress
    };
    for (const Case& c : cases) {
        *harness.helperProbe = c.installed; // what the scan's status query finds
        scan({volume("disk0s1")});
        harness.work->gate(true); // holds the installation or the mount while shown
        if (c.helperBusy) {
            harness.manager->installHelper();
        }
        if (c.diskBusy) {
            harness.manager->toggle(volume("disk0s1"));
        }
        settle();
        EXPECT_EQ(view->helperButton()->text().toStdString(), c.title);
        EXPECT_EQ(view->helperButton()->isEnabled(), c.enabled) << c.title;
        EXPECT_EQ(view->helperLabel()->text().startsWith("Optional helper installed"), c.installed);
        harness.work->gate(false);
        ASSERT_TRUE(harness.queue.runUntil([&] {
            return !harness.manager->helperBusy() && harness.manager->busyDiskIDs().empty() &&
                   !harness.manager->isLoading();
        }));
    }
    settle();
    view->helperButton()->click();
    EXPECT_EQ(helperInstalls, 1);
}

TEST_F(ContentFixture, CardsShowTheirLinesByMode) {
    auto image = volume("disk4s1", "ExFAT");
    image.isDiskImage = true;
    image.imagePath = "/Users/ava/Images/Recovery Kit.dmg";
    auto unknown = volume("disk3s1", "  ");
    unknown.parentSizeBytes = 0; // falls back to the partition's own size
    unknown.isInternal = false;
    const std::vector<discovery::ESPVolume> volumes = {volume("disk5s1", "HFS+"),
                                                       volume("disk5s3", "HFS+"), image, unknown};
    create(true);
    scan(volumes);
    ASSERT_EQ(view->cards().size(), 4U);
    // Expanded: partition names only for the two ESPs of one disk; the image's file.
    EXPECT_EQ(view->cards()[0]->textLines(),
              (QStringList{"Disk disk5  disk5", "500.11 GB • Internal • HFS+",
                           "EFI Partition • EFI • disk5s1"}));
    EXPECT_EQ(view->cards()[1]->textLines().size(), 3);
    EXPECT_EQ(
        view->cards()[2]->textLines(),
        (QStringList{"Disk disk4  disk4", "500.11 GB • Disk Image • ExFAT", "Recovery Kit.dmg"}));
    EXPECT_EQ(view->cards()[3]->textLines(),
              (QStringList{"Disk disk3  disk3", "209.7 MB • External • Unknown FS"}));
    // Compact: two lines whatever the flags.
    view->setExpanded(false);
    for (const auto* card : view->cards()) {
        EXPECT_EQ(card->textLines().size(), 2);
    }
}

TEST_F(ContentFixture, CardActionsAndBusyState) {
    create();
    scan({volume("disk0s1", "APFS", true), volume("disk1s1")});
    auto* mounted = view->cards()[0];
    ASSERT_NE(mounted->openButton(), nullptr);
    EXPECT_EQ(mounted->mountButton()->text(), "Unmount");
    EXPECT_TRUE(mounted->mountButton()->isActive()); // red
    EXPECT_EQ(view->cards()[1]->mountButton()->text(), "Mount");
    EXPECT_EQ(view->cards()[1]->openButton(), nullptr);
    mounted->openButton()->click();
    view->cards()[1]->mountButton()->click();
    EXPECT_EQ(opened, std::vector<std::string>{"disk0s1"});
    EXPECT_EQ(toggled, std::vector<std::string>{"disk1s1"});

    // Busy: the indicator replaces the open button and Unmount is disabled.
    harness.work->gate(true);
    harness.manager->toggle(volume("disk0s1", "APFS", true));
    settle();
    mounted = view->cards()[0];
    EXPECT_NE(mounted->busyIndicator(), nullptr);
    EXPECT_EQ(mounted->openButton(), nullptr);
    EXPECT_FALSE(mounted->mountButton()->isEnabled());
    EXPECT_TRUE(view->cards()[1]->mountButton()->isEnabled());
    // While the helper installs, every mount button is blocked.
    harness.work->gate(false);
    harness.settleOperations();
    harness.work->gate(true);
    harness.manager->installHelper();
    settle();
    EXPECT_FALSE(view->cards()[1]->mountButton()->isEnabled());
}

TEST_F(ContentFixture, ErrorAlertShowsAndClearsTheError) {
    create();
    scan({volume("disk0s1")});
    harness.work->failure = "Mounting failed.";
    harness.manager->toggle(volume("disk0s1"));
    harness.settleOperations();
    settle();
    ASSERT_TRUE(view->errorAlert()->isVisibleTo(view.get()));
    EXPECT_EQ(view->errorAlert()->message(), "Mounting failed.");
    view->errorAlert()->okButton()->click();
    EXPECT_FALSE(harness.manager->lastError().has_value());
    settle();
    EXPECT_FALSE(view->errorAlert()->isVisibleTo(view.get()));
}

TEST(AppWindows, TextsAndLinksWithoutConfiguredAddresses) {
    std::vector<QString> shown;
    bool opened = false;
    ui::AppWindows windows(
        {"The Tesselwick project", "", "", std::nullopt},
        [&](QMessageBox& box) {
            shown.push_back(box.windowTitle() + "|" + box.text());
            for (auto* button : box.buttons()) { // in About, press PayPal
                if (box.windowTitle() == "Tesselwick" && button->text() == "PayPal") {
                    button->click();
                }
            }
        },
        [&](const QUrl&) { return opened = true; });
    windows.showHelp();
    windows.showAbout();
    windows.openEmailComposer();
    ASSERT_EQ(shown.size(), 4U);
    EXPECT_TRUE(shown[0].startsWith("Tesselwick Help|Tesselwick is a macOS menu bar app"));
    EXPECT_EQ(ui::helpText().count('\n'), 17);         // 18 lines
    EXPECT_TRUE(shown[1].contains("\nVersion 4.7\n")); // no version in the bundle
    EXPECT_TRUE(shown[1].contains("\u00AE The Tesselwick project"));
    EXPECT_EQ(shown[2], "Tesselwick|The PayPal address is invalid.");
    EXPECT_EQ(shown[3], "Tesselwick|The support email address is invalid.");
    EXPECT_FALSE(opened);
}
