#include "discovery/Classification.h"
#include "discovery/Naming.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

using namespace tesselwick::discovery;

namespace {

ESPVolume volume(std::string id, std::string parent, std::string host) {
    ESPVolume v;
    v.id = v.diskIdentifier = std::move(id);
    v.parentIdentifier = std::move(parent);
    v.hostFilesystem = std::move(host);
    v.filesystem = "FAT32";
    return v;
}

std::vector<std::string> ids(const std::vector<ESPVolume>& volumes) {
    std::vector<std::string> out;
    for (const auto& v : volumes) {
        out.push_back(v.diskIdentifier);
    }
    return out;
}

} // namespace

TEST(Identifiers, WholeDiskAndPartitionPatterns) {
    struct Case {
        const char* identifier;
        bool valid;
        bool whole;
    } cases[] = {
        {"disk0", true, true},        // whole disk
        {"disk12", true, true},       // several digits
        {"disk3s2", true, false},     // partition
        {"/dev/disk0", false, false}, // device path, not a reference
        {"disk0s", false, false},     // partition without a number
        {"disks1", false, false},     // no disk number
        {"disk0s1s2", false, false},  // a snapshot of a volume is not a partition
        {" disk0", false, false},     // no trimming
        {"disk0 ", false, false},     // no trimming
        {"", false, false},           // empty
        {"rdisk5", false, false},     // raw device
        {"disk", false, false},       // no number at all
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidDiskReferenceIdentifier(c.identifier), c.valid) << c.identifier;
        EXPECT_EQ(isWholeDiskIdentifier(c.identifier), c.whole) << c.identifier;
    }
    EXPECT_EQ(wholeDiskPrefix("disk4s1"), "disk4");
    EXPECT_EQ(wholeDiskPrefix("rdisk4"), "");
    EXPECT_TRUE(isPartitionOf("disk1s3", "disk1"));
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
        {"gpt type EF00", "", "", true},                                   // contains ef00
        {"Microsoft Basic Data", "EFI", "ms-dos fat32", true},             // named EFI and FAT32
        {"Microsoft Basic Data", " efi ", "MS-DOS (FAT32)", true},         // contains fat32
        {"Microsoft Basic Data", "EFI", "fat_32", true},                   // fat_32 form
        {"Microsoft Basic Data", "EFI", "apfs", false},          // named EFI but not FAT32
        {"Microsoft Basic Data", "", "fat32", false},            // FAT32 but not named EFI
        {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "", "", false}, // the GUID is not compared
        {"Apple_APFS", "Macintosh HD", "apfs", false},           // ordinary partition
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isEFIPartition(c.content, c.name, c.filesystem), c.expected)
            << c.content << " / " << c.name << " / " << c.filesystem;
    }
}

TEST(Classification, FilesystemSearchText) {
    const PlistDictionary fat32{{"FilesystemName", "fat32"}};
    EXPECT_EQ(partitionFilesystemSearchText(fat32, "EFI"), "fat32 EFI");
    EXPECT_EQ(partitionFilesystemSearchText(fat32, "FAT32"), "fat32"); // case-insensitive repeat
    const PlistDictionary both{{"FilesystemName", " msdos "},
                               {"FilesystemUserVisibleName", "MS-DOS (FAT32)"}};
    EXPECT_EQ(partitionFilesystemSearchText(both, "  "), "msdos MS-DOS (FAT32)");
    const PlistDictionary mistyped{{"FilesystemName", 42}};
    EXPECT_EQ(partitionFilesystemSearchText(mistyped, "EFI"), "EFI"); // non-strings are absent
}

TEST(Classification, NormalizedFilesystemName) {
    struct Case {
        const char* raw;
        const char* expected;
    } cases[] = {
        {"GUID_partition_scheme", ""}, // a scheme, not a filesystem
        {"guid_PARTITION_scheme", ""}, // any case
        {"EFI", "EFI"},                // the ESP itself
        {" linux filesystem \n", "Linux FS"},
        {"hfs", "HFS+"}, // equals hfs
        {"Journaled HFS+", "HFS+"},
        {"Apple_APFS_Recovery", ""}, // recovery row wins over apfs
        {"apfs", "APFS"},
        {"EFI System Partition", ""}, // a partition type
        {"Microsoft Basic Data", ""}, // type, not filesystem
        {"Windows NT File System (NTFS)", "NTFS"},
        {"ExFAT", "ExFAT"},
        {"MS-DOS (FAT32)", "FAT32"},
        {"ext4", "EXT4"},
        {"ext3", "EXT3"},
        {"ext2", "EXT2"},
        {" MS-DOS (FAT16) ", "MS-DOS (FAT16)"}, // unrecognised comes back trimmed, as written
        {"   ", ""},                            // blank
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normalizedFilesystemName(std::string_view(c.raw)), c.expected) << c.raw;
    }
    EXPECT_EQ(normalizedFilesystemName(std::optional<std::string>()), "");
}

TEST(Classification, BestFilesystemName) {
    EXPECT_EQ(partitionFilesystemName({}, ""), "");
    EXPECT_EQ(partitionFilesystemName({}, "EFI"), "EFI");
    // The preference order decides, not the candidate order.
    EXPECT_EQ(
        partitionFilesystemName(
            {{"FilesystemName", "msdos"}, {"FilesystemUserVisibleName", "MS-DOS (FAT32)"}}, "EFI"),
        "FAT32");
    // Nothing normalises: the first raw candidate comes back as written.
    EXPECT_EQ(partitionFilesystemName({}, "Microsoft Basic Data"), "Microsoft Basic Data");
    // An unrecognised name is better than nothing.
    EXPECT_EQ(partitionFilesystemName({{"FilesystemName", "udf"}}, "Microsoft Basic Data"), "udf");
}

TEST(Classification, SortRanksAndListOrder) {
    // Host filesystem by rank (APFS and HFS+, NTFS, ExFAT, MS-DOS, Linux, unknown), then
    // disk numbers by value, not by text.
    auto sorted = sortedVolumes(
        {volume("disk9s1", "disk9", "Unknown FS"), volume("disk8s1", "disk8", "Linux FS"),
         volume("disk7s1", "disk7", "MS-DOS"), volume("disk6s1", "disk6", "ExFAT"),
         volume("disk10s1", "disk10", "APFS"), volume("disk0s1", "disk0", "NTFS"),
         volume("disk11s1", "disk11", "HFS+"), volume("disk2s1", "disk2", "APFS")});
    EXPECT_EQ(ids(sorted), (std::vector<std::string>{"disk2s1", "disk10s1", "disk11s1", "disk0s1",
                                                     "disk6s1", "disk7s1", "disk8s1", "disk9s1"}));

    // Same disk: partitions by number; records that compare equal keep scan order.
    auto a = volume("disk1s10", "disk1", "Unknown FS");
    auto b = volume("disk1s2", "disk1", "whatever");
    auto c1 = volume("disk3s1", "disk3", "Linux FS");
    auto c2 = c1;
    c2.parentName = "second";
    sorted = sortedVolumes({a, c1, b, c2});
    EXPECT_EQ(ids(sorted), (std::vector<std::string>{"disk3s1", "disk3s1", "disk1s2", "disk1s10"}));
    EXPECT_EQ(sorted[1].parentName, "second");

    EXPECT_LT(localizedStandardCompare("DISK2", "disk10"), 0);
    EXPECT_NE(localizedStandardCompare("disk02", "disk2"), 0); // never "same" for different text
    EXPECT_EQ(localizedStandardCompare("disk02", "disk2"),
              -localizedStandardCompare("disk2", "disk02"));
    EXPECT_LT(localizedStandardCompare("disk02", "disk3"), 0); // still by value first
    EXPECT_GT(localizedStandardCompare("disk2s1", "disk2"), 0);
}

TEST(Classification, DerivedPropertiesAndEquality) {
    ESPVolume v = volume("disk0s1", "disk0", " \n");
    v.partitionName = "  \t";
    EXPECT_FALSE(v.displayPartitionName());
    EXPECT_EQ(v.hostFilesystemDescription(), "Unknown FS");
    v.partitionName = " EFI ";
    v.hostFilesystem = " APFS";
    EXPECT_EQ(v.displayPartitionName(), "EFI");
    EXPECT_EQ(v.hostFilesystemDescription(), "APFS");

    ESPVolume w = v;
    EXPECT_EQ(v, w);
    EXPECT_EQ(std::hash<ESPVolume>{}(v), std::hash<ESPVolume>{}(w));
    w.imagePath = "";
    EXPECT_NE(v, w); // present-but-empty differs from absent
    w = v;
    w.parentSizeBytes = 1;
    EXPECT_NE(v, w);
}

TEST(Classification, UsableValues) {
    const PlistValue blank("  \n");
    const PlistValue zero(0);
    const PlistValue no(false);
    const PlistValue empty(PlistArray{});
    EXPECT_FALSE(hasUsableValue(nullptr));
    EXPECT_FALSE(hasUsableValue(&blank));
    EXPECT_TRUE(hasUsableValue(&zero));
    EXPECT_TRUE(hasUsableValue(&no));
    EXPECT_TRUE(hasUsableValue(&empty));
}

TEST(Naming, Int64) {
    struct Case {
        PlistValue value;
        std::optional<std::int64_t> expected;
    } cases[] = {
        {PlistValue(512), 512},                     // integer
        {PlistValue(512.0), 512},                   // whole real
        {PlistValue(1.5682240512E10), 15682240512}, // real size as the tools print it
        {PlistValue(-1), std::nullopt},             // negative
        {PlistValue(true), std::nullopt},           // a boolean is never a size
        {PlistValue(1.5), std::nullopt},            // fractional
        {PlistValue("512"), std::nullopt},          // digits in a string
        {PlistValue(PlistInteger::fromUnsigned(1ULL << 63)), std::nullopt}, // beyond int64
        {PlistValue(PlistInteger::fromUnsigned((1ULL << 63) - 1)), INT64_MAX},
        {PlistValue(9223372036854775808.0), std::nullopt}, // 2^63 as a real
        {PlistValue(-0.0), 0},                             // negative zero is zero
        {PlistValue(std::numeric_limits<double>::quiet_NaN()), std::nullopt},
        {PlistValue(PlistDate{5}), std::nullopt}, // dates are not numbers
    };
    for (const auto& c : cases) {
        EXPECT_EQ(int64(&c.value), c.expected);
    }
    EXPECT_EQ(int64(nullptr), std::nullopt);
}

TEST(Naming, MountPoints) {
    struct Case {
        std::optional<std::string> raw;
        std::optional<std::string> expected;
    } cases[] = {
        {" /Volumes/EFI \n", "/Volumes/EFI"},
        {"Not Mounted", std::nullopt},
        {"NONE", std::nullopt},
        {"/", std::nullopt}, // the root is never an ESP's mount point
        {" / ", std::nullopt},
        {"Volumes/EFI", std::nullopt}, // relative
        {"", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normalizedMountPoint(c.raw), c.expected) << c.raw.value_or("<absent>");
    }
}

TEST(Naming, ParentName) {
    EXPECT_EQ(bestParentName({}, {{"MediaName", "Disk"}}, "disk4", "/Users/me/Test Disk.dmg"),
              "Test Disk");
    EXPECT_EQ(bestParentName({}, {}, "disk4", "/Users/me/archive.tar.gz"), "archive.tar");
    EXPECT_EQ(bestParentName({}, {{"MediaName", "  APPLE SSD  "}}, "disk0", std::nullopt),
              "APPLE SSD");
    EXPECT_EQ(bestParentName({{"Content", "GUID_partition_scheme"}}, {}, "disk0", std::nullopt),
              "disk0");
    // An MBR map's scheme name is no more a disk name than a GUID map's.
    EXPECT_EQ(bestParentName({{"Content", " FDisk_partition_scheme "}}, {}, "disk3", std::nullopt),
              "disk3");
    // Blank and mistyped values fall through to the next key.
    EXPECT_EQ(bestParentName({{"VolumeName", "USB"}}, {{"MediaName", " "}, {"DeviceModel", 3}},
                             "disk2", std::nullopt),
              "USB");
    // An image path that leaves nothing usable falls back to the other rules.
    EXPECT_EQ(bestParentName({}, {{"MediaName", "Img"}}, "disk4", "/"), "Img");
}

TEST(Naming, InternalFlag) {
    EXPECT_FALSE(bestInternal({{"Internal", true}}, {{"Internal", false}}));
    EXPECT_TRUE(bestInternal({{"Internal", true}}, {{"DeviceLocation", "External"}}));
    EXPECT_FALSE(bestInternal({}, {{"DeviceLocation", "External"}}));
    EXPECT_TRUE(bestInternal({}, {{"DeviceLocation", "INTERNAL"}}));
    EXPECT_TRUE(bestInternal({}, {}));
    EXPECT_TRUE(bestInternal({}, {{"Internal", "no"}})); // a string is not a boolean
}

TEST(Naming, PartitionName) {
    EXPECT_EQ(bestPartitionName({{"VolumeName", "disk0s1"}}, {{"VolumeName", "EFI"}}, "disk0s1"),
              "EFI");
    EXPECT_EQ(bestPartitionName({}, {}, "disk0s1"), "disk0s1");
    EXPECT_EQ(bestPartitionName({{"Name", " Boot "}}, {{"MediaName", ""}}, "disk0s1"), "Boot");
}

TEST(Naming, OperatingSystem) {
    const PlistDictionary apfs{{"Content", "APPLE_APFS"}};
    const PlistDictionary linuxFs{{"Content", "linux filesystem"}};
    const PlistDictionary ntfs{{"Content", "Microsoft Basic Data"}, {"FilesystemName", "ntfs"}};
    const PlistDictionary exfat{{"Content", "Microsoft Basic Data"}, {"FilesystemName", "exfat"}};
    struct Case {
        std::vector<PlistDictionary> partitions;
        bool image;
        const char* expected;
    } cases[] = {
        {{apfs}, false, "macOS"},
        {{apfs, linuxFs}, false, "Linux"}, // Linux signs win over Mac signs
        {{ntfs}, false, "Windows"},
        {{apfs, ntfs}, false, "macOS"}, // Mac signs win over Windows
        {{exfat}, true, "Disk Image"},
        {{exfat}, false, "Data"},
        {{}, true, "Disk Image"},
        {{{{"Content", "Apple_Boot"}}}, false, "Unknown OS"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(inferOSName(std::nullopt, {}, c.partitions, c.image), c.expected);
    }
    EXPECT_EQ(inferOSName(std::nullopt, {{"MediaName", "Ubuntu Linux stick"}}, {}, false), "Linux");
}

TEST(Naming, HostFilesystem) {
    const PlistDictionary apfs{{"FilesystemName", "apfs"}};
    const PlistDictionary ntfs{{"FilesystemName", "ntfs"}};
    EXPECT_EQ(inferHostFilesystem({apfs, ntfs}, {}), "APFS");
    EXPECT_EQ(inferHostFilesystem({ntfs, apfs}, {}), "APFS");
    EXPECT_EQ(inferHostFilesystem({}, {}), "Unknown FS");
    EXPECT_EQ(inferHostFilesystem({{{"Content", "guid_partition_scheme"}}}, {}), "Unknown FS");
    EXPECT_EQ(inferHostFilesystem({{{"Content", "EFI"}}}, {}), "Unknown FS");
    EXPECT_EQ(inferHostFilesystem({{{"FilesystemName", " udf "}}}, {}), "udf");
    EXPECT_EQ(inferHostFilesystem({}, {{"FilesystemName", "hfs"}}), "HFS+");
}

TEST(Naming, PlatformFactsIgnoreTheESPs) {
    // The ESP's own FAT32 must not make the disk a data disk.
    const std::vector<PlistDictionary> partitions{
        {{"Content", "EFI"}, {"FilesystemName", "msdos"}, {"MountPoint", "/"}},
        {{"Content", "Apple_HFS"}, {"FilesystemName", "hfs"}}};
    const PlatformInfo facts = platformInfo(partitions, {}, false);
    EXPECT_EQ(facts, (PlatformInfo{"macOS", "HFS+", std::nullopt}));
}

TEST(Naming, BootRole) {
    EXPECT_EQ(bootRoleName({}, {{{"MountPoint", "/ "}}}), "Boot Disk");
    EXPECT_EQ(bootRoleName({{"MountPoint", "/"}}, {}), "Boot Disk");
    EXPECT_EQ(bootRoleName({}, {{{"MountPoint", "/Volumes/Data"}}}), std::nullopt);
}

TEST(Naming, RootContainerPhysicalStores) {
    auto container = [](PlistDictionary volume) {
        return PlistValue(PlistDictionary{
            {"DeviceIdentifier", "disk3"},
            {"APFSPhysicalStores", PlistArray{PlistDictionary{{"DeviceIdentifier", "disk0s2"}}}},
            {"APFSVolumes", PlistArray{PlistDictionary{{"DeviceIdentifier", "disk3s1"},
                                                       {"MountPoint", "/System/Volumes/Data"}},
                                       std::move(volume)}}});
    };
    auto root = [](PlistValue disk) {
        return PlistDictionary{{"AllDisksAndPartitions", PlistArray{std::move(disk)}}};
    };
    // macOS 11 and later: the sealed system snapshot is what is mounted at "/".
    EXPECT_EQ(
        rootContainerPhysicalStores(root(container(
            {{"MountedSnapshots", PlistArray{PlistDictionary{{"SnapshotMountPoint", "/"}}}}}))),
        std::vector<std::string>{"disk0s2"});
    // macOS 10.15: the system volume itself.
    EXPECT_EQ(rootContainerPhysicalStores(root(container({{"MountPoint", "/"}}))),
              std::vector<std::string>{"disk0s2"});
    // A container that does not hold "/" names no store.
    EXPECT_TRUE(
        rootContainerPhysicalStores(root(container({{"MountPoint", "/Volumes/Other"}}))).empty());
    EXPECT_TRUE(rootContainerPhysicalStores({}).empty());
}

TEST(Naming, BootloaderFromRealFolders) {
    const auto base = std::filesystem::temp_directory_path() /
                      ("tesselwick-bootloader-" + std::to_string(std::random_device{}()));
    struct Case {
        std::vector<std::string> entries; // created under <mount>/EFI
        bool asFile;
        std::optional<std::string> expected;
    } cases[] = {
        {{"OC", "Microsoft"}, false, "OC"}, // OC wins over Microsoft
        {{"BOOT"}, false, "EFI Boot"},
        {{"CLOVER", "BOOT"}, false, "Clover"},
        {{"Microsoft"}, true, "Windows Boot"}, // a file counts as an entry
        {{"Other"}, false, std::nullopt},
        {{}, false, std::nullopt}, // EFI folder without known entries
    };
    int n = 0;
    for (const auto& c : cases) {
        const auto mount = base / std::to_string(n++);
        std::filesystem::create_directories(mount / "EFI");
        for (const auto& entry : c.entries) {
            if (c.asFile) {
                std::ofstream(mount / "EFI" / entry) << "x";
            } else {
                std::filesystem::create_directories(mount / "EFI" / entry);
            }
        }
        EXPECT_EQ(bootloaderName(mount.string()), c.expected) << mount;
    }
    EXPECT_EQ(bootloaderName((base / "missing").string()), std::nullopt);
    EXPECT_EQ(bootloaderName(std::nullopt), std::nullopt);
    std::filesystem::remove_all(base);
}
