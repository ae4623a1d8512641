#include "doubles/ManualMainQueue.h"

#include <algorithm>
#include <chrono>

namespace tesselwick {

void ManualMainQueue::post(std::function<void()> work) {
    // Notified under the lock: a waiter that sees the item may destroy the queue
    // as soon as it has it, so the poster must be done with the queue by then.
    std::lock_guard lock(mutex_);
    items_.push_back(Item{clock_.uptime().count(), nextOrder_++, nullptr, std::move(work)});
    posted_.notify_all();
}

TimerHandle ManualMainQueue::postAfter(Seconds delay, std::function<void()> work) {
    const double seconds = delay.count();
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(mutex_);
    items_.push_back(Item{clock_.uptime().count() + std::max(0.0, seconds), nextOrder_++, cancelled,
                          std::move(work)});
    posted_.notify_all();
    return TimerHandle(std::move(cancelled));
}

std::optional<ManualMainQueue::Item> ManualMainQueue::takeDue(double until) {
    std::lock_guard lock(mutex_);
    // Drop cancelled work first so it never counts as due.
    std::erase_if(items_,
                  [](const Item& item) { return item.cancelled && item.cancelled->load(); });
    auto best = items_.end();
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if (it->deadline <= until &&
            (best == items_.end() || it->deadline < best->deadline ||
             (it->deadline == best->deadline && it->order < best->order))) {
            best = it;
        }
    }
    if (best == items_.end()) {
        return std::nullopt;
    }
    Item item = std::move(*best);
    items_.erase(best);
    return item;
}

std::size_t ManualMainQueue::runPending() {
    std::size_t count = 0;
    while (auto item = takeDue(clock_.uptime().count())) {
        if (!(item->cancelled && item->cancelled->load())) {
            item->work();
            ++count;
        }
    }
    return count;
}

std::size_t ManualMainQueue::advance(double seconds) {
    const double target = clock_.uptime().count() + seconds;
    std::size_t count = 0;
    while (auto item = takeDue(target)) {
        if (item->deadline > clock_.uptime().count()) {
            clock_.set(item->deadline);
        }
        if (!(item->cancelled && item->cancelled->load())) {
            item->work();
            ++count;
        }
    }
    clock_.set(target);
    return count;
}

bool ManualMainQueue::waitForPost(Seconds realTimeout) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, realTimeout, [&] {
        const double now = clock_.uptime().count();
        return std::any_of(items_.begin(), items_.end(), [&](const Item& item) {
            return item.deadline <= now && !(item.cancelled && item.cancelled->load());
        });
    });
}

bool ManualMainQueue::runUntil(const std::function<bool()>& done, Seconds realTimeout) {
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(realTimeout);
    runPending();
    while (!done()) {
        const double left =
            std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !waitForPost(Seconds(left))) {
            return done();
        }
        runPending();
    }
    return true;
}

std::size_t ManualMainQueue::pendingCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(items_.begin(), items_.end(), [](const Item& item) {
            return !(item.cancelled && item.cancelled->load());
        }));
}

} // namespace tesselwick
