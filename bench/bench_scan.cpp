// Cost of one full property-list scan on a synthetic 50-disk machine, with the
// tools answered from memory so only our parsing and rules are measured.
//
//   commands_per_scan  commands one scan with cold caches runs
//   commands_minimum   what the per-run memo and the caches allow: the partition
//                      list, each partition of a disk with an ESP candidate once,
//                      each such disk once, and the image list once
//   ms_per_disk        scan time per disk with a zero-cost command seam
//   baseline_parse_ms_per_disk  the same outputs only parsed, never classified

#include "discovery/PlistValue.h"
#include "discovery/VolumeScan.h"
#include "doubles/ManualClock.h"
#include "process/ProcessRunner.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

using namespace tesselwick;
using namespace tesselwick::discovery;
namespace disktool = tesselwick::process::disktool;

namespace {

constexpr int kDisks = 50;

struct Machine {
    std::unordered_map<std::string, std::string> outputs; // command line -> stdout
    int minimumCommands = 0;
    int espCount = 0;
};

std::string key(const disktool::Command& command) {
    return process::commandDescription(command.executablePath, command.arguments);
}

// Every fifth disk has no ESP (a plain data disk); the others carry an ESP and
// two to four other partitions of varying kinds; disks 45 to 49 are attached images.
Machine buildMachine() {
    Machine machine;
    PlistArray disks;
    PlistArray images;
    const char* const kinds[][3] = {
        {"Apple_APFS", "apfs", "APFS"},
        {"Microsoft Basic Data", "ntfs", "Windows NT File System (NTFS)"},
        {"Linux Filesystem", "", ""},
        {"Microsoft Basic Data", "exfat", "ExFAT"},
        {"Apple_HFS", "hfs", "Mac OS Extended (Journaled)"}};
    int lookups = 0;
    int disksWithESP = 0;
    for (int d = 0; d < kDisks; ++d) {
        const std::string disk = "disk" + std::to_string(d);
        const bool hasESP = d % 5 != 4;
        const int others = 2 + d % 3;
        PlistArray partitions;
        int index = 1;
        auto addPartition = [&](const std::string& content, const std::string& fsName,
                                const std::string& fsVisible, const std::string& volumeName,
                                std::int64_t size) {
            const std::string id = disk + "s" + std::to_string(index++);
            partitions.push_back(PlistDictionary{{"Content", content},
                                                 {"DeviceIdentifier", id},
                                                 {"VolumeName", volumeName},
                                                 {"Size", size}});
            PlistDictionary info{
                {"DeviceIdentifier", id},   {"Content", content},
                {"VolumeName", volumeName}, {"TotalSize", size},
                {"MountPoint", ""},         {"IORegistryEntryName", volumeName + " Media"}};
            if (!fsName.empty()) {
                info.emplace("FilesystemName", fsName);
                info.emplace("FilesystemUserVisibleName", fsVisible);
            }
            machine.outputs[key(disktool::infoPlist(id))] = toXMLPropertyList(info);
        };
        if (hasESP) {
            addPartition("EFI", "msdos", "MS-DOS (FAT32)", "EFI", 209715200);
        }
        for (int p = 0; p < others; ++p) {
            const auto& kind = kinds[(d + p) % 5];
            addPartition(kind[0], kind[1], kind[2], "Volume " + std::to_string(p),
                         100000000000 + p);
        }
        disks.push_back(PlistDictionary{{"Content", "GUID_partition_scheme"},
                                        {"DeviceIdentifier", disk},
                                        {"OSInternal", false},
                                        {"Size", 1000204886016.0},
                                        {"Partitions", std::move(partitions)}});
        machine.outputs[key(disktool::infoPlist(disk))] =
            toXMLPropertyList(PlistDictionary{{"DeviceIdentifier", disk},
                                              {"MediaName", "Disk Model " + std::to_string(d)},
                                              {"Internal", d < 20},
                                              {"DeviceLocation", d < 20 ? "Internal" : "External"},
                                              {"TotalSize", 1000204886016}});
        if (d >= 45) {
            images.push_back(PlistDictionary{
                {"image-path", "/Users/me/Images/Image " + std::to_string(d) + ".dmg"},
                {"system-entities",
                 PlistArray{PlistDictionary{{"dev-entry", "/dev/" + disk}},
                            PlistDictionary{{"dev-entry", "/dev/" + disk + "s1"}}}}});
        }
        if (hasESP) {
            ++disksWithESP;
            lookups += (index - 1) + 1; // every partition, then the disk itself
        }
    }
    machine.outputs[key(disktool::listPlist())] =
        toXMLPropertyList(PlistDictionary{{"AllDisksAndPartitions", std::move(disks)}});
    machine.outputs[key(disktool::imageInfoPlist())] =
        toXMLPropertyList(PlistDictionary{{"images", std::move(images)}});
    machine.minimumCommands = 1 + lookups + 1;
    machine.espCount = disksWithESP;
    return machine;
}

} // namespace

int main() {
    const Machine machine = buildMachine();
    int commands = 0;
    process::CommandRunner runner = [&](const std::string& path,
                                        const std::vector<std::string>& arguments,
                                        tesselwick::Seconds) {
        ++commands;
        return machine.outputs.at(process::commandDescription(path, arguments));
    };

    // One cold scan for the command count (and a check that it found every ESP).
    {
        ManualClock clock;
        DiskInfoCache infoCache(clock);
        DiskImageMapCache imageCache(clock);
        const auto volumes = VolumeScanner(runner, infoCache, imageCache).loadESPVolumes();
        if (static_cast<int>(volumes.size()) != machine.espCount) {
            std::fprintf(stderr, "bench_scan: found %zu ESPs, expected %d\n", volumes.size(),
                         machine.espCount);
            return 1;
        }
    }
    const int commandsPerScan = commands;

    using Clock = std::chrono::steady_clock;
    constexpr int kRounds = 40;
    const auto start = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
        ManualClock clock;
        DiskInfoCache infoCache(clock); // cold: every lookup parses its output again
        DiskImageMapCache imageCache(clock);
        VolumeScanner(runner, infoCache, imageCache).loadESPVolumes();
    }
    const double scanMs =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kRounds;

    // Baseline: parsing the same outputs a cold scan reads, and nothing else.
    const auto parseStart = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
        for (const auto& [line, output] : machine.outputs) {
            (void)parsePropertyList(output);
        }
    }
    const double parseMs =
        std::chrono::duration<double, std::milli>(Clock::now() - parseStart).count() / kRounds;

    std::printf("commands_per_scan %d\n", commandsPerScan);
    std::printf("commands_minimum %d\n", machine.minimumCommands);
    std::printf("ms_per_disk %.4f\n", scanMs / kDisks);
    std::printf("baseline_parse_ms_per_disk %.4f\n", parseMs / kDisks);
    return commandsPerScan == machine.minimumCommands ? 0 : 1;
}
