#pragma once

#include "support/Clock.h"
#include "support/Duration.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace tesselwick {

// Cancels one piece of delayed main-thread work. Cancelling after it ran, or
// twice, does nothing. A default-constructed handle refers to nothing.
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<std::atomic<bool>> cancelled)
        : cancelled_(std::move(cancelled)) {}
    void cancel() const {
        if (cancelled_) {
            cancelled_->store(true);
        }
    }
    explicit operator bool() const { return cancelled_ != nullptr; }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// The main thread's serial queue. All published state lives on it; worker
// tasks hand their results to it with `post`.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    // Runs `work` on the main thread soon, after work posted before it. Any thread.
    virtual void post(std::function<void()> work) = 0;
    // Runs `work` on the main thread after `delay` unless cancelled first. Any thread.
    virtual TimerHandle postAfter(Seconds delay, std::function<void()> work) = 0;
};

} // namespace tesselwick
