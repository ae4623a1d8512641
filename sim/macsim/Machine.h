#pragma once

// The simulated Mac: the world file (what exists) and the live state (what is
// mounted, which images are attached, faults added at run time, call counters),
// both kept as JSON in the simulator's home directory. Every invocation takes one
// exclusive lock for its whole read-modify-write, so concurrent tools see one
// consistent machine; the state file is replaced atomically.

#include "Plist.h"

#include <optional>
#include <string>
#include <vector>

namespace macsim {

// Thrown for a failure the simulated tool reports to its caller: the message goes
// to standard error and the tool exits with the status.
struct ToolError {
    std::string message;
    int status = 1;
};

// RAII exclusive flock on the home directory's lock file.
class HomeLock {
public:
    explicit HomeLock(const std::string& home);
    ~HomeLock();
    HomeLock(const HomeLock&) = delete;
    HomeLock& operator=(const HomeLock&) = delete;

private:
    int fd_ = -1;
};

enum class DeviceKind { WholeDisk, Partition, Container, ApfsVolume, Snapshot };

struct Device {
    DeviceKind kind = DeviceKind::WholeDisk;
    std::string id;
    const Json* disk = nullptr;      // the physical disk (every kind)
    const Json* partition = nullptr; // Partition, and the APFS store for the APFS kinds
    const Json* volume = nullptr;    // ApfsVolume, Snapshot
};

// Display names of a modelled filesystem ("fat32", "apfs", "hfs", "ntfs", "exfat", "fat16").
struct FilesystemNames {
    std::string name;        // FilesystemName
    std::string userVisible; // FilesystemUserVisibleName
    std::string type;        // FilesystemType
};
std::optional<FilesystemNames> filesystemNames(const Json& volume);

// "209.7 MB", "500.3 GB": decimal units, one decimal, as the text tools print sizes.
std::string humanSize(std::uint64_t bytes);

std::string defaultHome();

// Reads a world file; a "base" key names a world (relative to this one) whose keys
// this one overrides, so variants of a world stay one line each.
Json loadWorldFile(const std::string& path, int depth = 0);

class Machine {
public:
    // Loads world.json and state.json from home; call with the lock held.
    explicit Machine(std::string home);

    // Creates home from a world file (replay paths made absolute) and a fresh state.
    static void initialize(const std::string& home, const std::string& worldPath, bool sandbox,
                           const std::string& logPath);

    const Json& world() const { return world_; }
    Json& state() { return state_; }
    const std::string& home() const { return home_; }
    void save(); // atomic replacement of state.json when it changed
    // Merges keys into the world's partition `id` and writes the world at once,
    // as if it had been repartitioned or reformatted behind everyone's back.
    void rewritePartition(const std::string& id, const Json& keys);

    // Whole disks in identifier order: attached physical disks and synthesized containers.
    std::vector<Device> wholeDisks() const;
    std::vector<Device> childrenOf(const Device& whole) const; // partitions or volumes+snapshots
    std::optional<Device> find(const std::string& identifier) const;

    std::optional<std::string> mountPoint(const Device& device) const;
    std::string volumeName(const Device& device) const;
    std::uint64_t size(const Device& device) const;
    bool isEsp(const Device& device) const;
    bool isImageAttached(const Json& disk) const;

    // diskutil
    Json listPlist(const std::optional<Device>& only) const;
    std::string listText(const std::optional<Device>& only) const;
    Json infoPlist(const Device& device) const;
    std::string infoText(const Device& device) const;
    std::string mount(const Device& device, unsigned realUid);   // returns the stdout line
    std::string unmount(const Device& device, unsigned realUid); // returns the stdout line

    // hdiutil
    Json imageInfoPlist() const;
    std::string attach(const std::string& imagePath, unsigned realUid);
    std::string detach(const std::string& identifier);

    // Mounts every partition the world describes as mounted (sandbox start).
    void mountInitialVolumes();

private:
    std::string home_;
    Json world_;
    Json state_;
    std::string savedState_;

    void mountVolumesOf(const Json& disk, unsigned ownerUid);
    std::string reallyMount(const Device& device, const std::string& path, unsigned ownerUid);
    void reallyUnmount(const std::string& path);
    std::string freeVolumePath(const std::string& name) const;
    Json partitionListEntry(const Device& device) const;
    Json volumeListEntry(const Device& device) const;
};

} // namespace macsim
