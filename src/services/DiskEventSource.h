#pragma once

#include <functional>
#include <memory>

namespace tesselwick::services {

// What the platform reports about disks and volumes. The watcher treats every
// kind except an appearance alike: something changed, rescan.
enum class DiskEvent {
    diskAppeared,
    diskDisappeared,
    volumeMounted,
    volumeUnmounted,
    volumeRenamed,
};

// Called for each event, on whatever thread the platform delivers it.
using DiskEventSink = std::function<void(DiskEvent)>;

// A registration with the platform's disk and volume events. Destroying it
// unregisters: once the destructor has returned the sink is never called again.
class DiskEventSource {
public:
    virtual ~DiskEventSource() = default;
    // Whether disk appearances and disappearances are reported (the volume
    // events may still work without them).
    virtual bool hasDiskSession() const = 0;
    // How many kinds of volume notification are observed.
    virtual int volumeObserverCount() const = 0;
};

// Creates and starts a source. Never returns null; a source that could not
// register anything reports no session and no observers.
using DiskEventSourceFactory = std::function<std::unique_ptr<DiskEventSource>(DiskEventSink)>;

} // namespace tesselwick::services
