#include "support/Task.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

using namespace tesselwick;
using namespace std::chrono_literals;

TEST(Task, RunsOnAnotherThreadAndReportsFinished) {
    std::promise<std::thread::id> ran;
    TaskHandle handle = startDetachedTask([&] { ran.set_value(std::this_thread::get_id()); });
    EXPECT_TRUE(ran.get_future().get() != std::this_thread::get_id());
    EXPECT_TRUE(handle.waitFinished(5.0));
    EXPECT_TRUE(handle.isFinished());
    EXPECT_FALSE(handle.isCancelled());
}

TEST(Task, CancelWakesASleepingTaskAtOnce) {
    std::atomic<bool> sawCancellation{false};
    TaskHandle handle = startDetachedTask([&] {
        try {
            task::sleep(30.0);
        } catch (const CancellationError&) {
            sawCancellation = true;
            throw;
        }
    });
    std::this_thread::sleep_for(20ms);
    const auto start = std::chrono::steady_clock::now();
    handle.cancel();
    ASSERT_TRUE(handle.waitFinished(5.0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(sawCancellation);
}

TEST(Task, CancellationIsPerTaskAndInvisibleOutsideTasks) {
    EXPECT_FALSE(task::isCancelled());
    EXPECT_NO_THROW(task::checkCancellation());

    TaskHandle a = TaskHandle::makeUnstarted();
    TaskHandle b = TaskHandle::makeUnstarted();
    a.cancel();
    {
        task::CurrentTaskScope scope(b);
        EXPECT_FALSE(task::isCancelled());
        {
            task::CurrentTaskScope inner(a);
            EXPECT_TRUE(task::isCancelled());
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

    // Registering on a cancelled task runs the callback at once.
    int late = 0;
    auto after = task::onCancel([&] { ++late; });
    EXPECT_EQ(late, 1);
}

TEST(Task, UnregisteringWaitsForACallbackInFlight) {
    TaskHandle handle = TaskHandle::makeUnstarted();
    std::atomic<bool> inCallback{false};
    std::atomic<bool> callbackDone{false};
    std::optional<task::CancelRegistration> registration;
    {
        task::CurrentTaskScope scope(handle);
        registration.emplace(task::onCancel([&] {
            inCallback = true;
            std::this_thread::sleep_for(50ms);
            callbackDone = true;
        }));
    }
    std::thread canceller([&] { handle.cancel(); });
    while (!inCallback) {
        std::this_thread::yield();
    }
    registration.reset();
    EXPECT_TRUE(callbackDone);
    canceller.join();
}
