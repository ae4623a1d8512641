#include "manager/DiskWatcher.h"
#include "platform/fake/FakeDiskEventSource.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tesselwick;
using manager::DiskEvent;
using manager::DiskWatcher;

namespace {

constexpr double kStart = 1000.0;
constexpr double kTolerance = 1e-6;

struct WatcherFixture : ::testing::Test {
    ManualClock clock{kStart};
    ManualMainQueue queue{clock};
    std::shared_ptr<platform::fake::FakeDiskEventHub> hub =
        std::make_shared<platform::fake::FakeDiskEventHub>();
    std::vector<double> callbacks; // instants, relative to creation
    std::shared_ptr<DiskWatcher> watcher;

    void create() {
        watcher = DiskWatcher::create(queue, clock, hub->factory(),
                                      [this] { callbacks.push_back(clock.uptime() - kStart); });
    }
    // Moves virtual time to `t` seconds after creation, running what is due by
    // then; the tolerance absorbs rounding in sums like 1000.7 + 0.25.
    void at(double t) {
        queue.advance(kStart + t + 1e-7 - clock.uptime());
        clock.set(kStart + t);
    }
    // An event reported by the platform at `t`, handed over to the main thread.
    void emitAt(double t, DiskEvent event) {
        at(t);
        hub->emit(event);
        queue.runPending();
    }
};

} // namespace

TEST_F(WatcherFixture, AppearancesRightAfterCreationAreIgnored) {
    create();
    EXPECT_TRUE(watcher->hasSession());
    EXPECT_EQ(watcher->workspaceObserverCount(), 3);
    // Three disks already attached report themselves within the first 0.1 s.
    emitAt(0.0, DiskEvent::diskAppeared);
    emitAt(0.05, DiskEvent::diskAppeared);
    emitAt(0.099, DiskEvent::diskAppeared);
    at(0.7);
    EXPECT_FALSE(watcher->isSuppressingInitialAppearances());
    at(5.0);
    EXPECT_TRUE(callbacks.empty());
    // After the window an appearance is an ordinary change.
    emitAt(6.0, DiskEvent::diskAppeared);
    at(7.0);
    ASSERT_EQ(callbacks.size(), 1u);
    EXPECT_NEAR(callbacks[0], 6.25, kTolerance);
}

TEST_F(WatcherFixture, LateAppearanceInWindowSignalsOnceAfterIt) {
    create();
    emitAt(0.3, DiskEvent::diskAppeared);
    emitAt(0.5, DiskEvent::diskAppeared);
    at(0.949);
    EXPECT_TRUE(callbacks.empty()); // not at 949 ms
    at(0.95);
    ASSERT_EQ(callbacks.size(), 1u); // the window's end (0.7) plus 0.25
    EXPECT_NEAR(callbacks[0], 0.95, kTolerance);
    at(3.0);
    EXPECT_EQ(callbacks.size(), 1u);
}

TEST_F(WatcherFixture, DisappearanceIsNeverSuppressed) {
    create();
    emitAt(0.2, DiskEvent::diskDisappeared);
    at(0.449);
    EXPECT_TRUE(callbacks.empty());
    at(0.45);
    ASSERT_EQ(callbacks.size(), 1u);
    EXPECT_NEAR(callbacks[0], 0.45, kTolerance);
    at(2.0);
    // The window ends without reconciliation: nothing was deferred.
    EXPECT_EQ(callbacks.size(), 1u);
}

TEST_F(WatcherFixture, BurstOfVolumeNotificationsCoalesces) {
    create();
    at(1.0);
    const DiskEvent kinds[] = {DiskEvent::volumeMounted, DiskEvent::volumeUnmounted,
                               DiskEvent::volumeRenamed, DiskEvent::volumeMounted,
                               DiskEvent::volumeMounted};
    for (int i = 0; i < 5; ++i) {
        emitAt(1.0 + 0.1 * i, kinds[i]);
    }
    // Only the fifth delivery is still scheduled: the four earlier ones were cancelled.
    EXPECT_EQ(queue.pendingCount(), 1u);
    at(1.649);
    EXPECT_TRUE(callbacks.empty());
    at(1.65);
    ASSERT_EQ(callbacks.size(), 1u);
    EXPECT_NEAR(callbacks[0], 1.65, kTolerance);
}

TEST_F(WatcherFixture, ReleasingTheWatcherDropsPendingAndLateEvents) {
    create();
    emitAt(1.0, DiskEvent::volumeMounted);
    // An event reported by the platform but not yet handed over.
    hub->emit(DiskEvent::volumeUnmounted);
    watcher.reset();
    EXPECT_EQ(hub->liveCount(), 0); // unregistered from the platform
    hub->emit(DiskEvent::diskDisappeared);
    at(10.0);
    EXPECT_TRUE(callbacks.empty());
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST_F(WatcherFixture, WorksWithoutDiskSession) {
    hub->diskSessionAvailable = false;
    create();
    EXPECT_FALSE(watcher->hasSession());
    emitAt(1.0, DiskEvent::volumeMounted);
    at(1.25);
    EXPECT_EQ(callbacks.size(), 1u);
}
