#include "support/MainQueue.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <string>

using namespace tesselwick;

TEST(ManualMainQueue, RunsDelayedWorkAtExactInstantsInOrder) {
    ManualClock clock(100.0);
    ManualMainQueue queue(clock);
    std::string trace;
    std::vector<double> at;
    queue.postAfter(0.25, [&] {
        trace += "b";
        at.push_back(clock.uptime());
    });
    queue.postAfter(0.1, [&] {
        trace += "a";
        at.push_back(clock.uptime());
    });
    // Same deadline: posting order decides.
    queue.postAfter(0.25, [&] {
        trace += "c";
        at.push_back(clock.uptime());
    });
    queue.post([&] { trace += "0"; });

    EXPECT_EQ(queue.runPending(), 1u);
    EXPECT_EQ(trace, "0");
    EXPECT_EQ(queue.advance(0.249), 1u); // not fired at 249 ms
    EXPECT_EQ(trace, "0a");
    EXPECT_EQ(queue.advance(0.001), 2u); // fired at exactly 250 ms
    EXPECT_EQ(trace, "0abc");
    EXPECT_DOUBLE_EQ(at[0], 100.1);
    EXPECT_DOUBLE_EQ(at[1], 100.25);
    EXPECT_DOUBLE_EQ(clock.uptime(), 100.25);
}

TEST(ManualMainQueue, CancelledWorkNeverRuns) {
    ManualClock clock;
    ManualMainQueue queue(clock);
    int runs = 0;
    TimerHandle handle = queue.postAfter(1.0, [&] { ++runs; });
    EXPECT_EQ(queue.pendingCount(), 1u);
    handle.cancel();
    EXPECT_EQ(queue.pendingCount(), 0u);
    EXPECT_EQ(queue.advance(2.0), 0u);
    EXPECT_EQ(runs, 0);
}

TEST(ManualMainQueue, WorkPostedWhileRunningRunsAtItsOwnInstant) {
    ManualClock clock(0.0);
    ManualMainQueue queue(clock);
    std::vector<double> at;
    queue.postAfter(0.5, [&] {
        at.push_back(clock.uptime());
        queue.postAfter(0.25, [&] { at.push_back(clock.uptime()); });
    });
    queue.advance(1.0);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_DOUBLE_EQ(at[0], 0.5);
    EXPECT_DOUBLE_EQ(at[1], 0.75);
}

TEST(ManualMainQueue, WaitsForResultsPostedByWorkers) {
    ManualClock clock;
    ManualMainQueue queue(clock);
    int result = 0;
    TaskHandle worker =
        startDetachedTask([&queue, &result] { queue.post([&result] { result = 42; }); });
    EXPECT_TRUE(queue.runUntil([&] { return result == 42; }, 5.0));
    EXPECT_TRUE(worker.waitFinished(5.0));
}
