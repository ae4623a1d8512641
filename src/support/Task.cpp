#include "support/Task.h"

#include "support/Errors.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace tesselwick {

class TaskState {
public:
    void cancel() {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) {
                return;
            }
            cancelled_ = true;
        }
        changed_.notify_all();
        // Callbacks run under their own mutex so an unregistration can wait for
        // one in flight.
        std::lock_guard callbackLock(callbackMutex_);
        for (auto& [id, callback] : callbacks_) {
            callback();
        }
        callbacks_.clear();
    }

    bool isCancelled() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

    void finish() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
    }

    bool isFinished() const {
        std::lock_guard lock(mutex_);
        return finished_;
    }

    bool waitFinished(Seconds timeout) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return finished_; });
    }

    // True when cancelled before the time ran out.
    bool sleep(Seconds duration) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, duration, [&] { return cancelled_; });
    }

    std::uint64_t addCallback(std::function<void()>& callback) {
        std::lock_guard callbackLock(callbackMutex_);
        if (isCancelled()) {
            callback();
            return 0;
        }
        const std::uint64_t id = ++nextCallbackID_;
        callbacks_.emplace(id, std::move(callback));
        return id;
    }

    void removeCallback(std::uint64_t id) {
        std::lock_guard callbackLock(callbackMutex_);
        callbacks_.erase(id);
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool cancelled_ = false;
    bool finished_ = false;

    std::mutex callbackMutex_;
    std::map<std::uint64_t, std::function<void()>> callbacks_;
    std::uint64_t nextCallbackID_ = 0;
};

namespace {
thread_local std::shared_ptr<TaskState> currentTask;
} // namespace

void TaskHandle::cancel() const {
    if (state_) {
        state_->cancel();
    }
}

bool TaskHandle::isCancelled() const {
    return state_ && state_->isCancelled();
}

bool TaskHandle::isFinished() const {
    return state_ && state_->isFinished();
}

bool TaskHandle::waitFinished(Seconds timeout) const {
    return !state_ || state_->waitFinished(timeout);
}

TaskHandle TaskHandle::makeUnstarted() {
    return TaskHandle(std::make_shared<TaskState>());
}

TaskHandle startDetachedTask(std::function<void()> body) {
    auto state = std::make_shared<TaskState>();
    std::thread([state, body = std::move(body)]() mutable {
        currentTask = state;
        try {
            body();
        } catch (const CancellationError&) {
        }
        // Release what the body captured before reporting the task finished.
        body = nullptr;
        currentTask.reset();
        state->finish();
    }).detach();
    return TaskHandle(std::move(state));
}

namespace task {

TaskHandle current() {
    return TaskHandle(currentTask);
}

bool isCancelled() {
    return currentTask && currentTask->isCancelled();
}

void checkCancellation() {
    if (isCancelled()) {
        throw CancellationError();
    }
}

void sleep(Seconds duration) {
    if (!currentTask) {
        std::this_thread::sleep_for(duration);
        return;
    }
    if (currentTask->sleep(duration)) {
        throw CancellationError();
    }
}

CancelRegistration onCancel(std::function<void()> callback) {
    if (!currentTask) {
        return {};
    }
    const std::uint64_t id = currentTask->addCallback(callback);
    if (id == 0) {
        return {};
    }
    return CancelRegistration(currentTask, id);
}

CancelRegistration::CancelRegistration(CancelRegistration&& other) noexcept
    : state_(std::move(other.state_)), id_(other.id_) {
    other.id_ = 0;
}

CancelRegistration& CancelRegistration::operator=(CancelRegistration&& other) noexcept {
    if (this != &other) {
        reset();
        state_ = std::move(other.state_);
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

CancelRegistration::~CancelRegistration() {
    reset();
}

void CancelRegistration::reset() {
    if (state_) {
        state_->removeCallback(id_);
        state_.reset();
    }
    id_ = 0;
}

CurrentTaskScope::CurrentTaskScope(const TaskHandle& handle) : previous_(currentTask) {
    currentTask = handle.state_;
}

CurrentTaskScope::~CurrentTaskScope() {
    currentTask = std::move(previous_);
}

} // namespace task
} // namespace tesselwick
