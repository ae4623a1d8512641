#include "discovery/ESPRecord.h"

#include "discovery/Classification.h"

namespace tesselwick::discovery {

ESPVolume espVolume(const ESPFacts& facts) {
    static const PlistDictionary kUnlisted;
    const PlistDictionary& listed = facts.listedPartition ? *facts.listedPartition : kUnlisted;
    const PlistDictionary& listedDisk = facts.listedDisk ? *facts.listedDisk : kUnlisted;

    std::optional<std::string> mountPoint = normalizedMountPoint(stringValue(listed, "MountPoint"));
    if (!mountPoint) {
        mountPoint = normalizedMountPoint(stringValue(facts.info, "MountPoint"));
    }
    const std::string* content = stringValue(listed, "Content");
    std::string filesystem = partitionFilesystemName(
        facts.info, partitionFilesystemName(listed, content ? *content : std::string("EFI")));
    if (filesystem.empty()) {
        filesystem = "EFI";
    }
    const std::int64_t size =
        int64(lookup(listed, "Size")).value_or(int64(lookup(facts.info, "TotalSize")).value_or(0));
    // Without a list, a disk of unknown size is taken to be as large as its ESP.
    const std::int64_t parentSize =
        int64(lookup(listedDisk, "Size"))
            .value_or(
                int64(lookup(facts.diskInfo, "TotalSize")).value_or(facts.listedDisk ? 0 : size));

    ESPVolume volume;
    volume.id = facts.id;
    volume.diskIdentifier = facts.id;
    volume.parentIdentifier = facts.parentID;
    volume.parentName =
        bestParentName(listedDisk, facts.diskInfo, facts.parentID, facts.diskImagePath);
    volume.partitionName = bestPartitionName(listed, facts.info, facts.id);
    volume.sizeBytes = size;
    volume.parentSizeBytes = parentSize;
    volume.bootloader = bootloaderName(mountPoint);
    volume.mountPoint = std::move(mountPoint);
    volume.filesystem = std::move(filesystem);
    volume.hostFilesystem = facts.platform.filesystem;
    volume.installedOS = facts.platform.os;
    volume.bootRole = facts.platform.bootRole;
    volume.isInternal = facts.diskImagePath ? false : bestInternal(listedDisk, facts.diskInfo);
    volume.isDiskImage = facts.imagePath.has_value();
    volume.imagePath = facts.imagePath;
    return volume;
}

std::string stringOrEmpty(const PlistDictionary& dictionary, std::string_view key) {
    const std::string* value = stringValue(dictionary, key);
    return value ? *value : std::string();
}

bool passesESPTest(const PlistDictionary& dictionary) {
    const std::string content = stringOrEmpty(dictionary, "Content");
    return isEFIPartition(content, stringOrEmpty(dictionary, "VolumeName"),
                          partitionFilesystemSearchText(dictionary, content));
}

} // namespace tesselwick::discovery
