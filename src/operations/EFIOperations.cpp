#include "operations/EFIOperations.h"

#include "discovery/Classification.h"
#include "discovery/DiskCaches.h"
#include "discovery/Naming.h"
#include "discovery/VolumeScan.h"
#include "helper/ESPHelper.h"
#include "helper/HelperScripts.h"
#include "process/AdministratorShell.h"
#include "process/DiskTool.h"
#include "support/Errors.h"
#include "support/ExitCodes.h"
#include "support/Task.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdlib.h>
#include <unistd.h>
#include <vector>

namespace tesselwick::operations {

using discovery::DiskOperation;
using discovery::ESPVolume;
using discovery::PartitionId;
using discovery::PlistDictionary;

namespace {

DomainError notPresent(const std::string& diskIdentifier) {
    return commandError(exitcode::kDataError, "EFI partition " + diskIdentifier +
                                                  " is no longer present. Refresh and try again.");
}

std::string stringOrEmpty(const PlistDictionary& dictionary, std::string_view key) {
    const std::string* value = discovery::stringValue(dictionary, key);
    return value ? *value : std::string();
}

// The partition D in the partition list of its parent P, or none.
std::optional<PlistDictionary> partitionEntry(const discovery::PlistValue& root,
                                              const std::string& parent,
                                              const std::string& diskIdentifier) {
    const PlistDictionary* top = root.dictionary();
    if (top == nullptr) {
        return std::nullopt;
    }
    const auto disks = discovery::dictionaryArray(*top, "AllDisksAndPartitions");
    if (!disks) {
        return std::nullopt;
    }
    for (const PlistDictionary& disk : *disks) {
        if (stringOrEmpty(disk, "DeviceIdentifier") != parent) {
            continue;
        }
        const auto partitions = discovery::dictionaryArray(disk, "Partitions");
        if (!partitions || partitions->empty()) {
            return std::nullopt;
        }
        for (const PlistDictionary& partition : *partitions) {
            if (stringOrEmpty(partition, "DeviceIdentifier") == diskIdentifier) {
                return partition;
            }
        }
        return std::nullopt;
    }
    return std::nullopt;
}

// A file that exists for as long as this process waits for the administrator
// script: the script ends its diskutil when the file goes, because nothing
// passes a time-out or Ctrl-C on to what runs behind the prompt.
class RequestLease {
public:
    RequestLease() {
        std::string pattern = "/tmp/tesselwick-lease.XXXXXX";
        const int descriptor = ::mkstemp(pattern.data());
        if (descriptor < 0) {
            throw commandError(exitcode::kIOError, "Could not create the request lease in /tmp: " +
                                                       std::string(std::strerror(errno)));
        }
        ::close(descriptor);
        path_ = std::move(pattern);
    }
    ~RequestLease() { ::unlink(path_.c_str()); }
    RequestLease(const RequestLease&) = delete;
    RequestLease& operator=(const RequestLease&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace

EFIOperations::EFIOperations(EFIOperationServices services) : services_(std::move(services)) {}

void EFIOperations::runEFICommand(DiskOperation operation, const PartitionId& partition) const {
    bool stopped = false;
    try {
        runRoutes(operation, partition, stopped);
    } catch (const DomainError&) {
        if (!stopped) {
            throw;
        }
        confirmStoppedRequest(operation, partition);
    }
}

void EFIOperations::runRoutes(DiskOperation operation, const PartitionId& partition,
                              bool& stopped) const {
    std::vector<std::string> failures;
    // The last route that failed decides: a route that times out before
    // another one answers leaves that answer as it is.
    const auto note = [&stopped](const std::exception& error) {
        const auto* domainError = dynamic_cast<const DomainError*>(&error);
        stopped = domainError && domainError->code() == exitcode::kTimedOut;
    };

    const std::optional<bool> helperStatus =
        services_.cachedHelperStatus ? services_.cachedHelperStatus() : std::nullopt;
    if (helperStatus.value_or(false) && services_.runHelper) {
        try {
            services_.runHelper(operation, partition);
            return;
        } catch (const CancellationError&) {
            throw;
        } catch (const DomainError& error) {
            note(error);
            if (error.domain() == ESPHelper::kHelperOperationErrorDomain) {
                throw;
            }
            // The helper did not run. Only a helper that is really gone lets
            // the request fall back; one that is still there reported a fault
            // worth showing as it is.
            if (services_.invalidateHelperStatus) {
                services_.invalidateHelperStatus();
            }
            if (services_.helperIsInstalled && services_.helperIsInstalled()) {
                throw;
            }
            failures.push_back(std::string(kHelperRouteLabel) + error.what());
        }
    }

    try {
        runDiskutilOperation(operation, partition);
        return;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        note(error);
        failures.push_back(std::string(kDirectRouteLabel) + error.what());
    }

    try {
        runPrivilegedDiskutilOperation(operation, partition);
        return;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        note(error);
        failures.push_back(std::string(kAdministratorRouteLabel) + error.what());
    }

    std::string message = "Unable to " + std::string(discovery::operationName(operation)) +
                          " EFI partition " + partition.str() + ".\n\n" + kOptionalHelperText;
    for (std::size_t i = 0; i < failures.size(); ++i) {
        message += (i == 0 ? "" : "\n\n") + failures[i];
    }
    throw commandError(1, std::move(message));
}

// A route stopped by its time-out ended what it had started as root (the
// helper and the administrator script take their diskutil down with them), but
// the tool may have finished first: the partition says which, read as after
// any operation. What the user reads never quotes the stopped command, whose
// line may carry the whole administrator script.
void EFIOperations::confirmStoppedRequest(DiskOperation operation,
                                          const PartitionId& partition) const {
    const bool wantMounted = operation == DiskOperation::mount;
    std::optional<bool> mounted;
    for (int read = 1; read <= kMountPointReads; ++read) {
        task::checkCancellation();
        try {
            const PlistDictionary info = diskInfoUncached(partition.str());
            mounted = discovery::normalizedMountPoint(discovery::stringValue(info, "MountPoint"))
                          .has_value();
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception&) {
        }
        // A mount point may show up late; anything else read is the answer.
        if (mounted && (*mounted || !wantMounted)) {
            break;
        }
        task::sleep(kMountPointReadPause);
    }
    if (mounted == wantMounted) {
        return;
    }
    const std::string verb = discovery::operationName(operation);
    const std::string heading = "Unable to " + verb + " EFI partition " + partition.str() + ".\n\n";
    if (!mounted) {
        throw commandError(exitcode::kTimedOut,
                           heading + "The " + verb +
                               " timed out and was stopped, and the partition could not be "
                               "read afterwards: refresh to see whether it is mounted.");
    }
    throw commandError(exitcode::kTimedOut, heading + "The " + verb +
                                                " timed out and was stopped; the partition is "
                                                "unchanged.");
}

void EFIOperations::runDiskutilOperation(DiskOperation operation,
                                         const PartitionId& partition) const {
    const std::string checkedUuid = validateCurrentEFITarget(partition);
    const auto tool = operation == DiskOperation::mount
                          ? process::disktool::mount(partition.str())
                          : process::disktool::unmount(partition.str());
    process::disktool::run(services_.runner, tool);
    confirmCheckedPartition(operation, partition, checkedUuid);
}

// diskutil acts on whatever holds the identifier when it runs. A mount that
// met another partition than the one just checked is taken back at once and
// refused, as is one whose partition cannot be read back; an unmount cannot
// be taken back, so it is reported. The root scripts do the same.
void EFIOperations::confirmCheckedPartition(DiskOperation operation, const PartitionId& partition,
                                            const std::string& checkedUuid) const {
    std::optional<std::string> uuid;
    try {
        uuid = stringOrEmpty(diskInfoUncached(partition.str()), "DiskUUID");
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception&) {
    }
    // An unmount whose partition cannot be read is left to the usual reads.
    if (uuid == checkedUuid || (!uuid && operation == DiskOperation::unmount)) {
        return;
    }
    const std::string& id = partition.str();
    if (operation == DiskOperation::mount) {
        try {
            process::disktool::run(services_.runner, process::disktool::unmount(id));
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception&) {
            throw commandError(exitcode::kDataError,
                               "Refusing " + id +
                                   ": it is not the partition that was checked, and unmounting it "
                                   "again failed; it is still mounted.");
        }
        throw commandError(exitcode::kDataError, "Refusing " + id +
                                                     ": it is not the partition that was "
                                                     "checked; it was unmounted again.");
    }
    throw commandError(exitcode::kDataError,
                       id + " was replaced while it was being unmounted: the partition there now "
                            "was unmounted.");
}

void EFIOperations::runPrivilegedDiskutilOperation(DiskOperation operation,
                                                   const PartitionId& partition) const {
    validateCurrentEFITarget(partition);
    const RequestLease lease;
    const std::string script = helper::privilegedDiskutilScript(operation, partition, lease.path());
    process::runShellAsAdministrator(process::scriptTransportLine(script), services_.runner);
}

std::string EFIOperations::validateCurrentEFITarget(const PartitionId& partition) const {
    task::checkCancellation();
    const std::string& diskIdentifier = partition.str();
    const std::string parent = partition.wholeDisk();

    const std::string listing =
        process::disktool::run(services_.runner, process::disktool::listPlist(parent));
    const discovery::PlistValue root = discovery::parsePropertyList(listing);
    const std::optional<PlistDictionary> entry = partitionEntry(root, parent, diskIdentifier);
    if (!entry) {
        throw notPresent(diskIdentifier);
    }

    const PlistDictionary info = diskInfoUncached(diskIdentifier);
    const std::string listContent = stringOrEmpty(*entry, "Content");
    const std::string filesystem = discovery::partitionFilesystemSearchText(info, listContent);
    const bool isESP =
        discovery::isEFIPartition(listContent, stringOrEmpty(*entry, "VolumeName"), filesystem) ||
        discovery::isEFIPartition(stringOrEmpty(info, "Content"), stringOrEmpty(info, "VolumeName"),
                                  filesystem);
    if (!isESP) {
        throw commandError(exitcode::kDataError,
                           "Refusing " + diskIdentifier +
                               ": it is no longer an EFI System Partition. Refresh and try "
                               "again.");
    }
    task::checkCancellation();
    return stringOrEmpty(info, "DiskUUID");
}

ESPVolume EFIOperations::refreshedOperationVolume(const ESPVolume& volume,
                                                  bool expectedMounted) const {
    task::checkCancellation();
    PlistDictionary info;
    std::optional<std::string> mountPoint;
    for (int read = 1;; ++read) {
        try {
            info = diskInfoUncached(volume.diskIdentifier);
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception&) {
            info.clear();
        }
        mountPoint = discovery::normalizedMountPoint(discovery::stringValue(info, "MountPoint"));
        if (!expectedMounted || mountPoint || read >= kMountPointReads) {
            break;
        }
        task::sleep(kMountPointReadPause);
        task::checkCancellation();
    }
    if (!expectedMounted) {
        mountPoint.reset();
    }

    ESPVolume refreshed = volume;
    refreshed.partitionName =
        discovery::bestPartitionName(PlistDictionary{}, info, volume.partitionName);
    refreshed.sizeBytes =
        discovery::int64(discovery::lookup(info, "TotalSize")).value_or(volume.sizeBytes);
    refreshed.mountPoint = mountPoint;
    const std::string filesystem = discovery::partitionFilesystemName(info, volume.filesystem);
    refreshed.filesystem = filesystem.empty() ? volume.filesystem : filesystem;
    refreshed.bootloader = discovery::bootloaderName(mountPoint);
    return refreshed;
}

PlistDictionary EFIOperations::diskInfoUncached(const std::string& identifier) const {
    return discovery::diskInfoUncached(services_.runner, identifier);
}

} // namespace tesselwick::operations
