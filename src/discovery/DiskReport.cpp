#include "discovery/DiskReport.h"

#include "discovery/Classification.h"
#include "discovery/ESPRecord.h"
#include "discovery/Naming.h"
#include "support/Text.h"

#include <algorithm>
#include <utility>

namespace tesselwick::discovery {

namespace {

using Kind = DiskReport::Kind;

// What the disk tool says of a disk that is no longer attached.
constexpr std::string_view kDiskGoneMessage = "Could not find disk";

// Containers and other synthesized disks are what they are whatever their ESPs.
bool isStructural(Kind kind) {
    return kind == Kind::apfsContainer || kind == Kind::synthesized;
}

std::string containerReason(const std::vector<std::string>& stores,
                            const std::vector<DiskReport>& reports) {
    for (const std::string& store : stores) {
        const auto it = std::find_if(reports.begin(), reports.end(),
                                     [&](const DiskReport& r) { return r.id == store; });
        if (it != reports.end() && !it->espIdentifiers.empty()) {
            return "APFS container: its ESP is on " + store + " (the physical store)";
        }
    }
    if (stores.empty()) {
        return "APFS container without a listed physical store";
    }
    return "APFS container: its physical store " + stores.front() + " has no ESP";
}

std::string schemeReason(const std::string& scheme) {
    if (scheme == "none") {
        return "no partition map";
    }
    if (scheme == "FDisk_partition_scheme") {
        return "MBR disk without an EFI partition";
    }
    if (scheme == "GUID_partition_scheme") {
        return "GUID disk without an EFI partition";
    }
    return "no EFI partition (" + scheme + ")";
}

} // namespace

std::string_view kindName(DiskReport::Kind kind) {
    switch (kind) {
    case Kind::internal:
        return "internal";
    case Kind::external:
        return "external";
    case Kind::diskImage:
        return "disk image";
    case Kind::apfsContainer:
        return "APFS container";
    case Kind::synthesized:
        return "synthesized";
    case Kind::unknown:
        break;
    }
    return "unknown";
}

std::ostream& operator<<(std::ostream& stream, const DiskReport& disk) {
    stream << "DiskReport{id=" << disk.id << " name=\"" << disk.name
           << "\" sizeBytes=" << disk.sizeBytes << " kind=" << kindName(disk.kind)
           << " scheme=" << disk.scheme
           << " espIdentifiers=" << text::join(disk.espIdentifiers, ",") << " reason=";
    return stream << (disk.reason ? "\"" + *disk.reason + "\"" : std::string("null")) << "}";
}

std::string schemeName(std::string_view content) {
    std::string trimmed = text::trim(content);
    return trimmed.empty() ? std::string("none") : trimmed;
}

DiskReportBuilder::Listed* DiskReportBuilder::listed(DiskReport report,
                                                     std::vector<std::string> physicalStores) {
    if (find(report.id) != nullptr) {
        return nullptr;
    }
    disks_.push_back({std::move(report), std::move(physicalStores)});
    return &disks_.back();
}

void DiskReportBuilder::unreadable(const std::string& diskID, const std::string& message) {
    reject(diskID, {"disk information could not be read: " + message,
                    text::contains(message, kDiskGoneMessage)});
}

void DiskReportBuilder::notESP(const std::string& diskID, const PlistDictionary& candidate) {
    const std::string content = stringOrEmpty(candidate, "Content");
    std::string filesystem = partitionFilesystemName(candidate, content);
    if (filesystem.empty()) {
        filesystem = "no filesystem";
    }
    // Only a partition named EFI is a candidate without an EFI type in the list.
    if (text::toLower(text::trim(stringOrEmpty(candidate, "VolumeName"))) == "efi") {
        reject(diskID, {"a partition named EFI that is not FAT (" + filesystem + ")"});
    } else {
        reject(diskID, {"a partition listed as EFI that is not one (" + filesystem + ")"});
    }
}

void DiskReportBuilder::readInfo(const std::string& diskID, const PlistDictionary& info) {
    Listed* disk = find(diskID);
    if (disk == nullptr || info.empty() || isStructural(disk->report.kind) ||
        disk->report.kind == Kind::diskImage) {
        return;
    }
    // What the list said stays unless the information says otherwise.
    PlistDictionary listedPlace;
    if (disk->report.kind != Kind::unknown) {
        listedPlace.emplace("Internal", PlistValue(disk->report.kind == Kind::internal));
    }
    disk->report.kind = bestInternal(listedPlace, info) ? Kind::internal : Kind::external;
}

void DiskReportBuilder::reject(const std::string& diskID, Rejection rejection) {
    rejections_.try_emplace(diskID, std::move(rejection));
}

DiskReportBuilder::Listed* DiskReportBuilder::find(std::string_view diskID) {
    return const_cast<Listed*>(std::as_const(*this).find(diskID));
}

const DiskReportBuilder::Listed* DiskReportBuilder::find(std::string_view diskID) const {
    auto it = std::find_if(disks_.begin(), disks_.end(),
                           [&](const Listed& disk) { return disk.report.id == diskID; });
    return it == disks_.end() ? nullptr : &*it;
}

std::vector<DiskReport> DiskReportBuilder::finish(const std::vector<ESPVolume>& volumes,
                                                  const DiskImageMap* images) const {
    std::vector<DiskReport> reports;
    for (const Listed& disk : disks_) {
        reports.push_back(disk.report);
    }
    for (const ESPVolume& volume : volumes) {
        auto it = std::find_if(reports.begin(), reports.end(), [&](const DiskReport& r) {
            return r.id == volume.parentIdentifier;
        });
        if (it == reports.end()) {
            DiskReport unlisted;
            unlisted.id = volume.parentIdentifier;
            it = reports.insert(reports.end(), std::move(unlisted));
        }
        // Named as the ESPs' list names it. The partition list's size stays: the
        // text table's is rounded, but the volume's may be its ESP's stand-in.
        it->name = volume.parentName;
        if (it->sizeBytes == 0) {
            it->sizeBytes = volume.parentSizeBytes;
        }
        if (!isStructural(it->kind)) {
            it->kind = volume.isDiskImage ? Kind::diskImage
                                          : (volume.isInternal ? Kind::internal : Kind::external);
        }
        it->espIdentifiers.push_back(volume.diskIdentifier);
    }
    for (DiskReport& report : reports) {
        if (!report.espIdentifiers.empty() || isStructural(report.kind) || images == nullptr) {
            continue;
        }
        if (auto image = images->find(report.id); image != images->end()) {
            report.kind = Kind::diskImage;
            report.name = bestParentName({}, {}, report.name, image->second);
        }
    }
    for (DiskReport& report : reports) {
        if (report.espIdentifiers.empty()) {
            report.reason = reasonFor(report, reports);
        }
    }
    return reports;
}

std::string DiskReportBuilder::reasonFor(const DiskReport& report,
                                         const std::vector<DiskReport>& reports) const {
    if (auto rejection = rejections_.find(report.id); rejection != rejections_.end()) {
        // An image the tool no longer knows was detached while the scan ran.
        return rejection->second.diskGone && report.kind == Kind::diskImage
                   ? std::string("disk image detached")
                   : rejection->second.reason;
    }
    if (report.kind == Kind::apfsContainer) {
        const Listed* disk = find(report.id);
        return containerReason(disk ? disk->physicalStores : std::vector<std::string>{}, reports);
    }
    if (report.kind == Kind::synthesized) {
        return "synthesized disk: ESPs are on the physical disks beneath it";
    }
    return schemeReason(report.scheme);
}

} // namespace tesselwick::discovery
