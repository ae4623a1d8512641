#pragma once

#include "discovery/PlistValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How a disk and its ESP are named and what the disk is inferred to hold.
// Stateless; only bootloaderName touches the file system.
namespace tesselwick::discovery {

// An exact, non-negative whole number that fits a signed 64-bit integer; never a boolean.
std::optional<std::int64_t> int64(const PlistValue* value);

std::optional<std::string> normalizedMountPoint(const std::optional<std::string>& raw);
std::optional<std::string> normalizedMountPoint(const std::string* raw);

std::string bestParentName(const PlistDictionary& listEntry, const PlistDictionary& info,
                           const std::string& fallback,
                           const std::optional<std::string>& imagePath);
bool bestInternal(const PlistDictionary& listEntry, const PlistDictionary& info);
std::string bestPartitionName(const PlistDictionary& partition, const PlistDictionary& info,
                              const std::string& fallback);

struct PlatformInfo {
    std::string os;
    std::string filesystem;
    std::optional<std::string> bootRole;
    bool operator==(const PlatformInfo&) const = default;
};

PlatformInfo platformInfo(const std::vector<PlistDictionary>& partitions,
                          const PlistDictionary& parentInfo, bool isDiskImage);
std::string inferOSName(const std::optional<std::string>& leadingText,
                        const PlistDictionary& parentInfo,
                        const std::vector<PlistDictionary>& partitions, bool isDiskImage);
std::string inferHostFilesystem(const std::vector<PlistDictionary>& partitions,
                                const PlistDictionary& parentInfo);
std::optional<std::string> bootRoleName(const PlistDictionary& parentInfo,
                                        const std::vector<PlistDictionary>& partitions);

// The partitions (physical stores) of APFS containers that have a volume, or the
// sealed system snapshot of one, mounted at "/" according to a partition list
// root's "AllDisksAndPartitions". A whole disk holding one of them is the boot
// disk even though "/" itself is mounted from the synthesized container disk.
std::vector<std::string> rootContainerPhysicalStores(const PlistDictionary& partitionListRoot);

std::optional<std::string> bootloaderName(const std::optional<std::string>& mountPoint);

} // namespace tesselwick::discovery
