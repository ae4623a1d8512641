#include "support/Task.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

using namespace tesselwick;

TEST(Task, CancelWakesASleepingTaskAtOnce) {
    std::promise<void> asleep;
    std::atomic<bool> sawCancellation{false};
    TaskHandle handle = startDetachedTask([&] {
        asleep.set_value();
        try {
            task::sleep(60.0);
        } catch (const CancellationError&) {
            sawCancellation = true;
            throw;
        }
    });
    asleep.get_future().wait();
    EXPECT_FALSE(handle.isFinished());
    handle.cancel();
    // Far less than the sleep: only the cancellation can have ended it.
    ASSERT_TRUE(handle.waitFinished(20.0));
    EXPECT_TRUE(sawCancellation);
}

TEST(Task, CancellationIsPerTaskAndInvisibleOutsideTasks) {
    EXPECT_NO_THROW(task::checkCancellation());
    TaskHandle a = TaskHandle::makeUnstarted();
    TaskHandle b = TaskHandle::makeUnstarted();
    a.cancel();
    {
        task::CurrentTaskScope scope(b);
        EXPECT_FALSE(task::isCancelled());
        {
            task::CurrentTaskScope inner(a);
            EXPECT_THROW(task::checkCancellation(), CancellationError);
            EXPECT_THROW(task::sleep(10.0), CancellationError);
        }
        EXPECT_FALSE(task::isCancelled());
    }
    EXPECT_FALSE(task::isCancelled());
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

TEST(Task, UnregisteringWaitsForACallbackInFlight) {
    TaskHandle handle = TaskHandle::makeUnstarted();
    std::promise<void> entered;
    std::atomic<bool> callbackDone{false};
    std::optional<task::CancelRegistration> registration;
    {
        task::CurrentTaskScope scope(handle);
        registration.emplace(task::onCancel([&] {
            entered.set_value();
            // Long enough that an unregistration that does not wait would see it unfinished.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            callbackDone = true;
        }));
    }
    std::thread canceller([&] { handle.cancel(); });
    entered.get_future().wait();
    registration.reset();
    EXPECT_TRUE(callbackDone);
    canceller.join();
}
