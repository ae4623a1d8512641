#pragma once

#include "support/Task.h"

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tesselwick {

// Runs batches of independent blocking jobs, at most `limit` at once: on the calling
// thread and on up to `limit - 1` helper threads, started when a batch first needs
// them and joined when the pool is destroyed. Jobs run as the calling thread's task,
// so they see its cancellation. With a limit of 1 every job runs on the caller, in
// order.
class BoundedPool {
public:
    using Job = std::function<void()>;

    explicit BoundedPool(std::size_t limit);
    BoundedPool(const BoundedPool&) = delete;
    BoundedPool& operator=(const BoundedPool&) = delete;
    ~BoundedPool();

    std::size_t limit() const { return limit_; }

    // Runs the jobs and returns once none is running. After a job has thrown, no
    // further job starts; the error of the earliest failed job is rethrown.
    void runAll(const std::vector<Job>& jobs);

private:
    void workerLoop();
    // Takes and runs jobs of the current batch until there is none left to start.
    void drain(std::unique_lock<std::mutex>& lock);

    const std::size_t limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;

    // The batch in progress; guarded by mutex_.
    const std::vector<Job>* jobs_ = nullptr;
    TaskHandle task_;
    std::size_t next_ = 0;
    std::size_t running_ = 0;
    std::vector<std::exception_ptr> errors_;
    bool failed_ = false;
};

} // namespace tesselwick
