#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace tesselwick::discovery {

// One discovered EFI System Partition. A plain value: scans build it, the manager
// publishes a new list only when it differs memberwise from the shown one.
struct ESPVolume {
    std::string id;               // always equal to diskIdentifier
    std::string diskIdentifier;   // disk<N>s<M>
    std::string parentIdentifier; // disk<N>
    std::string parentName;
    std::string partitionName;
    std::int64_t sizeBytes = 0;
    std::int64_t parentSizeBytes = 0;
    std::optional<std::string> mountPoint; // never "/"
    std::string filesystem;                // never empty; "EFI" when nothing better is known
    std::string hostFilesystem;            // "Unknown FS" when none is recognised
    std::string installedOS;
    std::optional<std::string> bootRole;   // "Boot Disk" or absent
    std::optional<std::string> bootloader; // "OC", "Clover", "Windows Boot", "EFI Boot"
    bool isInternal = false;
    bool isDiskImage = false;             // true exactly when imagePath is present
    std::optional<std::string> imagePath; // the attached image file backing the disk

    // The partition name without surrounding blanks; absent when nothing is left.
    std::optional<std::string> displayPartitionName() const;
    // The host filesystem without surrounding blanks; "Unknown FS" when nothing is left.
    std::string hostFilesystemDescription() const;

    bool operator==(const ESPVolume&) const = default;
};

// Every field on one line, for diagnostics and test failures.
std::ostream& operator<<(std::ostream& stream, const ESPVolume& volume);

} // namespace tesselwick::discovery
