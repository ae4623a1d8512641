#include "discovery/ESPVolume.h"

#include "support/Text.h"

namespace tesselwick::discovery {

std::optional<std::string> ESPVolume::displayPartitionName() const {
    std::string trimmed = text::trim(partitionName);
    if (trimmed.empty()) {
        return std::nullopt;
    }
    return trimmed;
}

std::string ESPVolume::hostFilesystemDescription() const {
    std::string trimmed = text::trim(hostFilesystem);
    return trimmed.empty() ? std::string("Unknown FS") : trimmed;
}

std::ostream& operator<<(std::ostream& stream, const ESPVolume& v) {
    auto optional = [](const std::optional<std::string>& value) {
        return value ? "\"" + *value + "\"" : std::string("null");
    };
    return stream << "ESPVolume{id=" << v.id << " diskIdentifier=" << v.diskIdentifier
                  << " parentIdentifier=" << v.parentIdentifier << " parentName=\"" << v.parentName
                  << "\" partitionName=\"" << v.partitionName << "\" sizeBytes=" << v.sizeBytes
                  << " parentSizeBytes=" << v.parentSizeBytes
                  << " mountPoint=" << optional(v.mountPoint) << " filesystem=" << v.filesystem
                  << " hostFilesystem=" << v.hostFilesystem << " installedOS=" << v.installedOS
                  << " bootRole=" << optional(v.bootRole)
                  << " bootloader=" << optional(v.bootloader) << " isInternal=" << v.isInternal
                  << " isDiskImage=" << v.isDiskImage << " imagePath=" << optional(v.imagePath)
                  << "}";
}

} // namespace tesselwick::discovery
