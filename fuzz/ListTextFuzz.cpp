// The `diskutil list` text table: the partition index and the text scan, with
// every partition the table names answering as a FAT32 ESP.

#include "FuzzSupport.h"
#include "discovery/DiskCaches.h"
#include "discovery/VolumeScan.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

using namespace tesselwick;
using namespace tesselwick::discovery;

namespace {

std::string infoFor(const std::string& identifier) {
    PlistDictionary info{{"DeviceIdentifier", identifier}};
    if (isPartitionIdentifier(identifier)) {
        info.emplace("Content", "EFI");
        info.emplace("VolumeName", "EFI");
        info.emplace("FilesystemName", "MS-DOS FAT32");
        info.emplace("TotalSize", std::uint64_t{209'715'200});
        info.emplace("ParentWholeDisk", wholeDiskPrefix(identifier));
    } else {
        info.emplace("MediaName", "Fuzz Disk");
        info.emplace("Internal", true);
        info.emplace("TotalSize", std::uint64_t{500'107'862'016});
        info.emplace("Content", "GUID_partition_scheme");
    }
    return toXMLPropertyList(info);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    for (const auto& [disk, partitions] : partitionIDsByParentFromText(text)) {
        for (auto it = partitions.begin(); it != partitions.end(); ++it) {
            if (!isPartitionOf(*it, disk)) {
                fuzz::fail(*it + " indexed under " + disk);
            }
            if (std::find(partitions.begin(), it, *it) != it) {
                fuzz::fail(*it + " indexed twice");
            }
        }
    }

    process::CommandRunner runner = [&text](const std::string& path,
                                            const std::vector<std::string>& arguments,
                                            tesselwick::Seconds) -> std::string {
        const std::string key = fuzz::commandKey(path, arguments);
        if (key == "diskutil list") {
            return text;
        }
        if (key.starts_with("diskutil info -plist ")) {
            return infoFor(arguments.back());
        }
        throw commandError(1, "not scripted: " + key);
    };
    DiskInfoCache infoCache;
    DiskImageMapCache imageCache;
    try {
        std::vector<DiskReport> disks;
        const auto volumes =
            VolumeScanner(runner, infoCache, imageCache).loadESPVolumesFromText(&disks);
        fuzz::checkVolumes(volumes);
        fuzz::checkDisks(volumes, disks);
    } catch (const DomainError&) {
    }
    return 0;
}
