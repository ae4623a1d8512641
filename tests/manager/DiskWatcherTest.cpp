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

TEST_F(WatcherFixture, OneSignalAtTheExactInstant) {
    using enum DiskEvent;
    struct Case {
        std::vector<std::pair<double, DiskEvent>> events;
        double signal; // the only callback, not a millisecond earlier
        bool session = true;
    } cases[] = {
        // late appearances inside the window: once, at the window's end (0.7) plus 0.25
        {{{0.3, diskAppeared}, {0.5, diskAppeared}}, 0.95},
        // a disappearance is never suppressed, and the window's end adds nothing
        {{{0.2, diskDisappeared}}, 0.45},
        // five volume notifications 0.1 s apart coalesce: 0.25 s after the last
        {{{1.0, volumeMounted},
          {1.1, volumeUnmounted},
          {1.2, volumeRenamed},
          {1.3, volumeMounted},
          {1.4, volumeMounted}},
         1.65},
        // volume notifications still arrive without a disk session
        {{{1.0, volumeMounted}}, 1.25, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        hub->diskSessionAvailable = c.session;
        clock.set(kStart);
        callbacks.clear();
        create();
        EXPECT_EQ(watcher->hasSession(), c.session);
        for (const auto& [t, event] : c.events) {
            emitAt(t, event);
        }
        if (c.events.front().first > 0.7) {
            // Past the window only the last delivery is still scheduled.
            EXPECT_EQ(queue.pendingCount(), 1u);
        }
        at(c.signal - 0.001);
        EXPECT_TRUE(callbacks.empty());
        at(c.signal);
        ASSERT_EQ(callbacks.size(), 1u);
        EXPECT_NEAR(callbacks[0], c.signal, kTolerance);
        at(c.signal + 2.0);
        EXPECT_EQ(callbacks.size(), 1u);
        watcher.reset();
        EXPECT_EQ(queue.pendingCount(), 0u);
    }
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
