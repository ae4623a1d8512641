#pragma once

#include "services/DiskEventSource.h"

#include <memory>
#include <mutex>
#include <vector>

namespace tesselwick::platform::fake {

// Disk events on demand. `factory()` hands out sources that stay registered
// with the hub until destroyed; `emit` calls every live source's sink on the
// calling thread, as a platform callback would.
class FakeDiskEventHub : public std::enable_shared_from_this<FakeDiskEventHub> {
public:
    services::DiskEventSourceFactory factory() {
        std::weak_ptr<FakeDiskEventHub> weakHub = weak_from_this();
        return
            [weakHub](services::DiskEventSink sink) -> std::unique_ptr<services::DiskEventSource> {
                auto hub = weakHub.lock();
                auto source = std::make_unique<Source>(hub, std::move(sink));
                if (hub) {
                    std::lock_guard guard(hub->mutex_);
                    hub->live_.push_back(source.get());
                }
                return source;
            };
    }

    void emit(services::DiskEvent event) {
        std::lock_guard guard(mutex_);
        for (Source* source : live_) {
            source->sink(event);
        }
    }

    int liveCount() const {
        std::lock_guard guard(mutex_);
        return static_cast<int>(live_.size());
    }

private:
    struct Source final : services::DiskEventSource {
        Source(std::shared_ptr<FakeDiskEventHub> hub, services::DiskEventSink sink)
            : hub(std::move(hub)), sink(std::move(sink)) {}
        ~Source() override {
            if (hub) {
                std::lock_guard guard(hub->mutex_);
                std::erase(hub->live_, this);
            }
        }
        bool hasDiskSession() const override { return true; }
        int volumeObserverCount() const override { return 3; }

        std::shared_ptr<FakeDiskEventHub> hub;
        services::DiskEventSink sink;
    };

    mutable std::mutex mutex_;
    std::vector<Source*> live_;
};

} // namespace tesselwick::platform::fake
