#include "helper/ESPHelperStatusCache.h"

namespace tesselwick {

ESPHelperStatusCache::ESPHelperStatusCache(const Clock& clock, double ttl)
    : clock_(clock), ttl_(ttl) {}

std::optional<bool> ESPHelperStatusCache::freshValue() const {
    const double now = clock_.uptime().count();
    std::lock_guard guard(lock_);
    if (cached_ && now - cached_->uptime < ttl_) {
        return cached_->value;
    }
    return std::nullopt;
}

std::optional<bool> ESPHelperStatusCache::cachedValue() const {
    std::lock_guard guard(lock_);
    if (cached_) {
        return cached_->value;
    }
    return std::nullopt;
}

void ESPHelperStatusCache::invalidate() {
    std::lock_guard guard(lock_);
    ++generation_;
    latestLoadSerial_.reset();
    cached_.reset();
}

void ESPHelperStatusCache::storeFromOutside(bool installed) {
    const double now = clock_.uptime().count();
    std::lock_guard guard(lock_);
    ++generation_;
    latestLoadSerial_.reset();
    cached_ = Entry{now, installed};
}

ESPHelperStatusCache::LoadTicket ESPHelperStatusCache::beginLoad() {
    std::lock_guard guard(lock_);
    ++nextLoadSerial_;
    latestLoadSerial_ = nextLoadSerial_;
    return LoadTicket{nextLoadSerial_, generation_};
}

bool ESPHelperStatusCache::isCurrentLocked(const LoadTicket& ticket) const {
    return generation_ == ticket.generation && latestLoadSerial_ == ticket.serial;
}

bool ESPHelperStatusCache::completeLoad(const LoadTicket& ticket, bool installed) {
    const double now = clock_.uptime().count();
    std::lock_guard guard(lock_);
    if (!isCurrentLocked(ticket)) {
        return false;
    }
    cached_ = Entry{now, installed};
    latestLoadSerial_.reset();
    return true;
}

void ESPHelperStatusCache::abandonLoad(const LoadTicket& ticket) {
    std::lock_guard guard(lock_);
    if (isCurrentLocked(ticket)) {
        latestLoadSerial_.reset();
    }
}

std::uint64_t ESPHelperStatusCache::generation() const {
    std::lock_guard guard(lock_);
    return generation_;
}

} // namespace tesselwick
