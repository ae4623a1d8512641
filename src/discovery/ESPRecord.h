#pragma once

#include "discovery/ESPVolume.h"
#include "discovery/Naming.h"
#include "discovery/PlistValue.h"

#include <optional>
#include <string>
#include <string_view>

// How both scans turn what they found about one ESP into its record.
namespace tesselwick::discovery {

// What a scan knows about one ESP. The text fallback has no partition list, so
// it has no list entries to offer.
struct ESPFacts {
    const std::string& id;
    const std::string& parentID;
    const PlistDictionary* listedPartition; // its entry in the partition list
    const PlistDictionary* listedDisk;      // its disk's entry there
    const PlistDictionary& info;            // its own disk information
    const PlistDictionary& diskInfo;        // its disk's
    // The image that backs the disk, as far as naming the disk goes.
    const std::optional<std::string>& diskImagePath;
    // The image that backs the ESP itself.
    const std::optional<std::string>& imagePath;
    const PlatformInfo& platform;
};

ESPVolume espVolume(const ESPFacts& facts);

std::string stringOrEmpty(const PlistDictionary& dictionary, std::string_view key);
// The ESP test on one dictionary's own "Content", "VolumeName" and filesystem text.
bool passesESPTest(const PlistDictionary& dictionary);

} // namespace tesselwick::discovery
