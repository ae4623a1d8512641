#pragma once

#include "doubles/ManualClock.h"
#include "support/MainQueue.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace tesselwick {

// A main queue on virtual time for tests: nothing runs until the test says so,
// and delayed work runs at exactly its instant, ordered by (deadline, order of
// posting). The queue moves the ManualClock it is given.
class ManualMainQueue final : public MainQueue {
public:
    explicit ManualMainQueue(ManualClock& clock) : clock_(clock) {}

    void post(std::function<void()> work) override;
    TimerHandle postAfter(Seconds delay, std::function<void()> work) override;

    // Runs everything due now, including work that running work posts for now.
    // Returns how many items ran.
    std::size_t runPending();
    // Moves virtual time forward by `seconds`, running each item at its instant.
    std::size_t advance(double seconds);
    // Waits (in real time, without spinning) until something is due now, for
    // results posted by worker threads. True when something is due.
    bool waitForPost(Seconds realTimeout);
    // Waits for due work and runs it until `done()` holds or the real time runs out.
    bool runUntil(const std::function<bool()>& done, Seconds realTimeout = 10s);

    std::size_t pendingCount() const;
    double now() const { return clock_.uptime().count(); }

private:
    struct Item {
        double deadline;
        std::uint64_t order;
        std::shared_ptr<std::atomic<bool>> cancelled;
        std::function<void()> work;
    };
    std::optional<Item> takeDue(double until);

    ManualClock& clock_;
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::vector<Item> items_;
    std::uint64_t nextOrder_ = 0;
};

} // namespace tesselwick
