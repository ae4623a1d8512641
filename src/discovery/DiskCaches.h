#pragma once

#include "discovery/PlistValue.h"
#include "support/Clock.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tesselwick::discovery {

// BSD identifier (whole disk or partition, without "/dev/") to the absolute path of
// the attached image file that backs it.
using DiskImageMap = std::map<std::string, std::string, std::less<>>;

// Per-identifier `diskutil info` results, fresh for 3 seconds, at most 64 of them.
// The lock is never held while a loader runs; a load that an invalidation or a
// newer load of the same identifier overtook is reported as CancellationError and
// its value dropped, so a scan never mixes states from before and after a change.
class DiskInfoCache {
public:
    using Loader = std::function<PlistDictionary()>;

    static constexpr std::size_t maximumEntries = 64;
    static constexpr double ttl = 3.0;

    explicit DiskInfoCache(const Clock& clock = systemClock()) : clock_(clock) {}
    DiskInfoCache(const DiskInfoCache&) = delete;
    DiskInfoCache& operator=(const DiskInfoCache&) = delete;

    // The process-wide instance on the system clock.
    static DiskInfoCache& shared();

    // The fresh stored value, or the loader's result (stored unless overtaken).
    // Throws the loader's error or CancellationError.
    PlistDictionary value(const std::string& identifier, const Loader& loader);
    // Drops every entry and makes every load in flight end in cancellation.
    void invalidate();
    // Drops the entries that are no longer fresh; loads in flight are unaffected.
    void invalidateExpired();

    // For tests and diagnostics.
    std::size_t entryCount() const;
    bool contains(const std::string& identifier) const;

private:
    void finishFailedLoad(const std::string& identifier, std::uint64_t serial);

    struct Entry {
        double uptime;
        PlistDictionary value;
    };

    const Clock& clock_;
    mutable std::mutex lock_;
    std::map<std::string, Entry, std::less<>> cachedValue_;
    std::uint64_t generation_ = 0;
    std::uint64_t nextLoadSerial_ = 0;
    std::map<std::string, std::uint64_t, std::less<>> latestLoadSerialByIdentifier_;
};

// The one disk-image map, fresh for 5 seconds. Same supersession rules as above.
class DiskImageMapCache {
public:
    using Loader = std::function<DiskImageMap()>;

    static constexpr double ttl = 5.0;

    explicit DiskImageMapCache(const Clock& clock = systemClock()) : clock_(clock) {}
    DiskImageMapCache(const DiskImageMapCache&) = delete;
    DiskImageMapCache& operator=(const DiskImageMapCache&) = delete;

    static DiskImageMapCache& shared();

    DiskImageMap value(const Loader& loader);
    void invalidate();

private:
    const Clock& clock_;
    mutable std::mutex lock_;
    DiskImageMap cachedValue_;
    double cachedAtUptime_ = -std::numeric_limits<double>::infinity();
    std::uint64_t generation_ = 0;
    std::uint64_t nextLoadSerial_ = 0;
    std::optional<std::uint64_t> latestLoadSerial_;
};

} // namespace tesselwick::discovery
