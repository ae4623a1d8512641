#include "support/BlockingMainQueue.h"

#include <algorithm>
#include <optional>

namespace tesselwick {

void BlockingMainQueue::post(std::function<void()> work) {
    add(std::chrono::steady_clock::now(), std::move(work));
}

TimerHandle BlockingMainQueue::postAfter(Seconds delay, std::function<void()> work) {
    const auto after = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::max(delay, Seconds::zero()));
    return add(std::chrono::steady_clock::now() + after, std::move(work));
}

TimerHandle BlockingMainQueue::add(Instant deadline, std::function<void()> work) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard guard(mutex_);
        items_.emplace(Key{deadline, nextOrder_++}, Item{cancelled, std::move(work)});
    }
    changed_.notify_all();
    return TimerHandle(cancelled);
}

void BlockingMainQueue::wake() {
    {
        std::lock_guard guard(mutex_);
        ++wakeups_;
    }
    changed_.notify_all();
}

std::optional<BlockingMainQueue::Item> BlockingMainQueue::takeDue(Instant now) {
    while (!items_.empty() && items_.begin()->first.first <= now) {
        Item item = std::move(items_.begin()->second);
        items_.erase(items_.begin());
        if (!item.cancelled->load()) {
            return item;
        }
    }
    return std::nullopt;
}

std::size_t BlockingMainQueue::runPending() {
    std::size_t ran = 0;
    for (;;) {
        std::optional<Item> item;
        {
            std::lock_guard guard(mutex_);
            item = takeDue(std::chrono::steady_clock::now());
        }
        if (!item) {
            return ran;
        }
        item->work();
        ++ran;
    }
}

bool BlockingMainQueue::runUntil(const std::function<bool()>& done, Seconds timeout) {
    const Instant giveUp = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
    for (;;) {
        if (done()) {
            return true;
        }
        std::optional<Item> item;
        {
            std::unique_lock lock(mutex_);
            const std::uint64_t seenWakeups = wakeups_;
            for (;;) {
                const Instant now = std::chrono::steady_clock::now();
                item = takeDue(now);
                if (item || wakeups_ != seenWakeups) {
                    break;
                }
                if (now >= giveUp) {
                    return false;
                }
                Instant until = giveUp;
                if (!items_.empty() && items_.begin()->first.first < until) {
                    until = items_.begin()->first.first;
                }
                changed_.wait_until(lock, until);
            }
        }
        if (item) {
            item->work();
        }
    }
}

} // namespace tesselwick
