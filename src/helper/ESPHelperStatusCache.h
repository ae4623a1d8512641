#pragma once

#include "support/Clock.h"
#include "support/TimedCache.h"

#include <variant>

namespace tesselwick {

// Remembers for a short time whether the helper is usable, so that refreshes
// do not start sudo each time. An installation or a helper run stores its
// answer from outside, so that a probe started before it can never overwrite
// that fresher answer.
class ESPHelperStatusCache : public TimedCache<std::monostate, bool> {
public:
    static constexpr Seconds kDefaultTimeToLive{2.0};

    explicit ESPHelperStatusCache(const Clock& clock = systemClock(),
                                  Seconds ttl = kDefaultTimeToLive)
        : TimedCache(clock, ttl) {}
};

} // namespace tesselwick
