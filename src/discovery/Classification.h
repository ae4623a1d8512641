#pragma once

#include "discovery/ESPVolume.h"
#include "discovery/PlistValue.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The textual rules every scan and every later check of a target share, so that
// all of them classify a partition the same way. Stateless and thread-safe.
namespace tesselwick::discovery {

// "disk" digits, optionally followed by "s" digits; nothing else, no trimming.
bool isWholeDiskIdentifier(std::string_view identifier);
bool isPartitionIdentifier(std::string_view identifier);
bool isValidDiskReferenceIdentifier(std::string_view identifier);
// The leading "disk" digits of an identifier, or empty when it does not start so.
std::string wholeDiskPrefix(std::string_view identifier);
// True when `partition` is a partition identifier of the whole disk `parent`.
bool isPartitionOf(std::string_view partition, std::string_view parent);

bool isEFIPartition(std::string_view content, std::string_view volumeName,
                    std::string_view filesystem);

std::string partitionFilesystemSearchText(const PlistDictionary& dictionary,
                                          std::string_view fallback);
std::string normalizedFilesystemName(const std::optional<std::string>& raw);
std::string normalizedFilesystemName(std::string_view raw);
std::string partitionFilesystemName(const PlistDictionary& dictionary, std::string_view fallback);
int filesystemSortRank(std::string_view name);

// Letters without regard to case, runs of digits by numeric value (disk2 < disk10);
// texts equal by that rule are ordered by their bytes.
int localizedStandardCompare(std::string_view a, std::string_view b);
bool volumeOrderedBefore(const ESPVolume& a, const ESPVolume& b);
std::vector<ESPVolume> sortedVolumes(std::vector<ESPVolume> volumes);

bool hasUsableValue(const PlistValue* value);

} // namespace tesselwick::discovery
