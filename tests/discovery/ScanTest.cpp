// GCC 12 reports false maybe-uninitialized warnings when moving property-list
// values into arrays here, when optimising with the thread sanitizer.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "doubles/ManualClock.h"
#include "FakeTools.h"
#include "discovery/VolumeScan.h"
#include "support/ErrorText.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

using namespace tesselwick;
using namespace tesselwick::discovery;
using tesselwick::testing::errorText;
using tesselwick::testing::FakeTools;
using tesselwick::testing::fat32ESP;
namespace disktool = tesselwick::process::disktool;

namespace {

const char* const kContainerGUID = "EF57347C-0000-11AA-AA11-00306543ECAC";
const char* const kImagePath = "/Users/me/Images/Test Disk.dmg";

PlistValue listRoot(PlistArray disks) {
    return PlistDictionary{{"AllDisksAndPartitions", std::move(disks)},
                           {"WholeDisks", PlistArray{"disk0"}}};
}

// Fixture: the tools, fresh caches on a clock that does not move unless told,
// and a real folder standing in for a mounted ESP with an OpenCore folder.
class ScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        mount_ = std::filesystem::temp_directory_path() /
                 ("tesselwick-scan-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(mount_ / "EFI" / "OC");
    }
    void TearDown() override { std::filesystem::remove_all(mount_); }

    VolumeScanner scanner() { return VolumeScanner(tools_.runner(), infoCache_, imageCache_); }

    // One GUID disk of the partition list with its information. Each row's information
    // carries its content and size too, and a mount point there is also in the list.
    struct Row {
        std::string id;
        std::string content;
        std::int64_t size;
        std::string volumeName; // none in the list when empty
        PlistDictionary info;
    };
    PlistDictionary disk(const std::string& id, PlistValue size, PlistDictionary info,
                         std::vector<Row> rows) {
        info.insert({"TotalSize", size});
        answerInfo(id, std::move(info));
        PlistArray partitions;
        for (Row& row : rows) {
            PlistDictionary entry{
                {"Content", row.content}, {"DeviceIdentifier", row.id}, {"Size", row.size}};
            if (!row.volumeName.empty()) {
                entry.insert({"VolumeName", row.volumeName});
            }
            if (const std::string* mounted = stringValue(row.info, "MountPoint")) {
                entry.insert({"MountPoint", *mounted});
            }
            partitions.push_back(std::move(entry));
            row.info.insert({{"Content", row.content}, {"TotalSize", row.size}});
            answerInfo(row.id, std::move(row.info));
        }
        return {{"Content", "GUID_partition_scheme"},
                {"DeviceIdentifier", id},
                {"Size", std::move(size)},
                {"Partitions", std::move(partitions)}};
    }

    // A Mac that boots macOS from an APFS container on disk0 (OpenCore ESP mounted),
    // with a Windows disk, a Linux USB disk, an attached image holding an ESP, and
    // an external APFS disk without an ESP.
    void multiBootMac() {
        const PlistDictionary ntfs{{"FilesystemName", "ntfs"},
                                   {"FilesystemUserVisibleName", "Windows NT File System (NTFS)"}};
        const PlistDictionary exfat{{"FilesystemName", "exfat"},
                                    {"FilesystemUserVisibleName", "ExFAT"}};
        const PlistDictionary container{
            {"APFSPhysicalStores", PlistArray{PlistDictionary{{"DeviceIdentifier", "disk0s2"}}}},
            {"APFSVolumes",
             PlistArray{PlistDictionary{{"DeviceIdentifier", "disk3s1"},
                                        {"MountPoint", "/System/Volumes/Data"}},
                        PlistDictionary{{"DeviceIdentifier", "disk3s5"},
                                        {"MountedSnapshots", PlistArray{PlistDictionary{
                                                                 {"SnapshotMountPoint", "/"}}}}}}},
            {"Content", kContainerGUID},
            {"DeviceIdentifier", "disk3"},
            {"Partitions", PlistArray{}},
            {"Size", 499898105856}};
        tools_.answer(
            disktool::listPlist(),
            listRoot(PlistArray{
                disk("disk0", 500107862016,
                     {{"MediaName", "APPLE SSD AP0512Q"}, {"Internal", true}},
                     {{"disk0s1", "EFI", 209715200, "EFI",
                       fat32ESP({{"MountPoint", mount_.string()}})},
                      {"disk0s2", "Apple_APFS", 499898105856, "", {}}}),
                disk("disk1", 1000204886016,
                     {{"MediaName", "Samsung SSD 860 EVO 1TB"}, {"Internal", true}},
                     {{"disk1s1", "EFI", 104857600, "EFI", fat32ESP({{"MountPoint", ""}})},
                      {"disk1s2", "Microsoft Reserved", 16777216, "", {}},
                      {"disk1s3", "Microsoft Basic Data", 1000083079168, "Windows", ntfs}}),
                // printed as <real> by some versions
                disk("disk2", 32010928128.0,
                     {{"MediaName", "SanDisk Ultra"},
                      {"Internal", false},
                      {"DeviceLocation", "External"}},
                     {{"disk2s1",
                       "EFI",
                       536870912,
                       "",
                       {{"FilesystemName", "msdos"},
                        {"IORegistryEntryName", "EFI System Partition"}}},
                      {"disk2s2", "Linux Filesystem", 31473008640, "", {}}}),
                container,
                disk("disk4", 1073741824, {{"MediaName", "Apple UDIF read-write Media"}},
                     {{"disk4s1", "EFI", 209715200, "EFI", fat32ESP()},
                      {"disk4s2", "Microsoft Basic Data", 863000000, "Payload", exfat}}),
                disk("disk5", 2000398934016, {},
                     {{"disk5s2", "Apple_APFS", 2000000000000, "", {}}}),
            }));
        tools_.answer(
            disktool::imageInfoPlist(),
            PlistValue(PlistDictionary{
                {"images", PlistArray{PlistDictionary{
                               {"image-path", kImagePath},
                               {"system-entities",
                                PlistArray{PlistDictionary{{"dev-entry", "/dev/disk4"}},
                                           PlistDictionary{{"dev-entry", "/dev/disk4s1"}}}}}}}}));
    }

    std::string multiBootText() {
        return "/dev/disk0 (internal, physical):\n"
               "   0:      GUID_partition_scheme                        *500.1 GB   disk0\n"
               "   1:                        EFI EFI                     209.7 MB   disk0s1\n"
               "   2:                 Apple_APFS Container disk3         499.9 GB   disk0s2\n"
               "/dev/disk3 (synthesized):\n"
               "   0:      APFS Container Scheme -                      +499.9 GB   disk3\n"
               "                                 Physical Store disk0s2\n"
               "   1:                APFS Volume Data                    300.0 GB   disk3s1\n"
               "/dev/disk1 (internal, physical):\n"
               "   0:      GUID_partition_scheme                        *1.0 TB     disk1\n"
               "   1:                        EFI EFI                     104.9 MB   disk1s1\n"
               "   2:         Microsoft Reserved                         16.8 MB    disk1s2\n"
               "   3:       Microsoft Basic Data Windows                 1.0 TB     disk1s3\n"
               "/dev/disk2 (external, physical):\n"
               "   0:      GUID_partition_scheme                        *32.0 GB    disk2\n"
               "   1:                        EFI                         536.9 MB   disk2s1\n"
               "   2:           Linux Filesystem                         31.5 GB    disk2s2\n"
               "/dev/disk4 (disk image):\n"
               "   0:      GUID_partition_scheme                        +1.1 GB     disk4\n"
               "   1:                        EFI EFI                     209.7 MB   disk4s1\n"
               "   2:       Microsoft Basic Data Payload                 863.0 MB   disk4s2\n";
    }

    std::vector<ESPVolume> multiBootExpected() {
        auto esp = [](std::string id, std::string parent, std::int64_t size,
                      std::int64_t parentSize, std::string host, std::string os) {
            ESPVolume v;
            v.id = v.diskIdentifier = id;
            v.parentIdentifier = id.substr(0, 5);
            v.parentName = std::move(parent);
            v.partitionName = "EFI";
            v.sizeBytes = size;
            v.parentSizeBytes = parentSize;
            v.filesystem = "FAT32";
            v.hostFilesystem = std::move(host);
            v.installedOS = std::move(os);
            v.isInternal = true;
            return v;
        };
        ESPVolume mac =
            esp("disk0s1", "APPLE SSD AP0512Q", 209715200, 500107862016, "APFS", "macOS");
        mac.mountPoint = mount_.string();
        mac.bootRole = "Boot Disk";
        mac.bootloader = "OC";
        ESPVolume image = esp("disk4s1", "Test Disk", 209715200, 1073741824, "ExFAT", "Disk Image");
        image.isInternal = false;
        image.isDiskImage = true;
        image.imagePath = kImagePath;
        // Only the short name "msdos" is known, which is no display name: the ESP stays "EFI".
        ESPVolume usb =
            esp("disk2s1", "SanDisk Ultra", 536870912, 32010928128, "Linux FS", "Linux");
        usb.partitionName = "EFI System Partition";
        usb.filesystem = "EFI";
        usb.isInternal = false;
        return {
            mac,
            esp("disk1s1", "Samsung SSD 860 EVO 1TB", 104857600, 1000204886016, "NTFS", "Windows"),
            image, usb};
    }

    void answerInfo(const std::string& id, PlistDictionary values) {
        tesselwick::testing::answerInfo(tools_, id, std::move(values));
    }
    void noImages() { tools_.answer(disktool::imageInfoPlist(), PlistValue(PlistDictionary{})); }

    // Runs `body` as a task of its own so that the test can cancel it.
    template <typename Body> void asTask(const TaskHandle& task, Body body) {
        task::CurrentTaskScope scope(task);
        body();
    }

    FakeTools tools_;
    ManualClock clock_;
    DiskInfoCache infoCache_{clock_};
    DiskImageMapCache imageCache_{clock_};
    std::filesystem::path mount_;
};

std::vector<std::string> ids(const std::vector<ESPVolume>& volumes) {
    std::vector<std::string> out;
    for (const auto& v : volumes) {
        out.push_back(v.diskIdentifier);
    }
    return out;
}

} // namespace

TEST_F(ScanTest, MultiBootMacFromThePartitionList) {
    multiBootMac();
    const auto volumes = scanner().loadESPVolumes();
    EXPECT_EQ(volumes, multiBootExpected());
    // Nothing about the disk without an ESP, nothing through the text route.
    EXPECT_EQ(tools_.count(disktool::infoPlist("disk5s2")), 0);
    EXPECT_EQ(tools_.count(disktool::listText()), 0);
    // A second scan inside the freshness windows reads only the partition list.
    const auto asked = tools_.calls().size();
    EXPECT_EQ(scanner().loadESPVolumes(), volumes);
    EXPECT_EQ(tools_.calls().size(), asked + 1);
}

TEST_F(ScanTest, TextFallbackBuildsTheSameRecords) {
    multiBootMac();
    tools_.fail(disktool::listPlist(), 1, "diskutil list -plist failed");
    tools_.answer(disktool::listText(), multiBootText());
    auto expected = multiBootExpected();
    // The text names no APFS container stores, so the boot disk is only found
    // through the partition list.
    expected[0].bootRole.reset();
    EXPECT_EQ(scanner().loadESPVolumes(), expected);
}

TEST_F(ScanTest, BrokenPartitionListFallsBackOrReportsItsError) {
    multiBootMac();
    // A list of the wrong shape, and the fallback finds nothing: the property-list
    // error is what is reported.
    tools_.answer(disktool::listPlist(), PlistValue(PlistDictionary{{"WholeDisks", PlistArray{}}}));
    tools_.answer(disktool::listText(), "/dev/disk5 (external, physical):\n"
                                        "   2:  Apple_APFS Container disk6  2.0 TB  disk5s2\n");
    EXPECT_EQ(errorText([&] { scanner().loadESPVolumes(); }),
              "Tesselwick 65: diskutil returned an unexpected partition-list property list.");
    // A failing fallback command replaces the property-list error.
    tools_.fail(disktool::listText(), 124, "diskutil list timed out");
    EXPECT_EQ(errorText([&] { scanner().loadESPVolumes(); }),
              "Tesselwick 124: diskutil list timed out");
}

TEST_F(ScanTest, CancellationMidScanStopsEverything) {
    multiBootMac();
    const TaskHandle task = TaskHandle::makeUnstarted();
    tools_.beforeEach([&](const std::string& line) {
        if (line == FakeTools::key(disktool::infoPlist("disk1s1"))) {
            task.cancel();
        }
    });
    asTask(task, [&] { EXPECT_THROW(scanner().loadESPVolumes(), CancellationError); });
    EXPECT_EQ(tools_.count(disktool::listText()), 0); // never falls back on cancellation
    EXPECT_EQ(tools_.count(disktool::infoPlist("disk2s1")), 0);
    // A cancelled task reads no image list, even with nothing cached.
    asTask(task, [&] { EXPECT_THROW(scanner().diskImageMap(), CancellationError); });
    EXPECT_EQ(tools_.count(disktool::imageInfoPlist()), 0);
}

// A load that a mount's invalidation overtakes is reported by the cache as a
// cancellation; that lookup finds nothing, but the scan itself goes on.
TEST_F(ScanTest, OvertakenCacheLoadOnlyEmptiesThatLookup) {
    struct Case {
        disktool::Command overtaken;
        bool sameRecords;
    };
    const Case cases[] = {
        // Candidate enrichment of disk0s1 finds nothing; the list entry alone keeps
        // it a candidate and the next lookup loads it again.
        {disktool::infoPlist("disk0s1"), true},
        // No image map for this scan: disk4 is not known as an image.
        {disktool::imageInfoPlist(), false},
    };
    for (const Case& c : cases) {
        infoCache_.invalidate();
        imageCache_.invalidate();
        multiBootMac();
        bool invalidated = false;
        tools_.beforeEach([&](const std::string& line) {
            if (!invalidated && line == FakeTools::key(c.overtaken)) {
                invalidated = true;
                imageCache_.invalidate();
                infoCache_.invalidate();
            }
        });
        const auto volumes = scanner().loadESPVolumes();
        EXPECT_TRUE(invalidated);
        EXPECT_EQ(volumes.size(), 4u);
        EXPECT_EQ(volumes == multiBootExpected(), c.sameRecords);
        tools_.beforeEach(nullptr);
    }
}

TEST_F(ScanTest, TwoESPsOnOneDiskAndANonFATPartitionNamedEFI) {
    tools_.answer(
        disktool::listPlist(),
        listRoot(PlistArray{PlistDictionary{
            {"DeviceIdentifier", "disk0"},
            {"Partitions",
             PlistArray{
                 PlistDictionary{{"Content", "EFI"},
                                 {"DeviceIdentifier", "disk0s1"},
                                 {"Size", 10},
                                 {"MountPoint", "/Volumes/EFI"}},
                 // Named EFI but HFS+: a candidate, dropped once its filesystem is known.
                 PlistDictionary{{"Content", "Apple_HFS"},
                                 {"DeviceIdentifier", "disk0s2"},
                                 {"VolumeName", "EFI"}},
                 // Named " efi " on a basic data partition that is FAT32: kept.
                 PlistDictionary{{"Content", "Microsoft Basic Data"},
                                 {"DeviceIdentifier", "disk0s3"},
                                 {"VolumeName", " efi "},
                                 {"Size", true}}, // a boolean is not a size
                 // A second real ESP, reported mounted at "/" (treated as not mounted).
                 PlistDictionary{
                     {"Content", "EFI"}, {"DeviceIdentifier", "disk0s5"}, {"MountPoint", "/"}},
                 // Belongs to another disk: ignored.
                 PlistDictionary{{"Content", "EFI"}, {"DeviceIdentifier", "disk10s1"}},
             }}}}));
    answerInfo("disk0s1", {{"FilesystemName", "msdos"}, {"MountPoint", "/Volumes/Other"}});
    answerInfo("disk0s2", {{"FilesystemName", "hfs"}, {"Content", "Apple_HFS"}});
    answerInfo("disk0s3", {{"FilesystemName", "msdos"},
                           {"FilesystemUserVisibleName", "MS-DOS (FAT32)"},
                           {"TotalSize", 300}});
    answerInfo("disk0s5", {{"MountPoint", "not mounted"}});
    noImages();

    const auto volumes = scanner().loadESPVolumesFromPlist();
    ASSERT_EQ(ids(volumes), (std::vector<std::string>{"disk0s1", "disk0s3", "disk0s5"}));
    EXPECT_EQ(volumes[0].mountPoint, "/Volumes/EFI"); // the list's, before the information's
    EXPECT_EQ(volumes[1].sizeBytes, 300);             // from the information when the list has none
    EXPECT_EQ(volumes[1].filesystem, "FAT32");
    EXPECT_EQ(volumes[2].mountPoint, std::nullopt);
    EXPECT_EQ(volumes[2].filesystem, "EFI");   // nothing better known
    EXPECT_EQ(volumes[2].parentName, "disk0"); // no information for the disk
}

TEST_F(ScanTest, DiskInfoMustDescribeTheRequestedDevice) {
    const PlistValue other(PlistDictionary{{"DeviceIdentifier", "disk1s1"}, {"Content", "EFI"}});
    tools_.answer(disktool::infoPlist("disk0s1"), other);
    EXPECT_EQ(
        errorText([&] { scanner().diskInfoUncached("disk0s1"); }),
        "Tesselwick 65: diskutil returned disk-info for disk1s1 while disk0s1 was requested.");
    // Best effort turns the mismatch into "no information".
    EXPECT_TRUE(scanner().bestEffortDiskInfo("disk0s1").empty());
    tools_.answer(disktool::infoPlist("disk0s1"), PlistValue(PlistArray{"x"}));
    EXPECT_EQ(errorText([&] { scanner().diskInfoUncached("disk0s1"); }),
              "Tesselwick 65: diskutil returned an unexpected disk-info property list for "
              "disk0s1.");
    // Not a disk reference: nothing is run.
    EXPECT_TRUE(scanner().diskInfoUncached("/dev/disk0").empty());
    EXPECT_EQ(tools_.calls().size(), 3u);
}

TEST_F(ScanTest, TextGrammar) {
    const std::string text = "   1:  EFI EFI  209.7 MB   disk0s1\n" // before any header
                             "/dev/disk0 (internal):\n"
                             "   1:                        EFI EFI    209.7 MB   disk0s1\n"
                             "   2:  Apple_APFS Container disk1   1 TB   disk0s2\n"
                             "   2:  Apple_APFS Container disk1   1 TB   disk0s2\n" // repeated
                             "   3:  NotEFIAtAll   1 GB   disk0s3\n" // EFI inside a word
                             "   4:  EFI EFI   1 GB   disk1s4\n"     // another disk's partition
                             "/dev/disk0s2 (a partition as header):\n"
                             "   1:  EFI EFI  209.7 MB   disk0s9\n" // under an invalid header
                             "/dev/disk2\r\n"
                             "   1:  EFI NO NAME   100 MB   disk2s1\r\n";
    EXPECT_EQ(partitionIDsByParentFromText(text),
              (std::map<std::string, std::vector<std::string>>{
                  {"disk0", {"disk0s1", "disk0s2", "disk0s3"}}, {"disk2", {"disk2s1"}}}));
    tools_.answer(disktool::listText(), text);
    for (const char* id : {"disk0s1", "disk2s1", "disk0s3", "disk1s4", "disk0s9"}) {
        answerInfo(id, {{"Content", "EFI"}, {"TotalSize", 100}});
    }
    noImages();
    const auto volumes = scanner().loadESPVolumesFromText();
    EXPECT_EQ(ids(volumes), (std::vector<std::string>{"disk0s1", "disk2s1"}));
    // No information for the parent: its size is taken from the partition.
    EXPECT_EQ(volumes[0].parentSizeBytes, 100);
    // Output that is not UTF-8 is no table at all.
    tools_.answer(disktool::listText(), std::string("/dev/disk0\n 1: EFI EFI 1 MB disk0s1 \xff\n"));
    EXPECT_TRUE(scanner().loadESPVolumesFromText().empty());
}

// An MBR stick whose mounted ESP only its disk information shows mounted.
TEST_F(ScanTest, MountPointKnownOnlyToDiskInformation) {
    tools_.answer(disktool::listPlist(),
                  listRoot(PlistArray{PlistDictionary{
                      {"Content", "FDisk_partition_scheme"},
                      {"DeviceIdentifier", "disk2"},
                      {"Partitions", PlistArray{PlistDictionary{{"Content", "EFI"},
                                                                {"DeviceIdentifier", "disk2s1"},
                                                                {"VolumeName", "EFI"}}}}}}));
    answerInfo("disk2", {{"Internal", false}, {"Content", "FDisk_partition_scheme"}});
    answerInfo("disk2s1", fat32ESP({{"MountPoint", mount_.string()}}));
    noImages();
    const auto volumes = scanner().loadESPVolumes();
    ASSERT_EQ(ids(volumes), std::vector<std::string>{"disk2s1"});
    EXPECT_EQ(volumes[0].mountPoint, mount_.string());
    EXPECT_EQ(volumes[0].bootloader, "OC");
    EXPECT_EQ(volumes[0].parentName, "disk2"); // the map's scheme is no disk name
}

TEST_F(ScanTest, RepeatedRowsPublishOneESP) {
    const PlistDictionary disk{
        {"DeviceIdentifier", "disk0"},
        {"Partitions",
         PlistArray{PlistDictionary{{"Content", "EFI"}, {"DeviceIdentifier", "disk0s1"}}}}};
    tools_.answer(disktool::listPlist(), listRoot(PlistArray{disk, disk}));
    const std::string section = "/dev/disk0 (internal, physical):\n"
                                "   1:                        EFI EFI     209.7 MB   disk0s1\n";
    tools_.answer(disktool::listText(), section + section);
    answerInfo("disk0s1", fat32ESP());
    noImages();
    EXPECT_EQ(ids(scanner().loadESPVolumesFromPlist()), std::vector<std::string>{"disk0s1"});
    EXPECT_EQ(ids(scanner().loadESPVolumesFromText()), std::vector<std::string>{"disk0s1"});
}
