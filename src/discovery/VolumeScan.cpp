#include "discovery/VolumeScan.h"

#include "support/Errors.h"

namespace tesselwick::discovery {

VolumeScanner::VolumeScanner()
    : VolumeScanner(process::systemCommandRunner(), DiskInfoCache::shared(),
                    DiskImageMapCache::shared()) {}

VolumeScanner::VolumeScanner(process::CommandRunner runner, DiskInfoCache& diskInfoCache,
                             DiskImageMapCache& imageMapCache)
    : runner_(std::move(runner)), diskInfoCache_(diskInfoCache), imageMapCache_(imageMapCache) {}

namespace {
[[noreturn]] void notReady() {
    throw commandError(74, "Volume discovery is not ready yet.");
}
} // namespace

std::vector<ESPVolume> VolumeScanner::loadESPVolumes() const {
    notReady();
}
std::vector<ESPVolume> VolumeScanner::loadESPVolumesFromPlist() const {
    notReady();
}
std::vector<ESPVolume> VolumeScanner::loadESPVolumesFromText() const {
    notReady();
}
PlistDictionary VolumeScanner::diskInfoUncached(const std::string&) const {
    notReady();
}
PlistDictionary VolumeScanner::bestEffortDiskInfo(const std::string&) const {
    notReady();
}
std::vector<PlistDictionary>
VolumeScanner::enrichSiblingPartitions(const std::string&,
                                       const std::vector<PlistDictionary>&) const {
    notReady();
}
DiskImageMap VolumeScanner::diskImageMap() const {
    notReady();
}
std::vector<PlistDictionary>
VolumeScanner::siblingPartitionsFromInfo(const std::string&,
                                         const std::vector<std::string>&) const {
    notReady();
}
DiskImageMap VolumeScanner::loadDiskImageMap() const {
    notReady();
}

std::map<std::string, std::vector<std::string>> partitionIDsByParentFromText(const std::string&) {
    notReady();
}

std::vector<ESPVolume> loadESPVolumes() {
    return VolumeScanner().loadESPVolumes();
}
PlistDictionary diskInfoUncached(const std::string& identifier) {
    return VolumeScanner().diskInfoUncached(identifier);
}

} // namespace tesselwick::discovery
