#pragma once

#include "discovery/DiskOperation.h"
#include "discovery/PartitionId.h"

#include <string>

namespace tesselwick::helper {

// Paths and names that stay on users' disks: changing any of them orphans
// installed helpers.
inline constexpr const char* kHelperDirectory = "/Library/PrivilegedHelperTools";
inline constexpr const char* kSudoersDirectory = "/etc/sudoers.d";
inline constexpr const char* kHelperPath =
    "/Library/PrivilegedHelperTools/com.vornaby.harbortide.helper";
inline constexpr const char* kSudoersPath = "/etc/sudoers.d/vornaby-harbortide";
inline constexpr const char* kHelperVersion = "9";
inline constexpr const char* kReadyMarker = "TESSELWICK_HELPER_READY=9";
inline constexpr const char* kInstallLockName = "/.com.vornaby.harbortide.install.lock";
inline constexpr const char* kSudoersRule =
    "%admin ALL=(root) NOPASSWD: /Library/PrivilegedHelperTools/com.vornaby.harbortide.helper";

// The helper exactly as the installer writes it to kHelperPath.
std::string helperScript();

// The transactional installer, run once as root. Its only variable parts are
// the constants above.
std::string installerScript();

// The administrator route's root script for one request: it re-validates the
// partition on the live system like the helper, then mounts or unmounts it.
// The request's values are spliced in between single quotes, which the types
// guarantee they cannot leave.
std::string privilegedDiskutilScript(discovery::DiskOperation operation,
                                     const discovery::PartitionId& partition);

} // namespace tesselwick::helper
