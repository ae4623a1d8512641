// `tesselwick list --json` inside sim/sandbox against every world in sim/worlds.
// The expected records are worked out by hand from the classification and naming
// rules and the world files, never captured from the program.

#include "sim/SimTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using namespace simtest;

namespace {

struct Expected {
    std::string id;
    std::string parentName;
    std::string partitionName;
    std::int64_t size;
    std::int64_t parentSize;
    std::optional<std::string> mountPoint;
    std::string hostFilesystem;
    std::string installedOS;
    std::optional<std::string> bootRole;
    std::optional<std::string> bootloader;
    bool internal;
    std::optional<std::string> imagePath;
};

Json optional(const std::optional<std::string>& value) {
    return value ? Json(*value) : Json();
}

Json record(const Expected& e) {
    return {{"id", e.id},
            {"diskIdentifier", e.id},
            {"parentIdentifier", e.id.substr(0, e.id.rfind('s'))},
            {"parentName", e.parentName},
            {"partitionName", e.partitionName},
            {"sizeBytes", e.size},
            {"parentSizeBytes", e.parentSize},
            {"mountPoint", optional(e.mountPoint)},
            {"filesystem", "FAT32"}, // every modelled ESP is FAT32 ("MS-DOS FAT32")
            {"hostFilesystem", e.hostFilesystem},
            {"installedOS", e.installedOS},
            {"bootRole", optional(e.bootRole)},
            {"bootloader", optional(e.bootloader)},
            {"isInternal", e.internal},
            {"isDiskImage", e.imagePath.has_value()},
            {"imagePath", optional(e.imagePath)}};
}

// The multi-boot Mac, in list order: host filesystem rank (APFS/HFS+, NTFS, ExFAT,
// Linux), then parent disk.
std::vector<Expected> multiboot(bool bootDiskSeen) {
    constexpr std::int64_t esp = 209715200;
    return {
        // Boot disk: named by its media, APFS host, OpenCore mounted at /Volumes/EFI.
        // "/" lives on the synthesized container's sealed snapshot; only the property-list
        // scan sees the container, which leads it back to disk0s2's disk.
        {"disk0s1", "APPLE SSD AP0512Q", "EFI", esp, 500277790720, "/Volumes/EFI", "APFS", "macOS",
         bootDiskSeen ? std::optional<std::string>("Boot Disk") : std::nullopt, "OC", true,
         std::nullopt},
        // Two ESPs beside an HFS+ volume (Apple_HFS: Mac signs), neither mounted.
        {"disk5s1", "WDC WD20EZRZ-00Z5HB0", "EFI", esp, 2000398934016, std::nullopt, "HFS+",
         "macOS", std::nullopt, std::nullopt, true, std::nullopt},
        {"disk5s3", "WDC WD20EZRZ-00Z5HB0", "EFI", esp, 2000398934016, std::nullopt, "HFS+",
         "macOS", std::nullopt, std::nullopt, true, std::nullopt},
        // Windows: NTFS data partition; the ESP's own label is NO NAME.
        {"disk2s1", "Samsung SSD 870 EVO 1TB", "NO NAME", 104857600, 1000204886016, std::nullopt,
         "NTFS", "Windows", std::nullopt, std::nullopt, true, std::nullopt},
        // Attached image: named after its file, never internal, ExFAT data gives Disk Image.
        {"disk4s1", "Recovery Kit", "EFI", esp, 2147483648, std::nullopt, "ExFAT", "Disk Image",
         std::nullopt, std::nullopt, false, "/Users/ava/Images/Recovery Kit.dmg"},
        // External Linux stick: unlabelled ESP falls back to the partition's own name.
        {"disk3s1", "SanDisk Ultra Fit", "EFI System Partition", 536870912, 61530439680,
         std::nullopt, "Linux FS", "Linux", std::nullopt, std::nullopt, false, std::nullopt},
    };
}

Json expectedJson(const std::vector<Expected>& records) {
    Json all = Json::array();
    for (const auto& e : records) {
        all.push_back(record(e));
    }
    return all;
}

std::string tesselwick() {
    return std::string(TESSELWICK_BINARY_DIR) + "/bin/tesselwick";
}

struct Listing {
    Result run;
    Json json;
    std::vector<Json> calls; // the invocation log
    double seconds = 0;
};

// `launcher`, when given, starts the program (a command line prefix).
Listing listIn(const std::string& world, const std::string& launcher = "") {
    TempDir dir;
    std::string log = dir / "calls.jsonl";
    auto start = std::chrono::steady_clock::now();
    Listing listing;
    listing.run = runShell("MACSIM_LOG=" + quote(log) + " " + sandbox(world, false) + launcher +
                           quote(tesselwick()) + " list --json");
    listing.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    listing.json = Json::parse(listing.run.out, nullptr, false);
    std::istringstream lines(readText(log));
    for (std::string line; std::getline(lines, line);) {
        listing.calls.push_back(Json::parse(line));
    }
    return listing;
}

// The arguments of each logged call, without the program path.
std::vector<std::string> commandLines(const Listing& listing) {
    std::vector<std::string> lines;
    for (const auto& call : listing.calls) {
        std::string line = std::filesystem::path(call["argv"][0].get<std::string>()).filename();
        for (std::size_t i = 1; i < call["argv"].size(); ++i) {
            // Not " " + temporary: GCC 12 reports a false -Wrestrict for that.
            line.append(" ").append(call["argv"][i].get<std::string>());
        }
        lines.push_back(line);
    }
    return lines;
}

void expectRecords(const Json& got, const Json& expected) {
    ASSERT_TRUE(got.is_array()) << got;
    ASSERT_EQ(got.size(), expected.size()) << got.dump(1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(got[i], expected[i])
            << "record " << i << "\n got: " << got[i].dump() << "\nwant: " << expected[i].dump();
    }
}

} // namespace

TEST(ListEndToEnd, MultibootWorld) {
    SKIP_WITHOUT_SANDBOX();
    Listing listing = listIn(worldPath("multiboot.json"));
    ASSERT_EQ(listing.run.status, 0) << listing.run.err;
    expectRecords(listing.json, expectedJson(multiboot(true)));
    // The property-list scan served: the text table was never asked for.
    auto lines = commandLines(listing);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "diskutil list"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "diskutil list -plist"), 1);
}

TEST(ListEndToEnd, InheritedIgnoredChildSignalChangesNothing) {
    SKIP_WITHOUT_SANDBOX();
    // With SIGCHLD ignored the kernel would discard every tool's exit status.
    Listing listing =
        listIn(worldPath("multiboot.json"), "perl -e '$SIG{CHLD} = \"IGNORE\"; exec @ARGV' ");
    ASSERT_EQ(listing.run.status, 0) << listing.run.err;
    expectRecords(listing.json, expectedJson(multiboot(true)));
}

TEST(ListEndToEnd, EmptyWorldHasNoEsp) {
    SKIP_WITHOUT_SANDBOX();
    Listing listing = listIn(worldPath("empty.json"));
    ASSERT_EQ(listing.run.status, 0) << listing.run.err;
    EXPECT_EQ(listing.json, Json::array());
    // No disk has a candidate, so no disk or image is looked up.
    EXPECT_EQ(commandLines(listing), std::vector<std::string>{"diskutil list -plist"});
}

TEST(ListEndToEnd, BrokenPartitionListIsServedByTheTextFallback) {
    SKIP_WITHOUT_SANDBOX();
    Listing listing = listIn(worldPath("broken-list.json"));
    ASSERT_EQ(listing.run.status, 0) << listing.run.err;
    expectRecords(listing.json, expectedJson(multiboot(false)));
    auto lines = commandLines(listing);
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[0], "diskutil list -plist");
    EXPECT_EQ(lines[1], "diskutil list");
}

TEST(ListEndToEnd, SlowPartitionListTimesOutAndTheTextFallbackServes) {
    SKIP_WITHOUT_SANDBOX();
    Listing listing = listIn(worldPath("list-timeout.json"));
    ASSERT_EQ(listing.run.status, 0) << listing.run.err;
    expectRecords(listing.json, expectedJson(multiboot(false)));
    // The runner gave up on the 12-second call at its 10-second limit.
    ASSERT_FALSE(listing.calls.empty());
    auto lines = commandLines(listing);
    auto slow = std::find(lines.begin(), lines.end(), "diskutil list -plist");
    ASSERT_NE(slow, lines.end());
    const Json& call = listing.calls[static_cast<std::size_t>(slow - lines.begin())];
    EXPECT_NE(call["status"], 0) << "terminated, not answered";
    EXPECT_GE(call["seconds"].get<double>(), 9.9);
    EXPECT_LT(call["seconds"].get<double>(), 12.0);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "diskutil list"), lines.end());
    EXPECT_LT(listing.seconds, 30.0);
}

TEST(ListEndToEnd, LargeWorldListsFortyEsps) {
    SKIP_WITHOUT_SANDBOX();
    Listing listing = listIn(worldPath("large.json"));
    ASSERT_EQ(listing.run.status, 0) << listing.run.err;
    // large.json: disk N carries an ESP (disk Ns1, 209.7 MB, named EFI) unless N % 5 == 4
    // (an MBR card). Its other partition decides the host filesystem and OS:
    // N % 5 == 0 Apple_HFS, 1 NTFS, 2 Linux Filesystem (no filesystem macOS reads),
    // 3 ExFAT data. Disks 0-24 are internal; every tenth ESP is mounted with OpenCore.
    struct Group {
        int remainder;
        const char* host;
        const char* os;
    };
    const Group groups[] = {{0, "HFS+", "macOS"},
                            {1, "NTFS", "Windows"},
                            {3, "ExFAT", "Data"},
                            {2, "Linux FS", "Linux"}};
    std::vector<Expected> expected;
    for (const auto& g : groups) {
        for (int n = g.remainder; n < 50; n += 5) {
            char name[32];
            std::snprintf(name, sizeof name, "Vendor Disk %02d", n);
            std::optional<std::string> mount;
            if (n % 10 == 0) {
                mount = n == 0 ? "/Volumes/EFI" : "/Volumes/EFI " + std::to_string(n);
            }
            expected.push_back({"disk" + std::to_string(n) + "s1", name, "EFI", 209715200,
                                256060514304, mount, g.host, g.os, std::nullopt,
                                mount ? std::optional<std::string>("OC") : std::nullopt, n < 25,
                                std::nullopt});
        }
    }
    expectRecords(listing.json, expectedJson(expected));
    // The memo and the caches leave no command line asked twice.
    auto lines = commandLines(listing);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end());
}
