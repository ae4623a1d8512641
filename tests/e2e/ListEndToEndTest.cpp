// `tesselwick list --json` inside sim/sandbox against every world in sim/worlds,
// and on the 50-disk world with slow disk-information calls, whose lookups
// overlap up to the scan's limit. The expected records are worked out by hand
// from the classification and naming rules and the world files, never captured
// from the program.

#include "discovery/VolumeScan.h"
#include "e2e/EndToEnd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

using namespace simtest;
using tesselwick::discovery::VolumeScanner;

namespace {

// An unmounted, internal 209.7 MB ESP labelled EFI; every modelled ESP is FAT32.
Json esp(const std::string& id, const std::string& parent, std::int64_t parentSize,
         const std::string& host, const std::string& os, const Json& changes = Json::object()) {
    Json record = {{"id", id},
                   {"diskIdentifier", id},
                   {"parentIdentifier", id.substr(0, id.rfind('s'))},
                   {"parentName", parent},
                   {"partitionName", "EFI"},
                   {"sizeBytes", 209715200},
                   {"parentSizeBytes", parentSize},
                   {"mountPoint", nullptr},
                   {"filesystem", "FAT32"},
                   {"hostFilesystem", host},
                   {"installedOS", os},
                   {"bootRole", nullptr},
                   {"bootloader", nullptr},
                   {"isInternal", true},
                   {"isDiskImage", false},
                   {"imagePath", nullptr}};
    record.update(changes);
    return record;
}

// The multi-boot Mac, in list order: host filesystem rank (APFS/HFS+, NTFS, ExFAT,
// Linux), then parent disk.
Json multiboot(bool bootDiskSeen) {
    const std::string wd = "WDC WD20EZRZ-00Z5HB0";
    return Json::array({
        // Boot disk: named by its media, APFS host, OpenCore mounted at /Volumes/EFI.
        // "/" lives on the synthesized container's sealed snapshot; only the
        // property-list scan sees the container, which leads it back to disk0s2's disk.
        esp("disk0s1", "APPLE SSD AP0512Q", 500277790720, "APFS", "macOS",
            {{"mountPoint", "/Volumes/EFI"},
             {"bootloader", "OC"},
             {"bootRole", bootDiskSeen ? Json("Boot Disk") : Json()}}),
        // Two ESPs beside an HFS+ volume (Apple_HFS: Mac signs), neither mounted.
        esp("disk5s1", wd, 2000398934016, "HFS+", "macOS"),
        esp("disk5s3", wd, 2000398934016, "HFS+", "macOS"),
        // Windows: NTFS data partition; the ESP's own label is NO NAME.
        esp("disk2s1", "Samsung SSD 870 EVO 1TB", 1000204886016, "NTFS", "Windows",
            {{"partitionName", "NO NAME"}, {"sizeBytes", 104857600}}),
        // Attached image: named after its file, never internal, ExFAT data gives Disk Image.
        esp("disk4s1", "Recovery Kit", 2147483648, "ExFAT", "Disk Image",
            {{"isInternal", false},
             {"isDiskImage", true},
             {"imagePath", "/Users/ava/Images/Recovery Kit.dmg"}}),
        // External Linux stick: unlabelled ESP falls back to the partition's own name.
        esp("disk3s1", "SanDisk Ultra Fit", 61530439680, "Linux FS", "Linux",
            {{"partitionName", "EFI System Partition"},
             {"sizeBytes", 536870912},
             {"isInternal", false}}),
    });
}

// The 50-disk world with every `diskutil info` call delayed by `seconds` first.
std::string delayedWorld(const TempDir& dir, double seconds) {
    Json world = Json::parse(readText(worldPath("large.json")));
    world["faults"] = Json::array({{{"prefix", "diskutil info"}, {"delay", seconds}}});
    const std::string path = dir / "world.json";
    writeText(path, world.dump());
    return path;
}

// The most calls the log shows running at the same moment.
int mostAtOnce(const std::vector<Json>& calls) {
    std::vector<std::pair<double, int>> edges;
    for (const auto& call : calls) {
        const double start = call["start"].get<double>();
        edges.emplace_back(start, 1);
        edges.emplace_back(start + call["seconds"].get<double>(), -1);
    }
    std::sort(edges.begin(), edges.end()); // an end sorts before a start at the same time
    int running = 0;
    int most = 0;
    for (const auto& [time, change] : edges) {
        running += change;
        most = std::max(most, running);
    }
    return most;
}

struct Listing {
    Result run;
    Json json;
    std::vector<Json> calls;
    std::vector<std::string> lines; // the calls' command lines
};

// `launcher`, when given, starts the program (a command line prefix).
Listing listIn(const std::string& world, const std::string& launcher = "") {
    TempDir dir;
    const std::string log = dir / "calls.jsonl";
    Listing listing;
    listing.run = runShell("MACSIM_LOG=" + quote(log) + " " + sandbox(world, false) + launcher +
                           quote(programPath()) + " list --json");
    listing.json = Json::parse(listing.run.out, nullptr, false);
    listing.calls = loggedCalls(log);
    for (const Json& call : listing.calls) {
        listing.lines.push_back(commandLine(call));
    }
    return listing;
}

void expectRecords(const Listing& listing, const Json& expected) {
    ASSERT_EQ(listing.run.status, 0) << listing.run.err;
    ASSERT_TRUE(listing.json.is_array()) << listing.run.out;
    ASSERT_EQ(listing.json.size(), expected.size()) << listing.json.dump(1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(listing.json[i], expected[i]) << "record " << i;
    }
}

std::size_t count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

} // namespace

TEST(ListEndToEnd, MultibootWorld) {
    SKIP_WITHOUT_SANDBOX();
    const Listing listing = listIn(worldPath("multiboot.json"));
    expectRecords(listing, multiboot(true));
    // The property-list scan served: the text table was never asked for.
    EXPECT_EQ(count(listing.lines, "diskutil list"), 0U);
    EXPECT_EQ(count(listing.lines, "diskutil list -plist"), 1U);
}

TEST(ListEndToEnd, InheritedIgnoredChildSignalChangesNothing) {
    SKIP_WITHOUT_SANDBOX();
    // With SIGCHLD ignored the kernel would discard every tool's exit status.
    expectRecords(
        listIn(worldPath("multiboot.json"), "perl -e '$SIG{CHLD} = \"IGNORE\"; exec @ARGV' "),
        multiboot(true));
}

TEST(ListEndToEnd, EmptyWorldHasNoEsp) {
    SKIP_WITHOUT_SANDBOX();
    const Listing listing = listIn(worldPath("empty.json"));
    expectRecords(listing, Json::array());
    // No disk has a candidate, so no disk or image is looked up.
    EXPECT_EQ(listing.lines, std::vector<std::string>{"diskutil list -plist"});
}

TEST(ListEndToEnd, BrokenPartitionListIsServedByTheTextFallback) {
    SKIP_WITHOUT_SANDBOX();
    const Listing listing = listIn(worldPath("broken-list.json"));
    expectRecords(listing, multiboot(false));
    ASSERT_GE(listing.lines.size(), 2U);
    EXPECT_EQ(listing.lines[0], "diskutil list -plist");
    EXPECT_EQ(listing.lines[1], "diskutil list");
}

TEST(ListEndToEnd, SlowPartitionListTimesOutAndTheTextFallbackServes) {
    SKIP_WITHOUT_SANDBOX();
    const Listing listing = listIn(worldPath("list-timeout.json"));
    expectRecords(listing, multiboot(false));
    // The runner gave up on the 12-second call at its 10-second limit.
    const auto& lines = listing.lines;
    const auto slow = std::find(lines.begin(), lines.end(), "diskutil list -plist");
    ASSERT_NE(slow, lines.end());
    const Json& call = listing.calls[static_cast<std::size_t>(slow - lines.begin())];
    EXPECT_NE(call["status"], 0) << "terminated, not answered";
    EXPECT_GE(call["seconds"].get<double>(), 9.9);
    EXPECT_LT(call["seconds"].get<double>(), 12.0);
    EXPECT_GE(count(lines, "diskutil list"), 1U);
}

TEST(ListEndToEnd, LargeWorldListsFortyEspsAlsoWithSlowLookups) {
    SKIP_WITHOUT_SANDBOX();
    // large.json: disk N carries an ESP (disk Ns1, named EFI) unless N % 5 == 4 (an
    // MBR card). Its other partition decides the host filesystem and OS: N % 5 == 0
    // Apple_HFS, 1 NTFS, 2 Linux Filesystem (no filesystem macOS reads), 3 ExFAT
    // data. Disks 0-24 are internal; every tenth ESP is mounted with OpenCore.
    const std::pair<int, std::pair<const char*, const char*>> groups[] = {
        {0, {"HFS+", "macOS"}},
        {1, {"NTFS", "Windows"}},
        {3, {"ExFAT", "Data"}},
        {2, {"Linux FS", "Linux"}}};
    Json expected = Json::array();
    for (const auto& [remainder, system] : groups) {
        for (int n = remainder; n < 50; n += 5) {
            char name[32];
            std::snprintf(name, sizeof name, "Vendor Disk %02d", n);
            Json changes = {{"isInternal", n < 25}};
            if (n % 10 == 0) {
                changes["mountPoint"] =
                    n == 0 ? "/Volumes/EFI" : "/Volumes/EFI " + std::to_string(n);
                changes["bootloader"] = "OC";
            }
            expected.push_back(esp("disk" + std::to_string(n) + "s1", name, 256060514304,
                                   system.first, system.second, changes));
        }
    }
    const Listing listing = listIn(worldPath("large.json"));
    expectRecords(listing, expected);
    // The memo and the caches leave no command line asked twice.
    auto lines = listing.lines;
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end());
    // Slow lookups overlap up to the limit; the records and the commands are the
    // same whatever order the lookups finish in.
    TempDir dir;
    const Listing slow = listIn(delayedWorld(dir, 0.1));
    expectRecords(slow, expected);
    EXPECT_EQ(mostAtOnce(slow.calls), static_cast<int>(VolumeScanner::defaultLookupConcurrency));
    EXPECT_EQ(slow.calls.size(), listing.calls.size());
}

TEST(ListEndToEnd, InterruptStopsEveryRunningLookup) {
    SKIP_WITHOUT_SANDBOX();
    TempDir dir;
    const std::string log = dir / "calls.jsonl";
    const std::string limit = std::to_string(VolumeScanner::defaultLookupConcurrency);
    // Waits (bounded) until the scan has its limit of lookups running, notes those
    // children, interrupts the scan as Ctrl-C would, and reports any child still there.
    // A background job starts with SIGINT ignored; a terminal's foreground one has
    // it at its default.
    const std::string script =
        "env --default-signal=INT " + quote(programPath()) + " list --json >/dev/null 2>&1 & " +
        "pid=$!; tries=0; while [ \"$(pgrep -c -P $pid)\" -lt " + limit + " ]; do " +
        "tries=$((tries + 1)); [ $tries -gt 600 ] && { kill -9 $pid; exit 3; }; sleep 0.05; "
        "done; " +
        "children=$(pgrep -P $pid); kill -INT $pid; wait $pid; echo status $?; " +
        "for child in $children; do [ -d /proc/$child ] && echo left $child; done; exit 0";
    const Result run =
        runShell("MACSIM_LOG=" + quote(log) + " " + sandbox(delayedWorld(dir, 60.0), false) +
                 "/bin/sh -c " + quote(script));
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "status 130\n"); // no child left behind
    // Each interrupted lookup ended by a signal: none answered, none started later.
    const std::vector<Json> calls = loggedCalls(log);
    int lookups = 0;
    for (const auto& call : calls) {
        if (call["argv"].size() > 1 && call["argv"][1] == "info") {
            ++lookups;
            EXPECT_NE(call["status"], 0) << call.dump();
        }
    }
    // A child stopped before it set itself up leaves no line (a slow start under the
    // sanitizers can mean none does), so this is an upper bound only; the wait above
    // already proved the limit of lookups was running.
    EXPECT_LE(lookups, static_cast<int>(VolumeScanner::defaultLookupConcurrency));
}

TEST(ListEndToEnd, CommandLineRefusesWhatItDoesNotKnow) {
    struct Row {
        const char* arguments;
        int status;
        const char* out;
        const char* errStart;
    };
    const Row rows[] = {
        {"--version", 0, "tesselwick " TESSELWICK_TEST_VERSION "\n", ""},
        {"frobnicate", 64, "", "tesselwick: unknown command 'frobnicate'\nusage: tesselwick "},
        {"list --bogus", 64, "",
         "tesselwick list: unknown option '--bogus'\nusage: tesselwick list [--json]\n"},
        {"mount", 64, "", "usage: tesselwick mount DISK_ID [--json]\n"},
    };
    for (const Row& row : rows) {
        const Result run = runShell(quote(programPath()) + " " + row.arguments);
        EXPECT_EQ(run.status, row.status) << row.arguments;
        EXPECT_EQ(run.out, row.out) << row.arguments;
        EXPECT_EQ(run.err.rfind(row.errStart, 0), 0U) << row.arguments << ": " << run.err;
    }
}
