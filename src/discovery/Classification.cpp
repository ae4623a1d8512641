#include "discovery/Classification.h"

#include "support/Text.h"

#include <algorithm>
#include <array>

namespace tesselwick::discovery {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

unsigned char lowerAscii(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// Length of the leading "disk" digits, or 0 when the text does not start so.
std::size_t wholeDiskPrefixLength(std::string_view s) {
    if (!s.starts_with("disk")) {
        return 0;
    }
    std::size_t i = 4;
    while (i < s.size() && isDigit(s[i])) {
        ++i;
    }
    return i > 4 ? i : 0;
}

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), isDigit);
}

// Trimmed "FilesystemName", "FilesystemUserVisibleName" and the fallback, without
// blanks and without case-insensitive repeats (the earlier one stays).
std::vector<std::string> filesystemCandidates(const PlistDictionary& dictionary,
                                              std::string_view fallback) {
    std::vector<std::string> candidates;
    std::vector<std::string> lowered;
    auto add = [&](std::string_view raw) {
        std::string trimmed = text::trim(raw);
        if (trimmed.empty()) {
            return;
        }
        std::string lower = text::toLower(trimmed);
        if (std::find(lowered.begin(), lowered.end(), lower) != lowered.end()) {
            return;
        }
        lowered.push_back(std::move(lower));
        candidates.push_back(std::move(trimmed));
    };
    if (const std::string* name = stringValue(dictionary, "FilesystemName")) {
        add(*name);
    }
    if (const std::string* name = stringValue(dictionary, "FilesystemUserVisibleName")) {
        add(*name);
    }
    add(fallback);
    return candidates;
}

constexpr std::array<std::string_view, 10> kPreferredFilesystems = {
    "APFS", "HFS+", "NTFS", "ExFAT", "FAT32", "EXT4", "EXT3", "EXT2", "Linux FS", "EFI"};

} // namespace

bool isWholeDiskIdentifier(std::string_view identifier) {
    const std::size_t prefix = wholeDiskPrefixLength(identifier);
    return prefix != 0 && prefix == identifier.size();
}

bool isPartitionIdentifier(std::string_view identifier) {
    const std::size_t prefix = wholeDiskPrefixLength(identifier);
    if (prefix == 0 || prefix >= identifier.size() || identifier[prefix] != 's') {
        return false;
    }
    return allDigits(identifier.substr(prefix + 1));
}

bool isValidDiskReferenceIdentifier(std::string_view identifier) {
    return isWholeDiskIdentifier(identifier) || isPartitionIdentifier(identifier);
}

std::string wholeDiskPrefix(std::string_view identifier) {
    return std::string(identifier.substr(0, wholeDiskPrefixLength(identifier)));
}

bool isPartitionOf(std::string_view partition, std::string_view parent) {
    return isPartitionIdentifier(partition) && partition.size() > parent.size() &&
           partition.starts_with(parent) && partition[parent.size()] == 's';
}

bool isEFIPartition(std::string_view content, std::string_view volumeName,
                    std::string_view filesystem) {
    const std::string c = text::toLower(text::trim(content));
    const std::string n = text::toLower(text::trim(volumeName));
    const std::string f = text::toLower(text::trim(filesystem));
    const bool fat32Like =
        f == "ms-dos fat32" || f == "fat32" || f == "fat_32" || text::contains(f, "fat32");
    if (c == "efi" || text::contains(c, "efi system") ||
        text::contains(c, "efi_system_partition") || text::contains(c, "ef00")) {
        return true;
    }
    if (n == "efi") {
        return fat32Like;
    }
    return false;
}

std::string partitionFilesystemSearchText(const PlistDictionary& dictionary,
                                          std::string_view fallback) {
    return text::join(filesystemCandidates(dictionary, fallback), " ");
}

std::string normalizedFilesystemName(const std::optional<std::string>& raw) {
    return raw ? normalizedFilesystemName(std::string_view(*raw)) : std::string();
}

std::string normalizedFilesystemName(std::string_view raw) {
    const std::string trimmed = text::trim(raw);
    if (trimmed.empty()) {
        return {};
    }
    const std::string t = text::toLower(trimmed);
    auto has = [&](std::string_view needle) { return text::contains(t, needle); };
    if (t == "efi") {
        return "EFI";
    }
    if (has("efi system") || has("efi_system_partition")) {
        return {};
    }
    if (has("guid_partition_scheme") || has("fdisk_partition_scheme") ||
        has("microsoft reserved") || has("windows recovery") || has("recovery")) {
        return {};
    }
    if (has("apfs")) {
        return "APFS";
    }
    if (has("apple_hfs") || has("apple hfs") || t == "hfs" || has("hfs+")) {
        return "HFS+";
    }
    if (has("microsoft basic data") || t == "basic data") {
        return {};
    }
    if (has("ntfs")) {
        return "NTFS";
    }
    if (has("exfat")) {
        return "ExFAT";
    }
    if (has("fat32") || has("fat_32")) {
        return "FAT32";
    }
    if (has("ext4")) {
        return "EXT4";
    }
    if (has("ext3")) {
        return "EXT3";
    }
    if (has("ext2")) {
        return "EXT2";
    }
    if (has("linux filesystem")) {
        return "Linux FS";
    }
    return trimmed;
}

std::string partitionFilesystemName(const PlistDictionary& dictionary, std::string_view fallback) {
    const std::vector<std::string> candidates = filesystemCandidates(dictionary, fallback);
    std::vector<std::string> normalized;
    for (const std::string& candidate : candidates) {
        std::string name = normalizedFilesystemName(std::string_view(candidate));
        if (!name.empty()) {
            normalized.push_back(std::move(name));
        }
    }
    for (std::string_view preferred : kPreferredFilesystems) {
        if (std::find(normalized.begin(), normalized.end(), preferred) != normalized.end()) {
            return std::string(preferred);
        }
    }
    if (!normalized.empty()) {
        return normalized.front();
    }
    if (!candidates.empty()) {
        return candidates.front();
    }
    return {};
}

int filesystemSortRank(std::string_view name) {
    const std::string t = text::toLower(name);
    auto has = [&](std::string_view needle) { return text::contains(t, needle); };
    if (has("apfs") || has("hfs")) {
        return 0;
    }
    if (has("ntfs")) {
        return 1;
    }
    if (has("exfat")) {
        return 2;
    }
    if (has("fat32") || has("ms-dos")) {
        return 3;
    }
    if (has("ext") || has("linux")) {
        return 4;
    }
    return 9;
}

int localizedStandardCompare(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the digit runs by value: skip leading zeros, then the longer
            // run is larger, else the first differing digit decides.
            std::size_t ia = i;
            std::size_t jb = j;
            while (ia < a.size() && a[ia] == '0') {
                ++ia;
            }
            while (jb < b.size() && b[jb] == '0') {
                ++jb;
            }
            std::size_t ea = ia;
            std::size_t eb = jb;
            while (ea < a.size() && isDigit(a[ea])) {
                ++ea;
            }
            while (eb < b.size() && isDigit(b[eb])) {
                ++eb;
            }
            if (ea - ia != eb - jb) {
                return ea - ia < eb - jb ? -1 : 1;
            }
            if (int c = a.substr(ia, ea - ia).compare(b.substr(jb, eb - jb)); c != 0) {
                return c < 0 ? -1 : 1;
            }
            i = ea;
            j = eb;
            continue;
        }
        const unsigned char ca = lowerAscii(a[i]);
        const unsigned char cb = lowerAscii(b[j]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        ++i;
        ++j;
    }
    if (i < a.size()) {
        return 1;
    }
    if (j < b.size()) {
        return -1;
    }
    // Texts that differ only in letter case or leading zeros still get a fixed
    // order, so the list order stays a strict weak ordering for the sort.
    const int exact = a.compare(b);
    return exact < 0 ? -1 : (exact > 0 ? 1 : 0);
}

bool volumeOrderedBefore(const ESPVolume& a, const ESPVolume& b) {
    const int rankA = filesystemSortRank(a.hostFilesystem);
    const int rankB = filesystemSortRank(b.hostFilesystem);
    if (rankA != rankB) {
        return rankA < rankB;
    }
    if (a.parentIdentifier != b.parentIdentifier) {
        return localizedStandardCompare(a.parentIdentifier, b.parentIdentifier) < 0;
    }
    return localizedStandardCompare(a.diskIdentifier, b.diskIdentifier) < 0;
}

std::vector<ESPVolume> sortedVolumes(std::vector<ESPVolume> volumes) {
    std::stable_sort(volumes.begin(), volumes.end(), volumeOrderedBefore);
    return volumes;
}

bool hasUsableValue(const PlistValue* value) {
    if (value == nullptr) {
        return false;
    }
    if (const std::string* s = value->string()) {
        return !text::trim(*s).empty();
    }
    return true;
}

} // namespace tesselwick::discovery
