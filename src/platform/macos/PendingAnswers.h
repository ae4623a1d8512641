#pragma once

#include "support/Duration.h"

#include <condition_variable>
#include <functional>
#include <mutex>

namespace tesselwick::platform::macos {

// The answers still to come for requests handed to the system (Finder, the
// notification centre), which arrive on threads of the system's choosing.
// A short-lived process waits for them before it exits, and once the object
// that asked is gone a late answer is dropped instead of reaching what that
// object pointed to. Held through a shared pointer by every answer in flight,
// so it outlives the object that asked.
class PendingAnswers {
public:
    // Before handing one request to the system.
    void begin();
    // From that request's answer: runs `answer` unless closed, then counts the
    // request as answered. A request that `answer` starts is begun before this
    // one ends, so a chain of requests is waited for to its last answer.
    void finish(const std::function<void()>& answer);
    // True when every begun request has been answered; false when the time ran
    // out first.
    bool waitUntilIdle(Seconds timeout);
    // Drops every later answer and waits for one that is running; for the
    // asking object's destructor, never from inside an answer.
    void close();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int outstanding_ = 0;
    int running_ = 0;
    bool closed_ = false;
};

} // namespace tesselwick::platform::macos
