#include "discovery/ScanLookups.h"

#include "discovery/Classification.h"
#include "support/Errors.h"
#include "support/ExitCodes.h"
#include "support/Task.h"
#include "support/Text.h"

#include <algorithm>
#include <exception>

namespace tesselwick::discovery {

namespace disktool = process::disktool;

namespace {

const char* const kImageListShapeMessage =
    "hdiutil returned an unexpected image-list property list.";

DomainError unexpectedDiskInfo(const std::string& identifier) {
    return commandError(exitcode::kDataError,
                        "diskutil returned an unexpected disk-info property list for " +
                            identifier + ".");
}

DomainError diskInfoMismatch(const std::string& reported, const std::string& identifier) {
    return commandError(exitcode::kDataError, "diskutil returned disk-info for " + reported +
                                                  " while " + identifier + " was requested.");
}

const char* const kOvertakenLookupMessage = "the disk changed while it was being read";

// A cached lookup's answer, or an empty one for any failure but the calling
// task's cancellation, whose message goes to `failure` when given. The cache also
// reports a load that another caller overtook (a newer load, an invalidation
// after a mount) as a cancellation; only the scan's own cancellation may end the
// scan, an overtaken lookup merely found nothing.
template <typename Lookup>
auto bestEffort(Lookup&& lookup, std::string* failure = nullptr) -> decltype(lookup()) {
    try {
        return lookup();
    } catch (const CancellationError&) {
        if (task::isCancelled()) {
            throw;
        }
        if (failure != nullptr) {
            *failure = kOvertakenLookupMessage;
        }
        return {};
    } catch (const std::exception& error) {
        if (failure != nullptr) {
            *failure = error.what();
        }
        return {};
    }
}

} // namespace

void ScanLookups::want(const std::string& identifier) {
    if (isValidDiskReferenceIdentifier(identifier) && !results_.contains(identifier) &&
        std::find(wanted_.begin(), wanted_.end(), identifier) == wanted_.end()) {
        wanted_.push_back(identifier);
    }
}

void ScanLookups::run(BoundedPool& pool, std::vector<BoundedPool::Job> extra) {
    std::vector<PlistDictionary> loaded(wanted_.size());
    std::vector<std::string> failures(wanted_.size());
    // The extra jobs first, so they overlap with the lookups rather than follow them.
    std::vector<BoundedPool::Job> jobs = std::move(extra);
    jobs.reserve(jobs.size() + wanted_.size());
    for (std::size_t i = 0; i < wanted_.size(); ++i) {
        jobs.emplace_back([this, &loaded, &failures, i] {
            loaded[i] = scanner_.bestEffortDiskInfo(wanted_[i], &failures[i]);
        });
    }
    pool.runAll(jobs);
    for (std::size_t i = 0; i < wanted_.size(); ++i) {
        noteFailure(wanted_[i], loaded[i], std::move(failures[i]));
        results_.insert_or_assign(std::move(wanted_[i]), std::move(loaded[i]));
    }
    wanted_.clear();
}

PlistDictionary ScanLookups::take(const std::string& identifier) {
    if (auto it = results_.find(identifier); it != results_.end()) {
        if (!it->second.empty()) {
            return it->second;
        }
        results_.erase(it);
        return {};
    }
    std::string failure;
    PlistDictionary info = scanner_.bestEffortDiskInfo(identifier, &failure);
    noteFailure(identifier, info, std::move(failure));
    if (!info.empty()) {
        results_.insert_or_assign(identifier, info);
    }
    return info;
}

const PlistDictionary* ScanLookups::peek(std::string_view identifier) const {
    auto it = results_.find(identifier);
    return it == results_.end() || it->second.empty() ? nullptr : &it->second;
}

const std::string* ScanLookups::failure(std::string_view identifier) const {
    auto it = failures_.find(identifier);
    return it == failures_.end() ? nullptr : &it->second;
}

void ScanLookups::noteFailure(const std::string& identifier, const PlistDictionary& info,
                              std::string failure) {
    if (!info.empty()) {
        failures_.erase(identifier);
    } else if (!failure.empty()) {
        failures_.insert_or_assign(identifier, std::move(failure));
    }
}

const PlistDictionary& ScanMemo::parentInfo(const std::string& parentID, ScanLookups& lookups) {
    auto memo = parentInfo_.find(parentID);
    if (memo == parentInfo_.end()) {
        memo = parentInfo_.emplace(parentID, lookups.take(parentID)).first;
    }
    return memo->second;
}

std::optional<std::string>
ScanMemo::imagePath(std::initializer_list<std::string_view> identifiers) {
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

BoundedPool::Job imageMapJob(const VolumeScanner& scanner, std::optional<DiskImageMap>& map) {
    return [&scanner, &map] { map = scanner.diskImageMap(); };
}

PlistDictionary VolumeScanner::diskInfoUncached(const std::string& identifier) const {
    return discovery::diskInfoUncached(runner_, identifier);
}

PlistDictionary diskInfoUncached(const process::CommandRunner& runner,
                                 const std::string& identifier) {
    task::checkCancellation();
    if (!isValidDiskReferenceIdentifier(identifier)) {
        return {};
    }
    const std::string output = disktool::run(runner, disktool::infoPlist(identifier));
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

PlistDictionary VolumeScanner::bestEffortDiskInfo(const std::string& identifier,
                                                  std::string* failure) const {
    task::checkCancellation();
    if (!isValidDiskReferenceIdentifier(identifier)) {
        return {};
    }
    return bestEffort(
        [&] {
            return diskInfoCache_.value(identifier, [&] { return diskInfoUncached(identifier); });
        },
        failure);
}

DiskImageMap VolumeScanner::diskImageMap() const {
    task::checkCancellation();
    return bestEffort([&] { return imageMapCache_.value([&] { return loadDiskImageMap(); }); });
}

DiskImageMap VolumeScanner::loadDiskImageMap() const {
    const std::string output = disktool::run(runner_, disktool::imageInfoPlist());
    const PlistValue root = parsePropertyList(output);
    const PlistDictionary* rootDictionary = root.dictionary();
    if (rootDictionary == nullptr) {
        throw commandError(exitcode::kDataError, kImageListShapeMessage);
    }
    // hdiutil leaves "images" out entirely when nothing is attached; that is an
    // empty list, not a malformed one, and worth caching like any other answer.
    std::vector<PlistDictionary> images;
    if (lookup(*rootDictionary, "images") != nullptr) {
        auto listed = dictionaryArray(*rootDictionary, "images");
        if (!listed) {
            throw commandError(exitcode::kDataError, kImageListShapeMessage);
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

} // namespace tesselwick::discovery
