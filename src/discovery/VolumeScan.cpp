#include "discovery/VolumeScan.h"

#include "diagnostics/Diagnostics.h"
#include "support/Errors.h"
#include "support/Task.h"

#include <algorithm>
#include <exception>

namespace tesselwick::discovery {

VolumeScanner::VolumeScanner(process::CommandRunner runner, DiskInfoCache& diskInfoCache,
                             DiskImageMapCache& imageMapCache, std::size_t lookupConcurrency)
    : runner_(std::move(runner)), diskInfoCache_(diskInfoCache), imageMapCache_(imageMapCache),
      lookupConcurrency_(std::max<std::size_t>(lookupConcurrency, 1)) {}

std::vector<ESPVolume> VolumeScanner::loadESPVolumes(std::vector<DiskReport>* disks) const {
    TW_LOG("DiskManager.loadESPVolumes begin");
    task::checkCancellation();
    std::exception_ptr plistError;
    try {
        std::vector<ESPVolume> volumes = loadESPVolumesFromPlist(disks);
        TW_LOG("DiskManager.loadESPVolumes plist path succeeded count=" +
               std::to_string(volumes.size()));
        return volumes;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        TW_LOG("DiskManager.loadESPVolumes plist path failed error=" + std::string(error.what()) +
               "; trying text fallback");
        plistError = std::current_exception();
    }
    task::checkCancellation();
    std::vector<DiskReport> textDisks;
    std::vector<ESPVolume> volumes = loadESPVolumesFromText(&textDisks);
    TW_LOG("DiskManager.loadESPVolumes text fallback completed count=" +
           std::to_string(volumes.size()));
    task::checkCancellation();
    if (volumes.empty()) {
        // An empty fallback never hides why the main road failed.
        std::rethrow_exception(plistError);
    }
    if (disks != nullptr) {
        *disks = std::move(textDisks);
    }
    return volumes;
}

} // namespace tesselwick::discovery
