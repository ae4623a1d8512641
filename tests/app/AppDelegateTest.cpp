// The menu-bar shell off screen: icon and popover geometry, the presentation's
// generations, and the Qt main queue.

#include "app/AppDelegate.h"
#include "app/PopoverPlacement.h"
#include "app/QtMainQueue.h"
#include "ui/UiTestSupport.h"

#include <QApplication>
#include <QEventLoop>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>

using namespace tesselwick;

TEST(StatusIcon, SideFollowsTheBarThickness) {
    struct Case {
        double thickness;
        int side;
    };
    const Case cases[] = {
        {22, 17},   // the usual bar
        {37, 32},   // a taller bar after a screen change
        {18, 15},   // never below 15
        {24.9, 19}, // rounded down
    };
    for (const Case& c : cases) {
        EXPECT_EQ(app::statusIconSide(c.thickness), c.side) << c.thickness;
    }
}

TEST(StatusIcon, AspectFitCentresTheSource) {
    EXPECT_EQ(app::aspectFitRect({64, 32}, {18, 18}), QRectF(0, 4.5, 18, 9));
    EXPECT_EQ(app::aspectFitRect({0, 32}, {18, 18}), QRectF(0, 0, 18, 18)); // no usable size
    QImage source(64, 32, QImage::Format_ARGB32_Premultiplied);
    source.fill(Qt::black);
    const QImage fitted = app::aspectFitImage(&source, {18, 18});
    EXPECT_EQ(fitted.pixelColor(9, 2).alpha(), 0);   // above the band
    EXPECT_EQ(fitted.pixelColor(9, 9).alpha(), 255); // inside it
    EXPECT_EQ(fitted.pixelColor(9, 15).alpha(), 0);  // below it
    EXPECT_EQ(app::aspectFitImage(nullptr, {18, 18}).pixelColor(9, 9).alpha(), 0);
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
        delegate = std::make_unique<app::AppDelegate>(app::AppDelegateDependencies{
            [this] { return harness.manager; },
            [](std::weak_ptr<manager::DiskManager>) { return ui::ContentActions{}; },
            &harness.settings, &windows, [this] { ++quits; }});
        delegate->applicationDidFinishLaunching();
    }
    void TearDown() override {
        delegate.reset();
        // The first scan the launch started.
        harness.queue.runUntil([&] { return !harness.manager->isLoading(); });
    }
};

} // namespace

TEST_F(DelegateFixture, PresentationGenerations) {
    // Two quick clicks: the second withdraws the first before it ran.
    const auto before = delegate->popoverPresentationGeneration();
    delegate->togglePopover("test");
    delegate->togglePopover("test");
    QApplication::processEvents();
    EXPECT_FALSE(delegate->isPopoverShown());
    EXPECT_EQ(delegate->popoverPresentationGeneration(), before + 2);
    EXPECT_FALSE(delegate->hasPendingPresentation());

    // One click shows it after one turn of the event loop.
    delegate->togglePopover("test");
    EXPECT_FALSE(delegate->isPopoverShown());
    EXPECT_TRUE(delegate->hasPendingPresentation());
    QApplication::processEvents();
    EXPECT_TRUE(delegate->isPopoverShown());
    EXPECT_FALSE(delegate->hasPendingPresentation());
    EXPECT_EQ(delegate->popover()->size(), QSize(460, 341));

    // A click while shown closes it and schedules nothing.
    const auto shownGeneration = delegate->popoverPresentationGeneration();
    delegate->togglePopover("test");
    EXPECT_FALSE(delegate->isPopoverShown());
    EXPECT_FALSE(delegate->hasPendingPresentation());
    EXPECT_EQ(delegate->popoverPresentationGeneration(), shownGeneration);
}

TEST_F(DelegateFixture, QuitWhilePendingSavesTheSizeAndEndsInOrder) {
    delegate->togglePopover("test");
    ASSERT_TRUE(delegate->hasPendingPresentation());
    delegate->contentView()->quitButton()->click();
    EXPECT_EQ(quits, 1);
    const auto generation = delegate->popoverPresentationGeneration();
    delegate->applicationWillTerminate();
    EXPECT_FALSE(delegate->hasPendingPresentation());
    EXPECT_EQ(delegate->popoverPresentationGeneration(), generation + 1);
    EXPECT_EQ(delegate->statusItem(), nullptr);
    EXPECT_EQ(delegate->diskManager(), nullptr);
    EXPECT_TRUE(ui::PopoverState(harness.settings).savedLayout().has_value());
    QApplication::processEvents(); // the withdrawn presentation does nothing
    EXPECT_FALSE(delegate->isPopoverShown());
}

TEST(QtMainQueue, RunsPostedWorkOnTheGuiThreadInOrder) {
    app::QtMainQueue queue;
    std::vector<int> order;
    bool onGuiThread = true;
    QEventLoop loop;
    // Cancelled before the loop runs, so it can never have fired first.
    const TimerHandle cancelled = queue.postAfter(0, [&] { order.push_back(-1); });
    cancelled.cancel();
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) {
            queue.post([&, i] {
                onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
                order.push_back(i);
            });
        }
        queue.postAfter(0.001, [&] { loop.quit(); });
    });
    loop.exec();
    worker.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(onGuiThread);
}
