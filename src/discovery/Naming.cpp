#include "discovery/Naming.h"

#include "discovery/Classification.h"
#include "support/Text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <limits>
#include <system_error>

namespace tesselwick::discovery {

namespace {

constexpr std::array<std::string_view, 9> kHostFilesystemOrder = {
    "APFS", "HFS+", "NTFS", "ExFAT", "FAT32", "EXT4", "EXT3", "EXT2", "Linux FS"};

std::string contentOf(const PlistDictionary& dictionary) {
    const std::string* content = stringValue(dictionary, "Content");
    return content ? *content : std::string();
}

bool isRootMount(const std::string* mountPoint) {
    return mountPoint != nullptr && text::trim(*mountPoint) == "/";
}

} // namespace

std::optional<std::int64_t> int64(const PlistValue* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (const PlistInteger* integer = value->integer()) {
        if (integer->isNegative() || integer->bits > kMax) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(integer->bits);
    }
    if (const double* real = value->real()) {
        // 2^63 is the first double beyond the signed range.
        if (!std::isfinite(*real) || std::trunc(*real) != *real || *real < 0 ||
            *real >= 9223372036854775808.0) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(*real);
    }
    return std::nullopt;
}

std::optional<std::string> normalizedMountPoint(const std::optional<std::string>& raw) {
    return raw ? normalizedMountPoint(&*raw) : std::nullopt;
}

std::optional<std::string> normalizedMountPoint(const std::string* raw) {
    if (raw == nullptr) {
        return std::nullopt;
    }
    std::string trimmed = text::trim(*raw);
    const std::string lower = text::toLower(trimmed);
    if (trimmed.empty() || lower == "not mounted" || lower == "none" || trimmed == "/" ||
        !trimmed.starts_with("/")) {
        return std::nullopt;
    }
    return trimmed;
}

std::string bestParentName(const PlistDictionary& listEntry, const PlistDictionary& info,
                           const std::string& fallback,
                           const std::optional<std::string>& imagePath) {
    if (imagePath) {
        std::string_view path = *imagePath;
        while (path.size() > 1 && path.ends_with('/')) {
            path.remove_suffix(1);
        }
        std::string_view name =
            path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
        // Only the last extension goes; a name that merely starts with a dot keeps it.
        if (const auto dot = name.rfind('.'); dot != std::string_view::npos && dot > 0) {
            name = name.substr(0, dot);
        }
        std::string trimmed = text::trim(name);
        if (!trimmed.empty()) {
            return trimmed;
        }
    }
    const std::pair<const PlistDictionary*, std::string_view> sources[] = {
        {&info, "MediaName"},       {&info, "DeviceModel"},  {&info, "IORegistryEntryName"},
        {&listEntry, "VolumeName"}, {&listEntry, "Content"},
    };
    for (const auto& [dictionary, key] : sources) {
        if (const std::string* value = stringValue(*dictionary, key)) {
            std::string trimmed = text::trim(*value);
            if (!trimmed.empty() && trimmed != "GUID_partition_scheme" &&
                trimmed != "FDisk_partition_scheme") {
                return trimmed;
            }
        }
    }
    return fallback;
}

bool bestInternal(const PlistDictionary& listEntry, const PlistDictionary& info) {
    if (auto internal = boolValue(info, "Internal")) {
        return *internal;
    }
    if (auto internal = boolValue(listEntry, "Internal")) {
        return *internal;
    }
    if (const std::string* location = stringValue(info, "DeviceLocation")) {
        return text::contains(text::toLower(*location), "internal");
    }
    return true;
}

std::string bestPartitionName(const PlistDictionary& partition, const PlistDictionary& info,
                              const std::string& fallback) {
    const std::pair<const PlistDictionary*, std::string_view> sources[] = {
        {&partition, "VolumeName"}, {&info, "VolumeName"},          {&info, "MediaName"},
        {&partition, "Name"},       {&info, "IORegistryEntryName"},
    };
    for (const auto& [dictionary, key] : sources) {
        if (const std::string* value = stringValue(*dictionary, key)) {
            std::string trimmed = text::trim(*value);
            if (!trimmed.empty() && trimmed != fallback) {
                return trimmed;
            }
        }
    }
    return fallback;
}

PlatformInfo platformInfo(const std::vector<PlistDictionary>& partitions,
                          const PlistDictionary& parentInfo, bool isDiskImage) {
    std::vector<PlistDictionary> others;
    for (const PlistDictionary& partition : partitions) {
        const std::string content = contentOf(partition);
        const std::string* volumeName = stringValue(partition, "VolumeName");
        if (!isEFIPartition(content, volumeName ? *volumeName : std::string(),
                            partitionFilesystemSearchText(partition, content))) {
            others.push_back(partition);
        }
    }
    return PlatformInfo{inferOSName(std::nullopt, parentInfo, others, isDiskImage),
                        inferHostFilesystem(others, parentInfo), bootRoleName(parentInfo, others)};
}

std::string inferOSName(const std::optional<std::string>& leadingText,
                        const PlistDictionary& parentInfo,
                        const std::vector<PlistDictionary>& partitions, bool isDiskImage) {
    std::vector<std::string> texts;
    if (leadingText) {
        texts.push_back(*leadingText);
    }
    for (std::string_view key : {"MediaName", "DeviceModel", "IORegistryEntryName", "VolumeName",
                                 "Content", "FilesystemName", "FilesystemUserVisibleName"}) {
        if (const std::string* value = stringValue(parentInfo, key)) {
            texts.push_back(*value);
        }
    }
    for (const PlistDictionary& partition : partitions) {
        for (std::string_view key : {"VolumeName", "Content", "FilesystemName",
                                     "FilesystemUserVisibleName", "Type", "Name"}) {
            if (const std::string* value = stringValue(partition, key)) {
                texts.push_back(*value);
            }
        }
    }
    const std::string t = text::toLower(text::join(texts, " "));
    auto has = [&](std::string_view needle) { return text::contains(t, needle); };
    const bool linuxSigns =
        has("linux") || has("ext4") || has("ext3") || has("ext2") || has("linux filesystem");
    const bool macSigns = has("apple_apfs") || has("apfs") || has("apple hfs") || has("hfs") ||
                          has("macos") || has("mac os");
    const bool dataSigns = has("exfat") || has("fat32") || has("ms-dos");
    if (linuxSigns) {
        return "Linux";
    }
    if (macSigns) {
        return "macOS";
    }
    if (has("windows") || has("ntfs")) {
        return "Windows";
    }
    if (dataSigns && isDiskImage) {
        return "Disk Image";
    }
    if (dataSigns) {
        return "Data";
    }
    if (isDiskImage) {
        return "Disk Image";
    }
    return "Unknown OS";
}

std::string inferHostFilesystem(const std::vector<PlistDictionary>& partitions,
                                const PlistDictionary& parentInfo) {
    std::vector<std::string> found;
    auto add = [&](const PlistDictionary& dictionary) {
        for (std::string_view key : {"FilesystemName", "FilesystemUserVisibleName", "Content"}) {
            const std::string* raw = stringValue(dictionary, key);
            if (raw == nullptr) {
                continue;
            }
            std::string name = normalizedFilesystemName(std::string_view(*raw));
            if (name.empty() || name == "EFI" ||
                std::find(found.begin(), found.end(), name) != found.end()) {
                continue;
            }
            found.push_back(std::move(name));
        }
    };
    for (const PlistDictionary& partition : partitions) {
        add(partition);
    }
    add(parentInfo);
    if (found.empty()) {
        return "Unknown FS";
    }
    for (std::string_view preferred : kHostFilesystemOrder) {
        if (std::find(found.begin(), found.end(), preferred) != found.end()) {
            return std::string(preferred);
        }
    }
    return found.front();
}

std::optional<std::string> bootRoleName(const PlistDictionary& parentInfo,
                                        const std::vector<PlistDictionary>& partitions) {
    if (isRootMount(stringValue(parentInfo, "MountPoint"))) {
        return "Boot Disk";
    }
    for (const PlistDictionary& partition : partitions) {
        if (isRootMount(stringValue(partition, "MountPoint"))) {
            return "Boot Disk";
        }
    }
    return std::nullopt;
}

std::vector<std::string> rootContainerPhysicalStores(const PlistDictionary& partitionListRoot) {
    std::vector<std::string> stores;
    const auto disks = dictionaryArray(partitionListRoot, "AllDisksAndPartitions");
    if (!disks) {
        return stores;
    }
    for (const PlistDictionary& disk : *disks) {
        const PlistValue* volumesValue = lookup(disk, "APFSVolumes");
        const PlistArray* volumes = volumesValue ? volumesValue->array() : nullptr;
        if (volumes == nullptr) {
            continue;
        }
        bool holdsRoot = false;
        for (const PlistValue& item : *volumes) {
            const PlistDictionary* volume = item.dictionary();
            if (volume == nullptr) {
                continue;
            }
            if (isRootMount(stringValue(*volume, "MountPoint"))) {
                holdsRoot = true;
            }
            const PlistValue* snapshotsValue = lookup(*volume, "MountedSnapshots");
            if (const PlistArray* snapshots = snapshotsValue ? snapshotsValue->array() : nullptr) {
                for (const PlistValue& snapshot : *snapshots) {
                    if (const PlistDictionary* s = snapshot.dictionary();
                        s != nullptr && isRootMount(stringValue(*s, "SnapshotMountPoint"))) {
                        holdsRoot = true;
                    }
                }
            }
        }
        if (!holdsRoot) {
            continue;
        }
        const PlistValue* storesValue = lookup(disk, "APFSPhysicalStores");
        const PlistArray* physical = storesValue ? storesValue->array() : nullptr;
        if (physical == nullptr) {
            continue;
        }
        for (const PlistValue& item : *physical) {
            const PlistDictionary* store = item.dictionary();
            const std::string* identifier =
                store ? stringValue(*store, "DeviceIdentifier") : nullptr;
            if (identifier != nullptr && isPartitionIdentifier(text::trim(*identifier))) {
                stores.push_back(text::trim(*identifier));
            }
        }
    }
    return stores;
}

std::optional<std::string> bootloaderName(const std::optional<std::string>& mountPoint) {
    if (!mountPoint) {
        return std::nullopt;
    }
    const std::filesystem::path folder = std::filesystem::path(*mountPoint) / "EFI";
    constexpr std::pair<std::string_view, std::string_view> kEntries[] = {
        {"OC", "OC"}, {"CLOVER", "Clover"}, {"Microsoft", "Windows Boot"}, {"BOOT", "EFI Boot"}};
    for (const auto& [entry, name] : kEntries) {
        std::error_code error;
        if (std::filesystem::exists(folder / entry, error)) {
            return std::string(name);
        }
    }
    return std::nullopt;
}

} // namespace tesselwick::discovery
