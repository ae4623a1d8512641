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

namespace {

void combine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <typename T> void combineValue(std::size_t& seed, const T& value) {
    combine(seed, std::hash<T>{}(value));
}

void combineOptional(std::size_t& seed, const std::optional<std::string>& value) {
    combine(seed, value.has_value() ? 1 : 0);
    if (value) {
        combineValue(seed, *value);
    }
}

} // namespace

std::size_t hashValue(const ESPVolume& v) {
    std::size_t seed = 0;
    combineValue(seed, v.id);
    combineValue(seed, v.diskIdentifier);
    combineValue(seed, v.parentIdentifier);
    combineValue(seed, v.parentName);
    combineValue(seed, v.partitionName);
    combineValue(seed, v.sizeBytes);
    combineValue(seed, v.parentSizeBytes);
    combineOptional(seed, v.mountPoint);
    combineValue(seed, v.filesystem);
    combineValue(seed, v.hostFilesystem);
    combineValue(seed, v.installedOS);
    combineOptional(seed, v.bootRole);
    combineOptional(seed, v.bootloader);
    combineValue(seed, v.isInternal);
    combineValue(seed, v.isDiskImage);
    combineOptional(seed, v.imagePath);
    return seed;
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
