#pragma once

#include "process/CommandRunner.h"

#include <string>
#include <vector>

namespace tesselwick::process {

// Every invocation of the platform's disk utility and image tool, in one place.
namespace disktool {

inline constexpr const char* kDiskutilPath = "/usr/sbin/diskutil";
inline constexpr const char* kHdiutilPath = "/usr/bin/hdiutil";
inline constexpr Seconds kQueryTimeout{10.0};
inline constexpr Seconds kMountTimeout{6.0};

struct Command {
    std::string executablePath;
    std::vector<std::string> arguments;
    Seconds timeout = kQueryTimeout;

    bool operator==(const Command&) const = default;
};

// diskutil list -plist: the partition map of every whole disk.
Command listPlist();
// diskutil list -plist <disk>: the partition map of one whole disk.
Command listPlist(const std::string& wholeDiskIdentifier);
// diskutil info -plist <identifier>: one disk's or partition's facts.
Command infoPlist(const std::string& identifier);
// diskutil list: the human-readable table the text fallback reads.
Command listText();
// diskutil mount / unmount <partition>: the direct route.
Command mount(const std::string& partitionIdentifier);
Command unmount(const std::string& partitionIdentifier);
// hdiutil info -plist: the attached disk images.
Command imageInfoPlist();

std::string run(const CommandRunner& runner, const Command& command);

} // namespace disktool
} // namespace tesselwick::process
