#pragma once

#include "services/DiskEventSource.h"
#include "support/Clock.h"
#include "support/MainQueue.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace tesselwick::manager {

using services::DiskEvent;
using services::DiskEventSink;
using services::DiskEventSource;
using services::DiskEventSourceFactory;

// Turns the platform's disk and volume events into one coalesced "something
// changed" callback on the main thread. Right after registration the platform
// reports every disk that is already attached; those appearances are dropped,
// and late ones inside the start-up window are folded into one signal at its
// end. Owned through a shared_ptr so that queued events and timers can hold it
// weakly: once the owner lets go, nothing fires any more.
class DiskWatcher : public std::enable_shared_from_this<DiskWatcher> {
public:
    static constexpr Seconds kInitialSuppressionWindow{0.7};
    static constexpr Seconds kInitialAppearanceThreshold{0.1};
    static constexpr Seconds kSignalCoalescingDelay{0.25};

    // Main thread only. `callback` runs on the main thread once per delivered signal.
    static std::shared_ptr<DiskWatcher> create(MainQueue& mainQueue, const Clock& clock,
                                               const DiskEventSourceFactory& sourceFactory,
                                               std::function<void()> callback);
    ~DiskWatcher();
    DiskWatcher(const DiskWatcher&) = delete;
    DiskWatcher& operator=(const DiskWatcher&) = delete;

    void signalChange();
    void signalDiskAppeared();

    bool hasSession() const { return session_ != nullptr && session_->hasDiskSession(); }
    int workspaceObserverCount() const {
        return session_ != nullptr ? session_->volumeObserverCount() : 0;
    }
    bool isSuppressingInitialAppearances() const { return suppressInitialDiskAppearances_; }

private:
    struct Passkey {};

public:
    DiskWatcher(Passkey, MainQueue& mainQueue, const Clock& clock, std::function<void()> callback);

private:
    void configure(const DiskEventSourceFactory& sourceFactory);
    void handle(DiskEvent event);
    void startInitialAppearanceSuppressionWindow();
    void scheduleSignalChange();
    void deliverSignal(std::uint64_t generation);

    MainQueue& mainQueue_;
    const Clock& clock_;
    std::function<void()> callback_;
    std::unique_ptr<DiskEventSource> session_;
    TimerHandle pendingSignal_;
    TimerHandle primingTask_;
    std::uint64_t signalGeneration_ = 0;
    bool suppressInitialDiskAppearances_ = true;
    Seconds primingStartedAtUptime_{0};
    bool needsPrimingReconciliation_ = false;
};

} // namespace tesselwick::manager
