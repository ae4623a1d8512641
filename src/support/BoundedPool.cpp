#include "support/BoundedPool.h"

#include "support/Task.h"

#include <algorithm>
#include <system_error>

namespace tesselwick {

BoundedPool::BoundedPool(std::size_t limit) : limit_(std::max<std::size_t>(limit, 1)) {}

BoundedPool::~BoundedPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
}

void BoundedPool::runAll(const std::vector<Job>& jobs) {
    if (jobs.empty()) {
        return;
    }
    std::unique_lock lock(mutex_);
    jobs_ = &jobs;
    task_ = task::current();
    next_ = 0;
    running_ = 0;
    errors_.assign(jobs.size(), nullptr);
    failed_ = false;
    const std::size_t helpers = std::min(limit_, jobs.size()) - 1;
    while (workers_.size() < helpers) {
        try {
            workers_.emplace_back([this] { workerLoop(); });
        } catch (const std::system_error&) {
            break; // fewer helpers only means less at once; the caller runs the rest
        }
    }
    changed_.notify_all();

    drain(lock);
    changed_.wait(lock, [&] { return running_ == 0; });
    jobs_ = nullptr;
    task_ = TaskHandle();
    std::vector<std::exception_ptr> errors = std::move(errors_);
    lock.unlock();
    for (const std::exception_ptr& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

void BoundedPool::drain(std::unique_lock<std::mutex>& lock) {
    while (jobs_ != nullptr && !failed_ && next_ < jobs_->size()) {
        const std::size_t index = next_++;
        ++running_;
        const Job& job = (*jobs_)[index];
        const TaskHandle task = task_;
        lock.unlock();
        std::exception_ptr error;
        try {
            task::CurrentTaskScope scope(task);
            job();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error) {
            errors_[index] = error;
            failed_ = true;
        }
        --running_;
        changed_.notify_all();
    }
}

void BoundedPool::workerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] {
            return stopping_ || (jobs_ != nullptr && !failed_ && next_ < jobs_->size());
        });
        if (stopping_) {
            return;
        }
        drain(lock);
    }
}

} // namespace tesselwick
