#include "support/BoundedPool.h"
#include "support/Errors.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

using namespace tesselwick;

namespace {

// Jobs that each hold until `target` of them run at once (or a generous time has
// passed, so a broken pool fails instead of hanging), noting the most seen.
class Gate {
public:
    explicit Gate(int target) : target_(target) {}
    void pass() {
        std::unique_lock lock(mutex_);
        most_ = std::max(most_, ++running_);
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return most_ >= target_; });
        --running_;
    }
    int most() {
        std::lock_guard lock(mutex_);
        return most_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const int target_;
    int running_ = 0;
    int most_ = 0;
};

} // namespace

TEST(BoundedPool, RunsEveryJobOnceUpToTheLimitAtOnceAsTheCallersTask) {
    const TaskHandle task = TaskHandle::makeUnstarted();
    task::CurrentTaskScope scope(task);
    BoundedPool pool(3);
    for (int batch = 0; batch < 2; ++batch) { // the second batch reuses the threads
        Gate gate(3);
        std::mutex lock;
        std::vector<int> runs(12, 0);
        int asOtherTask = 0;
        std::vector<BoundedPool::Job> jobs;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            jobs.emplace_back([&, i] {
                gate.pass();
                std::lock_guard guard(lock);
                ++runs[i];
                asOtherTask += task::current() == task ? 0 : 1;
            });
        }
        pool.runAll(jobs);
        EXPECT_EQ(gate.most(), 3);
        EXPECT_EQ(runs, std::vector<int>(12, 1));
        EXPECT_EQ(asOtherTask, 0);
    }
    task.cancel();
    EXPECT_THROW(pool.runAll({[] { task::checkCancellation(); }}), CancellationError);
}

TEST(BoundedPool, AFailedJobStopsTheBatchAndItsErrorIsRethrown) {
    for (const std::size_t limit : {1u, 2u}) { // in order; or at once, the earlier error wins
        BoundedPool pool(limit);
        Gate gate(static_cast<int>(limit));
        bool lateJobRan = false;
        const std::vector<BoundedPool::Job> jobs = {[&] {
                                                        gate.pass();
                                                        throw std::runtime_error("first");
                                                    },
                                                    [&] {
                                                        gate.pass();
                                                        throw std::runtime_error("second");
                                                    },
                                                    [&] { lateJobRan = true; }};
        try {
            pool.runAll(jobs);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "first");
        }
        EXPECT_FALSE(lateJobRan) << limit;
    }
}
