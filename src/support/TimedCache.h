#pragma once

#include "support/Clock.h"
#include "support/Errors.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace tesselwick {

// Answers that are slow to get (a tool run, a sudo probe) and change only when
// something happens, kept per key for a time to live.
//
// The lock is never held while a value loads. Each load gets a serial and only
// the newest load of a key may store its value; an invalidation, or a value
// stored from outside, bumps the generation and voids every load in flight. So a
// load that started before a change can never overwrite what is known after it.
// Thread-safe. `std::monostate` as the key makes a cache of one value.
template <typename Key, typename Value> class TimedCache {
    static constexpr bool kSingleValue = std::is_same_v<Key, std::monostate>;

public:
    using Loader = std::function<Value()>;

    // Identifies one load: its key, its serial and the generation it began in.
    struct LoadTicket {
        Key key{};
        std::uint64_t serial = 0;
        std::uint64_t generation = 0;
    };

    // At most `capacity` keys: a new one evicts the one stored longest ago.
    TimedCache(const Clock& clock, Seconds ttl,
               std::size_t capacity = std::numeric_limits<std::size_t>::max())
        : clock_(clock), ttl_(ttl), capacity_(capacity) {}
    TimedCache(const TimedCache&) = delete;
    TimedCache& operator=(const TimedCache&) = delete;

    // The stored value while it is younger than the time to live.
    std::optional<Value> freshValue(const Key& key) const {
        std::lock_guard guard(lock_);
        return freshLocked(key);
    }
    // The stored value whatever its age.
    std::optional<Value> cachedValue(const Key& key) const {
        std::lock_guard guard(lock_);
        if (auto it = entries_.find(key); it != entries_.end()) {
            return it->second.value;
        }
        return std::nullopt;
    }

    // The fresh value, or the loader's result, stored unless the load was
    // overtaken. Throws the loader's error, or CancellationError when overtaken.
    Value value(const Key& key, const Loader& loader) {
        LoadTicket ticket;
        {
            std::lock_guard guard(lock_);
            if (std::optional<Value> fresh = freshLocked(key)) {
                return std::move(*fresh);
            }
            ticket = beginLocked(key);
        }
        Value loaded;
        try {
            loaded = loader();
        } catch (...) {
            abandonLoad(ticket);
            throw;
        }
        if (!completeLoad(ticket, loaded)) {
            throw CancellationError();
        }
        return loaded;
    }

    // A load run by the caller: begin, then either complete (false when it was
    // overtaken, and nothing is stored) or abandon, which withdraws its claim.
    LoadTicket beginLoad(const Key& key) {
        std::lock_guard guard(lock_);
        return beginLocked(key);
    }
    bool completeLoad(const LoadTicket& ticket, const Value& value) {
        std::lock_guard guard(lock_);
        const bool newest = withdrawLocked(ticket);
        if (!newest || ticket.generation != generation_) {
            return false;
        }
        storeLocked(ticket.key, value);
        return true;
    }
    void abandonLoad(const LoadTicket& ticket) {
        std::lock_guard guard(lock_);
        withdrawLocked(ticket);
    }

    // Drops every value and voids every load in flight.
    void invalidate() {
        std::lock_guard guard(lock_);
        ++generation_;
        entries_.clear();
    }
    // Stores a value learnt elsewhere and voids every load in flight.
    void storeFromOutside(const Key& key, const Value& value) {
        std::lock_guard guard(lock_);
        ++generation_;
        storeLocked(key, value);
    }
    // Drops the values that are no longer fresh; loads in flight go on.
    void invalidateExpired() {
        std::lock_guard guard(lock_);
        const Seconds now = clock_.uptime();
        std::erase_if(entries_, [&](const auto& item) { return !isFresh(item.second, now); });
    }

    std::size_t entryCount() const {
        std::lock_guard guard(lock_);
        return entries_.size();
    }
    bool contains(const Key& key) const {
        std::lock_guard guard(lock_);
        return entries_.contains(key);
    }

    // The same for a cache of one value.
    std::optional<Value> freshValue() const requires kSingleValue { return freshValue({}); }
    std::optional<Value> cachedValue() const requires kSingleValue { return cachedValue({}); }
    Value value(const Loader& loader) requires kSingleValue { return value({}, loader); }
    LoadTicket beginLoad() requires kSingleValue { return beginLoad({}); }
    void storeFromOutside(const Value& value) requires kSingleValue { storeFromOutside({}, value); }

private:
    struct Entry {
        Seconds uptime;
        Value value;
    };

    bool isFresh(const Entry& entry, Seconds now) const { return now - entry.uptime < ttl_; }

    std::optional<Value> freshLocked(const Key& key) const {
        if (auto it = entries_.find(key);
            it != entries_.end() && isFresh(it->second, clock_.uptime())) {
            return it->second.value;
        }
        return std::nullopt;
    }

    LoadTicket beginLocked(const Key& key) {
        const std::uint64_t serial = ++nextLoadSerial_;
        latestLoadSerial_.insert_or_assign(key, serial);
        return LoadTicket{key, serial, generation_};
    }

    // Whether the load was still the newest of its key; if so, it no longer is
    // in flight.
    bool withdrawLocked(const LoadTicket& ticket) {
        const auto latest = latestLoadSerial_.find(ticket.key);
        if (latest == latestLoadSerial_.end() || latest->second != ticket.serial) {
            return false;
        }
        latestLoadSerial_.erase(latest);
        return true;
    }

    void storeLocked(const Key& key, const Value& value) {
        if (entries_.size() >= capacity_ && !entries_.contains(key)) {
            auto oldest = entries_.begin();
            for (auto it = entries_.begin(); it != entries_.end(); ++it) {
                if (it->second.uptime < oldest->second.uptime) {
                    oldest = it;
                }
            }
            entries_.erase(oldest);
        }
        entries_.insert_or_assign(key, Entry{clock_.uptime(), value});
    }

    const Clock& clock_;
    const Seconds ttl_;
    const std::size_t capacity_;
    mutable std::mutex lock_;
    std::map<Key, Entry, std::less<>> entries_;
    std::uint64_t generation_ = 0;
    std::uint64_t nextLoadSerial_ = 0;
    std::map<Key, std::uint64_t, std::less<>> latestLoadSerial_;
};

} // namespace tesselwick
