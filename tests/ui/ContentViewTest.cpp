// The popover's content, cards and windows, off screen against a manager on
// virtual time.

#include "ui/ContentView.h"
#include "UiTestSupport.h"
#include "ui/AppTheme.h"
#include "ui/AppWindows.h"
#include "ui/Styles.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace tesselwick;
using ui::ContentView;
using ui::AppTheme::rgb;
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
    QImage render() {
        view->resize(view->preferredSize().toSize());
        return view->grab().toImage();
    }
};

bool near(QColor a, QColor b, int tolerance = 3) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// Whether any pixel of `image` inside `area` has (nearly) the colour.
bool contains(const QImage& image, QRect area, QColor color) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (near(image.pixelColor(x, y), color, 2)) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

TEST_F(ContentFixture, BodyStatesFollowLoadingAndVolumes) {
    create();
    // Before the first scan: nothing loaded, not loading yet.
    EXPECT_EQ(view->bodyState(), ContentView::BodyState::empty);
    harness.manager->refresh(); // loading, nothing found yet
    settle();
    EXPECT_EQ(view->bodyState(), ContentView::BodyState::loading);
    ASSERT_TRUE(harness.queue.runUntil([&] { return !harness.manager->isLoading(); }));
    settle();
    EXPECT_EQ(view->bodyState(), ContentView::BodyState::empty);
    scan({volume("disk0s1"), volume("disk1s1")});
    EXPECT_EQ(view->bodyState(), ContentView::BodyState::list);
    // A rescan keeps the list visible.
    harness.manager->refresh();
    settle();
    EXPECT_TRUE(harness.manager->isLoading());
    EXPECT_EQ(view->bodyState(), ContentView::BodyState::list);
    ASSERT_TRUE(harness.queue.runUntil([&] { return !harness.manager->isLoading(); }));
}

TEST_F(ContentFixture, ReportsItsSizeAndRemembersTheLayout) {
    struct Case {
        bool expanded;
        std::size_t count;
        QSize size;
    };
    const Case cases[] = {
        {false, 0, {460, 341}}, {false, 1, {460, 282}}, {false, 2, {460, 289}},
        {false, 3, {460, 349}}, {false, 7, {460, 349}}, {true, 5, {560, 549}},
        {true, 9, {560, 549}},
    };
    for (const Case& c : cases) {
        reported.clear();
        create(c.expanded);
        std::vector<discovery::ESPVolume> volumes;
        for (std::size_t i = 0; i < c.count; ++i) {
            volumes.push_back(volume("disk" + std::to_string(i) + "s1"));
        }
        scan(volumes);
        ASSERT_FALSE(reported.empty());
        EXPECT_EQ(reported.back(), QSizeF(c.size)) << c.expanded << " " << c.count;
        EXPECT_EQ(view->size(), c.size);
    }
    // Flipping the mode reports the other mode's size at once.
    reported.clear();
    view->sizeButton()->click();
    QApplication::processEvents();
    ASSERT_EQ(reported.size(), 1U);
    EXPECT_EQ(reported.back(), QSizeF(460, 349));
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
        harness.manager->applySystemStatus(c.installed);
        harness.manager->setHelperBusy(c.helperBusy);
        if (c.diskBusy) {
            harness.manager->insertBusyDisk("disk0s1");
        } else {
            harness.manager->eraseBusyDisk("disk0s1");
        }
        settle();
        EXPECT_EQ(view->helperButton()->text().toStdString(), c.title);
        EXPECT_EQ(view->helperButton()->isEnabled(), c.enabled) << c.title;
        EXPECT_EQ(view->helperLabel()->text().startsWith("Optional helper installed"), c.installed);
    }
    harness.manager->setHelperBusy(false);
    harness.manager->eraseBusyDisk("disk0s1");
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
    harness.manager->insertBusyDisk("disk0s1");
    settle();
    mounted = view->cards()[0];
    EXPECT_NE(mounted->busyIndicator(), nullptr);
    EXPECT_EQ(mounted->openButton(), nullptr);
    EXPECT_FALSE(mounted->mountButton()->isEnabled());
    EXPECT_TRUE(view->cards()[1]->mountButton()->isEnabled());
    // While the helper installs, every mount button is blocked.
    harness.manager->setHelperBusy(true);
    settle();
    EXPECT_FALSE(view->cards()[1]->mountButton()->isEnabled());
}

TEST_F(ContentFixture, UnchangedCardsAreNotRebuilt) {
    create();
    scan({volume("disk0s1"), volume("disk1s1")});
    QAbstractButton* first = view->cards()[0]->mountButton();
    QAbstractButton* second = view->cards()[1]->mountButton();
    harness.manager->insertBusyDisk("disk1s1");
    settle();
    EXPECT_EQ(view->cards()[0]->mountButton(), first);  // same inputs, same widgets
    EXPECT_NE(view->cards()[1]->mountButton(), second); // busy now, rebuilt
    // Equality ignores the actions.
    ui::ESPCardInputs inputs{volume("disk0s1"), false, false, false, false};
    EXPECT_EQ(inputs, view->cards()[0]->inputs());
}

TEST_F(ContentFixture, FilesystemColoursAsDrawn) {
    struct Case {
        const char* host;
        QColor color;
    };
    const Case cases[] = {
        {"Microsoft Basic Data (NTFS)", ui::AppTheme::textSecondary()},
        {"Linux Filesystem", ui::AppTheme::systemPurple()},
        {"APFS", ui::AppTheme::systemGreen()},
        {"ExFAT", ui::AppTheme::systemRed()}, // not orange, though it contains "fat"
        {"MS-DOS (FAT32)", ui::AppTheme::systemOrange()},
    };
    for (const Case& c : cases) {
        create();
        scan({volume("disk0s1", c.host)});
        const QImage image = render();
        auto* card = view->cards()[0];
        // The facts line is the card's second text line; sample its right part,
        // where the host filesystem is written.
        const QRect area(card->mapTo(view.get(), QPoint(44, 24)), QSize(230, 14));
        EXPECT_TRUE(contains(image, area, c.color)) << c.host;
    }
}

TEST_F(ContentFixture, PaletteAsDrawn) {
    create();
    scan({volume("disk0s1")});
    const QImage image = render();
    // The background at the edge, the header's fill inside its panel, the card's.
    EXPECT_TRUE(near(image.pixelColor(2, 2), rgb(0.038, 0.041, 0.05)));
    EXPECT_TRUE(near(image.pixelColor(200, 12), rgb(0.086, 0.093, 0.112)));
    const QPoint card = view->cards()[0]->mapTo(view.get(), QPoint(40, 4));
    EXPECT_TRUE(near(image.pixelColor(card), rgb(0.067, 0.073, 0.088)));
    EXPECT_TRUE(near(image.pixelColor(200, view->height() - 12), rgb(0.058, 0.063, 0.076)));
    // The mount button's blue.
    auto* button = view->cards()[0]->mountButton();
    const QPoint inside = button->mapTo(view.get(), QPoint(4, button->height() / 2));
    EXPECT_TRUE(near(image.pixelColor(inside), rgb(0.18, 0.45, 0.92)));
}

TEST_F(ContentFixture, ErrorAlertShowsAndClearsTheError) {
    create();
    scan({volume("disk0s1")});
    harness.manager->setLastError("Mounting failed.");
    settle();
    ASSERT_TRUE(view->errorAlert()->isVisibleTo(view.get()));
    EXPECT_EQ(view->errorAlert()->message(), "Mounting failed.");
    view->errorAlert()->okButton()->click();
    EXPECT_FALSE(harness.manager->lastError().has_value());
    settle();
    EXPECT_FALSE(view->errorAlert()->isVisibleTo(view.get()));
}

TEST_F(ContentFixture, HeaderButtons) {
    create();
    scan({});
    EXPECT_TRUE(view->refreshButton()->isEnabled());
    harness.manager->refresh();
    settle();
    EXPECT_FALSE(view->refreshButton()->isEnabled()); // while loading
    ASSERT_TRUE(harness.queue.runUntil([&] { return !harness.manager->isLoading(); }));
    settle();
    EXPECT_EQ(view->sizeButton()->toolTip(), "Expand view");
    EXPECT_EQ(view->donateButton()->accessibleName(), "PayPal");
    // The login switch shows the manager's value after the change.
    view->loginSwitch()->click();
    settle();
    EXPECT_EQ(harness.login->registerCalls, 1);
    EXPECT_TRUE(view->loginSwitch()->isChecked());
}

TEST(AppWindows, TextsAndLinks) {
    std::vector<QString> shown;
    std::vector<QUrl> openedUrls;
    QString pressInAbout;
    bool opens = false;
    ui::AppMetadata metadata{"The Tesselwick project", "", "", std::nullopt};
    auto makeWindows = [&](ui::AppMetadata m) {
        return ui::AppWindows(
            std::move(m),
            [&](QMessageBox& box) {
                shown.push_back(box.windowTitle() + "|" + box.text());
                if (box.windowTitle() == "Tesselwick" && !pressInAbout.isEmpty()) {
                    for (auto* button : box.buttons()) {
                        if (button->text() == pressInAbout) {
                            button->click();
                        }
                    }
                    pressInAbout.clear();
                }
            },
            [&](const QUrl& url) {
                openedUrls.push_back(url);
                return opens;
            });
    };

    auto windows = makeWindows(metadata);
    windows.showHelp();
    ASSERT_EQ(shown.size(), 1U);
    EXPECT_TRUE(shown[0].startsWith("Tesselwick Help|Tesselwick is a macOS menu bar app"));
    EXPECT_EQ(ui::helpText().count('\n'), 17); // 18 lines

    // No version in the bundle: 4.7. No addresses configured: the invalid messages.
    shown.clear();
    pressInAbout = "PayPal";
    windows.showAbout();
    ASSERT_EQ(shown.size(), 2U);
    EXPECT_TRUE(shown[0].contains("\nVersion 4.7\n"));
    EXPECT_TRUE(shown[0].contains("\u00AE The Tesselwick project"));
    EXPECT_EQ(shown[1], "Tesselwick|The PayPal address is invalid.");
    shown.clear();
    windows.openEmailComposer();
    EXPECT_EQ(shown, std::vector<QString>{"Tesselwick|The support email address is invalid."});
    EXPECT_TRUE(openedUrls.empty());

    // Configured, but the platform cannot open them; the failure follows the About window.
    auto configured = makeWindows({"x", "help@example.org", "https://example.org/donate", "2.0"});
    shown.clear();
    pressInAbout = "PayPal";
    configured.showAbout();
    ASSERT_EQ(shown.size(), 2U);
    EXPECT_TRUE(shown[0].contains("\nVersion 2.0\n"));
    EXPECT_EQ(shown[1], "Tesselwick|macOS could not open the PayPal page.");
    shown.clear();
    configured.openEmailComposer();
    EXPECT_EQ(shown, std::vector<QString>{
                         "Tesselwick|macOS could not open the default email application."});
    EXPECT_EQ(openedUrls.back(), QUrl("mailto:help@example.org"));
    opens = true;
    shown.clear();
    configured.openDonationPage();
    EXPECT_TRUE(shown.empty());
}
