#include "discovery/Classification.h"
#include "discovery/DiskReport.h"
#include "discovery/ESPRecord.h"
#include "discovery/Naming.h"
#include "discovery/ScanLookups.h"
#include "support/Errors.h"
#include "support/ExitCodes.h"
#include "support/Task.h"
#include "support/Text.h"

#include <algorithm>
#include <optional>
#include <set>

namespace tesselwick::discovery {

namespace disktool = process::disktool;

namespace {

const char* const kPartitionListShapeMessage =
    "diskutil returned an unexpected partition-list property list.";

// Fills what each partition of `parentID` leaves out from its disk information.
template <typename Lookup>
std::vector<PlistDictionary> enrichWith(const std::string& parentID,
                                        const std::vector<PlistDictionary>& partitions,
                                        Lookup&& diskInfo) {
    static constexpr std::string_view kEnrichmentKeys[] = {
        "FilesystemName", "FilesystemUserVisibleName",
        "Content",        "VolumeName",
        "MediaName",      "MountPoint",
        "TotalSize",      "IORegistryEntryName"};
    std::vector<PlistDictionary> out;
    out.reserve(partitions.size());
    for (const PlistDictionary& partition : partitions) {
        task::checkCancellation();
        const std::string id = stringOrEmpty(partition, "DeviceIdentifier");
        if (!isPartitionOf(id, parentID)) {
            out.push_back(partition);
            continue;
        }
        const PlistDictionary info = diskInfo(id);
        if (info.empty()) {
            out.push_back(partition);
            continue;
        }
        PlistDictionary merged = partition;
        for (std::string_view key : kEnrichmentKeys) {
            const PlistValue* infoValue = lookup(info, key);
            if (!hasUsableValue(lookup(merged, key)) && hasUsableValue(infoValue)) {
                merged.insert_or_assign(std::string(key), *infoValue);
            }
        }
        out.push_back(std::move(merged));
    }
    return out;
}

void wantPartitionsOf(ScanLookups& lookups, const std::string& parentID,
                      const std::vector<PlistDictionary>& partitions) {
    for (const PlistDictionary& partition : partitions) {
        const std::string id = stringOrEmpty(partition, "DeviceIdentifier");
        if (isPartitionOf(id, parentID)) {
            lookups.want(id);
        }
    }
}

// A whole disk as the partition list shows it, before anything is looked up.
DiskReport listedDisk(const PlistDictionary& entry, const std::string& id) {
    const bool container =
        lookup(entry, "APFSPhysicalStores") != nullptr || lookup(entry, "APFSVolumes") != nullptr;
    DiskReport report;
    report.id = id;
    // A container's "Content" is its type GUID: neither a name nor a scheme for
    // people, who know the scheme by the text list's name for it.
    report.name = container ? id : bestParentName(entry, {}, id, std::nullopt);
    report.sizeBytes = int64(lookup(entry, "Size")).value_or(0);
    // The partition list rarely says where a disk is attached; until its own
    // information is read, that is not known.
    const std::optional<bool> internal = boolValue(entry, "Internal");
    report.kind = container   ? DiskReport::Kind::apfsContainer
                  : !internal ? DiskReport::Kind::unknown
                  : *internal ? DiskReport::Kind::internal
                              : DiskReport::Kind::external;
    report.scheme =
        container ? "APFS Container Scheme" : schemeName(stringOrEmpty(entry, "Content"));
    return report;
}

// The whole disks under an APFS container, in list order.
std::vector<std::string> physicalStoreDisks(const PlistDictionary& entry) {
    std::vector<std::string> disks;
    for (const PlistDictionary& store :
         dictionaryArray(entry, "APFSPhysicalStores").value_or(std::vector<PlistDictionary>{})) {
        std::string disk = wholeDiskPrefix(stringOrEmpty(store, "DeviceIdentifier"));
        if (!disk.empty() && std::find(disks.begin(), disks.end(), disk) == disks.end()) {
            disks.push_back(std::move(disk));
        }
    }
    return disks;
}

// The scan of `diskutil list -plist`. One disk's lookups wait for nothing but the
// partition list and, for the second batch, its own candidates: each batch looks
// up every disk's at once.
class PlistScan {
public:
    PlistScan(const VolumeScanner& scanner, std::size_t lookupConcurrency,
              const PlistDictionary& root)
        : scanner_(scanner), pool_(lookupConcurrency), lookups_(scanner), memo_(scanner),
          root_(root) {}

    std::vector<ESPVolume> run(const std::vector<PlistDictionary>& disks,
                               std::vector<DiskReport>* reports) {
        findCandidates(disks);
        confirmESPs();
        std::vector<ESPVolume> result;
        for (const Disk& disk : disks_) {
            task::checkCancellation();
            if (!disk.espIDs.empty()) {
                addVolumes(disk, result);
            }
        }
        task::checkCancellation();
        std::vector<ESPVolume> sorted = sortedVolumes(std::move(result));
        if (reports != nullptr) {
            *reports = reports_.finish(sorted, memo_.knownImages());
        }
        return sorted;
    }

private:
    struct Disk {
        const PlistDictionary* entry;
        std::string parentID;
        std::vector<PlistDictionary> partitions;
        std::vector<PlistDictionary> candidates;
        std::set<std::string, std::less<>> espIDs;
    };

    // The disks with a partition that looks like an ESP by the list alone, and
    // the lookups that will tell.
    void findCandidates(const std::vector<PlistDictionary>& disks) {
        for (const PlistDictionary& entry : disks) {
            task::checkCancellation();
            std::string parentID = stringOrEmpty(entry, "DeviceIdentifier");
            if (!isWholeDiskIdentifier(parentID)) {
                continue;
            }
            reports_.listed(listedDisk(entry, parentID), physicalStoreDisks(entry));
            std::vector<PlistDictionary> partitions =
                dictionaryArray(entry, "Partitions").value_or(std::vector<PlistDictionary>{});
            std::vector<PlistDictionary> candidates;
            for (const PlistDictionary& partition : partitions) {
                const std::string* volumeName = stringValue(partition, "VolumeName");
                const bool namedEFI =
                    volumeName != nullptr && text::toLower(text::trim(*volumeName)) == "efi";
                if (passesESPTest(partition) || namedEFI) {
                    candidates.push_back(partition);
                }
            }
            if (candidates.empty()) {
                continue;
            }
            wantPartitionsOf(lookups_, parentID, candidates);
            disks_.push_back(
                {&entry, std::move(parentID), std::move(partitions), std::move(candidates), {}});
        }
        lookups_.run(pool_);
    }

    // The candidates that pass the ESP test with their own information, and for
    // their disks the lookups the records need.
    void confirmESPs() {
        std::optional<DiskImageMap> imageMap;
        std::vector<BoundedPool::Job> imageJob;
        for (Disk& disk : disks_) {
            task::checkCancellation();
            for (const PlistDictionary& candidate :
                 enrichWith(disk.parentID, disk.candidates, lookups_.taker())) {
                const std::string id = stringOrEmpty(candidate, "DeviceIdentifier");
                if (isPartitionOf(id, disk.parentID)) {
                    confirm(disk, id, candidate);
                }
            }
            if (disk.espIDs.empty()) {
                continue;
            }
            wantPartitionsOf(lookups_, disk.parentID, disk.partitions);
            lookups_.want(disk.parentID);
            if (imageJob.empty()) {
                imageJob.push_back(imageMapJob(scanner_, imageMap));
            }
        }
        lookups_.run(pool_, std::move(imageJob));
        if (imageMap) {
            memo_.setImageMap(std::move(*imageMap));
        }
    }

    void confirm(Disk& disk, const std::string& id, const PlistDictionary& candidate) {
        if (passesESPTest(candidate)) {
            disk.espIDs.insert(id);
            return;
        }
        if (const std::string* failure = lookups_.failure(id)) {
            reports_.unreadable(disk.parentID, *failure);
        } else {
            reports_.notESP(disk.parentID, candidate);
        }
        if (const PlistDictionary* info = lookups_.peek(id)) {
            reports_.readInfo(disk.parentID, *info);
        }
    }

    // The disk's platform, with the boot role that "/" of a current Mac only shows
    // through the physical store of its synthesized APFS container.
    PlatformInfo platformOf(const Disk& disk, const std::vector<PlistDictionary>& enriched,
                            const PlistDictionary& parentInfo, bool diskIsImage) {
        PlatformInfo platform = platformInfo(enriched, parentInfo, diskIsImage);
        if (platform.bootRole) {
            return platform;
        }
        if (!rootStores_) {
            rootStores_ = rootContainerPhysicalStores(root_);
        }
        for (const PlistDictionary& partition : disk.partitions) {
            const std::string id = stringOrEmpty(partition, "DeviceIdentifier");
            if (isPartitionOf(id, disk.parentID) &&
                std::find(rootStores_->begin(), rootStores_->end(), id) != rootStores_->end()) {
                platform.bootRole = "Boot Disk";
                break;
            }
        }
        return platform;
    }

    void addVolumes(const Disk& disk, std::vector<ESPVolume>& result) {
        const std::vector<PlistDictionary> enriched =
            enrichWith(disk.parentID, disk.partitions, lookups_.taker());
        std::vector<const PlistDictionary*> espPartitions;
        for (const PlistDictionary& partition : enriched) {
            if (disk.espIDs.contains(stringOrEmpty(partition, "DeviceIdentifier"))) {
                espPartitions.push_back(&partition);
            }
        }
        if (espPartitions.empty()) {
            return;
        }
        const PlistDictionary& parentInfo = memo_.parentInfo(disk.parentID, lookups_);
        const std::optional<std::string> diskImagePath = memo_.imagePath({disk.parentID});
        const PlatformInfo platform =
            platformOf(disk, enriched, parentInfo, diskImagePath.has_value());

        for (const PlistDictionary* partition : espPartitions) {
            const std::string id = stringOrEmpty(*partition, "DeviceIdentifier");
            // A list that repeats a disk or a partition must not publish one ESP twice.
            if (!isPartitionOf(id, disk.parentID) || !seen_.insert(id).second) {
                continue;
            }
            const PlistDictionary info = lookups_.take(id);
            const std::optional<std::string> imagePath = memo_.imagePath({id, disk.parentID});
            result.push_back(espVolume({.id = id,
                                        .parentID = disk.parentID,
                                        .listedPartition = partition,
                                        .listedDisk = disk.entry,
                                        .info = info,
                                        .diskInfo = parentInfo,
                                        .diskImagePath = diskImagePath,
                                        .imagePath = imagePath,
                                        .platform = platform}));
        }
    }

    const VolumeScanner& scanner_;
    BoundedPool pool_;
    ScanLookups lookups_;
    ScanMemo memo_;
    const PlistDictionary& root_;
    std::vector<Disk> disks_;
    std::optional<std::vector<std::string>> rootStores_;
    std::set<std::string, std::less<>> seen_;
    DiskReportBuilder reports_;
};

} // namespace

std::vector<ESPVolume>
VolumeScanner::loadESPVolumesFromPlist(std::vector<DiskReport>* reports) const {
    task::checkCancellation();
    const std::string output = disktool::run(runner_, disktool::listPlist());
    const PlistValue root = parsePropertyList(output);
    const PlistDictionary* rootDictionary = root.dictionary();
    const auto disks =
        rootDictionary ? dictionaryArray(*rootDictionary, "AllDisksAndPartitions") : std::nullopt;
    if (!disks) {
        throw commandError(exitcode::kDataError, kPartitionListShapeMessage);
    }
    return PlistScan(*this, lookupConcurrency_, *rootDictionary).run(*disks, reports);
}

} // namespace tesselwick::discovery
