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
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextDocument>

#include <gtest/gtest.h>

using namespace tesselwick;
using ui::ContentView;
using ui::ESPCard;
using uitest::volume;

namespace {

struct ContentFixture : ::testing::Test {
    uitest::ManagerHarness harness;
    ui::PopoverState state{harness.settings};
    std::vector<QSizeF> reported;
    int helperInstalls = 0;
    std::unique_ptr<ContentView> view;

    void create(bool expanded = false) {
        state.setExpanded(expanded);
        view = std::make_unique<ContentView>(harness.manager, state,
                                             [this](QSizeF size) { reported.push_back(size); });
        QObject::connect(view.get(), &ContentView::installHelperRequested,
                         [this] { ++helperInstalls; });
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
    // Shown at its size, with its layouts done.
    void showLaidOut() {
        view->show();
        QApplication::processEvents();
        view->layout()->activate();
        QApplication::processEvents();
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
    // The titles, colours and clicks are the desktop test's; only a mounted
    // card can be opened.
    auto* mounted = view->cards()[0];
    ASSERT_TRUE(mounted->openButton()->isVisibleTo(mounted));
    EXPECT_FALSE(view->cards()[1]->openButton()->isVisibleTo(view->cards()[1]));

    // Busy: the indicator replaces the open button and Unmount is disabled.
    harness.work->gate(true);
    harness.manager->toggle(volume("disk0s1", "APFS", true));
    settle();
    EXPECT_TRUE(mounted->busyIndicator()->isVisibleTo(mounted));
    EXPECT_FALSE(mounted->openButton()->isVisibleTo(mounted));
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

TEST_F(ContentFixture, EverythingFitsTheSizeRules) {
    struct Case {
        bool expanded;
        std::size_t count;
        bool helperInstalled; // the other, longer footer text
    };
    const Case cases[] = {
        {false, 1, false}, // the popover raised to its minimum: the list takes the room
        {false, 2, true},  {false, 3, false}, {false, 4, true}, // four scroll
        {true, 1, true},   {true, 5, false},  {true, 6, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.expanded << " " << c.count);
        *harness.helperProbe = c.helperInstalled;
        create(c.expanded);
        std::vector<discovery::ESPVolume> volumes;
        for (std::size_t i = 0; i < c.count; ++i) {
            auto v = volume("disk" + std::to_string(i) + "s1");
            v.isDiskImage = true; // the tallest card: four lines when expanded
            v.imagePath = "/Images/Kit.dmg";
            v.parentIdentifier = "disk0";
            volumes.push_back(v);
        }
        scan(volumes);
        showLaidOut();
        const ui::PopoverState::Mode& m = ui::PopoverState::mode(c.expanded);
        const QSizeF size(m.width, ui::PopoverState::preferredHeight(c.expanded, c.count));
        EXPECT_EQ(reported.back(), size); // what the popover is told
        EXPECT_EQ(QSizeF(view->size()), size);
        // No band below the footer, and the footer holds what it shows.
        EXPECT_EQ(view->footer()->geometry().bottom() + 1 + m.padding, view->height());
        for (const QWidget* child : view->footer()->findChildren<QWidget*>()) {
            if (child->isVisibleTo(view->footer())) {
                EXPECT_TRUE(view->footer()->rect().contains(
                    QRect(child->mapTo(view->footer(), QPoint()), child->size())));
            }
        }
        const QLabel* helper = view->helperLabel();
        EXPECT_LE(helper->heightForWidth(helper->width()), helper->height());
        // Up to the rows the mode shows, the list has nothing to scroll.
        EXPECT_EQ(view->list()->verticalScrollBar()->maximum() == 0, c.count <= m.visibleRows);
        for (const ESPCard* card : view->cards()) {
            EXPECT_LE(card->layout()->minimumSize().height(), card->height());
        }
        view.reset();
    }
}

// That the buttons stay whole inside the card is the desktop test's to see.
TEST_F(ContentFixture, CardTextGivesWayToTheButtons) {
    const std::string longName(120, 'W');
    const std::string longFile = std::string(116, 'k') + ".dmg";
    struct Case {
        bool expanded;
        std::string name, host, image;
        std::vector<bool> elided; // per shown line
    };
    const Case cases[] = {
        {false, "Samsung SSD", "APFS", "", {false, false}},                   // all fits
        {false, longName, "APFS", "", {true, false}},                         // the name gives way
        {false, "Samsung SSD", std::string(200, 'x'), "", {false, true}},     // the filesystem
        {true, longName, "APFS", "/Images/" + longFile, {true, false, true}}, // and the image
    };
    for (const Case& c : cases) {
        auto v = volume("disk4s1", c.host, true);
        v.parentName = c.name;
        if (!c.image.empty()) {
            v.isDiskImage = true;
            v.imagePath = c.image;
        }
        create(c.expanded);
        scan({v});
        showLaidOut();
        const ESPCard* card = view->cards().at(0);
        const QStringList whole = card->textLines();
        const QStringList shown = card->shownLines();
        ASSERT_EQ(shown.size(), static_cast<qsizetype>(c.elided.size())) << c.name;
        for (qsizetype i = 0; i < shown.size(); ++i) {
            EXPECT_EQ(shown[i].contains(QChar(0x2026)), c.elided[i]) << shown[i].toStdString();
        }
        EXPECT_TRUE(whole[0].startsWith(QString::fromStdString(c.name))); // nothing lost
        if (!c.image.empty()) {
            EXPECT_TRUE(shown.back().endsWith(".dmg")); // the middle goes, not the extension
        }
        view.reset();
    }
}

TEST(ESPCardToolTip, TellsApartCardsThatLookAlike) {
    auto image = volume("disk4s1");
    image.isDiskImage = true;
    image.imagePath = "/Users/ava/Images/Recovery Kit.dmg";
    auto unnamed = volume("disk5s3", "HFS+", true);
    unnamed.partitionName = "  ";
    struct Case {
        discovery::ESPVolume volume;
        QStringList lines;
    };
    const Case cases[] = {
        {volume("disk5s1"), {"disk5s1", "EFI", "Not mounted"}},
        {unnamed, {"disk5s3", "/Volumes/EFI"}}, // no name worth showing
        {image, {"disk4s1", "EFI", "Not mounted", "/Users/ava/Images/Recovery Kit.dmg"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ui::cardToolTipLines(c.volume), c.lines);
        // Shown as text, whatever the names hold.
        ESPCard card({c.volume});
        QTextDocument document;
        document.setHtml(card.toolTip());
        EXPECT_EQ(document.toPlainText(), c.lines.join('\n'));
    }
}

TEST_F(ContentFixture, ErrorAlertKeepsTheWholeMessageUntilDismissed) {
    // The composite message of a mount, its reason last; markup stays text.
    const std::string message =
        "Unable to mount EFI partition disk0s1.\n\nThe helper is optional. Without it, macOS "
        "should ask for administrator authorization when needed.\n\nDirect diskutil: <b>Volume "
        "on disk0s1 failed to mount</b>\n\nAdministrator authorization: 0:5650: execution "
        "error: User canceled. (-128)";
    struct Case {
        std::function<void(ui::ErrorAlert&)> dismiss;
        std::size_t repeat; // the message this many times: more than fits scrolls
    };
    const auto key = [](Qt::Key k) {
        return [k](ui::ErrorAlert& alert) {
            QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
            QApplication::sendEvent(alert.messageView(), &press); // where the focus is
        };
    };
    const Case cases[] = {
        {[](ui::ErrorAlert& alert) { alert.okButton()->click(); }, 1},
        {key(Qt::Key_Return), 1},
        {key(Qt::Key_Escape), 4}, // and the popover stays open
    };
    create();
    scan({volume("disk0s1")});
    showLaidOut();
    for (const Case& c : cases) {
        std::string text;
        for (std::size_t i = 0; i < c.repeat; ++i) {
            text += (i > 0 ? "\n\n" : "") + message;
        }
        harness.work->failure = text;
        harness.manager->toggle(volume("disk0s1"));
        harness.settleOperations();
        harness.at(harness.now() + 1); // the silent refresh after the failure
        harness.settle();
        settle();
        ui::ErrorAlert& alert = *view->errorAlert();
        ASSERT_TRUE(alert.isVisibleTo(view.get()));
        EXPECT_EQ(alert.message().toStdString(), text);
        const QScrollBar* scroll = alert.messageView()->verticalScrollBar();
        EXPECT_EQ(scroll->maximum() > 0, c.repeat > 1);
        for (const QWidget* part : alert.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            EXPECT_TRUE(view->rect().contains(part->geometry())) << c.repeat;
        }
        c.dismiss(alert);
        EXPECT_FALSE(harness.manager->lastError().has_value());
        settle();
        EXPECT_FALSE(alert.isVisibleTo(view.get()));
        EXPECT_TRUE(view->isVisible());
    }
}

TEST(AppWindows, TextsAndLinksWithoutConfiguredAddresses) {
    std::vector<QString> shown;
    bool opened = false;
    QString press = "PayPal"; // in About, and then in the removal's confirmation
    ui::AppWindows windows(
        {"The Tesselwick project", "", "", std::nullopt},
        [&](QMessageBox& box) {
            shown.push_back(box.windowTitle() + "|" + box.text() + "|" + box.informativeText());
            for (auto* button : box.buttons()) {
                if (button->text() == press) {
                    button->click();
                }
            }
        },
        [&](const QUrl&) { return opened = true; });
    windows.showHelp();
    windows.showAbout();
    windows.openEmailComposer();
    // The removal goes ahead only when Remove is pressed, never when the
    // confirmation is closed another way.
    press = "Cancel";
    EXPECT_FALSE(windows.confirmHelperRemoval({"/first/file", "/second/file"}));
    press = "";
    EXPECT_FALSE(windows.confirmHelperRemoval({}));
    press = "Remove";
    EXPECT_TRUE(windows.confirmHelperRemoval({}));
    ASSERT_EQ(shown.size(), 7U);
    EXPECT_TRUE(shown[4].startsWith("Remove Helper|Remove the passwordless helper?|These files "
                                    "will be removed:\n/first/file\n/second/file\n\n"))
        << shown[4].toStdString();
    EXPECT_TRUE(shown[0].startsWith("Tesselwick Help|Tesselwick is a macOS menu bar app"));
    EXPECT_FALSE(ui::helpText().contains("SwiftUI"));  // credits only what it uses
    EXPECT_TRUE(shown[1].contains("\nVersion 4.7\n")); // no version in the bundle
    EXPECT_TRUE(shown[1].contains("\u00AE The Tesselwick project"));
    EXPECT_EQ(shown[2], "Tesselwick|The PayPal address is invalid.|");
    EXPECT_EQ(shown[3], "Tesselwick|The support email address is invalid.|");
    EXPECT_FALSE(opened);
}
