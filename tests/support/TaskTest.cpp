#include "support/Task.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace tesselwick;

TEST(Task, CancelWakesASleepingTaskAtOnce) {
    std::promise<void> asleep;
    std::atomic<bool> sawCancellation{false};
    TaskHandle handle = startDetachedTask([&] {
        asleep.set_value();
        try {
            task::sleep(60s);
        } catch (const CancellationError&) {
            sawCancellation = true;
            throw;
        }
    });
    asleep.get_future().wait();
    EXPECT_FALSE(handle.isFinished());
    handle.cancel();
    // Far less than the sleep: only the cancellation can have ended it.
    ASSERT_TRUE(handle.waitFinished(20s));
    EXPECT_TRUE(sawCancellation);
}

TEST(Task, CancelCallbacksRunOnceAndNotAfterUnregistering) {
    TaskHandle handle = TaskHandle::makeUnstarted();
    task::CurrentTaskScope scope(handle);
    int kept = 0;
    int dropped = 0;
    auto keep = task::onCancel([&] { ++kept; });
    {
        auto drop = task::onCancel([&] { ++dropped; });
    }
    handle.cancel();
    handle.cancel();
    EXPECT_EQ(kept, 1);
    EXPECT_EQ(dropped, 0);
    // Registering on a cancelled task runs the callback at once (a child started
    // after the cancellation is still stopped).
    int late = 0;
    auto after = task::onCancel([&] { ++late; });
    EXPECT_EQ(late, 1);
}
