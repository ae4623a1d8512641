#include "support/MainQueue.h"
#include "doubles/ManualMainQueue.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <string>

using namespace tesselwick;

TEST(ManualMainQueue, RunsDelayedWorkAtExactInstantsInOrder) {
    ManualClock clock(100.0);
    ManualMainQueue queue(clock);
    std::string trace;
    auto note = [&](const char* name) {
        return [&, name] {
            trace += name + std::to_string(clock.uptime().count()).substr(0, 6) + " ";
        };
    };
    queue.postAfter(Seconds(0.25), note("b"));
    queue.postAfter(Seconds(0.1), [&] {
        note("a")();
        // Posted while running: due at its own instant, not at once.
        queue.postAfter(Seconds(0.25), note("d"));
    });
    queue.postAfter(Seconds(0.25), note("c")); // same deadline: posting order decides
    queue.post(note("0"));
    TimerHandle cancelled = queue.postAfter(Seconds(0.2), note("x"));
    cancelled.cancel();

    EXPECT_EQ(queue.runPending(), 1u);
    EXPECT_EQ(queue.advance(0.249), 1u); // nothing due at 249 ms runs early
    EXPECT_EQ(trace, "0100.00 a100.10 ");
    EXPECT_EQ(queue.advance(0.001), 2u); // due at exactly 250 ms
    EXPECT_EQ(queue.advance(1.0), 1u);
    EXPECT_EQ(trace, "0100.00 a100.10 b100.25 c100.25 d100.35 ");
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(ManualMainQueue, WaitsForResultsPostedByWorkers) {
    ManualClock clock;
    ManualMainQueue queue(clock);
    int result = 0;
    TaskHandle worker =
        startDetachedTask([&queue, &result] { queue.post([&result] { result = 42; }); });
    EXPECT_TRUE(queue.runUntil([&] { return result == 42; }, 30s));
    EXPECT_TRUE(worker.waitFinished(30s));
}
