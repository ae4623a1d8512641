#pragma once

#include "discovery/DiskCaches.h"
#include "discovery/DiskReport.h"
#include "discovery/ESPVolume.h"
#include "discovery/PlistValue.h"
#include "process/DiskTool.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace tesselwick::discovery {

// Both scans (the property-list scan and the text fallback) and the disk lookups
// they share, over an injected command runner and caches. Every function blocks
// while tools run and must be called from a worker task; each observes the calling
// task's cancellation and throws CancellationError, never a partial result.
//
// The disk-information lookups that one step of a scan makes for several disks or
// partitions are independent of each other, so they run up to `lookupConcurrency`
// at once, on a pool that the call owns and joins before it returns. They still go
// through the same caches and runner, and the records, the commands asked and the
// errors are those of one lookup after another.
class VolumeScanner {
public:
    // Each lookup is a `diskutil` child that mostly waits for the tool's own work
    // (tens of milliseconds on a real Mac). Four at once take a scan of a few disks
    // to about a third of its time; more would mostly crowd the disk tool, which
    // answers from one daemon, and the user's other work on a small machine.
    static constexpr std::size_t defaultLookupConcurrency = 4;

    // Injected tools are asked one lookup at a time unless told otherwise, so a
    // scripted tool sees the lookups in the order the scan's steps make them.
    VolumeScanner(process::CommandRunner runner, DiskInfoCache& diskInfoCache,
                  DiskImageMapCache& imageMapCache, std::size_t lookupConcurrency = 1);

    // The scan entry: the property-list scan, and only when that fails for a reason
    // other than cancellation, the text fallback. Sorted in list order. With
    // `disks`, also what the scan that served saw of each whole disk, in list
    // order; left alone when the scan throws.
    std::vector<ESPVolume> loadESPVolumes(std::vector<DiskReport>* disks = nullptr) const;
    std::vector<ESPVolume> loadESPVolumesFromPlist(std::vector<DiskReport>* disks = nullptr) const;
    std::vector<ESPVolume> loadESPVolumesFromText(std::vector<DiskReport>* disks = nullptr) const;

    // One disk's information straight from the tool, no cache. Empty for an
    // identifier that is not a disk reference.
    PlistDictionary diskInfoUncached(const std::string& identifier) const;
    // Through the cache; any failure but the calling task's cancellation gives an
    // empty dictionary (a load the cache reports as overtaken included), and its
    // message in `failure` when given.
    PlistDictionary bestEffortDiskInfo(const std::string& identifier,
                                       std::string* failure = nullptr) const;
    // Through the cache; any failure but the calling task's cancellation gives an
    // empty map.
    DiskImageMap diskImageMap() const;

    // The image-list loader behind diskImageMap(), uncached; throws on failure.
    DiskImageMap loadDiskImageMap() const;

private:
    process::CommandRunner runner_;
    DiskInfoCache& diskInfoCache_;
    DiskImageMapCache& imageMapCache_;
    std::size_t lookupConcurrency_;
};

// Whole-disk identifier to its partition identifiers, in text order, no duplicates.
std::map<std::string, std::vector<std::string>>
partitionIDsByParentFromText(const std::string& text);

// One disk's information straight from the tool, as VolumeScanner's.
PlistDictionary diskInfoUncached(const process::CommandRunner& runner,
                                 const std::string& identifier);

} // namespace tesselwick::discovery
