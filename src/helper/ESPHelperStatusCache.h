#pragma once

#include "support/Clock.h"

#include <cstdint>
#include <mutex>
#include <optional>

namespace tesselwick {

// Remembers for a short time whether the helper is usable, so that refreshes
// do not start sudo each time. Writes from outside a probe (an installation,
// a helper run) bump the generation, so that a probe started before them can
// never overwrite their fresher answer. Thread-safe; the lock is never held
// across a probe.
class ESPHelperStatusCache {
public:
    static constexpr double kDefaultTimeToLive = 2.0;

    // Identifies one probe: its serial and the generation it started under.
    struct LoadTicket {
        std::uint64_t serial = 0;
        std::uint64_t generation = 0;
    };

    explicit ESPHelperStatusCache(const Clock& clock = systemClock(),
                                  double ttl = kDefaultTimeToLive);
    ESPHelperStatusCache(const ESPHelperStatusCache&) = delete;
    ESPHelperStatusCache& operator=(const ESPHelperStatusCache&) = delete;

    // The stored answer when it is younger than the time-to-live.
    std::optional<bool> freshValue() const;
    // The stored answer whatever its age (none when nothing was stored).
    std::optional<bool> cachedValue() const;

    // Outside writes: drop the answer, or store one; both bump the generation
    // and void any probe in flight.
    void invalidate();
    void storeFromOutside(bool installed);

    // Probe bookkeeping. beginLoad makes the new probe the one whose answer
    // may be stored; completeLoad stores and returns true only if neither an
    // outside write nor a later probe came in between; abandonLoad (a
    // cancelled probe) just withdraws the claim.
    LoadTicket beginLoad();
    bool completeLoad(const LoadTicket& ticket, bool installed);
    void abandonLoad(const LoadTicket& ticket);

    std::uint64_t generation() const;

private:
    struct Entry {
        double uptime;
        bool value;
    };
    bool isCurrentLocked(const LoadTicket& ticket) const;

    const Clock& clock_;
    mutable std::mutex lock_;
    double ttl_;
    std::optional<Entry> cached_;
    std::uint64_t generation_ = 0;
    std::uint64_t nextLoadSerial_ = 0;
    std::optional<std::uint64_t> latestLoadSerial_;
};

} // namespace tesselwick
