#pragma once

#include "discovery/DiskCaches.h"
#include "discovery/PlistValue.h"
#include "discovery/VolumeScan.h"
#include "support/BoundedPool.h"

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What both scans use to read disk information while they run. Internal to the scans.
namespace tesselwick::discovery {

// The disk information one scan has read. Lookups are made ahead of the steps that
// use them, a batch at a time through the scan's pool; the steps then take the
// results. What was read stays for the rest of the scan, so no partition is asked
// twice even when the cache's time to live runs out between two batches; a failed
// lookup is handed out once and then tried again, as each step would have done.
class ScanLookups {
public:
    explicit ScanLookups(const VolumeScanner& scanner) : scanner_(scanner) {}

    void want(const std::string& identifier);
    // Looks up everything wanted so far, together with `extra` jobs.
    void run(BoundedPool& pool, std::vector<BoundedPool::Job> extra = {});
    PlistDictionary take(const std::string& identifier);

    auto taker() {
        return [this](const std::string& identifier) { return take(identifier); };
    }
    // What was read, without a lookup; null when nothing was.
    const PlistDictionary* peek(std::string_view identifier) const;
    // Why the last lookup of `identifier` found nothing, when it failed.
    const std::string* failure(std::string_view identifier) const;

private:
    void noteFailure(const std::string& identifier, const PlistDictionary& info,
                     std::string failure);

    const VolumeScanner& scanner_;
    std::vector<std::string> wanted_;
    // Read information; an empty one is a failure not yet handed out.
    std::map<std::string, PlistDictionary, std::less<>> results_;
    std::map<std::string, std::string, std::less<>> failures_;
};

// What one scan reads at most once: each parent disk's information and the map of
// attached images.
class ScanMemo {
public:
    explicit ScanMemo(const VolumeScanner& scanner) : scanner_(scanner) {}

    const PlistDictionary& parentInfo(const std::string& parentID, ScanLookups& lookups);
    void setImageMap(DiskImageMap map) { imageMap_ = std::move(map); }
    // The image path for the first of `identifiers` the map knows.
    std::optional<std::string> imagePath(std::initializer_list<std::string_view> identifiers);
    // The map when the scan has read it; never reads it.
    const DiskImageMap* knownImages() const { return imageMap_ ? &*imageMap_ : nullptr; }

private:
    const VolumeScanner& scanner_;
    std::map<std::string, PlistDictionary, std::less<>> parentInfo_;
    std::optional<DiskImageMap> imageMap_;
};

// The image map as one more job of a batch, for a scan that will need it.
BoundedPool::Job imageMapJob(const VolumeScanner& scanner, std::optional<DiskImageMap>& map);

} // namespace tesselwick::discovery
