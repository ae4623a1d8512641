// Written from Apple's documentation of DiskArbitration (DASessionCreate,
// DARegisterDiskAppearedCallback, DARegisterDiskDisappearedCallback,
// DASessionScheduleWithRunLoop, DASessionUnscheduleFromRunLoop,
// DAUnregisterCallback) and of NSWorkspace's notification centre
// (NSWorkspaceDidMountNotification, NSWorkspaceDidUnmountNotification,
// NSWorkspaceDidRenameVolumeNotification, -addObserverForName:object:queue:usingBlock:,
// -removeObserver:). Compiled with ARC.
#include "platform/macos/MacPlatform.h"

#import <AppKit/AppKit.h>
#include <DiskArbitration/DiskArbitration.h>

#include <vector>

namespace tesselwick::platform::macos {

namespace {

using services::DiskEvent;

class MacDiskEventSource final : public services::DiskEventSource {
public:
    explicit MacDiskEventSource(services::DiskEventSink sink) : sink_(std::move(sink)) {
        session_ = DASessionCreate(kCFAllocatorDefault);
        if (session_ != nullptr) {
            // The context is this object, not retained: the destructor
            // unregisters before the object goes.
            DARegisterDiskAppearedCallback(session_, nullptr, &diskAppeared, this);
            DARegisterDiskDisappearedCallback(session_, nullptr, &diskDisappeared, this);
            DASessionScheduleWithRunLoop(session_, CFRunLoopGetMain(), kCFRunLoopDefaultMode);
        }
        NSNotificationCenter* center = [[NSWorkspace sharedWorkspace] notificationCenter];
        const std::pair<NSNotificationName, DiskEvent> observed[] = {
            {NSWorkspaceDidMountNotification, DiskEvent::volumeMounted},
            {NSWorkspaceDidUnmountNotification, DiskEvent::volumeUnmounted},
            {NSWorkspaceDidRenameVolumeNotification, DiskEvent::volumeRenamed},
        };
        for (const auto& [name, event] : observed) {
            // The block keeps its own copy of the sink, which holds the
            // watcher weakly; it is released with the observer.
            services::DiskEventSink sink = sink_;
            const DiskEvent kind = event;
            id token = [center addObserverForName:name
                                           object:nil
                                            queue:[NSOperationQueue mainQueue]
                                       usingBlock:^(NSNotification* notification) {
                                         (void)notification;
                                         sink(kind);
                                       }];
            observerTokens_.push_back(token);
        }
    }

    ~MacDiskEventSource() override {
        if (session_ != nullptr) {
            DAUnregisterCallback(session_, reinterpret_cast<void*>(&diskAppeared), this);
            DAUnregisterCallback(session_, reinterpret_cast<void*>(&diskDisappeared), this);
            DASessionUnscheduleFromRunLoop(session_, CFRunLoopGetMain(), kCFRunLoopDefaultMode);
            CFRelease(session_);
        }
        NSNotificationCenter* center = [[NSWorkspace sharedWorkspace] notificationCenter];
        for (id token : observerTokens_) {
            [center removeObserver:token];
        }
    }

    bool hasDiskSession() const override { return session_ != nullptr; }
    int volumeObserverCount() const override { return static_cast<int>(observerTokens_.size()); }

private:
    static void diskAppeared(DADiskRef, void* context) {
        if (context != nullptr) {
            static_cast<MacDiskEventSource*>(context)->sink_(DiskEvent::diskAppeared);
        }
    }
    static void diskDisappeared(DADiskRef, void* context) {
        if (context != nullptr) {
            static_cast<MacDiskEventSource*>(context)->sink_(DiskEvent::diskDisappeared);
        }
    }

    services::DiskEventSink sink_;
    DASessionRef session_ = nullptr;
    std::vector<id> observerTokens_;
};

} // namespace

services::DiskEventSourceFactory diskEventSourceFactory() {
    return [](services::DiskEventSink sink) -> std::unique_ptr<services::DiskEventSource> {
        return std::make_unique<MacDiskEventSource>(std::move(sink));
    };
}

} // namespace tesselwick::platform::macos
