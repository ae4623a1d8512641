#include "platform/macos/PendingAnswers.h"

#include <chrono>

namespace tesselwick::platform::macos {

void PendingAnswers::begin() {
    std::lock_guard guard(mutex_);
    ++outstanding_;
}

void PendingAnswers::finish(const std::function<void()>& answer) {
    bool run = false;
    {
        std::lock_guard guard(mutex_);
        run = !closed_;
        running_ += run ? 1 : 0;
    }
    // Counted down however the answer ends, or close() would wait forever.
    struct Countdown {
        PendingAnswers& self;
        bool ran;
        ~Countdown() {
            std::lock_guard guard(self.mutex_);
            self.running_ -= ran ? 1 : 0;
            --self.outstanding_;
            self.changed_.notify_all();
        }
    } countdown{*this, run};
    // Unlocked while it runs: an answer may begin the next request.
    if (run) {
        answer();
    }
}

bool PendingAnswers::waitUntilIdle(Seconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return outstanding_ == 0; });
}

void PendingAnswers::close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    changed_.wait(lock, [&] { return running_ == 0; });
}

} // namespace tesselwick::platform::macos
