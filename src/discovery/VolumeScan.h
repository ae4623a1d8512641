#pragma once

#include "discovery/DiskCaches.h"
#include "discovery/ESPVolume.h"
#include "discovery/PlistValue.h"
#include "process/DiskTool.h"

#include <map>
#include <string>
#include <vector>

namespace tesselwick::discovery {

// Both scans (the property-list scan and the text fallback) and the disk lookups
// they share, over an injected command runner and caches. Every function blocks
// while tools run and must be called from a worker task; each observes the calling
// task's cancellation and throws CancellationError, never a partial result.
class VolumeScanner {
public:
    // Production: the command runner, the process-wide caches.
    VolumeScanner();
    VolumeScanner(process::CommandRunner runner, DiskInfoCache& diskInfoCache,
                  DiskImageMapCache& imageMapCache);

    // The scan entry: the property-list scan, and only when that fails for a reason
    // other than cancellation, the text fallback. Sorted in list order.
    std::vector<ESPVolume> loadESPVolumes() const;
    std::vector<ESPVolume> loadESPVolumesFromPlist() const;
    std::vector<ESPVolume> loadESPVolumesFromText() const;

    // One disk's information straight from the tool, no cache. Empty for an
    // identifier that is not a disk reference.
    PlistDictionary diskInfoUncached(const std::string& identifier) const;
    // Through the cache; any failure but the calling task's cancellation gives an
    // empty dictionary (a load the cache reports as overtaken included).
    PlistDictionary bestEffortDiskInfo(const std::string& identifier) const;
    std::vector<PlistDictionary>
    enrichSiblingPartitions(const std::string& parentID,
                            const std::vector<PlistDictionary>& partitions) const;
    // Through the cache; any failure but the calling task's cancellation gives an
    // empty map.
    DiskImageMap diskImageMap() const;
    std::vector<PlistDictionary>
    siblingPartitionsFromInfo(const std::string& parentID,
                              const std::vector<std::string>& partitionIDs) const;

    // The image-list loader behind diskImageMap(), uncached; throws on failure.
    DiskImageMap loadDiskImageMap() const;

private:
    process::CommandRunner runner_;
    DiskInfoCache& diskInfoCache_;
    DiskImageMapCache& imageMapCache_;
};

// Whole-disk identifier to its partition identifiers, in text order, no duplicates.
std::map<std::string, std::vector<std::string>>
partitionIDsByParentFromText(const std::string& text);

// The production scan entry and lookups (system runner, shared caches).
std::vector<ESPVolume> loadESPVolumes();
PlistDictionary diskInfoUncached(const std::string& identifier);

} // namespace tesselwick::discovery
