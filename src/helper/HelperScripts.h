#pragma once

#include "discovery/DiskOperation.h"
#include "discovery/PartitionId.h"
#include "helper/EmbeddedScripts.h"
#include "support/BuildInfo.h"

#include <string>

// The root scripts: the helper, its installer and the administrator route's
// script. Their texts live in helper/scripts/ and are embedded at build time
// with the paths and names below spliced in.
namespace tesselwick::helper {

// Paths and names that stay on users' disks: changing any of them orphans
// installed helpers.
using scripts::kHelperDirectory;
using scripts::kHelperPath;
using scripts::kInstallLockName;
using scripts::kReadyMarker;
using scripts::kSudoersDirectory;
using scripts::kSudoersPath;
using scripts::kSudoersRule;
inline constexpr const char* kHelperVersion = build::kHelperVersion;

// The helper exactly as the installer writes it to kHelperPath.
std::string helperScript();

// The transactional installer, run once as root. Its only variable parts are
// the constants above.
std::string installerScript();

// The administrator route's root script for one request: it re-validates the
// partition on the live system as the helper does, then mounts or unmounts it.
// The request's values are spliced in between single quotes, which their types
// guarantee they cannot leave.
std::string privilegedDiskutilScript(discovery::DiskOperation operation,
                                     const discovery::PartitionId& partition);

} // namespace tesselwick::helper
