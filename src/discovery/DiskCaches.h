#pragma once

#include "discovery/PlistValue.h"
#include "support/Clock.h"
#include "support/TimedCache.h"

#include <map>
#include <string>
#include <variant>

namespace tesselwick::discovery {

// BSD identifier (whole disk or partition, without "/dev/") to the absolute path of
// the attached image file that backs it.
using DiskImageMap = std::map<std::string, std::string, std::less<>>;

// Per-identifier `diskutil info` results, fresh for 3 seconds, at most 64 of them.
// A load that an invalidation or a newer load of the same identifier overtook is
// reported as CancellationError and its value dropped, so a scan never mixes
// states from before and after a change.
class DiskInfoCache : public TimedCache<std::string, PlistDictionary> {
public:
    static constexpr std::size_t maximumEntries = 64;
    static constexpr Seconds ttl{3.0};

    explicit DiskInfoCache(const Clock& clock = systemClock())
        : TimedCache(clock, ttl, maximumEntries) {}
};

// The one disk-image map, fresh for 5 seconds. Same supersession rules as above.
class DiskImageMapCache : public TimedCache<std::monostate, DiskImageMap> {
public:
    static constexpr Seconds ttl{5.0};

    explicit DiskImageMapCache(const Clock& clock = systemClock()) : TimedCache(clock, ttl) {}
};

} // namespace tesselwick::discovery
