#include "process/DiskTool.h"

namespace tesselwick::process::disktool {

Command listPlist() {
    return {kDiskutilPath, {"list", "-plist"}, kQueryTimeout};
}

Command listPlist(const std::string& wholeDiskIdentifier) {
    return {kDiskutilPath, {"list", "-plist", wholeDiskIdentifier}, kQueryTimeout};
}

Command infoPlist(const std::string& identifier) {
    return {kDiskutilPath, {"info", "-plist", identifier}, kQueryTimeout};
}

Command listText() {
    return {kDiskutilPath, {"list"}, kQueryTimeout};
}

Command mount(const std::string& partitionIdentifier) {
    return {kDiskutilPath, {"mount", partitionIdentifier}, kMountTimeout};
}

Command unmount(const std::string& partitionIdentifier) {
    return {kDiskutilPath, {"unmount", partitionIdentifier}, kMountTimeout};
}

Command imageInfoPlist() {
    return {kHdiutilPath, {"info", "-plist"}, kQueryTimeout};
}

std::string run(const CommandRunner& runner, const Command& command) {
    return runner(command.executablePath, command.arguments, command.timeout);
}

} // namespace tesselwick::process::disktool
