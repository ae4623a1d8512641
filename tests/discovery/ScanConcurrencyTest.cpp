#include "doubles/ManualClock.h"
#include "FakeTools.h"
#include "discovery/VolumeScan.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

using namespace tesselwick;
using namespace tesselwick::discovery;
using tesselwick::testing::answerInfo;
using tesselwick::testing::FakeTools;
using tesselwick::testing::fat32ESP;
namespace disktool = tesselwick::process::disktool;

namespace {

constexpr std::size_t kLimit = VolumeScanner::defaultLookupConcurrency;

// Twelve disks, each with an ESP and an HFS+ partition, and what makes lookups
// differ: failing ones (retried), a partition listed twice, a disk listed twice, a
// candidate only by its name (kept on disk3, dropped on disk7), an attached image
// and a disk without candidates.
void twelveDiskMac(FakeTools& tools) {
    PlistArray disks;
    std::string text;
    for (int n = 0; n < 12; ++n) {
        const std::string disk = "disk" + std::to_string(n);
        const std::string esp = disk + "s1";
        const std::string data = disk + "s2";
        PlistDictionary espEntry{{"Content", "EFI"}, {"DeviceIdentifier", esp}};
        if (n % 4 == 3) {
            espEntry = {{"Content", "Microsoft Basic Data"},
                        {"DeviceIdentifier", esp},
                        {"VolumeName", "EFI"}};
        }
        PlistArray partitions{
            espEntry, PlistDictionary{{"Content", "Apple_HFS"}, {"DeviceIdentifier", data}}};
        if (n == 8) {
            partitions.push_back(espEntry);
        }
        if (n == 10) {
            partitions.erase(partitions.begin());
        }
        const PlistDictionary entry{{"DeviceIdentifier", disk}, {"Partitions", partitions}};
        disks.push_back(entry);
        if (n == 4) {
            disks.push_back(entry);
        }
        text += "/dev/" + disk + " (internal, physical):\n";
        if (n != 10) {
            text +=
                "   1:                        EFI EFI                     209.7 MB   " + esp + "\n";
        }
        text +=
            "   2:                  Apple_HFS Mac                     1.0 TB     " + data + "\n";

        answerInfo(tools, disk, {{"MediaName", "Disk " + std::to_string(n)}, {"TotalSize", 1000}});
        PlistDictionary espInfo = fat32ESP();
        if (n == 7) {
            espInfo = {{"Content", "Apple_HFS"}, {"FilesystemName", "hfs"}};
        }
        answerInfo(tools, esp, espInfo);
        answerInfo(tools, data, {{"Content", "Apple_HFS"}, {"FilesystemName", "hfs"}});
    }
    tools.fail(disktool::infoPlist("disk2s2"), 1, "diskutil info failed");
    tools.fail(disktool::infoPlist("disk5s1"), 1, "diskutil info failed");
    tools.fail(disktool::infoPlist("disk6"), 1, "diskutil info failed");
    tools.answer(disktool::listPlist(),
                 PlistValue(PlistDictionary{{"AllDisksAndPartitions", std::move(disks)}}));
    tools.answer(disktool::listText(), text);
    tools.answer(disktool::imageInfoPlist(),
                 PlistValue(PlistDictionary{
                     {"images", PlistArray{PlistDictionary{
                                    {"image-path", "/Images/Nine.dmg"},
                                    {"system-entities", PlistArray{PlistDictionary{
                                                            {"dev-entry", "/dev/disk9"}}}}}}}}));
}

struct Scan {
    std::vector<ESPVolume> volumes;
    std::vector<std::string> calls; // sorted
};

Scan scanWith(std::size_t limit, bool textFallback) {
    FakeTools tools;
    twelveDiskMac(tools);
    if (textFallback) {
        tools.fail(disktool::listPlist(), 1, "diskutil list -plist failed");
    }
    ManualClock clock;
    DiskInfoCache infoCache(clock);
    DiskImageMapCache imageCache(clock);
    Scan scan;
    scan.volumes = VolumeScanner(tools.runner(), infoCache, imageCache, limit).loadESPVolumes();
    scan.calls = tools.calls();
    std::sort(scan.calls.begin(), scan.calls.end());
    return scan;
}

} // namespace

// Lookups running several at once give what one after another gives.
TEST(ParallelScan, SameRecordsAndCommandsAsOneLookupAtATime) {
    for (const bool textFallback : {false, true}) {
        SCOPED_TRACE(textFallback ? "text fallback" : "property-list scan");
        const Scan sequential = scanWith(1, textFallback);
        const Scan parallel = scanWith(kLimit, textFallback);
        EXPECT_GE(sequential.volumes.size(), 9u);
        EXPECT_EQ(parallel.volumes, sequential.volumes);
        EXPECT_EQ(parallel.calls, sequential.calls);
    }
}

// The scan is cancelled while a full batch of lookups runs: each running one
// stops (as the runner stops its child), none starts after, and none is still
// running when the scan has returned.
TEST(ParallelScan, CancellationStopsTheWholeBatch) {
    FakeTools tools;
    twelveDiskMac(tools);
    const TaskHandle task = TaskHandle::makeUnstarted();
    std::mutex lock;
    std::condition_variable changed;
    std::size_t running = 0;
    std::size_t started = 0;
    tools.beforeEach([&](const std::string& line) {
        if (!line.starts_with("/usr/sbin/diskutil info")) {
            return;
        }
        std::unique_lock guard(lock);
        ++running;
        if (++started == kLimit) {
            task.cancel();
            changed.notify_all();
        }
        changed.wait_for(guard, std::chrono::seconds(10), [&] { return task.isCancelled(); });
        --running;
        if (task.isCancelled()) {
            throw CancellationError();
        }
    });
    ManualClock clock;
    DiskInfoCache infoCache(clock);
    DiskImageMapCache imageCache(clock);
    {
        task::CurrentTaskScope scope(task);
        EXPECT_THROW(VolumeScanner(tools.runner(), infoCache, imageCache, kLimit).loadESPVolumes(),
                     CancellationError);
    }
    std::lock_guard guard(lock);
    EXPECT_EQ(started, kLimit);
    EXPECT_EQ(running, 0u);
    EXPECT_EQ(tools.count(disktool::listText()), 0); // no fallback on cancellation
}
