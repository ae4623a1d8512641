#include "discovery/DiskCaches.h"

#include "support/Errors.h"
#include "support/NoDestructor.h"

#include <limits>

namespace tesselwick::discovery {

DiskInfoCache& DiskInfoCache::shared() {
    static NoDestructor<DiskInfoCache> cache;
    return *cache;
}

PlistDictionary DiskInfoCache::value(const std::string& identifier, const Loader& loader) {
    std::uint64_t generation = 0;
    std::uint64_t serial = 0;
    {
        std::lock_guard guard(lock_);
        const double now = clock_.uptime();
        if (auto it = cachedValue_.find(identifier);
            it != cachedValue_.end() && now - it->second.uptime < ttl) {
            return it->second.value;
        }
        generation = generation_;
        serial = ++nextLoadSerial_;
        latestLoadSerialByIdentifier_[identifier] = serial;
    }

    PlistDictionary loaded;
    try {
        loaded = loader();
    } catch (...) {
        finishFailedLoad(identifier, serial);
        throw;
    }

    std::lock_guard guard(lock_);
    auto latest = latestLoadSerialByIdentifier_.find(identifier);
    if (generation_ != generation || latest == latestLoadSerialByIdentifier_.end() ||
        latest->second != serial) {
        throw CancellationError();
    }
    if (cachedValue_.size() >= maximumEntries && !cachedValue_.contains(identifier)) {
        auto oldest = cachedValue_.begin();
        for (auto it = cachedValue_.begin(); it != cachedValue_.end(); ++it) {
            if (it->second.uptime < oldest->second.uptime) {
                oldest = it;
            }
        }
        cachedValue_.erase(oldest);
    }
    cachedValue_.insert_or_assign(identifier, Entry{clock_.uptime(), loaded});
    latestLoadSerialByIdentifier_.erase(latest);
    return loaded;
}

void DiskInfoCache::finishFailedLoad(const std::string& identifier, std::uint64_t serial) {
    std::lock_guard guard(lock_);
    if (auto it = latestLoadSerialByIdentifier_.find(identifier);
        it != latestLoadSerialByIdentifier_.end() && it->second == serial) {
        latestLoadSerialByIdentifier_.erase(it);
    }
}

void DiskInfoCache::invalidate() {
    std::lock_guard guard(lock_);
    ++generation_;
    cachedValue_.clear();
    latestLoadSerialByIdentifier_.clear();
}

void DiskInfoCache::invalidateExpired() {
    std::lock_guard guard(lock_);
    const double now = clock_.uptime();
    std::erase_if(cachedValue_,
                  [&](const auto& item) { return !(now - item.second.uptime < ttl); });
}

std::size_t DiskInfoCache::entryCount() const {
    std::lock_guard guard(lock_);
    return cachedValue_.size();
}

bool DiskInfoCache::contains(const std::string& identifier) const {
    std::lock_guard guard(lock_);
    return cachedValue_.contains(identifier);
}

DiskImageMapCache& DiskImageMapCache::shared() {
    static NoDestructor<DiskImageMapCache> cache;
    return *cache;
}

DiskImageMap DiskImageMapCache::value(const Loader& loader) {
    std::uint64_t generation = 0;
    std::uint64_t serial = 0;
    {
        std::lock_guard guard(lock_);
        if (clock_.uptime() - cachedAtUptime_ < ttl) {
            return cachedValue_;
        }
        generation = generation_;
        serial = ++nextLoadSerial_;
        latestLoadSerial_ = serial;
    }

    DiskImageMap loaded;
    try {
        loaded = loader();
    } catch (...) {
        std::lock_guard guard(lock_);
        if (latestLoadSerial_ == serial) {
            latestLoadSerial_.reset();
        }
        throw;
    }

    std::lock_guard guard(lock_);
    if (generation_ != generation || latestLoadSerial_ != serial) {
        throw CancellationError();
    }
    cachedValue_ = loaded;
    cachedAtUptime_ = clock_.uptime();
    latestLoadSerial_.reset();
    return loaded;
}

void DiskImageMapCache::invalidate() {
    std::lock_guard guard(lock_);
    ++generation_;
    cachedValue_.clear();
    cachedAtUptime_ = -std::numeric_limits<double>::infinity();
    latestLoadSerial_.reset();
}

} // namespace tesselwick::discovery
