// `tesselwick list --json` and `disks --json` inside sim/sandbox against every
// world in sim/worlds, and on the 50-disk world with slow disk-information calls,
// whose lookups overlap up to the scan's limit. The expected records are worked
// out by hand from the classification and naming rules and the world files, never
// captured from the program.

#include "discovery/VolumeScan.h"
#include "e2e/EndToEnd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
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
Listing listIn(const std::string& world, const std::string& launcher = "",
               const std::string& command = "list") {
    TempDir dir;
    const std::string log = dir / "calls.jsonl";
    Listing listing;
    listing.run = runShell("MACSIM_LOG=" + quote(log) + " " + sandbox(world, false) + launcher +
                           quote(programPath()) + " " + command + " --json");
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

TEST(ListEndToEnd, InheritedIgnoredChildSignalChangesNothing) {
    SKIP_WITHOUT_SANDBOX();
    // With SIGCHLD ignored the kernel would discard every tool's exit status.
    expectRecords(
        listIn(worldPath("multiboot.json"), "perl -e '$SIG{CHLD} = \"IGNORE\"; exec @ARGV' "),
        multiboot(true));
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

// Every world: `list` gives the records worked out for it, asking what the world
// calls for; `disks` asks exactly the same, names the same ESPs, and tells each
// disk in the table below what it is and why it has none.
TEST(ListEndToEnd, EveryWorldListedAndItsDisksExplained) {
    SKIP_WITHOUT_SANDBOX();
    const std::map<std::string, std::function<void(const Listing&)>> listChecks = {
        // The property-list scan served: the text table was never asked for.
        {"multiboot.json",
         [](const Listing& l) {
             expectRecords(l, multiboot(true));
             EXPECT_EQ(count(l.lines, "diskutil list"), 0U);
             EXPECT_EQ(count(l.lines, "diskutil list -plist"), 1U);
         }},
        // No disk has a candidate, so no disk or image is looked up.
        {"empty.json",
         [](const Listing& l) {
             expectRecords(l, Json::array());
             EXPECT_EQ(l.lines, std::vector<std::string>{"diskutil list -plist"});
         }},
        // A partition list that is no property list: the text fallback serves.
        {"broken-list.json",
         [](const Listing& l) {
             expectRecords(l, multiboot(false));
             ASSERT_GE(l.lines.size(), 2U);
             EXPECT_EQ(l.lines[0], "diskutil list -plist");
             EXPECT_EQ(l.lines[1], "diskutil list");
         }},
        // A 12-second partition list, given up at the runner's 10-second limit.
        {"list-timeout.json",
         [](const Listing& l) {
             expectRecords(l, multiboot(false));
             const auto slow = std::find(l.lines.begin(), l.lines.end(), "diskutil list -plist");
             ASSERT_NE(slow, l.lines.end());
             const Json& call = l.calls[static_cast<std::size_t>(slow - l.lines.begin())];
             EXPECT_NE(call["status"], 0) << "terminated, not answered";
             EXPECT_GE(call["seconds"].get<double>(), 9.9);
             EXPECT_LT(call["seconds"].get<double>(), 12.0);
             EXPECT_GE(count(l.lines, "diskutil list"), 1U);
         }},
    };
    const auto disk = [](const char* id, const char* name, std::int64_t size, const char* kind,
                         const char* scheme, std::vector<std::string> esps, const Json& reason) {
        return Json{{"id", id},        {"name", name},     {"sizeBytes", size},
                    {"kind", kind},    {"scheme", scheme}, {"espIdentifiers", esps},
                    {"reason", reason}};
    };
    const char* const gpt = "GUID_partition_scheme";
    const char* const apfs = "APFS Container Scheme";
    const std::pair<const char*, Json> rows[] = {
        // The boot container: its ESP is on the disk of its physical store.
        {"multiboot.json", disk("disk1", "disk1", 500068036608, "APFS container", apfs, {},
                                "APFS container: its ESP is on disk0 (the physical store)")},
        {"multiboot.json", disk("disk5", "WDC WD20EZRZ-00Z5HB0", 2000398934016, "internal", gpt,
                                {"disk5s1", "disk5s3"}, nullptr)},
        {"multiboot.json",
         disk("disk4", "Recovery Kit", 2147483648, "disk image", gpt, {"disk4s1"}, nullptr)},
        // The text table tells containers and places by its headers; its sizes are rounded.
        {"broken-list.json",
         disk("disk1", "disk1", 500100000000, "APFS container", "APFS Container Scheme", {},
              "APFS container: its ESP is on disk0 (the physical store)")},
        {"broken-list.json",
         disk("disk3", "SanDisk Ultra Fit", 61500000000, "external", gpt, {"disk3s1"}, nullptr)},
        // Apple silicon: no ESP anywhere. A disk whose own information the scan has no
        // reason to read is of unknown place: the partition list does not say.
        {"empty.json", disk("disk0", "disk0", 500277792768, "unknown", gpt, {},
                            "GUID disk without an EFI partition")},
        {"empty.json", disk("disk3", "disk3", 494384795648, "APFS container", apfs, {},
                            "APFS container: its physical store disk0 has no ESP")},
        {"large.json", disk("disk4", "disk4", 256060514304, "unknown", "FDisk_partition_scheme", {},
                            "MBR disk without an EFI partition")},
        {"why-no-esp.json", disk("disk2", "disk2", 31004295168, "unknown", "FDisk_partition_scheme",
                                 {}, "MBR disk without an EFI partition")},
        {"why-no-esp.json",
         disk("disk3", "CAMERA", 63864569856, "unknown", "none", {}, "no partition map")},
        // Its candidate's information was read: an internal disk.
        {"why-no-esp.json", disk("disk4", "disk4", 500107862016, "internal", gpt, {},
                                 "a partition named EFI that is not FAT (ExFAT)")},
        // Its candidate's information is gone, and the image list knows the disk.
        {"why-no-esp.json",
         disk("disk5", "Boot Kit", 1073741824, "disk image", gpt, {}, "disk image detached")},
        {"why-no-esp.json",
         disk("disk6", "disk6", 2000365289472, "unknown", gpt, {},
              "disk information could not be read: Unable to read disk6s1: Input/output error")},
    };
    std::size_t checked = 0;
    for (const auto& file : std::filesystem::directory_iterator(worldPath(""))) {
        const std::string world = file.path().filename();
        if (file.path().extension() != ".json") {
            continue;
        }
        SCOPED_TRACE(world);
        const Listing list = listIn(file.path());
        if (auto check = listChecks.find(world); check != listChecks.end()) {
            check->second(list);
        }
        const Listing disks = listIn(file.path(), "", "disks");
        ASSERT_EQ(disks.run.status, list.run.status) << disks.run.err;
        auto asked = [](std::vector<std::string> lines) {
            std::sort(lines.begin(), lines.end());
            return lines;
        };
        EXPECT_EQ(asked(disks.lines), asked(list.lines));
        std::vector<std::string> listedIDs;
        std::vector<std::string> reportedIDs;
        for (const Json& volume : list.json) {
            listedIDs.push_back(volume["id"]);
        }
        for (const Json& d : disks.json) {
            for (const Json& id : d["espIdentifiers"]) {
                reportedIDs.push_back(id);
            }
            EXPECT_EQ(d["reason"].is_null(), !d["espIdentifiers"].empty()) << d.dump();
        }
        EXPECT_EQ(asked(reportedIDs), asked(listedIDs));
        for (const auto& row : rows) {
            const Json& expected = row.second;
            if (world != row.first) {
                continue;
            }
            const auto found =
                std::find_if(disks.json.begin(), disks.json.end(),
                             [&](const Json& d) { return d["id"] == expected["id"]; });
            ASSERT_NE(found, disks.json.end()) << expected.dump();
            EXPECT_EQ(*found, expected);
            ++checked;
        }
    }
    EXPECT_EQ(checked, std::size(rows)); // every row's world was there
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
        {"disks list", 64, "",
         "tesselwick disks: unknown option 'list'\nusage: tesselwick disks [--json]\n"},
        {"mount", 64, "", "usage: tesselwick mount DISK_ID [--json]\n"},
    };
    for (const Row& row : rows) {
        const Result run = runShell(quote(programPath()) + " " + row.arguments);
        EXPECT_EQ(run.status, row.status) << row.arguments;
        EXPECT_EQ(run.out, row.out) << row.arguments;
        EXPECT_EQ(run.err.rfind(row.errStart, 0), 0U) << row.arguments << ": " << run.err;
    }
}
