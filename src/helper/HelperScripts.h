#pragma once

#include "discovery/DiskOperation.h"
#include "discovery/PartitionId.h"
#include "support/BuildInfo.h"

#include <string>

// The root scripts: the helper, its installer and uninstaller, and the
// administrator route's script. Their texts live in helper/scripts/ and are embedded at build time
// with the paths and names below spliced in.
namespace tesselwick::helper {

// Paths and names that stay on users' disks: changing any of them orphans
// installed helpers. They come from helper/scripts/values.cmake, as the
// scripts' own copies do.
extern const char* const kHelperDirectory;
extern const char* const kSudoersDirectory;
extern const char* const kHelperPath;
extern const char* const kSudoersPath;
extern const char* const kInstallLockName;
extern const char* const kSudoersRule;
// The helper's first line on standard error once it has checked its arguments.
extern const char* const kReadyMarker;
inline constexpr const char* kHelperVersion = build::kHelperVersion;

// The helper exactly as the installer writes it to kHelperPath.
std::string helperScript();

// The transactional installer, run once as root. Its only variable parts are
// the constants above.
std::string installerScript();

// The removal of the helper and its rule, run once as root for `requester`
// (a user name; std::invalid_argument otherwise), whom sudo must refuse the
// helper before anything is deleted.
std::string uninstallerScript(const std::string& requester);

// The administrator route's root script for one request: it re-validates the
// partition on the live system as the helper does, then mounts or unmounts it.
// The request's values are spliced in between single quotes, which their types
// guarantee they cannot leave.
// `lease` is a file the caller holds for as long as it waits for the script
// (see RequestLease); its name must have the form /tmp/tesselwick-lease.XXXXXX.
std::string privilegedDiskutilScript(discovery::DiskOperation operation,
                                     const discovery::PartitionId& partition,
                                     const std::string& lease);

} // namespace tesselwick::helper
