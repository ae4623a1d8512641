#pragma once

#include "support/Duration.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace tesselwick {

class TaskState;
class TaskHandle;
namespace task {
class CurrentTaskScope;
TaskHandle current();
} // namespace task

// A handle on a worker task. Copies refer to the same task. Cancelling only
// sets the task's flag and wakes it; the task decides where to stop.
class TaskHandle {
public:
    TaskHandle() = default;

    void cancel() const;
    bool isCancelled() const;
    bool isFinished() const;
    // Blocks until the task's body has returned or the time has passed; true
    // when it has returned. Meant for tests and orderly shutdown.
    bool waitFinished(Seconds timeout) const;

    explicit operator bool() const { return state_ != nullptr; }
    bool operator==(const TaskHandle& other) const { return state_ == other.state_; }

    // A task that has no thread of its own; make it current with
    // `task::CurrentTaskScope` to run code "as" that task on this thread.
    static TaskHandle makeUnstarted();

private:
    friend TaskHandle startDetachedTask(std::function<void()> body);
    friend class task::CurrentTaskScope;
    friend TaskHandle task::current();
    explicit TaskHandle(std::shared_ptr<TaskState> state) : state_(std::move(state)) {}
    std::shared_ptr<TaskState> state_;
};

// Runs `body` on a new detached worker thread as a task. The body should handle
// its own errors; a CancellationError escaping it is ignored.
TaskHandle startDetachedTask(std::function<void()> body);

namespace task {

// The calling thread's task, or an empty handle outside any task; work handed to
// other threads runs as it (`CurrentTaskScope`) to share its cancellation.
TaskHandle current();
// The calling thread's task; outside any task these report "not cancelled".
bool isCancelled();
// Throws CancellationError when the calling task has been cancelled.
void checkCancellation();
// Sleeps for `seconds` or until the calling task is cancelled, whichever comes
// first; throws CancellationError in the second case.
void sleep(Seconds duration);

// Runs `callback` once when the calling task is cancelled (at once, on this
// thread, when it already is). Destroying the registration waits for a
// callback in flight, so the callback may use what the registrant owns.
// Outside any task the callback never runs. Callbacks must be short and must
// not register or unregister callbacks themselves.
class CancelRegistration {
public:
    CancelRegistration() = default;
    CancelRegistration(const CancelRegistration&) = delete;
    CancelRegistration& operator=(const CancelRegistration&) = delete;
    CancelRegistration(CancelRegistration&& other) noexcept;
    CancelRegistration& operator=(CancelRegistration&& other) noexcept;
    ~CancelRegistration();

private:
    friend CancelRegistration onCancel(std::function<void()> callback);
    CancelRegistration(std::shared_ptr<TaskState> state, std::uint64_t id)
        : state_(std::move(state)), id_(id) {}
    void reset();
    std::shared_ptr<TaskState> state_;
    std::uint64_t id_ = 0;
};

[[nodiscard]] CancelRegistration onCancel(std::function<void()> callback);

// Makes `handle` the calling thread's current task for the scope's lifetime.
class CurrentTaskScope {
public:
    explicit CurrentTaskScope(const TaskHandle& handle);
    CurrentTaskScope(const CurrentTaskScope&) = delete;
    CurrentTaskScope& operator=(const CurrentTaskScope&) = delete;
    ~CurrentTaskScope();

private:
    std::shared_ptr<TaskState> previous_;
};

} // namespace task
} // namespace tesselwick
