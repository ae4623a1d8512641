#pragma once

#include "discovery/DiskOperation.h"
#include "discovery/PartitionId.h"
#include "helper/ESPHelperStatusCache.h"
#include "process/CommandRunner.h"
#include "support/Errors.h"

#include <string>
#include <string_view>

// Finding out whether the optional privileged helper is usable, running it for
// one mount or unmount, and installing it. Every function blocks and belongs
// on a worker task, with the status cache and the command runner its caller
// owns (the application's composition root, or a test's).
namespace tesselwick::ESPHelper {

inline constexpr const char* kHelperErrorDomain = "Tesselwick.Helper";
inline constexpr const char* kHelperOperationErrorDomain = "Tesselwick.Helper.Operation";
inline constexpr const char* kSudoPath = "/usr/bin/sudo";
inline constexpr Seconds kProbeTimeout{3.0};
inline constexpr Seconds kRunTimeout{10.0};
inline constexpr Seconds kInstallerTimeout{120.0};
inline constexpr const char* kInstallProbeRefusedPrefix =
    "The helper files were installed, but macOS did not accept passwordless helper "
    "execution.\n\n";
inline constexpr const char* kUninstallProbeReadyMessage =
    "The helper files were removed, but sudo still runs the helper without a password.";

struct ProbeResult {
    bool ready = false;
    std::string message;
};

// A helper error: domain "Tesselwick.Helper", code 1.
DomainError helperError(std::string message, std::int64_t code = 1);

// The installer text that runs as root (see helper/HelperScripts.h).
std::string installerScript();

// The uninstaller text that runs as root, for the user running this program.
std::string uninstallerScript();

// True when there is nothing to remove: the helper is known to be absent and
// its sudoers rule is not known to be present (its folder may be closed to
// the user).
bool helperFilesAbsent();

// Runs the installed helper's "version" through sudo -n. Never throws.
ProbeResult
probePasswordlessRuntime(const process::CommandRunner& runner = process::systemCommandRunner());

// The cached answer while it is fresh, otherwise a probe whose answer is
// stored unless an outside write or a later probe superseded it.
bool isInstalled(ESPHelperStatusCache& cache, const process::CommandRunner& runner);

// Mounts or unmounts one partition through the helper. Throws a helper error
// when the helper did not run (sudo refused, not installed), an error of domain
// "Tesselwick.Helper.Operation" when it ran and the operation failed, or
// CancellationError.
void run(discovery::DiskOperation operation, const discovery::PartitionId& partition,
         ESPHelperStatusCache& cache, const process::CommandRunner& runner);

// Runs the installer as root behind the authorization prompt, then proves
// that sudo -n runs the new helper. Throws the runner's error unchanged when
// the installer fails, or a helper error when the probe refuses the result.
void install(ESPHelperStatusCache& cache, const process::CommandRunner& runner);

// Removes the helper and its rule as root behind the authorization prompt,
// unless nothing is there (false, and no prompt), then proves that sudo -n no
// longer runs it. Throws as install does.
bool uninstall(ESPHelperStatusCache& cache, const process::CommandRunner& runner);

} // namespace tesselwick::ESPHelper
