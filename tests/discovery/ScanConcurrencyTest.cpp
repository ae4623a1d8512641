#include "FakeTools.h"
#include "discovery/VolumeScan.h"
#include "doubles/ManualClock.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tesselwick;
using namespace tesselwick::discovery;
using tesselwick::testing::FakeTools;
using tesselwick::testing::twelveDiskMac;
namespace disktool = tesselwick::process::disktool;

namespace {

constexpr std::size_t kLimit = VolumeScanner::defaultLookupConcurrency;

struct Scan {
    std::vector<ESPVolume> volumes;
    std::vector<DiskReport> disks;
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
    scan.volumes =
        VolumeScanner(tools.runner(), infoCache, imageCache, limit).loadESPVolumes(&scan.disks);
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
        EXPECT_EQ(parallel.disks, sequential.disks); // failed lookups' reasons included
        EXPECT_EQ(parallel.calls, sequential.calls);
    }
}
