#pragma once

#include "support/MainQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

namespace tesselwick {

// A main queue served by the thread that calls runUntil(), for command-line
// runs that have no event loop of their own. Delayed work runs at its instant
// on the monotonic clock; the waiting thread sleeps until then or until
// something is posted, never polling.
class BlockingMainQueue final : public MainQueue {
public:
    void post(std::function<void()> work) override;
    TimerHandle postAfter(Seconds delay, std::function<void()> work) override;

    // Runs due work, in (deadline, posting) order, until `done()` holds;
    // false when the time ran out first. `done()` is checked after each item
    // and whenever wake() is called.
    bool runUntil(const std::function<bool()>& done, Seconds timeout);
    // Runs what is due now, including what that work posts for now.
    std::size_t runPending();
    // Makes a waiting runUntil() check its condition again (any thread).
    void wake();

private:
    using Instant = std::chrono::steady_clock::time_point;
    using Key = std::pair<Instant, std::uint64_t>;
    struct Item {
        std::shared_ptr<std::atomic<bool>> cancelled;
        std::function<void()> work;
    };
    TimerHandle add(Instant deadline, std::function<void()> work);
    // The first item due by `now`, removed from the queue.
    std::optional<Item> takeDue(Instant now);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<Key, Item> items_;
    std::uint64_t nextOrder_ = 0;
    std::uint64_t wakeups_ = 0;
};

} // namespace tesselwick
