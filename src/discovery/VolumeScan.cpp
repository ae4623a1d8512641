#include "discovery/VolumeScan.h"

#include "diagnostics/Diagnostics.h"
#include "discovery/Classification.h"
#include "discovery/Naming.h"
#include "support/BoundedPool.h"
#include "support/Errors.h"
#include "support/Task.h"
#include "support/Text.h"
#include "support/Utf8.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <set>

namespace tesselwick::discovery {

namespace disktool = process::disktool;

namespace {

// The disk information one scan has read. Lookups are made ahead of the steps that
// use them, a batch at a time through the scan's pool; the steps then take the
// results. What was read stays for the rest of the scan, so no partition is asked
// twice even when the cache's time to live runs out between two batches; a failed
// lookup is handed out once and then tried again, as each step would have done.
class ScanLookups {
public:
    explicit ScanLookups(const VolumeScanner& scanner) : scanner_(scanner) {}

    void want(const std::string& identifier) {
        if (isValidDiskReferenceIdentifier(identifier) && !results_.contains(identifier) &&
            std::find(wanted_.begin(), wanted_.end(), identifier) == wanted_.end()) {
            wanted_.push_back(identifier);
        }
    }

    // Looks up everything wanted so far, together with `extra` jobs.
    void run(BoundedPool& pool, std::vector<BoundedPool::Job> extra = {}) {
        std::vector<PlistDictionary> loaded(wanted_.size());
        // The extra jobs first, so they overlap with the lookups rather than follow them.
        std::vector<BoundedPool::Job> jobs = std::move(extra);
        jobs.reserve(jobs.size() + wanted_.size());
        for (std::size_t i = 0; i < wanted_.size(); ++i) {
            jobs.emplace_back(
                [this, &loaded, i] { loaded[i] = scanner_.bestEffortDiskInfo(wanted_[i]); });
        }
        pool.runAll(jobs);
        for (std::size_t i = 0; i < wanted_.size(); ++i) {
            results_.insert_or_assign(std::move(wanted_[i]), std::move(loaded[i]));
        }
        wanted_.clear();
    }

    PlistDictionary take(const std::string& identifier) {
        if (auto it = results_.find(identifier); it != results_.end()) {
            if (!it->second.empty()) {
                return it->second;
            }
            results_.erase(it);
            return {};
        }
        PlistDictionary info = scanner_.bestEffortDiskInfo(identifier);
        if (!info.empty()) {
            results_.insert_or_assign(identifier, info);
        }
        return info;
    }

    auto taker() {
        return [this](const std::string& identifier) { return take(identifier); };
    }

private:
    const VolumeScanner& scanner_;
    std::vector<std::string> wanted_;
    // Read information; an empty one is a failure not yet handed out.
    std::map<std::string, PlistDictionary, std::less<>> results_;
};

// What one scan reads at most once: each parent disk's information and the map of
// attached images.
class ScanMemo {
public:
    explicit ScanMemo(const VolumeScanner& scanner) : scanner_(scanner) {}

    const PlistDictionary& parentInfo(const std::string& parentID, ScanLookups& lookups) {
        auto memo = parentInfo_.find(parentID);
        if (memo == parentInfo_.end()) {
            memo = parentInfo_.emplace(parentID, lookups.take(parentID)).first;
        }
        return memo->second;
    }

    void setImageMap(DiskImageMap map) { imageMap_ = std::move(map); }

    // The image path for the first of `identifiers` the map knows.
    std::optional<std::string> imagePath(std::initializer_list<std::string_view> identifiers) {
        if (!imageMap_) {
            imageMap_ = scanner_.diskImageMap();
        }
        for (std::string_view identifier : identifiers) {
            if (auto it = imageMap_->find(std::string(identifier)); it != imageMap_->end()) {
                return it->second;
            }
        }
        return std::nullopt;
    }

private:
    const VolumeScanner& scanner_;
    std::map<std::string, PlistDictionary, std::less<>> parentInfo_;
    std::optional<DiskImageMap> imageMap_;
};

// The image map as one more job of a batch, for a scan that will need it.
BoundedPool::Job imageMapJob(const VolumeScanner& scanner, std::optional<DiskImageMap>& map) {
    return [&scanner, &map] { map = scanner.diskImageMap(); };
}

const char* const kPartitionListShapeMessage =
    "diskutil returned an unexpected partition-list property list.";
const char* const kImageListShapeMessage =
    "hdiutil returned an unexpected image-list property list.";

DomainError unexpectedDiskInfo(const std::string& identifier) {
    return commandError(65, "diskutil returned an unexpected disk-info property list for " +
                                identifier + ".");
}

DomainError diskInfoMismatch(const std::string& reported, const std::string& identifier) {
    return commandError(65, "diskutil returned disk-info for " + reported + " while " + identifier +
                                " was requested.");
}

std::string stringOrEmpty(const PlistDictionary& dictionary, std::string_view key) {
    const std::string* value = stringValue(dictionary, key);
    return value ? *value : std::string();
}

// The ESP test on one dictionary's own "Content", "VolumeName" and filesystem text.
bool passesESPTest(const PlistDictionary& dictionary) {
    const std::string content = stringOrEmpty(dictionary, "Content");
    return isEFIPartition(content, stringOrEmpty(dictionary, "VolumeName"),
                          partitionFilesystemSearchText(dictionary, content));
}

std::vector<std::string> splitAtWhiteSpace(std::string_view line) {
    std::vector<std::string> pieces;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && text::isSpace(line[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && !text::isSpace(line[i])) {
            ++i;
        }
        if (i > start) {
            pieces.emplace_back(line.substr(start, i - start));
        }
    }
    return pieces;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r') {
            lines.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    lines.push_back(text.substr(start));
    return lines;
}

bool isDiskHeader(std::string_view trimmedLine) {
    return trimmedLine.starts_with("/dev/disk");
}

// The whole-disk identifier a header names, or empty when its first piece is not one.
std::string headerDisk(std::string_view trimmedLine) {
    std::string stripped(trimmedLine);
    for (std::size_t pos = stripped.find("/dev/"); pos != std::string::npos;
         pos = stripped.find("/dev/", pos)) {
        stripped.erase(pos, 5);
    }
    const std::string first = stripped.substr(0, stripped.find(' '));
    return isWholeDiskIdentifier(first) ? first : std::string();
}

bool isESPLine(std::string_view trimmedLine) {
    return text::contains(trimmedLine, " EFI ") || trimmedLine.starts_with("1: EFI") ||
           text::contains(trimmedLine, "EFI EFI");
}

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

// One dictionary per partition of `parentID`, from its own information.
template <typename Lookup>
std::vector<PlistDictionary> siblingsWith(const std::string& parentID,
                                          const std::vector<std::string>& partitionIDs,
                                          Lookup&& diskInfo) {
    std::vector<PlistDictionary> siblings;
    for (const std::string& id : partitionIDs) {
        task::checkCancellation();
        if (!isPartitionOf(id, parentID)) {
            continue;
        }
        PlistDictionary info = diskInfo(id);
        if (info.empty()) {
            siblings.push_back(PlistDictionary{{"DeviceIdentifier", PlistValue(id)}});
            continue;
        }
        if (!hasUsableValue(lookup(info, "DeviceIdentifier"))) {
            info.insert_or_assign("DeviceIdentifier", PlistValue(id));
        }
        siblings.push_back(std::move(info));
    }
    return siblings;
}

} // namespace

VolumeScanner::VolumeScanner()
    : VolumeScanner(process::systemCommandRunner(), DiskInfoCache::shared(),
                    DiskImageMapCache::shared(), defaultLookupConcurrency) {}

VolumeScanner::VolumeScanner(process::CommandRunner runner, DiskInfoCache& diskInfoCache,
                             DiskImageMapCache& imageMapCache, std::size_t lookupConcurrency)
    : runner_(std::move(runner)), diskInfoCache_(diskInfoCache), imageMapCache_(imageMapCache),
      lookupConcurrency_(std::max<std::size_t>(lookupConcurrency, 1)) {}

std::vector<ESPVolume> VolumeScanner::loadESPVolumes() const {
    TW_LOG("DiskManager.loadESPVolumes begin");
    task::checkCancellation();
    std::exception_ptr plistError;
    try {
        std::vector<ESPVolume> volumes = loadESPVolumesFromPlist();
        TW_LOG("DiskManager.loadESPVolumes plist path succeeded count=" +
               std::to_string(volumes.size()));
        return volumes;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        TW_LOG("DiskManager.loadESPVolumes plist path failed error=" + std::string(error.what()) +
               "; trying text fallback");
        plistError = std::current_exception();
    }
    task::checkCancellation();
    std::vector<ESPVolume> volumes = loadESPVolumesFromText();
    TW_LOG("DiskManager.loadESPVolumes text fallback completed count=" +
           std::to_string(volumes.size()));
    task::checkCancellation();
    if (volumes.empty()) {
        // An empty fallback never hides why the main road failed.
        std::rethrow_exception(plistError);
    }
    return volumes;
}

std::vector<ESPVolume> VolumeScanner::loadESPVolumesFromPlist() const {
    task::checkCancellation();
    const std::string output = disktool::run(runner_, disktool::listPlist());
    const PlistValue root = parsePropertyList(output);
    const PlistDictionary* rootDictionary = root.dictionary();
    const auto disks =
        rootDictionary ? dictionaryArray(*rootDictionary, "AllDisksAndPartitions") : std::nullopt;
    if (!disks) {
        throw commandError(65, kPartitionListShapeMessage);
    }

    // One disk's lookups wait for nothing but the partition list and, for the
    // second batch, its own candidates: each batch looks up every disk's at once.
    struct Disk {
        const PlistDictionary* entry;
        std::string parentID;
        std::vector<PlistDictionary> partitions;
        std::vector<PlistDictionary> candidates;
        std::set<std::string, std::less<>> espIDs;
    };
    std::vector<Disk> candidateDisks;
    BoundedPool pool(lookupConcurrency_);
    ScanLookups lookups(*this);
    for (const PlistDictionary& entry : *disks) {
        task::checkCancellation();
        std::string parentID = stringOrEmpty(entry, "DeviceIdentifier");
        if (!isWholeDiskIdentifier(parentID)) {
            continue;
        }
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
        wantPartitionsOf(lookups, parentID, candidates);
        candidateDisks.push_back(
            {&entry, std::move(parentID), std::move(partitions), std::move(candidates), {}});
    }
    lookups.run(pool);

    std::optional<DiskImageMap> imageMap;
    std::vector<BoundedPool::Job> imageJob;
    for (Disk& disk : candidateDisks) {
        task::checkCancellation();
        const auto enrichedCandidates = enrichWith(disk.parentID, disk.candidates, lookups.taker());
        for (const PlistDictionary& candidate : enrichedCandidates) {
            const std::string id = stringOrEmpty(candidate, "DeviceIdentifier");
            if (isPartitionOf(id, disk.parentID) && passesESPTest(candidate)) {
                disk.espIDs.insert(id);
            }
        }
        if (disk.espIDs.empty()) {
            continue;
        }
        wantPartitionsOf(lookups, disk.parentID, disk.partitions);
        lookups.want(disk.parentID);
        if (imageJob.empty()) {
            imageJob.push_back(imageMapJob(*this, imageMap));
        }
    }
    lookups.run(pool, std::move(imageJob));

    std::vector<ESPVolume> result;
    ScanMemo memo(*this);
    if (imageMap) {
        memo.setImageMap(std::move(*imageMap));
    }
    std::optional<std::vector<std::string>> rootStores;
    std::set<std::string, std::less<>> seen;

    for (const Disk& disk : candidateDisks) {
        task::checkCancellation();
        if (disk.espIDs.empty()) {
            continue;
        }
        const PlistDictionary& entry = *disk.entry;
        const std::string& parentID = disk.parentID;
        const std::vector<PlistDictionary>& partitions = disk.partitions;
        const std::set<std::string, std::less<>>& espIDs = disk.espIDs;

        const std::vector<PlistDictionary> enriched =
            enrichWith(parentID, partitions, lookups.taker());
        std::vector<const PlistDictionary*> espPartitions;
        for (const PlistDictionary& partition : enriched) {
            if (espIDs.contains(stringOrEmpty(partition, "DeviceIdentifier"))) {
                espPartitions.push_back(&partition);
            }
        }
        if (espPartitions.empty()) {
            continue;
        }

        const PlistDictionary& parentInfo = memo.parentInfo(parentID, lookups);
        const std::optional<std::string> parentImagePath = memo.imagePath({parentID});

        const bool diskIsImage = parentImagePath.has_value();
        const std::string parentName = bestParentName(entry, parentInfo, parentID, parentImagePath);
        const bool internal = diskIsImage ? false : bestInternal(entry, parentInfo);

        PlatformInfo platform = platformInfo(enriched, parentInfo, diskIsImage);
        if (!platform.bootRole) {
            // "/" of a current Mac is mounted from a synthesized APFS container, so the
            // physical disk only shows as the boot disk through the container's store.
            if (!rootStores) {
                rootStores = rootContainerPhysicalStores(*rootDictionary);
            }
            for (const PlistDictionary& partition : partitions) {
                const std::string id = stringOrEmpty(partition, "DeviceIdentifier");
                if (isPartitionOf(id, parentID) &&
                    std::find(rootStores->begin(), rootStores->end(), id) != rootStores->end()) {
                    platform.bootRole = "Boot Disk";
                    break;
                }
            }
        }

        std::int64_t parentSize = 0;
        if (auto size = int64(lookup(entry, "Size"))) {
            parentSize = *size;
        } else if (auto total = int64(lookup(parentInfo, "TotalSize"))) {
            parentSize = *total;
        }

        for (const PlistDictionary* partitionPtr : espPartitions) {
            const PlistDictionary& partition = *partitionPtr;
            const std::string id = stringOrEmpty(partition, "DeviceIdentifier");
            // A list that repeats a disk or a partition must not publish one ESP twice.
            if (!isPartitionOf(id, parentID) || !seen.insert(id).second) {
                continue;
            }
            const std::string* contentValue = stringValue(partition, "Content");
            const std::string content = contentValue ? *contentValue : std::string("EFI");
            const std::string firstFilesystem = partitionFilesystemName(partition, content);
            const PlistDictionary info = lookups.take(id);

            std::optional<std::string> mountPoint =
                normalizedMountPoint(stringValue(partition, "MountPoint"));
            if (!mountPoint) {
                mountPoint = normalizedMountPoint(stringValue(info, "MountPoint"));
            }
            std::string filesystem = partitionFilesystemName(info, firstFilesystem);
            if (filesystem.empty()) {
                filesystem = "EFI";
            }
            std::int64_t size = 0;
            if (auto listed = int64(lookup(partition, "Size"))) {
                size = *listed;
            } else if (auto total = int64(lookup(info, "TotalSize"))) {
                size = *total;
            }
            std::optional<std::string> imagePath = memo.imagePath({id, parentID});

            ESPVolume volume;
            volume.id = id;
            volume.diskIdentifier = id;
            volume.parentIdentifier = parentID;
            volume.parentName = parentName;
            volume.partitionName = bestPartitionName(partition, info, id);
            volume.sizeBytes = size;
            volume.parentSizeBytes = parentSize;
            volume.bootloader = bootloaderName(mountPoint);
            volume.mountPoint = std::move(mountPoint);
            volume.filesystem = std::move(filesystem);
            volume.hostFilesystem = platform.filesystem;
            volume.installedOS = platform.os;
            volume.bootRole = platform.bootRole;
            volume.isInternal = internal;
            volume.isDiskImage = imagePath.has_value();
            volume.imagePath = std::move(imagePath);
            result.push_back(std::move(volume));
        }
    }
    task::checkCancellation();
    return sortedVolumes(std::move(result));
}

PlistDictionary VolumeScanner::diskInfoUncached(const std::string& identifier) const {
    task::checkCancellation();
    if (!isValidDiskReferenceIdentifier(identifier)) {
        return {};
    }
    const std::string output = disktool::run(runner_, disktool::infoPlist(identifier));
    PlistValue root = parsePropertyList(output);
    PlistDictionary* dictionary = root.dictionary();
    if (dictionary == nullptr || dictionary->empty()) {
        throw unexpectedDiskInfo(identifier);
    }
    const std::string* reportedValue = stringValue(*dictionary, "DeviceIdentifier");
    const std::string reported = reportedValue ? text::trim(*reportedValue) : std::string();
    if (!reported.empty() && reported != identifier) {
        throw diskInfoMismatch(reported, identifier);
    }
    dictionary->insert_or_assign("DeviceIdentifier", PlistValue(identifier));
    return std::move(*dictionary);
}

PlistDictionary VolumeScanner::bestEffortDiskInfo(const std::string& identifier) const {
    task::checkCancellation();
    if (!isValidDiskReferenceIdentifier(identifier)) {
        return {};
    }
    try {
        return diskInfoCache_.value(identifier, [&] { return diskInfoUncached(identifier); });
    } catch (const CancellationError&) {
        // The cache also reports a load that another caller overtook (a newer load,
        // an invalidation after a mount) this way. Only the scan's own cancellation
        // may end the scan; an overtaken lookup merely found nothing.
        if (task::isCancelled()) {
            throw;
        }
        return {};
    } catch (const std::exception&) {
        return {};
    }
}

DiskImageMap VolumeScanner::diskImageMap() const {
    task::checkCancellation();
    try {
        return imageMapCache_.value([&] { return loadDiskImageMap(); });
    } catch (const CancellationError&) {
        // The cache also reports a load that another caller overtook (a newer load,
        // an invalidation after a mount) this way. Only the scan's own cancellation
        // may end the scan; an overtaken lookup merely found nothing.
        if (task::isCancelled()) {
            throw;
        }
        return {};
    } catch (const std::exception&) {
        return {};
    }
}

DiskImageMap VolumeScanner::loadDiskImageMap() const {
    const std::string output = disktool::run(runner_, disktool::imageInfoPlist());
    const PlistValue root = parsePropertyList(output);
    const PlistDictionary* rootDictionary = root.dictionary();
    if (rootDictionary == nullptr) {
        throw commandError(65, kImageListShapeMessage);
    }
    // hdiutil leaves "images" out entirely when nothing is attached; that is an
    // empty list, not a malformed one, and worth caching like any other answer.
    std::vector<PlistDictionary> images;
    if (lookup(*rootDictionary, "images") != nullptr) {
        auto listed = dictionaryArray(*rootDictionary, "images");
        if (!listed) {
            throw commandError(65, kImageListShapeMessage);
        }
        images = std::move(*listed);
    }

    DiskImageMap map;
    for (const PlistDictionary& image : images) {
        task::checkCancellation();
        const std::string* rawPath = stringValue(image, "image-path");
        if (rawPath == nullptr) {
            continue;
        }
        const std::string path = text::trim(*rawPath);
        if (path.empty() || !path.starts_with("/")) {
            continue;
        }
        const PlistValue* entitiesValue = lookup(image, "system-entities");
        const PlistArray* entities = entitiesValue ? entitiesValue->array() : nullptr;
        if (entities == nullptr) {
            continue;
        }
        for (const PlistValue& item : *entities) {
            task::checkCancellation();
            const PlistDictionary* entity = item.dictionary();
            const std::string* rawDevice = entity ? stringValue(*entity, "dev-entry") : nullptr;
            if (rawDevice == nullptr) {
                continue;
            }
            std::string device = text::trim(*rawDevice);
            if (device.starts_with("/dev/")) {
                device.erase(0, 5);
            }
            if (!isValidDiskReferenceIdentifier(device)) {
                continue;
            }
            map.insert_or_assign(device, path);
            if (std::string prefix = wholeDiskPrefix(device); !prefix.empty()) {
                map.insert_or_assign(std::move(prefix), path);
            }
        }
    }
    return map;
}

std::map<std::string, std::vector<std::string>>
partitionIDsByParentFromText(const std::string& text) {
    std::map<std::string, std::vector<std::string>> result;
    std::optional<std::string> current;
    for (std::string_view rawLine : splitLines(text)) {
        const std::string line = text::trim(rawLine);
        if (isDiskHeader(line)) {
            std::string disk = headerDisk(line);
            current = disk.empty() ? std::nullopt : std::optional<std::string>(std::move(disk));
            continue;
        }
        if (!current) {
            continue;
        }
        const std::vector<std::string> pieces = splitAtWhiteSpace(line);
        if (pieces.empty()) {
            continue;
        }
        const std::string& last = pieces.back();
        if (isPartitionOf(last, *current)) {
            std::vector<std::string>& list = result[*current];
            if (std::find(list.begin(), list.end(), last) == list.end()) {
                list.push_back(last);
            }
        }
    }
    return result;
}

std::vector<ESPVolume> VolumeScanner::loadESPVolumesFromText() const {
    task::checkCancellation();
    const std::string output = disktool::run(runner_, disktool::listText());
    if (!utf8::isValid(output)) {
        return {};
    }
    const auto partitionIDs = partitionIDsByParentFromText(output);

    // The ESP lines, each under a valid header and naming one of its partitions.
    struct ESPLine {
        std::string disk;
        std::string id;
    };
    std::vector<ESPLine> espLines;
    std::set<std::string, std::less<>> seen;
    std::string currentDisk = "disk?";
    for (std::string_view rawLine : splitLines(output)) {
        task::checkCancellation();
        const std::string line = text::trim(rawLine);
        if (isDiskHeader(line)) {
            std::string disk = headerDisk(line);
            currentDisk = disk.empty() ? std::string("disk?") : std::move(disk);
            continue;
        }
        if (!isESPLine(line) || !isWholeDiskIdentifier(currentDisk)) {
            continue;
        }
        const std::vector<std::string> pieces = splitAtWhiteSpace(line);
        if (pieces.empty()) {
            continue;
        }
        // A table that repeats a row must not publish one ESP twice.
        if (isPartitionOf(pieces.back(), currentDisk) && seen.insert(pieces.back()).second) {
            espLines.push_back({currentDisk, pieces.back()});
        }
    }

    // First every line's own information, then, for the disks that have an ESP by
    // it, their partitions' and their own, each batch at once.
    BoundedPool pool(lookupConcurrency_);
    ScanLookups lookups(*this);
    for (const ESPLine& line : espLines) {
        lookups.want(line.id);
    }
    lookups.run(pool);

    struct ESP {
        const ESPLine* line;
        PlistDictionary info;
    };
    std::vector<ESP> esps;
    std::map<std::string, std::vector<std::string>, std::less<>> siblingIDs;
    for (const ESPLine& line : espLines) {
        task::checkCancellation();
        PlistDictionary info = lookups.take(line.id);
        if (!passesESPTest(info)) {
            continue;
        }
        if (!siblingIDs.contains(line.disk)) {
            auto listed = partitionIDs.find(line.disk);
            std::vector<std::string> ids = listed != partitionIDs.end() && !listed->second.empty()
                                               ? listed->second
                                               : std::vector<std::string>{line.id};
            lookups.want(line.disk);
            for (const std::string& id : ids) {
                if (isPartitionOf(id, line.disk)) {
                    lookups.want(id);
                }
            }
            siblingIDs.emplace(line.disk, std::move(ids));
        }
        esps.push_back({&line, std::move(info)});
    }
    std::optional<DiskImageMap> imageMap;
    std::vector<BoundedPool::Job> imageJob;
    if (!esps.empty()) {
        imageJob.push_back(imageMapJob(*this, imageMap));
    }
    lookups.run(pool, std::move(imageJob));

    std::vector<ESPVolume> result;
    ScanMemo memo(*this);
    if (imageMap) {
        memo.setImageMap(std::move(*imageMap));
    }
    std::map<std::string, std::vector<PlistDictionary>, std::less<>> siblingMemo;

    for (const ESP& esp : esps) {
        task::checkCancellation();
        const std::string& disk = esp.line->disk;
        const std::string& id = esp.line->id;
        const PlistDictionary& info = esp.info;

        const PlistDictionary& parentInfo = memo.parentInfo(disk, lookups);
        std::optional<std::string> imagePath = memo.imagePath({id, disk});

        auto siblings = siblingMemo.find(disk);
        if (siblings == siblingMemo.end()) {
            siblings =
                siblingMemo.emplace(disk, siblingsWith(disk, siblingIDs.at(disk), lookups.taker()))
                    .first;
        }

        const PlatformInfo platform =
            platformInfo(siblings->second, parentInfo, imagePath.has_value());
        const std::string parentName =
            bestParentName(PlistDictionary{}, parentInfo, disk, imagePath);
        const std::int64_t size = int64(lookup(info, "TotalSize")).value_or(0);
        std::optional<std::string> mountPoint =
            normalizedMountPoint(stringValue(info, "MountPoint"));
        std::string filesystem = partitionFilesystemName(info, "EFI");
        if (filesystem.empty()) {
            filesystem = "EFI";
        }

        ESPVolume volume;
        volume.id = id;
        volume.diskIdentifier = id;
        volume.parentIdentifier = disk;
        volume.parentName = parentName;
        volume.partitionName = bestPartitionName(PlistDictionary{}, info, id);
        volume.sizeBytes = size;
        volume.parentSizeBytes = int64(lookup(parentInfo, "TotalSize")).value_or(size);
        volume.bootloader = bootloaderName(mountPoint);
        volume.mountPoint = std::move(mountPoint);
        volume.filesystem = std::move(filesystem);
        volume.hostFilesystem = platform.filesystem;
        volume.installedOS = platform.os;
        volume.bootRole = platform.bootRole;
        volume.isInternal = imagePath ? false : bestInternal(PlistDictionary{}, parentInfo);
        volume.isDiskImage = imagePath.has_value();
        volume.imagePath = std::move(imagePath);
        result.push_back(std::move(volume));
    }
    task::checkCancellation();
    return sortedVolumes(std::move(result));
}

std::vector<ESPVolume> loadESPVolumes() {
    return VolumeScanner().loadESPVolumes();
}

PlistDictionary diskInfoUncached(const std::string& identifier) {
    return VolumeScanner().diskInfoUncached(identifier);
}

} // namespace tesselwick::discovery
