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

#include <exception>
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

} // namespace

EFIOperations::EFIOperations(EFIOperationServices services) : services_(std::move(services)) {}

void EFIOperations::runEFICommand(DiskOperation operation, const PartitionId& partition) const {
    std::vector<std::string> failures;

    const std::optional<bool> helperStatus =
        services_.cachedHelperStatus ? services_.cachedHelperStatus() : std::nullopt;
    if (helperStatus.value_or(false) && services_.runHelper) {
        try {
            services_.runHelper(operation, partition);
            return;
        } catch (const CancellationError&) {
            throw;
        } catch (const DomainError& error) {
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
        failures.push_back(std::string(kDirectRouteLabel) + error.what());
    }

    try {
        runPrivilegedDiskutilOperation(operation, partition);
        return;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        failures.push_back(std::string(kAdministratorRouteLabel) + error.what());
    }

    std::string message = "Unable to " + std::string(discovery::operationName(operation)) +
                          " EFI partition " + partition.str() + ".\n\n" + kOptionalHelperText;
    for (std::size_t i = 0; i < failures.size(); ++i) {
        message += (i == 0 ? "" : "\n\n") + failures[i];
    }
    throw commandError(1, std::move(message));
}

void EFIOperations::runDiskutilOperation(DiskOperation operation,
                                         const PartitionId& partition) const {
    validateCurrentEFITarget(partition);
    const auto tool = operation == DiskOperation::mount
                          ? process::disktool::mount(partition.str())
                          : process::disktool::unmount(partition.str());
    process::disktool::run(services_.runner, tool);
}

void EFIOperations::runPrivilegedDiskutilOperation(DiskOperation operation,
                                                   const PartitionId& partition) const {
    validateCurrentEFITarget(partition);
    const std::string script = helper::privilegedDiskutilScript(operation, partition);
    process::runShellAsAdministrator(process::scriptTransportLine(script), services_.runner);
}

void EFIOperations::validateCurrentEFITarget(const PartitionId& partition) const {
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
