// Disk information to a record: one disk with an ESP, where every `diskutil
// info` and the image list answer with the input, through both scans.

#include "FuzzSupport.h"
#include "discovery/DiskCaches.h"
#include "discovery/VolumeScan.h"

#include <cstddef>
#include <cstdint>

using namespace tesselwick;
using namespace tesselwick::discovery;

namespace {

const std::string& partitionList() {
    static const std::string list = toXMLPropertyList(PlistDictionary{
        {"AllDisksAndPartitions",
         PlistArray{PlistDictionary{
             {"DeviceIdentifier", "disk0"},
             {"Content", "GUID_partition_scheme"},
             {"Size", std::uint64_t{500'107'862'016}},
             {"Partitions",
              PlistArray{PlistDictionary{{"DeviceIdentifier", "disk0s1"},
                                         {"Content", "EFI"},
                                         {"VolumeName", "EFI"},
                                         {"Size", std::uint64_t{209'715'200}}},
                         PlistDictionary{{"DeviceIdentifier", "disk0s2"},
                                         {"Content", "Apple_APFS"},
                                         {"Size", std::uint64_t{499'898'105'856}}}}}}}}});
    return list;
}

constexpr const char* kListText =
    "/dev/disk0 (internal, physical):\n"
    "   #:                       TYPE NAME      SIZE       IDENTIFIER\n"
    "   0:      GUID_partition_scheme          *500.1 GB   disk0\n"
    "   1:                        EFI EFI       209.7 MB   disk0s1\n"
    "   2:                 Apple_APFS Container 499.9 GB   disk0s2\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string answer(reinterpret_cast<const char*>(data), size);
    process::CommandRunner runner = [&answer](const std::string& path,
                                              const std::vector<std::string>& arguments,
                                              tesselwick::Seconds) -> std::string {
        const std::string key = fuzz::commandKey(path, arguments);
        if (key == "diskutil list -plist") {
            return partitionList();
        }
        if (key == "diskutil list") {
            return kListText;
        }
        return answer;
    };
    for (bool text : {false, true}) {
        DiskInfoCache infoCache;
        DiskImageMapCache imageCache;
        const VolumeScanner scanner(runner, infoCache, imageCache);
        try {
            fuzz::checkVolumes(text ? scanner.loadESPVolumesFromText()
                                    : scanner.loadESPVolumesFromPlist());
        } catch (const DomainError&) {
        }
    }
    return 0;
}
