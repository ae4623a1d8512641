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
namespace disktool = tesselwick::process::disktool;

namespace {

const char* const kContainerGUID = "EF57347C-0000-11AA-AA11-00306543ECAC";
const char* const kImagePath = "/Users/me/Images/Test Disk.dmg";

PlistValue listRoot(PlistArray disks) {
    return PlistDictionary{{"AllDisksAndPartitions", std::move(disks)},
                           {"WholeDisks", PlistArray{"disk0"}}};
}

// A FAT32 ESP's information as diskutil reports it, plus `values`.
PlistDictionary fat32ESP(PlistDictionary values) {
    values.insert({{"Content", "EFI"},
                   {"FilesystemName", "msdos"},
                   {"FilesystemUserVisibleName", "MS-DOS (FAT32)"},
                   {"VolumeName", "EFI"}});
    return values;
}

PlistValue info(std::string id, PlistDictionary values) {
    values.insert_or_assign("DeviceIdentifier", std::move(id));
    return values;
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

    // A Mac that boots macOS from an APFS container on disk0 (OpenCore ESP mounted),
    // with a Windows disk, a Linux USB disk, an attached image holding an ESP, and
    // an external APFS disk without an ESP.
    void multiBootMac() {
        tools_.answer(disktool::listPlist(), multiBootList());
        answerInfo("disk0", {{"MediaName", "APPLE SSD AP0512Q"},
                             {"Internal", true},
                             {"TotalSize", 500107862016},
                             {"Content", "GUID_partition_scheme"}});
        answerInfo("disk0s1",
                   fat32ESP({{"MountPoint", mount_.string()}, {"TotalSize", 209715200}}));
        answerInfo("disk0s2", {{"Content", "Apple_APFS"}, {"TotalSize", 499898105856}});
        answerInfo("disk1", {{"MediaName", "Samsung SSD 860 EVO 1TB"},
                             {"Internal", true},
                             {"TotalSize", 1000204886016}});
        answerInfo("disk1s1", fat32ESP({{"MountPoint", ""}, {"TotalSize", 104857600}}));
        answerInfo("disk1s2", {{"Content", "Microsoft Reserved"}, {"TotalSize", 16777216}});
        answerInfo("disk1s3", {{"Content", "Microsoft Basic Data"},
                               {"FilesystemName", "ntfs"},
                               {"FilesystemUserVisibleName", "Windows NT File System (NTFS)"},
                               {"VolumeName", "Windows"}});
        answerInfo("disk2", {{"MediaName", "SanDisk Ultra"},
                             {"Internal", false},
                             {"DeviceLocation", "External"},
                             {"TotalSize", 32010928128}});
        answerInfo("disk2s1", {{"Content", "EFI"},
                               {"FilesystemName", "msdos"},
                               {"IORegistryEntryName", "EFI System Partition"},
                               {"TotalSize", 536870912}});
        answerInfo("disk2s2", {{"Content", "Linux Filesystem"}});
        answerInfo("disk4",
                   {{"MediaName", "Apple UDIF read-write Media"}, {"TotalSize", 1073741824}});
        answerInfo("disk4s1", fat32ESP({{"TotalSize", 209715200}}));
        answerInfo("disk4s2", {{"Content", "Microsoft Basic Data"},
                               {"FilesystemName", "exfat"},
                               {"FilesystemUserVisibleName", "ExFAT"},
                               {"VolumeName", "Payload"}});
        tools_.answer(
            disktool::imageInfoPlist(),
            PlistValue(PlistDictionary{
                {"framework", "683.100.3"},
                {"images", PlistArray{PlistDictionary{
                               {"image-path", kImagePath},
                               {"system-entities",
                                PlistArray{PlistDictionary{{"dev-entry", "/dev/disk4"}},
                                           PlistDictionary{{"dev-entry", "/dev/disk4s1"}},
                                           PlistDictionary{{"dev-entry", "/dev/disk4s2"}}}}}}}}));
    }

    PlistValue multiBootList() {
        return listRoot(PlistArray{
            PlistDictionary{
                {"Content", "GUID_partition_scheme"},
                {"DeviceIdentifier", "disk0"},
                {"OSInternal", false},
                {"Size", 500107862016},
                {"Partitions", PlistArray{PlistDictionary{{"Content", "EFI"},
                                                          {"DeviceIdentifier", "disk0s1"},
                                                          {"VolumeName", "EFI"},
                                                          {"MountPoint", mount_.string()},
                                                          {"Size", 209715200}},
                                          PlistDictionary{{"Content", "Apple_APFS"},
                                                          {"DeviceIdentifier", "disk0s2"},
                                                          {"Size", 499898105856}}}}},
            PlistDictionary{
                {"Content", "GUID_partition_scheme"},
                {"DeviceIdentifier", "disk1"},
                {"Size", 1000204886016},
                {"Partitions", PlistArray{PlistDictionary{{"Content", "EFI"},
                                                          {"DeviceIdentifier", "disk1s1"},
                                                          {"VolumeName", "EFI"},
                                                          {"Size", 104857600}},
                                          PlistDictionary{{"Content", "Microsoft Reserved"},
                                                          {"DeviceIdentifier", "disk1s2"},
                                                          {"Size", 16777216}},
                                          PlistDictionary{{"Content", "Microsoft Basic Data"},
                                                          {"DeviceIdentifier", "disk1s3"},
                                                          {"VolumeName", "Windows"},
                                                          {"Size", 1000083079168}}}}},
            PlistDictionary{
                {"Content", "GUID_partition_scheme"},
                {"DeviceIdentifier", "disk2"},
                {"Size", 32010928128.0}, // printed as <real> by some versions
                {"Partitions", PlistArray{PlistDictionary{{"Content", "EFI"},
                                                          {"DeviceIdentifier", "disk2s1"},
                                                          {"Size", 536870912}},
                                          PlistDictionary{{"Content", "Linux Filesystem"},
                                                          {"DeviceIdentifier", "disk2s2"},
                                                          {"Size", 31473008640}}}}},
            PlistDictionary{
                {"APFSPhysicalStores",
                 PlistArray{PlistDictionary{{"DeviceIdentifier", "disk0s2"}}}},
                {"APFSVolumes", PlistArray{PlistDictionary{{"DeviceIdentifier", "disk3s1"},
                                                           {"MountPoint", "/System/Volumes/Data"},
                                                           {"MountedSnapshots", PlistArray{}}},
                                           PlistDictionary{{"DeviceIdentifier", "disk3s5"},
                                                           {"MountedSnapshots",
                                                            PlistArray{PlistDictionary{
                                                                {"SnapshotBSD", "disk3s5s1"},
                                                                {"SnapshotMountPoint", "/"}}}}}}},
                {"Content", kContainerGUID},
                {"DeviceIdentifier", "disk3"},
                {"Partitions", PlistArray{}},
                {"Size", 499898105856}},
            PlistDictionary{
                {"Content", "GUID_partition_scheme"},
                {"DeviceIdentifier", "disk4"},
                {"Size", 1073741824},
                {"Partitions", PlistArray{PlistDictionary{{"Content", "EFI"},
                                                          {"DeviceIdentifier", "disk4s1"},
                                                          {"VolumeName", "EFI"},
                                                          {"Size", 209715200}},
                                          PlistDictionary{{"Content", "Microsoft Basic Data"},
                                                          {"DeviceIdentifier", "disk4s2"},
                                                          {"VolumeName", "Payload"},
                                                          {"Size", 863000000}}}}},
            PlistDictionary{
                {"Content", "GUID_partition_scheme"},
                {"DeviceIdentifier", "disk5"},
                {"Size", 2000398934016},
                {"Partitions", PlistArray{PlistDictionary{{"Content", "Apple_APFS"},
                                                          {"DeviceIdentifier", "disk5s2"}}}}},
        });
    }

    std::string multiBootText() {
        return "/dev/disk0 (internal, physical):\n"
               "   #:                       TYPE NAME                    SIZE       IDENTIFIER\n"
               "   0:      GUID_partition_scheme                        *500.1 GB   disk0\n"
               "   1:                        EFI EFI                     209.7 MB   disk0s1\n"
               "   2:                 Apple_APFS Container disk3         499.9 GB   disk0s2\n"
               "\n"
               "/dev/disk3 (synthesized):\n"
               "   #:                       TYPE NAME                    SIZE       IDENTIFIER\n"
               "   0:      APFS Container Scheme -                      +499.9 GB   disk3\n"
               "                                 Physical Store disk0s2\n"
               "   1:                APFS Volume Data                    300.0 GB   disk3s1\n"
               "\n"
               "/dev/disk1 (internal, physical):\n"
               "   0:      GUID_partition_scheme                        *1.0 TB     disk1\n"
               "   1:                        EFI EFI                     104.9 MB   disk1s1\n"
               "   2:         Microsoft Reserved                         16.8 MB    disk1s2\n"
               "   3:       Microsoft Basic Data Windows                 1.0 TB     disk1s3\n"
               "\n"
               "/dev/disk2 (external, physical):\n"
               "   0:      GUID_partition_scheme                        *32.0 GB    disk2\n"
               "   1:                        EFI                         536.9 MB   disk2s1\n"
               "   2:           Linux Filesystem                         31.5 GB    disk2s2\n"
               "\n"
               "/dev/disk4 (disk image):\n"
               "   0:      GUID_partition_scheme                        +1.1 GB     disk4\n"
               "   1:                        EFI EFI                     209.7 MB   disk4s1\n"
               "   2:       Microsoft Basic Data Payload                 863.0 MB   disk4s2\n";
    }

    std::vector<ESPVolume> multiBootExpected() {
        auto esp = [](std::string id, std::string parentName, std::string partitionName,
                      std::int64_t size, std::int64_t parentSize, std::string filesystem,
                      std::string host, std::string os, bool internal) {
            ESPVolume v;
            v.id = v.diskIdentifier = id;
            v.parentIdentifier = id.substr(0, id.rfind('s'));
            v.parentName = std::move(parentName);
            v.partitionName = std::move(partitionName);
            v.sizeBytes = size;
            v.parentSizeBytes = parentSize;
            v.filesystem = std::move(filesystem);
            v.hostFilesystem = std::move(host);
            v.installedOS = std::move(os);
            v.isInternal = internal;
            return v;
        };
        ESPVolume mac = esp("disk0s1", "APPLE SSD AP0512Q", "EFI", 209715200, 500107862016, "FAT32",
                            "APFS", "macOS", true);
        mac.mountPoint = mount_.string();
        mac.bootRole = "Boot Disk";
        mac.bootloader = "OC";
        ESPVolume image = esp("disk4s1", "Test Disk", "EFI", 209715200, 1073741824, "FAT32",
                              "ExFAT", "Disk Image", false);
        image.isDiskImage = true;
        image.imagePath = kImagePath;
        return {mac,
                esp("disk1s1", "Samsung SSD 860 EVO 1TB", "EFI", 104857600, 1000204886016, "FAT32",
                    "NTFS", "Windows", true),
                image,
                // Only the short name "msdos" is known, which is no display name: the
                // ESP stays "EFI".
                esp("disk2s1", "SanDisk Ultra", "EFI System Partition", 536870912, 32010928128,
                    "EFI", "Linux FS", "Linux", false)};
    }

    void answerInfo(const std::string& id, PlistDictionary values) {
        tools_.answer(disktool::infoPlist(id), info(id, std::move(values)));
    }

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
    const auto expected = multiBootExpected();
    ASSERT_EQ(ids(volumes), ids(expected));
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(volumes[i], expected[i]) << expected[i].diskIdentifier;
    }
    // Each disk and partition asked once, the image list once; nothing about the
    // disk without an ESP and nothing through the text route.
    for (const char* id : {"disk0", "disk0s1", "disk0s2", "disk1", "disk1s1", "disk1s2", "disk1s3",
                           "disk2", "disk2s1", "disk2s2", "disk4", "disk4s1", "disk4s2"}) {
        EXPECT_EQ(tools_.count(disktool::infoPlist(id)), 1) << id;
    }
    EXPECT_EQ(tools_.count(disktool::infoPlist("disk5s2")), 0);
    EXPECT_EQ(tools_.count(disktool::imageInfoPlist()), 1);
    EXPECT_EQ(tools_.count(disktool::listText()), 0);
    EXPECT_EQ(tools_.calls().size(), 15u);
    for (double timeout : tools_.timeouts()) {
        EXPECT_EQ(timeout, 10.0);
    }

    // A second scan inside the freshness windows reads only the partition list.
    EXPECT_EQ(scanner().loadESPVolumes(), volumes);
    EXPECT_EQ(tools_.calls().size(), 16u);
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
    EXPECT_EQ(tools_.count(disktool::imageInfoPlist()), 1);
    EXPECT_EQ(tools_.count(disktool::infoPlist("disk5s2")), 0);
    EXPECT_EQ(tools_.count(disktool::infoPlist("disk3")), 0);
}

TEST_F(ScanTest, BrokenPartitionListFallsBackOrReportsItsError) {
    multiBootMac();
    tools_.answer(disktool::listPlist(), PlistValue(PlistDictionary{{"WholeDisks", PlistArray{}}}));
    tools_.answer(disktool::listText(), multiBootText());
    EXPECT_EQ(scanner().loadESPVolumes().size(), 4u);

    // The fallback finds nothing: the property-list error is what is reported.
    tools_.answer(disktool::listText(), "/dev/disk5 (external, physical):\n"
                                        "   2:  Apple_APFS Container disk6  2.0 TB  disk5s2\n");
    EXPECT_EQ(errorText([&] { scanner().loadESPVolumes(); }),
              "Tesselwick 65: diskutil returned an unexpected partition-list property list.");

    // Not a property list at all: the parser's error, also kept over an empty fallback.
    tools_.answer(disktool::listPlist(), std::string("garbage"));
    EXPECT_TRUE(errorText([&] {
                    scanner().loadESPVolumes();
                }).starts_with(std::string(kPlistErrorDomain) + " "));

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
}

// A load that a mount's invalidation overtakes is reported by the cache as a
// cancellation; that lookup finds nothing, but the scan itself goes on.
TEST_F(ScanTest, OvertakenCacheLoadOnlyEmptiesThatLookup) {
    struct Case {
        const char* name;
        disktool::Command overtaken;
        bool sameRecords;
    };
    const Case cases[] = {
        // Candidate enrichment of disk0s1 finds nothing; the list entry alone keeps
        // it a candidate and the next lookup loads it again.
        {"partition information", disktool::infoPlist("disk0s1"), true},
        // No image map for this scan: disk4 is not known as an image.
        {"image map", disktool::imageInfoPlist(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
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
        if (c.sameRecords) {
            EXPECT_EQ(volumes, multiBootExpected());
        } else {
            EXPECT_EQ(volumes.size(), 4u);
        }
        EXPECT_EQ(tools_.count(disktool::listText()), 0);
        tools_.beforeEach(nullptr);
    }
}

// A cancelled task reads no image list, even with nothing cached.
TEST_F(ScanTest, CancelledTaskAsksForNoImageMap) {
    multiBootMac();
    const TaskHandle task = TaskHandle::makeUnstarted();
    task.cancel();
    asTask(task, [&] { EXPECT_THROW(scanner().diskImageMap(), CancellationError); });
    EXPECT_EQ(tools_.count(disktool::imageInfoPlist()), 0);
}

TEST_F(ScanTest, TwoESPsOnOneDiskAndANonFATPartitionNamedEFI) {
    tools_.answer(
        disktool::listPlist(),
        listRoot(PlistArray{PlistDictionary{
            {"DeviceIdentifier", "disk0"},
            {"Size", 1000},
            {"Partitions",
             PlistArray{
                 PlistDictionary{{"Content", "EFI"}, {"DeviceIdentifier", "disk0s1"}, {"Size", 10}},
                 // Named EFI but HFS+: a candidate, dropped once its filesystem is known.
                 PlistDictionary{{"Content", "Apple_HFS"},
                                 {"DeviceIdentifier", "disk0s2"},
                                 {"VolumeName", "EFI"}},
                 // Named " efi " on a basic data partition that is FAT32: kept.
                 PlistDictionary{{"Content", "Microsoft Basic Data"},
                                 {"DeviceIdentifier", "disk0s3"},
                                 {"VolumeName", " efi "},
                                 {"Size", true}}, // a boolean is not a size
                 // Named EFI but its information is unavailable: dropped.
                 PlistDictionary{{"Content", "Microsoft Basic Data"},
                                 {"DeviceIdentifier", "disk0s4"},
                                 {"VolumeName", "EFI"}},
                 // A second real ESP, reported mounted at "/" (treated as not mounted).
                 PlistDictionary{
                     {"Content", "EFI"}, {"DeviceIdentifier", "disk0s5"}, {"MountPoint", "/"}},
                 // Belongs to another disk: ignored.
                 PlistDictionary{{"Content", "EFI"}, {"DeviceIdentifier", "disk9s1"}},
             }}}}));
    answerInfo("disk0s1", {{"FilesystemName", "msdos"}});
    answerInfo("disk0s2", {{"FilesystemName", "hfs"}, {"Content", "Apple_HFS"}});
    answerInfo("disk0s3", {{"FilesystemName", "msdos"},
                           {"FilesystemUserVisibleName", "MS-DOS (FAT32)"},
                           {"TotalSize", 300}});
    answerInfo("disk0s5", {{"MountPoint", "not mounted"}});
    tools_.answer(disktool::imageInfoPlist(),
                  PlistValue(PlistDictionary{{"images", PlistArray{}}}));

    const auto volumes = scanner().loadESPVolumesFromPlist();
    ASSERT_EQ(ids(volumes), (std::vector<std::string>{"disk0s1", "disk0s3", "disk0s5"}));
    EXPECT_EQ(volumes[1].sizeBytes, 300); // from the information when the list has none
    EXPECT_EQ(volumes[1].filesystem, "FAT32");
    EXPECT_EQ(volumes[1].partitionName, "efi");
    EXPECT_EQ(volumes[2].mountPoint, std::nullopt);
    EXPECT_EQ(volumes[2].sizeBytes, 0);
    EXPECT_EQ(volumes[2].filesystem, "EFI");   // nothing better known
    EXPECT_EQ(volumes[2].parentName, "disk0"); // no information for the disk
    EXPECT_EQ(volumes[0].hostFilesystem, "HFS+");
    EXPECT_EQ(volumes[0].installedOS, "macOS");
    EXPECT_TRUE(volumes[0].isInternal); // nothing says otherwise
    EXPECT_EQ(tools_.count(disktool::infoPlist("disk9s1")), 0);
}

TEST_F(ScanTest, DiskInfoMustDescribeTheRequestedDevice) {
    tools_.answer(disktool::infoPlist("disk0s1"), info("disk1s1", {{"Content", "EFI"}}));
    EXPECT_EQ(
        errorText([&] { scanner().diskInfoUncached("disk0s1"); }),
        "Tesselwick 65: diskutil returned disk-info for disk1s1 while disk0s1 was requested.");
    // Without a reported identifier the request's is filled in.
    tools_.answer(disktool::infoPlist("disk0s1"),
                  PlistValue(PlistDictionary{{"Content", "EFI"}, {"DeviceIdentifier", "  "}}));
    EXPECT_EQ(*stringValue(scanner().diskInfoUncached("disk0s1"), "DeviceIdentifier"), "disk0s1");
    // Shapes that are not one device's information.
    for (const PlistValue& shape : {PlistValue(PlistDictionary{}), PlistValue(PlistArray{"x"})}) {
        tools_.answer(disktool::infoPlist("disk0s1"), shape);
        EXPECT_EQ(errorText([&] { scanner().diskInfoUncached("disk0s1"); }),
                  "Tesselwick 65: diskutil returned an unexpected disk-info property list for "
                  "disk0s1.");
    }
    // Not a disk reference: nothing is run.
    const auto before = tools_.calls().size();
    EXPECT_TRUE(scanner().diskInfoUncached("/dev/disk0").empty());
    EXPECT_TRUE(scanner().diskInfoUncached(" disk0").empty());
    EXPECT_TRUE(scanner().bestEffortDiskInfo("disk0s1s2").empty());
    EXPECT_EQ(tools_.calls().size(), before);
    // Best effort turns the mismatch into "no information" and caches nothing.
    tools_.answer(disktool::infoPlist("disk0s1"), info("disk1s1", {}));
    EXPECT_TRUE(scanner().bestEffortDiskInfo("disk0s1").empty());
    EXPECT_FALSE(infoCache_.contains("disk0s1"));
}

TEST_F(ScanTest, ImageListShapes) {
    const PlistValue list(PlistDictionary{
        {"images",
         PlistArray{
             PlistDictionary{
                 {"image-path", "relative/Other.dmg"}, // not absolute: ignored
                 {"system-entities", PlistArray{PlistDictionary{{"dev-entry", "/dev/disk8"}}}}},
             PlistDictionary{
                 {"image-path", " /Images/A.dmg "},
                 {"system-entities",
                  PlistArray{PlistDictionary{{"dev-entry", "/dev/disk5s1"}},
                             PlistDictionary{{"dev-entry", "disk6"}},
                             PlistDictionary{{"dev-entry", "/dev/rdisk7"}}, // raw: ignored
                             PlistDictionary{{"content-hint", "EFI"}},      // no device
                             "not a dictionary"}}},
             PlistDictionary{
                 {"image-path", "/Images/B.sparseimage"}, // a later image wins
                 {"system-entities", PlistArray{PlistDictionary{{"dev-entry", "/dev/disk6"}}}}},
             PlistDictionary{{"image-path", "/Images/C.dmg"}}, // no entities
         }}});
    tools_.answer(disktool::imageInfoPlist(), list);
    EXPECT_EQ(scanner().loadDiskImageMap(), (DiskImageMap{{"disk5", "/Images/A.dmg"},
                                                          {"disk5s1", "/Images/A.dmg"},
                                                          {"disk6", "/Images/B.sparseimage"}}));

    // Nothing attached: recent tools leave "images" out entirely. That is an empty
    // map, and it is cached like any other answer.
    tools_.answer(disktool::imageInfoPlist(),
                  PlistValue(PlistDictionary{{"framework", "683.100.3"}}));
    EXPECT_TRUE(scanner().diskImageMap().empty());
    EXPECT_TRUE(scanner().diskImageMap().empty());
    EXPECT_EQ(tools_.count(disktool::imageInfoPlist()), 2);

    // "images" that is not a list of dictionaries is malformed.
    tools_.answer(disktool::imageInfoPlist(),
                  PlistValue(PlistDictionary{{"images", PlistArray{"x"}}}));
    EXPECT_EQ(errorText([&] { scanner().loadDiskImageMap(); }),
              "Tesselwick 65: hdiutil returned an unexpected image-list property list.");
    imageCache_.invalidate();
    EXPECT_TRUE(scanner().diskImageMap().empty()); // best effort: no disk is an image
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
                             "   1:  EFI NO NAME   100 MB   disk2s1\r\n"
                             "   2:  something   disk2s1\n";
    EXPECT_EQ(partitionIDsByParentFromText(text),
              (std::map<std::string, std::vector<std::string>>{
                  {"disk0", {"disk0s1", "disk0s2", "disk0s3"}}, {"disk2", {"disk2s1"}}}));

    tools_.answer(disktool::listText(), text);
    for (const char* id : {"disk0s1", "disk2s1", "disk0s3"}) {
        answerInfo(id, {{"Content", "EFI"}, {"TotalSize", 100}});
    }
    answerInfo("disk1s4", {{"Content", "EFI"}});
    answerInfo("disk0s9", {{"Content", "EFI"}});
    tools_.answer(disktool::imageInfoPlist(), PlistValue(PlistDictionary{}));
    const auto volumes = scanner().loadESPVolumesFromText();
    EXPECT_EQ(ids(volumes), (std::vector<std::string>{"disk0s1", "disk2s1"}));
    EXPECT_EQ(tools_.count(disktool::infoPlist("disk0s3")), 1); // asked as a sibling only
    EXPECT_EQ(tools_.count(disktool::infoPlist("disk1s4")), 0);
    EXPECT_EQ(tools_.count(disktool::infoPlist("disk0s9")), 0);
    // No information for the parent: named by its identifier, internal, and its
    // size taken from the partition.
    EXPECT_EQ(volumes[0].parentName, "disk0");
    EXPECT_TRUE(volumes[0].isInternal);
    EXPECT_EQ(volumes[0].parentSizeBytes, 100);

    // Output that is not UTF-8 is no table at all.
    tools_.answer(disktool::listText(), std::string("/dev/disk0\n 1: EFI EFI 1 MB disk0s1 \xff\n"));
    EXPECT_TRUE(scanner().loadESPVolumesFromText().empty());
}

TEST_F(ScanTest, RealMacWithAPFSBootDisk) {
    REQUIRE_FIXTURE(list, "list-plist.hstimager-usbide.plist");
    REQUIRE_FIXTURE(disk0, "info-plist.wholedisk.hstimager-disk0.plist");
    tools_.answer(disktool::listPlist(), list);
    tools_.answer(disktool::infoPlist("disk0"), disk0);
    tools_.answer(disktool::imageInfoPlist(), PlistValue(PlistDictionary{}));
    // Partition information is not recorded for this Mac: the scan must manage
    // with the list alone.
    const auto volumes = scanner().loadESPVolumes();
    ASSERT_EQ(ids(volumes), std::vector<std::string>{"disk0s1"});
    const ESPVolume& v = volumes[0];
    EXPECT_EQ(v.parentName, "INTEL SSDPEKNW512G8");
    EXPECT_EQ(v.partitionName, "EFI");
    EXPECT_EQ(v.sizeBytes, 209715200);
    EXPECT_EQ(v.parentSizeBytes, 512110190592);
    EXPECT_EQ(v.filesystem, "EFI");
    EXPECT_EQ(v.hostFilesystem, "APFS");
    EXPECT_EQ(v.installedOS, "macOS");
    EXPECT_EQ(v.bootRole, "Boot Disk"); // through the container's physical store
    EXPECT_TRUE(v.isInternal);
    EXPECT_FALSE(v.mountPoint);
    // The external MBR disk has no ESP and is never looked into.
    EXPECT_EQ(tools_.count(disktool::infoPlist("disk2s1")), 0);
}

TEST_F(ScanTest, RealPreAPFSMacBootsFromHFS) {
    REQUIRE_FIXTURE(list, "list-plist.getdevinfo-vbox.plist");
    REQUIRE_FIXTURE(disk0, "info-plist.wholedisk.getdevinfo-vbox-disk0.plist");
    REQUIRE_FIXTURE(images, "hdiutil-info.bladerunner-macos15-empty.plist");
    tools_.answer(disktool::listPlist(), list);
    tools_.answer(disktool::infoPlist("disk0"), disk0);
    tools_.answer(disktool::imageInfoPlist(), images);
    const auto volumes = scanner().loadESPVolumes();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].parentName, "VBOX HARDDISK");
    EXPECT_EQ(volumes[0].hostFilesystem, "HFS+");
    EXPECT_EQ(volumes[0].installedOS, "macOS");
    EXPECT_EQ(volumes[0].bootRole, "Boot Disk");
    EXPECT_FALSE(volumes[0].isDiskImage);
}

TEST_F(ScanTest, RealTextTables) {
    REQUIRE_FIXTURE(after, "list-text.seamusdemora-mbp2011-after-ubuntu.txt");
    REQUIRE_FIXTURE(yosemite, "list-text.inqry-yosemite.txt");
    EXPECT_EQ(partitionIDsByParentFromText(after),
              (std::map<std::string, std::vector<std::string>>{
                  {"disk0", {"disk0s1", "disk0s2", "disk0s3", "disk0s4", "disk0s5"}},
                  {"disk1", {"disk1s1", "disk1s2", "disk1s3", "disk1s4"}}}));
    // A bare "/dev/disk0" header without the parenthesis.
    EXPECT_EQ(partitionIDsByParentFromText(yosemite).at("disk0"),
              (std::vector<std::string>{"disk0s1", "disk0s2", "disk0s3"}));

    tools_.answer(disktool::listText(), after);
    answerInfo("disk0s1", {{"Content", "EFI"}, {"FilesystemName", "msdos"}, {"VolumeName", "EFI"}});
    tools_.answer(disktool::imageInfoPlist(), PlistValue(PlistDictionary{}));
    const auto volumes = scanner().loadESPVolumesFromText();
    ASSERT_EQ(ids(volumes), std::vector<std::string>{"disk0s1"});
    EXPECT_EQ(volumes[0].installedOS, "Unknown OS"); // sibling information not recorded
}

TEST_F(ScanTest, MountPointKnownOnlyToDiskInformation) {
    // The partition list leaves MountPoint out of the mounted ESP; its disk information has it.
    tools_.answer(disktool::listPlist(),
                  listRoot(PlistArray{PlistDictionary{
                      {"Content", "GUID_partition_scheme"},
                      {"DeviceIdentifier", "disk0"},
                      {"Size", 500107862016},
                      {"Partitions", PlistArray{PlistDictionary{{"Content", "EFI"},
                                                                {"DeviceIdentifier", "disk0s1"},
                                                                {"VolumeName", "EFI"},
                                                                {"Size", 209715200}}}}}}));
    answerInfo("disk0", {{"MediaName", "APPLE SSD AP0512Q"}, {"Internal", true}});
    answerInfo("disk0s1", fat32ESP({{"MountPoint", mount_.string()}}));
    tools_.answer(disktool::imageInfoPlist(), PlistValue(PlistDictionary{}));
    const auto volumes = scanner().loadESPVolumes();
    ASSERT_EQ(ids(volumes), std::vector<std::string>{"disk0s1"});
    EXPECT_EQ(volumes[0].mountPoint, mount_.string());
    EXPECT_EQ(volumes[0].bootloader, "OC");
}

TEST_F(ScanTest, RepeatedRowsPublishOneESP) {
    const PlistDictionary disk{
        {"Content", "GUID_partition_scheme"},
        {"DeviceIdentifier", "disk0"},
        {"Partitions",
         PlistArray{PlistDictionary{
             {"Content", "EFI"}, {"DeviceIdentifier", "disk0s1"}, {"Size", 209715200}}}}};
    // the partition list names the disk twice
    tools_.answer(disktool::listPlist(), listRoot(PlistArray{disk, disk}));
    // the text table repeats the disk's section
    const std::string section = "/dev/disk0 (internal, physical):\n"
                                "   1:                        EFI EFI     209.7 MB   disk0s1\n";
    tools_.answer(disktool::listText(), section + section);
    answerInfo("disk0s1", fat32ESP({}));
    tools_.answer(disktool::imageInfoPlist(), PlistValue(PlistDictionary{}));
    EXPECT_EQ(ids(scanner().loadESPVolumesFromPlist()), std::vector<std::string>{"disk0s1"});
    EXPECT_EQ(ids(scanner().loadESPVolumesFromText()), std::vector<std::string>{"disk0s1"});
}
