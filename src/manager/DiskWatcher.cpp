#include "manager/DiskWatcher.h"

#include "diagnostics/Diagnostics.h"

#include <cstdio>
#include <string>

namespace tesselwick::manager {

namespace {
std::string boolText(bool value) {
    return value ? "true" : "false";
}
} // namespace

std::shared_ptr<DiskWatcher> DiskWatcher::create(MainQueue& mainQueue, const Clock& clock,
                                                 const DiskEventSourceFactory& sourceFactory,
                                                 std::function<void()> callback) {
    auto watcher = std::make_shared<DiskWatcher>(Passkey{}, mainQueue, clock, std::move(callback));
    watcher->configure(sourceFactory);
    return watcher;
}

DiskWatcher::DiskWatcher(Passkey, MainQueue& mainQueue, const Clock& clock,
                         std::function<void()> callback)
    : mainQueue_(mainQueue), clock_(clock), callback_(std::move(callback)) {
    TW_LOG("DiskWatcher.init");
    primingStartedAtUptime_ = clock_.uptime();
}

void DiskWatcher::configure(const DiskEventSourceFactory& sourceFactory) {
    TW_LOG("DiskWatcher.configureDiskArbitration begin");
    // Platform threads never touch the watcher: every event becomes a new
    // main-thread task that finds the watcher only if it still exists.
    std::weak_ptr<DiskWatcher> weak = weak_from_this();
    MainQueue& queue = mainQueue_;
    DiskEventSink sink = [weak, &queue](DiskEvent event) {
        queue.post([weak, event] {
            if (auto watcher = weak.lock()) {
                watcher->handle(event);
            }
        });
    };
    if (sourceFactory) {
        session_ = sourceFactory(std::move(sink));
    }
    if (hasSession()) {
        TW_LOG("DiskWatcher.configureDiskArbitration complete");
    } else {
        TW_LOG("DiskWatcher.configureDiskArbitration failed: DASessionCreate returned nil");
    }
    startInitialAppearanceSuppressionWindow();
    TW_LOG("DiskWatcher.init complete session=" + boolText(hasSession()) +
           " workspaceObservers=" + std::to_string(workspaceObserverCount()));
}

DiskWatcher::~DiskWatcher() {
    TW_LOG("DiskWatcher.deinit");
    pendingSignal_.cancel();
    pendingSignal_ = {};
    primingTask_.cancel();
    primingTask_ = {};
    // Unregisters from the platform and waits for its threads, so no event
    // is produced after this point.
    session_.reset();
}

void DiskWatcher::handle(DiskEvent event) {
    if (event == DiskEvent::diskAppeared) {
        signalDiskAppeared();
    } else {
        signalChange();
    }
}

void DiskWatcher::signalChange() {
    TW_LOG("DiskWatcher.signalChange");
    scheduleSignalChange();
}

void DiskWatcher::signalDiskAppeared() {
    if (!suppressInitialDiskAppearances_) {
        signalChange();
        return;
    }
    const Seconds elapsed = clock_.uptime() - primingStartedAtUptime_;
    if (elapsed >= kInitialAppearanceThreshold) {
        needsPrimingReconciliation_ = true;
        TW_LOG([&] {
            char text[32];
            std::snprintf(text, sizeof text, "%.3f", elapsed.count());
            return std::string("DiskWatcher deferred late priming appearance elapsed=") + text;
        }());
    } else {
        TW_LOG("DiskWatcher ignored initial disk appearance");
    }
}

void DiskWatcher::startInitialAppearanceSuppressionWindow() {
    std::weak_ptr<DiskWatcher> weak = weak_from_this();
    primingTask_ = mainQueue_.postAfter(kInitialSuppressionWindow, [weak] {
        auto watcher = weak.lock();
        if (!watcher) {
            return;
        }
        watcher->suppressInitialDiskAppearances_ = false;
        watcher->primingTask_ = {};
        const bool reconcile = watcher->needsPrimingReconciliation_;
        watcher->needsPrimingReconciliation_ = false;
        TW_LOG("DiskWatcher initial appearance suppression ended reconcile=" + boolText(reconcile));
        if (reconcile) {
            watcher->signalChange();
        }
    });
}

void DiskWatcher::scheduleSignalChange() {
    pendingSignal_.cancel();
    const std::uint64_t generation = ++signalGeneration_;
    std::weak_ptr<DiskWatcher> weak = weak_from_this();
    pendingSignal_ = mainQueue_.postAfter(kSignalCoalescingDelay, [weak, generation] {
        if (auto watcher = weak.lock()) {
            watcher->deliverSignal(generation);
        }
    });
}

void DiskWatcher::deliverSignal(std::uint64_t generation) {
    if (generation != signalGeneration_) {
        TW_LOG("DiskWatcher.deliverSignal ignored stale generation=" + std::to_string(generation) +
               " current=" + std::to_string(signalGeneration_));
        return;
    }
    TW_LOG("DiskWatcher.deliverSignal generation=" + std::to_string(generation));
    pendingSignal_ = {};
    if (callback_) {
        callback_();
    }
}

} // namespace tesselwick::manager
