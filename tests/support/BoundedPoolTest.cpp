#include "support/BoundedPool.h"
#include "support/Errors.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

using namespace tesselwick;

namespace {

// Jobs that each hold until `target` of them run at once (or a generous time has
// passed, so a broken pool fails instead of hanging), noting the most seen.
class Gate {
public:
    explicit Gate(int target) : target_(target) {}

    void pass() {
        std::unique_lock lock(mutex_);
        ++running_;
        most_ = std::max(most_, running_);
        reached_ = reached_ || running_ >= target_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return reached_; });
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
    bool reached_ = false;
};

} // namespace

TEST(BoundedPool, RunsEveryJobOnceWithUpToTheLimitAtOnce) {
    BoundedPool pool(3);
    for (int batch = 0; batch < 2; ++batch) { // the second batch reuses the threads
        Gate gate(3);
        std::vector<int> runs(12, 0);
        std::vector<BoundedPool::Job> jobs;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            jobs.emplace_back([&, i] {
                gate.pass();
                ++runs[i];
            });
        }
        pool.runAll(jobs);
        EXPECT_EQ(gate.most(), 3);
        EXPECT_EQ(runs, std::vector<int>(12, 1));
    }
}

TEST(BoundedPool, JobsRunAsTheCallersTask) {
    const TaskHandle task = TaskHandle::makeUnstarted();
    task::CurrentTaskScope scope(task);
    BoundedPool pool(4);
    Gate gate(4); // all four at once, so three of them run on the pool's threads
    std::mutex lock;
    std::vector<bool> sawTask;
    std::vector<BoundedPool::Job> jobs(4, [&] {
        gate.pass();
        std::lock_guard guard(lock);
        sawTask.push_back(task::current() == task);
    });
    pool.runAll(jobs);
    EXPECT_EQ(sawTask, std::vector<bool>(4, true));
    task.cancel();
    EXPECT_THROW(pool.runAll({[] { task::checkCancellation(); }}), CancellationError);
}

TEST(BoundedPool, AFailedJobStopsTheBatchAndItsErrorIsRethrown) {
    struct Case {
        const char* name;
        std::size_t limit;
    };
    const Case cases[] = {
        {"one at a time, in order", 1},
        {"two at once: the earlier job's error wins", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoundedPool pool(c.limit);
        Gate gate(static_cast<int>(c.limit));
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
        EXPECT_FALSE(lateJobRan);
    }
}
