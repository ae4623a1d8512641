#pragma once

#include "discovery/DiskCaches.h"
#include "discovery/ESPVolume.h"
#include "discovery/PlistValue.h"

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tesselwick::discovery {

// What one scan saw of a whole disk: the ESPs it listed there, or why there are
// none. A by-product of the scan, never a second look at the disks.
struct DiskReport {
    // `unknown`: the scan read nothing that says where the disk is attached.
    enum class Kind { internal, external, diskImage, apfsContainer, synthesized, unknown };

    std::string id;
    std::string name;
    std::int64_t sizeBytes = 0; // 0 when the scan read no size
    Kind kind = Kind::unknown;
    std::string scheme; // as the disk tool names it; "none" without a partition map
    std::vector<std::string> espIdentifiers;
    std::optional<std::string> reason; // absent exactly when espIdentifiers is not empty

    bool operator==(const DiskReport&) const = default;
};

// "internal", "external", "disk image", "APFS container", "synthesized", "unknown".
std::string_view kindName(DiskReport::Kind kind);

// Every field on one line, for diagnostics and test failures.
std::ostream& operator<<(std::ostream& stream, const DiskReport& disk);

// How the scans record, as they decide, what each whole disk showed and why its
// candidates were not ESPs, and turn that into reports once the volumes are
// known. Internal to the scans; one per scan, on the scan's own thread.
class DiskReportBuilder {
public:
    struct Listed {
        DiskReport report;
        // For an APFS container: the whole disks of its physical stores.
        std::vector<std::string> physicalStores;
    };

    // A whole disk as the list shows it. A disk listed twice keeps its first
    // entry: null for the repeat, else the entry, valid until the next call.
    Listed* listed(DiskReport report, std::vector<std::string> physicalStores = {});
    // A candidate whose own information could not be read.
    void unreadable(const std::string& diskID, const std::string& message);
    // A candidate that its own information shows to be no ESP.
    void notESP(const std::string& diskID, const PlistDictionary& candidate);
    // What a candidate's own information says of its disk's place (internal or not).
    void readInfo(const std::string& diskID, const PlistDictionary& info);

    // The reports in list order. `images`: the attached images when the scan
    // read them, which tell the disks without an ESP that are images.
    std::vector<DiskReport> finish(const std::vector<ESPVolume>& volumes,
                                   const DiskImageMap* images) const;

private:
    struct Rejection {
        std::string reason;
        bool diskGone = false; // the tool no longer knew the disk
    };
    Listed* find(std::string_view diskID);
    const Listed* find(std::string_view diskID) const;
    void reject(const std::string& diskID, Rejection rejection);
    std::string reasonFor(const DiskReport& report, const std::vector<DiskReport>& reports) const;

    std::vector<Listed> disks_;
    // The first rejection per disk: the one the user is most likely to mean.
    std::map<std::string, Rejection, std::less<>> rejections_;
};

// "none" for a disk the tool shows without a partition map (`content` empty).
std::string schemeName(std::string_view content);

} // namespace tesselwick::discovery
