#include "FakeTools.h"
#include "discovery/Classification.h"
#include "discovery/Naming.h"
#include "discovery/PartitionId.h"
#include "discovery/VolumeFormat.h"
#include "support/ErrorText.h"

#include <gtest/gtest.h>

#include <limits>

using namespace tesselwick::discovery;
using tesselwick::testing::ids;

namespace {

ESPVolume volume(std::string id, std::string host) {
    ESPVolume v;
    v.id = v.diskIdentifier = id;
    v.parentIdentifier = id.substr(0, id.rfind('s'));
    v.hostFilesystem = std::move(host);
    return v;
}

} // namespace

// The one form of a size, for the popover and the command line alike.
TEST(ByteFormat, FileStyleInDecimalUnits) {
    struct Case {
        std::int64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "Zero KB"},          // zero has its own word
        {1, "1 byte"},           // singular
        {999, "999 bytes"},      // below a kilobyte
        {1000, "1 KB"},          // decimal, not 1024
        {1500, "2 KB"},          // no digits for kilobytes; halves round up
        {999999, "1 MB"},        // 1000 KB after rounding moves up a unit
        {209715200, "209.7 MB"}, // one digit for megabytes
        {200000000, "200 MB"},   // trailing zero dropped with its point
        {2147483648, "2.15 GB"}, // two digits from gigabytes on
        {2000398934016, "2 TB"}, // 2.00 TB loses both zeros
        {999999000000, "1 TB"},  // 999.999 GB rounds into the next unit
        {std::numeric_limits<std::int64_t>::max(), "9.22 EB"}, // the largest count
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatFileSize(c.bytes), c.text) << c.bytes;
    }
    EXPECT_EQ(formatFileSize(2147483648, ","), "2,15 GB"); // the reader's decimal point
}

TEST(Identifiers, WholeDisksAndPartitions) {
    const struct {
        const char* text;
        bool wholeDisk;
        const char* partitionOf; // the whole disk of a partition, else nullptr
    } cases[] = {
        {"disk12", true, nullptr},        // a whole disk
        {"disk3s2", false, "disk3"},      // a partition
        {"disk11s12", false, "disk11"},   // more than one digit on both sides
        {"disk0s", false, nullptr},       // a partition without a number
        {"disk0s1s2", false, nullptr},    // a snapshot
        {"/dev/disk0s1", false, nullptr}, // a device path
        {" disk0s1", false, nullptr},     // untrimmed
        {"rdisk5s1", false, nullptr},     // raw
        {"disk", false, nullptr},         // no number
        {"Disk0s1", false, nullptr},      // another spelling
        {"disk0s1;id", false, nullptr},   // a second command in a quoted root-script value
        {"disk0s1'", false, nullptr},     // the end of that value's quotes
        {"disk0s1\n", false, nullptr},    // a second line
    };
    for (const auto& c : cases) {
        const auto partition = PartitionId::parse(c.text);
        EXPECT_EQ(isWholeDiskIdentifier(c.text), c.wholeDisk) << c.text;
        EXPECT_EQ(isValidDiskReferenceIdentifier(c.text), c.wholeDisk || partition) << c.text;
        EXPECT_EQ(partition ? partition->wholeDisk() : "none",
                  c.partitionOf ? c.partitionOf : "none");
        if (partition) {
            EXPECT_EQ(partition->str(), c.text);
        } else {
            EXPECT_EQ(tesselwick::testing::errorText([&] { PartitionId::validated(c.text); }),
                      std::string("Tesselwick 64: Invalid disk identifier: ") + c.text);
        }
    }
    EXPECT_FALSE(isPartitionOf("disk10s3", "disk1")); // prefix of the number is not the disk
}

TEST(Classification, ESPTest) {
    struct Case {
        const char* content;
        const char* name;
        const char* filesystem;
        bool expected;
    } cases[] = {
        {"EFI", "", "", true},                                             // content alone decides
        {" efi_system_partition \n", "x", "apfs", true},                   // any case, trimmed
        {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B EFI System", "", "", true}, // contains efi system
        {"Microsoft Basic Data", " efi ", "MS-DOS (FAT32)", true},         // named EFI and FAT32
        {"Microsoft Basic Data", "EFI", "apfs", false}, // named EFI but not FAT32
        {"Microsoft Basic Data", "", "fat32", false},   // FAT32 but not named EFI
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isEFIPartition(c.content, c.name, c.filesystem), c.expected)
            << c.content << " / " << c.name << " / " << c.filesystem;
    }
}

TEST(Classification, FilesystemNames) {
    struct Case {
        const char* raw;
        const char* expected;
    } cases[] = {
        {"guid_PARTITION_scheme", ""}, // a scheme, not a filesystem, in any case
        {"EFI", "EFI"},                // the ESP itself
        {"Apple_APFS_Recovery", ""},   // recovery row wins over apfs
        {"Windows NT File System (NTFS)", "NTFS"},
        {"MS-DOS (FAT32)", "FAT32"},
        {" MS-DOS (FAT16) ", "MS-DOS (FAT16)"}, // unrecognised comes back trimmed
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normalizedFilesystemName(std::string_view(c.raw)), c.expected) << c.raw;
    }
    // The preference order decides, not the candidate order; raw text when nothing normalises.
    EXPECT_EQ(
        partitionFilesystemName(
            {{"FilesystemName", "msdos"}, {"FilesystemUserVisibleName", "MS-DOS (FAT32)"}}, "EFI"),
        "FAT32");
}

TEST(Classification, ListOrder) {
    // Host filesystem by rank (APFS and HFS+, NTFS, ExFAT, MS-DOS, Linux, unknown), then
    // disk and partition numbers by value, not by text; equal records keep scan order.
    auto second = volume("disk3s1", "Linux FS");
    second.parentName = "second";
    const auto sorted = sortedVolumes(
        {volume("disk1s10", "Unknown FS"), volume("disk1s2", "whatever"),
         volume("disk3s1", "Linux FS"), volume("disk7s1", "MS-DOS"), volume("disk6s1", "ExFAT"),
         volume("disk10s1", "APFS"), volume("disk0s1", "NTFS"), volume("disk2s1", "HFS+"), second});
    EXPECT_EQ(ids(sorted),
              (std::vector<std::string>{"disk2s1", "disk10s1", "disk0s1", "disk6s1", "disk7s1",
                                        "disk3s1", "disk3s1", "disk1s2", "disk1s10"}));
    EXPECT_EQ(sorted[6].parentName, "second");
    // Text that differs only in leading zeros still has a fixed order.
    EXPECT_EQ(localizedStandardCompare("disk02", "disk2"),
              -localizedStandardCompare("disk2", "disk02"));
}

TEST(Naming, SizesAndMountPoints) {
    struct Case {
        PlistValue value;
        std::optional<std::int64_t> expected;
    } cases[] = {
        {PlistValue(1.5682240512E10), 15682240512}, // real size as the tools print it
        {PlistValue(-1), std::nullopt},             // negative
        {PlistValue(true), std::nullopt},           // a boolean is never a size
        {PlistValue(PlistInteger::fromUnsigned(1ULL << 63)), std::nullopt}, // beyond int64
        {PlistValue(9223372036854775808.0), std::nullopt},                  // 2^63 as a real
    };
    for (const auto& c : cases) {
        EXPECT_EQ(int64(&c.value), c.expected);
    }
    for (const char* unmounted : {"Not Mounted", "NONE", " / ", "Volumes/EFI", ""}) {
        EXPECT_EQ(normalizedMountPoint(std::optional<std::string>(unmounted)), std::nullopt)
            << unmounted;
    }
    EXPECT_EQ(normalizedMountPoint(std::optional<std::string>(" /Volumes/EFI \n")), "/Volumes/EFI");
}

TEST(Naming, DiskAndPartitionNames) {
    struct Case {
        PlistDictionary listEntry;
        PlistDictionary info;
        std::optional<std::string> imagePath;
        const char* expected;
    } cases[] = {
        // an image is named by its file, without the last extension
        {{}, {{"MediaName", "Disk"}}, "/Users/me/Test Disk.dmg", "Test Disk"},
        {{}, {{"MediaName", "  APPLE SSD  "}}, std::nullopt, "APPLE SSD"},
        // a partition map's scheme is no disk name, GUID or MBR
        {{{"Content", "GUID_partition_scheme"}}, {}, std::nullopt, "disk3"},
        {{{"Content", " FDisk_partition_scheme "}}, {}, std::nullopt, "disk3"},
        // blank and mistyped values fall through to the next key
        {{{"VolumeName", "USB"}}, {{"MediaName", " "}, {"DeviceModel", 3}}, std::nullopt, "USB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bestParentName(c.listEntry, c.info, "disk3", c.imagePath), c.expected);
    }
    EXPECT_EQ(bestPartitionName({{"VolumeName", "disk0s1"}}, {{"VolumeName", "EFI"}}, "disk0s1"),
              "EFI");
}

TEST(Naming, PlatformFacts) {
    const PlistDictionary apfs{{"Content", "APPLE_APFS"}, {"FilesystemName", "apfs"}};
    const PlistDictionary linuxFs{{"Content", "linux filesystem"}};
    const PlistDictionary ntfs{{"Content", "Microsoft Basic Data"}, {"FilesystemName", "ntfs"}};
    const PlistDictionary exfat{{"Content", "Microsoft Basic Data"}, {"FilesystemName", "exfat"}};
    // The ESP's own FAT32 must not make the disk a data disk, nor its "/" a boot disk.
    const PlistDictionary esp{{"Content", "EFI"}, {"FilesystemName", "msdos"}, {"MountPoint", "/"}};
    struct Case {
        std::vector<PlistDictionary> partitions;
        bool image;
        PlatformInfo expected;
    } cases[] = {
        {{esp, apfs}, false, {"macOS", "APFS", std::nullopt}},
        {{apfs, linuxFs}, false, {"Linux", "APFS", std::nullopt}}, // Linux signs win over Mac
        {{esp, ntfs}, false, {"Windows", "NTFS", std::nullopt}},
        {{exfat}, true, {"Disk Image", "ExFAT", std::nullopt}},
        {{exfat}, false, {"Data", "ExFAT", std::nullopt}},
        {{{{"Content", "Apple_Boot"}}}, false, {"Unknown OS", "Apple_Boot", std::nullopt}},
        {{{{"MountPoint", "/ "}}, ntfs}, false, {"Windows", "NTFS", "Boot Disk"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platformInfo(c.partitions, {}, c.image), c.expected) << c.expected.os;
    }
}
