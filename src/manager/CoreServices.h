#pragma once

#include "discovery/DiskOperation.h"
#include "discovery/DiskReport.h"
#include "discovery/ESPVolume.h"
#include "discovery/PartitionId.h"
#include "helper/ESPHelperStatusCache.h"
#include "process/CommandRunner.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tesselwick::manager {

// The three things the disk manager asks of the layers below it. Each call
// that may block is made on a worker task and observes its cancellation; the
// others are cheap and may be made on the main thread.

// The disks as the scans see them, and the caches behind the scans.
class VolumeSource {
public:
    virtual ~VolumeSource() = default;
    // One full scan (worker task); with `disks`, also what it saw of each whole
    // disk, asked of the same tool calls.
    virtual std::vector<discovery::ESPVolume>
    loadESPVolumes(std::vector<discovery::DiskReport>* disks) = 0;
    // Drops disk information older than its time to live.
    virtual void invalidateExpired() = 0;
    // Empties the disk-image map and the disk information caches, so the next
    // read comes from the live system.
    virtual void invalidateAll() = 0;
};

// The privileged helper.
class HelperService {
public:
    virtual ~HelperService() = default;
    // The stored status, without probing or a time-to-live check; none when
    // nothing has been stored yet (any thread).
    virtual std::optional<bool> cachedStatus() const = 0;
    // Whether the helper is installed and usable; may probe (worker task).
    virtual bool isInstalled() = 0;
    // Installs it behind the authorization prompt and proves it runs (worker task).
    virtual void install() = 0;
    // Removes it behind the authorization prompt, unless nothing is there,
    // and proves sudo no longer runs it (worker task).
    virtual void uninstall() = 0;
};

// Mounting and unmounting.
class OperationService {
public:
    virtual ~OperationService() = default;
    // One mount or unmount through the routes (worker task).
    virtual void run(discovery::DiskOperation operation,
                     const discovery::PartitionId& partition) = 0;
    // The volume as the system shows it after the operation (worker task).
    virtual discovery::ESPVolume refreshedVolume(const discovery::ESPVolume& volume,
                                                 bool expectedMounted) = 0;
};

// The production services: the scans, the helper and the mount routes over
// one command runner and one set of caches that they share.
struct CoreServices {
    std::shared_ptr<VolumeSource> volumes;
    std::shared_ptr<HelperService> helper;
    std::shared_ptr<OperationService> operations;
    // The helper status cache they share, for a tool that removes the helper
    // behind their back and must say so.
    std::shared_ptr<ESPHelperStatusCache> helperStatus;
};
// `runner` starts every tool; a benchmark hands in one that records.
CoreServices makeCoreServices(process::CommandRunner runner = process::systemCommandRunner());

} // namespace tesselwick::manager
