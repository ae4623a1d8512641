#include "discovery/Classification.h"
#include "discovery/DiskReport.h"
#include "discovery/ESPRecord.h"
#include "discovery/Naming.h"
#include "discovery/ScanLookups.h"
#include "support/Task.h"
#include "support/Text.h"
#include "support/Utf8.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <set>

namespace tesselwick::discovery {

namespace disktool = process::disktool;

namespace {

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

// What a header's parenthesis says of the disk: "(internal, physical)",
// "(external, physical)", "(disk image)", "(synthesized)", "(internal, virtual)";
// old systems print none, and the disk is taken to be internal as elsewhere.
DiskReport::Kind headerKind(std::string_view trimmedLine) {
    const std::string lower = text::toLower(trimmedLine);
    if (text::contains(lower, "disk image")) {
        return DiskReport::Kind::diskImage;
    }
    if (text::contains(lower, "synthesized") || text::contains(lower, "virtual")) {
        return DiskReport::Kind::synthesized;
    }
    return text::contains(lower, "external") ? DiskReport::Kind::external
                                             : DiskReport::Kind::internal;
}

// Bytes from a size the table prints in decimal units, "*500.3 GB" or "+1.0 TB";
// as exact as the table's rounding, 0 when it is not a size.
std::int64_t tableSize(std::string_view number, std::string_view unit) {
    while (!number.empty() && (number.front() == '*' || number.front() == '+')) {
        number.remove_prefix(1);
    }
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    static constexpr std::string_view kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB"};
    const auto unitIt = std::find(std::begin(kUnits), std::end(kUnits), unit);
    if (error != std::errc() || end != number.data() + number.size() || value < 0 ||
        unitIt == std::end(kUnits)) {
        return 0;
    }
    value *= std::pow(1000.0, static_cast<double>(unitIt - std::begin(kUnits)));
    return value < 9.2e18 ? static_cast<std::int64_t>(std::llround(value)) : 0;
}

// The whole disk's own row, "0: <scheme> <name> <size> <unit> <disk>". A disk
// without a partition map has no scheme there, only its volume's name.
void readDiskRow(const std::vector<std::string>& pieces, DiskReport& report) {
    if (pieces.size() < 4) {
        return;
    }
    const std::size_t sizeAt = pieces.size() - 3;
    report.sizeBytes = tableSize(pieces[sizeAt], pieces[sizeAt + 1]);
    std::size_t schemeEnd = 1;
    for (std::size_t i = 1; i < sizeAt; ++i) {
        if (text::contains(text::toLower(pieces[i]), "scheme")) {
            schemeEnd = i + 1;
        }
    }
    const std::vector<std::string> scheme(pieces.begin() + 1, pieces.begin() + schemeEnd);
    const std::vector<std::string> name(pieces.begin() + schemeEnd, pieces.begin() + sizeAt);
    report.scheme = schemeName(text::join(scheme, " "));
    if (text::contains(report.scheme, "APFS Container")) {
        report.kind = DiskReport::Kind::apfsContainer;
    }
    if (const std::string joined = text::join(name, " "); !joined.empty() && joined != "-") {
        report.name = joined;
    }
}

// "Physical Store disk0s2" (or "Physical Stores disk0s2, disk2s2") under a container.
void readPhysicalStores(const std::vector<std::string>& pieces, DiskReportBuilder::Listed& disk) {
    disk.report.kind = DiskReport::Kind::apfsContainer;
    for (std::size_t i = 2; i < pieces.size(); ++i) {
        std::string store = wholeDiskPrefix(pieces[i]);
        auto& stores = disk.physicalStores;
        if (!store.empty() && std::find(stores.begin(), stores.end(), store) == stores.end()) {
            stores.push_back(std::move(store));
        }
    }
}

// A disk as its header shows it; the rows under it tell the rest.
DiskReport headerReport(const std::string& disk, DiskReport::Kind kind) {
    DiskReport report;
    report.id = disk;
    report.name = disk;
    report.kind = kind;
    report.scheme = schemeName({});
    return report;
}

// Records the disk that a row under its header shows.
void readDiskLine(std::string_view trimmedLine, const std::string& disk,
                  DiskReportBuilder::Listed* listed) {
    if (listed == nullptr) {
        return;
    }
    const std::vector<std::string> pieces = splitAtWhiteSpace(trimmedLine);
    if (trimmedLine.starts_with("0:") && !pieces.empty() && pieces.back() == disk) {
        readDiskRow(pieces, listed->report);
    } else if (trimmedLine.starts_with("Physical Store")) {
        readPhysicalStores(pieces, *listed);
    }
}

bool isESPLine(std::string_view trimmedLine) {
    return text::contains(trimmedLine, " EFI ") || trimmedLine.starts_with("1: EFI") ||
           text::contains(trimmedLine, "EFI EFI");
}

// An ESP row of the table, under a valid header and naming one of its partitions.
struct ESPLine {
    std::string disk;
    std::string id;
};

// The ESP rows, and each disk the table shows as it goes.
std::vector<ESPLine> espLinesOf(std::string_view table, DiskReportBuilder& disks) {
    std::vector<ESPLine> espLines;
    std::set<std::string, std::less<>> seen;
    std::string currentDisk = "disk?";
    DiskReportBuilder::Listed* listed = nullptr;
    for (std::string_view rawLine : splitLines(table)) {
        task::checkCancellation();
        const std::string line = text::trim(rawLine);
        if (isDiskHeader(line)) {
            std::string disk = headerDisk(line);
            currentDisk = disk.empty() ? std::string("disk?") : std::move(disk);
            listed = isWholeDiskIdentifier(currentDisk)
                         ? disks.listed(headerReport(currentDisk, headerKind(line)))
                         : nullptr;
            continue;
        }
        readDiskLine(line, currentDisk, listed);
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
    return espLines;
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

// The scan of the `diskutil list` table, which names partitions but tells little
// else: first every ESP row's own information, then, for the disks that have an
// ESP by it, their partitions' and their own, each batch at once.
class TextScan {
public:
    TextScan(const VolumeScanner& scanner, std::size_t lookupConcurrency)
        : scanner_(scanner), pool_(lookupConcurrency), lookups_(scanner), memo_(scanner) {}

    std::vector<ESPVolume> run(const std::string& table, std::vector<DiskReport>* reports) {
        const auto partitionIDs = partitionIDsByParentFromText(table);
        const std::vector<ESPLine> espLines = espLinesOf(table, reports_);
        confirmESPs(espLines, partitionIDs);
        std::vector<ESPVolume> result;
        for (const ESP& esp : esps_) {
            task::checkCancellation();
            result.push_back(volumeOf(esp));
        }
        task::checkCancellation();
        std::vector<ESPVolume> sorted = sortedVolumes(std::move(result));
        if (reports != nullptr) {
            *reports = reports_.finish(sorted, memo_.knownImages());
        }
        return sorted;
    }

private:
    struct ESP {
        const ESPLine* line;
        PlistDictionary info;
    };

    void confirmESPs(const std::vector<ESPLine>& espLines,
                     const std::map<std::string, std::vector<std::string>>& partitionIDs) {
        for (const ESPLine& line : espLines) {
            lookups_.want(line.id);
        }
        lookups_.run(pool_);
        for (const ESPLine& line : espLines) {
            task::checkCancellation();
            PlistDictionary info = lookups_.take(line.id);
            if (!passesESPTest(info)) {
                reject(line, info);
                continue;
            }
            if (!siblingIDs_.contains(line.disk)) {
                auto listed = partitionIDs.find(line.disk);
                std::vector<std::string> ids =
                    listed != partitionIDs.end() && !listed->second.empty()
                        ? listed->second
                        : std::vector<std::string>{line.id};
                lookups_.want(line.disk);
                for (const std::string& id : ids) {
                    if (isPartitionOf(id, line.disk)) {
                        lookups_.want(id);
                    }
                }
                siblingIDs_.emplace(line.disk, std::move(ids));
            }
            esps_.push_back({&line, std::move(info)});
        }
        std::optional<DiskImageMap> imageMap;
        std::vector<BoundedPool::Job> imageJob;
        if (!esps_.empty()) {
            imageJob.push_back(imageMapJob(scanner_, imageMap));
        }
        lookups_.run(pool_, std::move(imageJob));
        if (imageMap) {
            memo_.setImageMap(std::move(*imageMap));
        }
    }

    void reject(const ESPLine& line, const PlistDictionary& info) {
        if (const std::string* failure = lookups_.failure(line.id); failure && info.empty()) {
            reports_.unreadable(line.disk, *failure);
            return;
        }
        reports_.notESP(line.disk, info);
        reports_.readInfo(line.disk, info);
    }

    ESPVolume volumeOf(const ESP& esp) {
        const std::string& disk = esp.line->disk;
        const std::string& id = esp.line->id;
        const PlistDictionary& parentInfo = memo_.parentInfo(disk, lookups_);
        const std::optional<std::string> imagePath = memo_.imagePath({id, disk});
        auto siblings = siblingMemo_.find(disk);
        if (siblings == siblingMemo_.end()) {
            siblings =
                siblingMemo_
                    .emplace(disk, siblingsWith(disk, siblingIDs_.at(disk), lookups_.taker()))
                    .first;
        }
        const PlatformInfo platform =
            platformInfo(siblings->second, parentInfo, imagePath.has_value());
        return espVolume({.id = id,
                          .parentID = disk,
                          .listedPartition = nullptr,
                          .listedDisk = nullptr,
                          .info = esp.info,
                          .diskInfo = parentInfo,
                          .diskImagePath = imagePath,
                          .imagePath = imagePath,
                          .platform = platform});
    }

    const VolumeScanner& scanner_;
    BoundedPool pool_;
    ScanLookups lookups_;
    ScanMemo memo_;
    std::vector<ESP> esps_;
    std::map<std::string, std::vector<std::string>, std::less<>> siblingIDs_;
    std::map<std::string, std::vector<PlistDictionary>, std::less<>> siblingMemo_;
    DiskReportBuilder reports_;
};

} // namespace

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

std::vector<ESPVolume>
VolumeScanner::loadESPVolumesFromText(std::vector<DiskReport>* reports) const {
    task::checkCancellation();
    const std::string output = disktool::run(runner_, disktool::listText());
    if (!utf8::isValid(output)) {
        return {};
    }
    return TextScan(*this, lookupConcurrency_).run(output, reports);
}

} // namespace tesselwick::discovery
