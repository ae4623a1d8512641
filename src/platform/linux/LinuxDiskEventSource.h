#pragma once

#include "services/DiskEventSource.h"
#include "support/FileDescriptor.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tesselwick::platform::linux_ {

// One mount of the mount table, keyed by its mount ID.
using MountTable = std::map<int, std::string>;

struct DiskEventSourceOptions {
    std::string mountInfoPath = "/proc/self/mountinfo";
    bool watchBlockDevices = true;
};

// Block devices coming and going (the kernel's uevents, no udev daemon needed)
// and mounts coming, going and moving (/proc/self/mountinfo). One thread that
// sleeps in poll() until the kernel reports something or the source is destroyed.
class LinuxDiskEventSource final : public services::DiskEventSource {
public:
    using Options = DiskEventSourceOptions;

    static std::unique_ptr<LinuxDiskEventSource> create(services::DiskEventSink sink,
                                                        Options options);
    static services::DiskEventSourceFactory factory(Options options = {});

    ~LinuxDiskEventSource() override;
    LinuxDiskEventSource(const LinuxDiskEventSource&) = delete;
    LinuxDiskEventSource& operator=(const LinuxDiskEventSource&) = delete;

    bool hasDiskSession() const override { return uevents_.isOpen(); }
    int volumeObserverCount() const override { return mountInfo_.isOpen() ? 3 : 0; }

private:
    struct Passkey {};

public:
    LinuxDiskEventSource(Passkey, services::DiskEventSink sink) : sink_(std::move(sink)) {}

private:
    void run();
    void readUevents();
    void readMountTable();

    services::DiskEventSink sink_;
    FileDescriptor uevents_;
    FileDescriptor mountInfo_;
    FileDescriptor stop_;
    MountTable mounts_;
    std::thread thread_;
};

// The disk event of one kernel uevent datagram ("ACTION@DEVPATH\0KEY=VALUE\0..."):
// a whole disk or partition of the block subsystem added or removed; none otherwise.
std::optional<services::DiskEvent> parseKernelUevent(std::string_view datagram);

// The mount table in mountinfo form, mount ID to mount point (escapes decoded).
MountTable parseMountInfo(std::string_view text);

// What changed between two mount tables: new mounts, removed mounts, and mounts
// that moved to another mount point (the nearest thing to a rename here).
std::vector<services::DiskEvent> diffMountTables(const MountTable& before, const MountTable& after);

} // namespace tesselwick::platform::linux_
