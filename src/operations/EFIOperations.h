#pragma once

#include "discovery/DiskOperation.h"
#include "discovery/ESPVolume.h"
#include "discovery/PartitionId.h"
#include "discovery/PlistValue.h"
#include "process/CommandRunner.h"
#include "support/Duration.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Mounting and unmounting one ESP: the route chooser, the direct and the
// administrator routes, the live re-validation every route does before it
// touches a disk, and the re-read of the one volume afterwards. Every function
// blocks while tools run and belongs on a worker task; each observes the
// calling task's cancellation and passes CancellationError on unchanged.
namespace tesselwick::operations {

inline constexpr const char* kHelperRouteLabel = "Helper: ";
inline constexpr const char* kDirectRouteLabel = "Direct diskutil: ";
inline constexpr const char* kAdministratorRouteLabel = "Administrator authorization: ";
inline constexpr const char* kOptionalHelperText =
    "The helper is optional. Without it, macOS should ask for administrator authorization "
    "when needed.\n\n";

inline constexpr Seconds kListTimeout{10.0};
inline constexpr int kMountPointReads = 3;
inline constexpr Seconds kMountPointReadPause{0.15};

// What the operations need from the rest of the system: the command runner, the
// helper status cache's answers and the helper itself (see manager/CoreServices).
struct EFIOperationServices {
    process::CommandRunner runner;
    // The status cache's stored answer, whatever its age; none when empty.
    std::function<std::optional<bool>()> cachedHelperStatus;
    std::function<void()> invalidateHelperStatus;
    // Probes again when the cache holds nothing fresh.
    std::function<bool()> helperIsInstalled;
    std::function<void(discovery::DiskOperation, const discovery::PartitionId&)> runHelper;
};

class EFIOperations {
public:
    explicit EFIOperations(EFIOperationServices services);

    // Tries the helper (when the status cache says installed), then diskutil,
    // then the administrator shell. Fails with code 1 and one line per failed
    // route when none worked; a helper that ran and failed, or that did not run
    // but is still installed, ends the request with its own error. A route
    // stopped by its time-out is judged by the partition's state afterwards.
    void runEFICommand(discovery::DiskOperation operation,
                       const discovery::PartitionId& partition) const;
    void runDiskutilOperation(discovery::DiskOperation operation,
                              const discovery::PartitionId& partition) const;
    void runPrivilegedDiskutilOperation(discovery::DiskOperation operation,
                                        const discovery::PartitionId& partition) const;
    // Returns, when the live system lists the partition under its parent and
    // it still classifies as an ESP, the partition's own UUID (empty when the
    // tool does not say); code 65 otherwise.
    std::string validateCurrentEFITarget(const discovery::PartitionId& partition) const;
    void confirmCheckedPartition(discovery::DiskOperation operation,
                                 const discovery::PartitionId& partition,
                                 const std::string& checkedUuid) const;

    // The volume as the system reports it now. After a mount the mount point
    // may appear late, so it is read up to three times; after an unmount the
    // volume never keeps one. Fails only with CancellationError.
    discovery::ESPVolume refreshedOperationVolume(const discovery::ESPVolume& volume,
                                                  bool expectedMounted) const;

private:
    // Sets `stopped` when a route was stopped by its time-out.
    void runRoutes(discovery::DiskOperation operation, const discovery::PartitionId& partition,
                   bool& stopped) const;
    // After a stopped route: returns when the partition reached the asked
    // state anyway; otherwise says that it timed out and whether it is unchanged.
    void confirmStoppedRequest(discovery::DiskOperation operation,
                               const discovery::PartitionId& partition) const;
    discovery::PlistDictionary diskInfoUncached(const std::string& identifier) const;

    EFIOperationServices services_;
};

} // namespace tesselwick::operations
