// `tesselwick list` inside sim/sandbox on worlds whose disk-information calls are
// slow: the scan's lookups overlap, never more than its limit at once, and an
// interrupted scan leaves no tool running.

#include "discovery/VolumeScan.h"
#include "e2e/EndToEnd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

using namespace simtest;
using tesselwick::discovery::VolumeScanner;

namespace {

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

Result listIn(const std::string& world, const std::string& log) {
    return runShell("MACSIM_LOG=" + quote(log) + " " + sandbox(world, false) +
                    quote(programPath()) + " list --json");
}

} // namespace

TEST(ParallelScanEndToEnd, SlowLookupsOverlapUpToTheLimit) {
    SKIP_WITHOUT_SANDBOX();
    TempDir dir;
    const Result plain = listIn(worldPath("large.json"), dir / "plain.jsonl");
    ASSERT_EQ(plain.status, 0) << plain.err;
    const Result slow = listIn(delayedWorld(dir, 0.1), dir / "slow.jsonl");
    ASSERT_EQ(slow.status, 0) << slow.err;
    // The same records whatever order the lookups finish in.
    EXPECT_EQ(Json::parse(slow.out), Json::parse(plain.out));

    const std::vector<Json> calls = loggedCalls(dir / "slow.jsonl");
    EXPECT_EQ(mostAtOnce(calls), static_cast<int>(VolumeScanner::defaultLookupConcurrency));
    std::set<std::vector<std::string>> distinct;
    for (const auto& call : calls) {
        distinct.insert(call["argv"].get<std::vector<std::string>>());
    }
    EXPECT_EQ(distinct.size(), calls.size()) << "a command asked twice";
    EXPECT_EQ(calls.size(), loggedCalls(dir / "plain.jsonl").size());
}

TEST(ParallelScanEndToEnd, InterruptStopsEveryRunningLookup) {
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
