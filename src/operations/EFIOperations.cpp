#include "operations/EFIOperations.h"

#include "discovery/Classification.h"
#include "discovery/DiskCaches.h"
#include "discovery/Naming.h"
#include "discovery/VolumeScan.h"
#include "helper/ESPHelper.h"
#include "process/DiskTool.h"
#include "support/Errors.h"
#include "support/Task.h"

#include <exception>
#include <vector>

namespace tesselwick::operations {

using discovery::ESPVolume;
using discovery::PlistDictionary;

namespace {

bool isCommand(std::string_view command) {
    return command == kMountCommand || command == kUnmountCommand;
}

// The identifier without its final "s" and digits; empty when it has none.
std::string parentOf(std::string_view identifier) {
    std::size_t end = identifier.size();
    while (end > 0 && identifier[end - 1] >= '0' && identifier[end - 1] <= '9') {
        --end;
    }
    if (end == identifier.size() || end == 0 || identifier[end - 1] != 's') {
        return {};
    }
    return std::string(identifier.substr(0, end - 1));
}

DomainError invalidIdentifier(const std::string& diskIdentifier) {
    return commandError(64, "Invalid disk identifier: " + diskIdentifier);
}

DomainError notPresent(const std::string& diskIdentifier) {
    return commandError(65, "EFI partition " + diskIdentifier +
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

EFIOperationServices defaultEFIOperationServices() {
    EFIOperationServices services;
    services.runner = defaultCommandRunner();
    services.cachedHelperStatus = [] { return ESPHelper::statusCache().cachedValue(); };
    services.invalidateHelperStatus = [] { ESPHelper::statusCache().invalidate(); };
    services.helperIsInstalled = [] { return ESPHelper::isInstalled(); };
    services.runHelper = [](std::string_view command, std::string_view diskIdentifier) {
        ESPHelper::run(command, diskIdentifier);
    };
    return services;
}

EFIOperations::EFIOperations(EFIOperationServices services) : services_(std::move(services)) {}

void EFIOperations::runEFICommand(const std::string& command,
                                  const std::string& diskIdentifier) const {
    if (!isCommand(command)) {
        throw commandError(64, "Invalid EFI command: " + command);
    }
    if (!discovery::isPartitionIdentifier(diskIdentifier)) {
        throw invalidIdentifier(diskIdentifier);
    }
    std::vector<std::string> failures;

    const std::optional<bool> helperStatus =
        services_.cachedHelperStatus ? services_.cachedHelperStatus() : std::nullopt;
    if (helperStatus.value_or(false) && services_.runHelper) {
        try {
            services_.runHelper(command, diskIdentifier);
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
        runDiskutilOperation(command, diskIdentifier);
        return;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        failures.push_back(std::string(kDirectRouteLabel) + error.what());
    }

    try {
        runPrivilegedDiskutilOperation(command, diskIdentifier);
        return;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        failures.push_back(std::string(kAdministratorRouteLabel) + error.what());
    }

    std::string message =
        "Unable to " + command + " EFI partition " + diskIdentifier + ".\n\n" + kOptionalHelperText;
    for (std::size_t i = 0; i < failures.size(); ++i) {
        message += (i == 0 ? "" : "\n\n") + failures[i];
    }
    throw commandError(1, std::move(message));
}

void EFIOperations::runDiskutilOperation(const std::string& command,
                                         const std::string& diskIdentifier) const {
    validateCurrentEFITarget(diskIdentifier);
    const auto tool = command == kMountCommand ? process::disktool::mount(diskIdentifier)
                                               : process::disktool::unmount(diskIdentifier);
    process::disktool::run(services_.runner, tool);
}

void EFIOperations::runPrivilegedDiskutilOperation(const std::string& command,
                                                   const std::string& diskIdentifier) const {
    validateCurrentEFITarget(diskIdentifier);
    const std::string parent = parentOf(diskIdentifier);
    if (!isCommand(command) || parent.empty()) {
        throw commandError(64, "Invalid privileged EFI operation.");
    }
    const std::string script = privilegedDiskutilScript(command, diskIdentifier, parent);
    runShellAsAdministrator(scriptTransportLine(script), services_.runner);
}

void EFIOperations::validateCurrentEFITarget(const std::string& diskIdentifier) const {
    task::checkCancellation();
    if (!discovery::isPartitionIdentifier(diskIdentifier)) {
        throw invalidIdentifier(diskIdentifier);
    }
    const std::string parent = parentOf(diskIdentifier);
    if (parent.empty()) {
        throw invalidIdentifier(diskIdentifier);
    }
    if (!discovery::isWholeDiskIdentifier(parent)) {
        throw commandError(64, "Invalid parent disk identifier for " + diskIdentifier + ".");
    }

    const std::string listing =
        process::disktool::run(services_.runner, process::disktool::listPlist(parent));
    const discovery::PlistValue root = discovery::parsePropertyList(listing);
    const std::optional<PlistDictionary> partition = partitionEntry(root, parent, diskIdentifier);
    if (!partition) {
        throw notPresent(diskIdentifier);
    }

    const PlistDictionary info = diskInfoUncached(diskIdentifier);
    const std::string listContent = stringOrEmpty(*partition, "Content");
    const std::string filesystem = discovery::partitionFilesystemSearchText(info, listContent);
    const bool isESP = discovery::isEFIPartition(
                           listContent, stringOrEmpty(*partition, "VolumeName"), filesystem) ||
                       discovery::isEFIPartition(stringOrEmpty(info, "Content"),
                                                 stringOrEmpty(info, "VolumeName"), filesystem);
    if (!isESP) {
        throw commandError(65, "Refusing " + diskIdentifier +
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
    const discovery::VolumeScanner scanner(services_.runner, discovery::DiskInfoCache::shared(),
                                           discovery::DiskImageMapCache::shared());
    return scanner.diskInfoUncached(identifier);
}

} // namespace tesselwick::operations
