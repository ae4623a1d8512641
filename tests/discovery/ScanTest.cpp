// GCC 12 reports false maybe-uninitialized warnings when moving property-list
// values into arrays here, when optimising with the thread sanitizer.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "FakeTools.h"
#include "discovery/VolumeScan.h"
#include "doubles/ManualClock.h"
#include "support/ErrorText.h"
#include "support/Task.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace tesselwick;
using namespace tesselwick::discovery;
using tesselwick::testing::errorText;
using tesselwick::testing::FakeTools;
using tesselwick::testing::fat32ESP;
using tesselwick::testing::ids;
using tesselwick::testing::twelveDiskMac;
namespace disktool = tesselwick::process::disktool;

namespace {

PlistValue listRoot(PlistArray disks) {
    return PlistDictionary{{"AllDisksAndPartitions", std::move(disks)},
                           {"WholeDisks", PlistArray{"disk0"}}};
}

// Fixture: the tools, fresh caches on a clock that does not move unless told,
// and a real folder standing in for a mounted ESP with an OpenCore folder.
class ScanTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(mount_ / "EFI" / "OC"); }

    // One lookup at a time where the test needs to know which ran before which.
    VolumeScanner scanner(std::size_t lookups = VolumeScanner::defaultLookupConcurrency) {
        return VolumeScanner(tools_.runner(), infoCache_, imageCache_, lookups);
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
    tesselwick::testing::TempDir mountDir_;
    std::filesystem::path mount_ = mountDir_.path();
};

// Recorded output of real Macs, kept outside the repository: beside a checkout
// (../shared) or a worktree (../../shared). None when it is not there.
std::optional<std::string> realMacRecording(const std::string& name) {
    const std::filesystem::path source(TESSELWICK_SOURCE_DIR);
    for (const auto& folder :
         {source / "../shared/fixtures/real-macos", source / "../../shared/fixtures/real-macos"}) {
        if (std::ifstream stream{folder / name, std::ios::binary}) {
            std::ostringstream bytes;
            bytes << stream.rdbuf();
            return bytes.str();
        }
    }
    return std::nullopt;
}

} // namespace

// What the scan tells of each whole disk in lists recorded on real Macs. Only the
// lists are answered (and, for a table, its one ESP): every other lookup fails.
TEST_F(ScanTest, DiskReportsOfRealMacRecordings) {
    using enum DiskReport::Kind;
    const char* const gpt = "GUID_partition_scheme";
    const std::string toContainer = "APFS container: its ESP is on disk0 (the physical store)";
    struct Row {
        const char* recording;
        DiskReport expected;
    } rows[] = {
        {"list-plist.hstimager-usbide.plist",
         {"disk0", "disk0", 512110190592, internal, gpt, {"disk0s1"}, {}}},
        {"list-plist.hstimager-usbide.plist",
         {"disk1", "disk1", 511900434432, apfsContainer, "APFS Container Scheme", {}, toContainer}},
        // An external USB adapter; the list does not say where it is attached, and
        // nothing else is read.
        {"list-plist.hstimager-usbide.plist",
         {"disk2",
          "disk2",
          128035676160,
          unknown,
          "FDisk_partition_scheme",
          {},
          "MBR disk without an EFI partition"}},
        // A stick formatted without a map, its size a <real>.
        {"list-plist.hstimager-usbstick.plist",
         {"disk2", "NO NAME", 15682240512, unknown, "none", {}, "no partition map"}},
        {"list-plist.getdevinfo-vbox.plist",
         {"disk0", "disk0", 42948853248, internal, gpt, {"disk0s1"}, {}}},
        // A header without a parenthesis.
        {"list-text.inqry-yosemite.txt",
         {"disk0", "disk0", 42900000000, internal, gpt, {"disk0s1"}, {}}},
        {"list-text.seamusdemora-mbp2011-after-ubuntu.txt",
         {"disk1", "disk1", 753000000000, apfsContainer, "APFS Container Scheme", {}, toContainer}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.recording) + " " + row.expected.id);
        const auto recording = realMacRecording(row.recording);
        if (!recording) {
            GTEST_SKIP() << "recorded real-Mac output is not in ../shared/fixtures/real-macos";
        }
        FakeTools tools;
        if (std::string_view(row.recording).starts_with("list-plist")) {
            tools.answer(disktool::listPlist(), *recording);
        } else {
            tools.fail(disktool::listPlist(), 1, "diskutil list -plist failed");
            tools.answer(disktool::listText(), *recording);
            tesselwick::testing::answerInfo(tools, "disk0s1", fat32ESP());
        }
        DiskInfoCache infoCache(clock_);
        DiskImageMapCache imageCache(clock_);
        std::vector<DiskReport> disks;
        VolumeScanner(tools.runner(), infoCache, imageCache).loadESPVolumes(&disks);
        const auto found = std::find_if(disks.begin(), disks.end(), [&](const DiskReport& d) {
            return d.id == row.expected.id;
        });
        ASSERT_NE(found, disks.end());
        EXPECT_EQ(*found, row.expected);
    }
}

TEST_F(ScanTest, BrokenPartitionListFallsBackOrReportsItsError) {
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
    twelveDiskMac(tools_);
    const TaskHandle task = TaskHandle::makeUnstarted();
    tools_.beforeEach([&](const std::string& line) {
        if (line == FakeTools::key(disktool::infoPlist("disk1s1"))) {
            task.cancel();
        }
    });
    asTask(task, [&] { EXPECT_THROW(scanner(1).loadESPVolumes(), CancellationError); });
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
        // No image map for this scan: disk9 is not known as an image.
        {disktool::imageInfoPlist(), false},
    };
    twelveDiskMac(tools_);
    const auto expected = scanner(1).loadESPVolumes();
    for (const Case& c : cases) {
        infoCache_.invalidate();
        imageCache_.invalidate();
        bool invalidated = false;
        tools_.beforeEach([&](const std::string& line) {
            if (!invalidated && line == FakeTools::key(c.overtaken)) {
                invalidated = true;
                imageCache_.invalidate();
                infoCache_.invalidate();
            }
        });
        const auto volumes = scanner(1).loadESPVolumes();
        EXPECT_TRUE(invalidated);
        EXPECT_EQ(volumes.size(), expected.size());
        EXPECT_EQ(volumes == expected, c.sameRecords);
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
                 // A second real ESP, reported mounted at "/" (treated as not mounted),
                 // listed twice: published once.
                 PlistDictionary{
                     {"Content", "EFI"}, {"DeviceIdentifier", "disk0s5"}, {"MountPoint", "/"}},
                 PlistDictionary{{"Content", "EFI"}, {"DeviceIdentifier", "disk0s5"}},
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
                             "   1:                        EFI EFI    209.7 MB   disk0s1\n" // again
                             "   2:  Apple_APFS Container disk1   1 TB   disk0s2\n"
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
    // A second scan inside the freshness windows reads only the partition list.
    const auto asked = tools_.calls().size();
    EXPECT_EQ(scanner().loadESPVolumes(), volumes);
    EXPECT_EQ(tools_.calls().size(), asked + 1);
}
