// A whole scan (the property-list scan, the text fallback, disk information and
// the image list) over a recorded session of tool answers (see FuzzSupport.h).

#include "FuzzSupport.h"
#include "discovery/DiskCaches.h"
#include "discovery/VolumeScan.h"

#include <cstddef>
#include <cstdint>

using namespace tesselwick;
using namespace tesselwick::discovery;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::ScriptedTools tools(std::string_view(reinterpret_cast<const char*>(data), size));
    DiskInfoCache infoCache;
    DiskImageMapCache imageCache;
    try {
        std::vector<DiskReport> disks;
        const auto volumes =
            VolumeScanner(tools.runner(), infoCache, imageCache).loadESPVolumes(&disks);
        fuzz::checkVolumes(volumes);
        fuzz::checkDisks(volumes, disks);
    } catch (const DomainError&) {
    }
    return 0;
}
