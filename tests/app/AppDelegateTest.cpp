// The menu-bar shell off screen: the icon's size and tint, where the popover
// goes, the way out, and the Qt main queue. Clicks, sizes and what a person
// sees on a real screen are otherwise the desktop test's.

// First: the fakes name a member `emit`, which Qt defines away.
#include "ui/UiTestSupport.h"

#include "app/AppDelegate.h"
#include "app/PopoverPlacement.h"
#include "app/QtMainQueue.h"
#include "ui/Styles.h"

#include <QApplication>
#include <QEventLoop>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>

using namespace tesselwick;

TEST(StatusIcon, SideFollowsTheBarThickness) {
    EXPECT_EQ(app::statusIconSide(22), 17);   // the usual bar
    EXPECT_EQ(app::statusIconSide(37), 32);   // a taller bar after a screen change
    EXPECT_EQ(app::statusIconSide(18), 15);   // never below 15
    EXPECT_EQ(app::statusIconSide(24.9), 19); // rounded down
}

TEST(StatusIcon, TintStandsOutOnTheTray) {
    const QColor black(Qt::black), white(Qt::white), grey(0xdc, 0xda, 0xd5), dark(0x20, 0x20, 0x20);
    struct Case {
        QColor background, paletteText, tint;
    };
    const Case cases[] = {
        {QColor(), black, black},                // the tray cannot be read: the palette's colour
        {grey, black, black},                    // the palette's colour stands out: kept
        {dark, black, white},                    // a dark panel under a light theme's text
        {grey, QColor(0xee, 0xee, 0xee), black}, // a light panel under a dark theme's text
        {dark, QColor(0xee, 0xee, 0xee), QColor(0xee, 0xee, 0xee)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(app::statusIconTint(c.background, c.paletteText), c.tint)
            << c.background.name().toStdString();
    }
}

TEST(PopoverPlacement, StaysUnderTheItemAndOnScreen) {
    const QRect screen(0, 0, 1280, 800);
    const QRect available(0, 24, 1280, 776); // a panel at the top
    struct Case {
        QRect anchor;
        QRect available;
        QPoint origin;
    };
    const Case cases[] = {
        {{600, 0, 24, 24}, available, {382, 26}},            // centred under the item
        {{1250, 0, 24, 24}, available, {820, 26}},           // pushed left at the right edge
        {{5, 0, 24, 24}, available, {0, 26}},                // and right at the left edge
        {{600, 776, 24, 24}, {0, 0, 1280, 776}, {382, 425}}, // panel at the bottom: above
        {{600, 300, 1, 1}, screen, {370, 303}},              // at the pointer
    };
    for (const Case& c : cases) {
        EXPECT_EQ(app::popoverOrigin(c.anchor, {460, 349}, c.available), c.origin) << c.anchor.x();
    }
    // Larger than the area: the top-left corner stays visible.
    EXPECT_EQ(app::popoverOrigin({600, 0, 24, 24}, {460, 900}, available), QPoint(382, 24));
}

namespace {

struct DelegateFixture : ::testing::Test {
    uitest::ManagerHarness harness;
    std::vector<QString> modals;
    ui::AppWindows windows{ui::AppMetadata{},
                           [this](QMessageBox& box) { modals.push_back(box.text()); },
                           [](const QUrl&) { return false; }};
    int quits = 0;
    std::unique_ptr<app::AppDelegate> delegate;

    void SetUp() override {
        app::AppDelegateDependencies deps;
        deps.makeDiskManager = [this] { return harness.manager; };
        deps.settings = &harness.settings;
        deps.windows = &windows;
        deps.quit = [this] { ++quits; };
        deps.trayAvailable = [] { return true; };
        delegate = std::make_unique<app::AppDelegate>(std::move(deps));
        delegate->applicationDidFinishLaunching();
    }

    void TearDown() override {
        delegate.reset();
        // The first scan the launch started.
        harness.queue.runUntil([&] { return !harness.manager->isLoading(); });
    }
};

} // namespace

// Two quick clicks: the second withdraws the first before it ran. On the real
// screen a presentation that was not withdrawn may simply not be shown yet.
TEST_F(DelegateFixture, ASecondQuickClickWithdrawsTheFirst) {
    delegate->togglePopover("test");
    delegate->togglePopover("test");
    QApplication::processEvents();
    EXPECT_FALSE(delegate->isPopoverShown());
}

TEST_F(DelegateFixture, QuitWhilePendingSavesTheSizeAndEndsInOrder) {
    delegate->togglePopover("test");
    ASSERT_TRUE(delegate->hasPendingPresentation());
    // Whatever was stored before, the size must be stored again on the way out.
    harness.settings.remove(QString::fromLatin1(ui::PopoverState::kLayoutKey));
    delegate->contentView()->quitButton()->click();
    EXPECT_EQ(quits, 1);
    delegate->applicationWillTerminate();
    EXPECT_EQ(delegate->statusItem(), nullptr);
    EXPECT_EQ(delegate->diskManager(), nullptr);
    EXPECT_TRUE(ui::PopoverState(harness.settings).savedLayout().has_value());
    QApplication::processEvents(); // the withdrawn presentation does nothing
    EXPECT_FALSE(delegate->isPopoverShown());
}

TEST_F(DelegateFixture, IconIsTintedAgainWhenThePaletteChanges) {
    const QPalette original = QApplication::palette();
    for (const QColor& text : {QColor(Qt::red), QColor(Qt::blue)}) {
        QPalette palette = original;
        palette.setColor(QPalette::WindowText, text);
        QApplication::setPalette(palette);
        QApplication::processEvents();
        EXPECT_EQ(delegate->statusIconTintApplied(), text); // no tray to read off screen
    }
    QApplication::setPalette(original);
}

TEST(QtMainQueue, RunsPostedWorkOnTheGuiThreadInOrder) {
    app::QtMainQueue queue;
    std::vector<int> order;
    bool onGuiThread = true;
    QEventLoop loop;
    // Cancelled before the loop runs, so it can never have fired first.
    const TimerHandle cancelled = queue.postAfter(Seconds(0), [&] { order.push_back(-1); });
    cancelled.cancel();
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) {
            queue.post([&, i] {
                onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
                order.push_back(i);
            });
        }
        queue.postAfter(Seconds(0.001), [&] { loop.quit(); });
    });
    loop.exec();
    worker.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(onGuiThread);
}
