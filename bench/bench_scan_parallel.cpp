// The property-list scan with its disk-information lookups one at a time and the
// default number at once, on a simulated Mac inside sim/sandbox whose every
// `diskutil info` call first waits (default: the 50-disk world, 50 ms, standing for
// the tool's own work on a real Mac):
//   sequential_wall_s    median wall time of a cold scan, one lookup at a time
//   parallel_wall_s      the same with the default number at once
//   parallel_wall_ratio  parallel / sequential
//   commands_per_scan    tool calls of one scan, the same for both (else the larger)
//   commands_minimum     the list, one image list, and per disk with an ESP candidate
//                        its own information plus each partition's (from the world)
//   identical_results    1 when both scans gave the same records on every run
// Usage: bench_scan_parallel [--world FILE] [--delay SECONDS] [--runs N]
// Inside the sandbox the program runs the scans itself (--in-sandbox RUNS).

#include "app/ListOutput.h"
#include "discovery/DiskCaches.h"
#include "discovery/VolumeScan.h"
#include "process/DiskTool.h"

#include "BenchSupport.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Json = nlohmann::json;
using bench::median;
using bench::quote;
using bench::readText;
namespace fs = std::filesystem;
using namespace tesselwick;
using namespace tesselwick::discovery;

std::size_t lineCount(const std::string& path) {
    const std::string text = readText(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

int innerIn(const std::string& folder, int runs);

// Inside the sandbox: alternating cold scans with each limit, through the system
// runner and fresh caches, each logged to its own invocation log.
int inner(int runs) {
    // The logs go to a folder of our own: the tools that write them may run as root.
    std::string folder = "/tmp/tesselwick-bench-parallel.XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        return 1;
    }
    const int status = innerIn(folder, runs);
    fs::remove_all(folder);
    return status;
}

int innerIn(const std::string& folder, int runs) {
    std::vector<double> walls[2];
    std::size_t commands[2] = {0, 0};
    bool identical = true;
    const std::size_t limits[2] = {1, VolumeScanner::defaultLookupConcurrency};
    for (int run = 0; run < runs; ++run) {
        std::string records[2];
        for (int which = 0; which < 2; ++which) {
            const std::string log = folder + "/calls." + std::to_string(which) + ".jsonl";
            fs::remove(log);
            ::setenv("MACSIM_LOG", log.c_str(), 1);
            DiskInfoCache infoCache;
            DiskImageMapCache imageCache;
            const VolumeScanner scanner(process::systemCommandRunner(), infoCache, imageCache,
                                        limits[which]);
            const auto start = std::chrono::steady_clock::now();
            const auto volumes = scanner.loadESPVolumesFromPlist();
            walls[which].push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            records[which] = app::volumesJSON(volumes);
            commands[which] = std::max(commands[which], lineCount(log));
            fs::remove(log);
            if (volumes.empty()) {
                std::cerr << "bench_scan_parallel: the scan found no ESP\n";
                return 1;
            }
        }
        identical = identical && records[0] == records[1];
    }
    std::cout << "sequential_wall_s " << median(walls[0]) << "\n"
              << "parallel_wall_s " << median(walls[1]) << "\n"
              << "parallel_wall_ratio " << median(walls[1]) / median(walls[0]) << "\n"
              << "commands_sequential " << commands[0] << "\n"
              << "commands_parallel " << commands[1] << "\n"
              << "identical_results " << (identical ? 1 : 0) << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--in-sandbox") {
        return inner(std::max(1, std::atoi(argv[2])));
    }
    const fs::path source = TESSELWICK_SOURCE_DIR;
    const fs::path bin = fs::path(TESSELWICK_BINARY_DIR) / "bin";
    std::string world = (source / "sim/worlds/large.json").string();
    double delay = 0.05;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--world") {
            world = fs::absolute(argv[i + 1]).string();
        } else if (option == "--delay") {
            delay = std::atof(argv[i + 1]);
        } else if (option == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    Json worldJson = Json::parse(readText(world));
    const int minimum = bench::minimumScanCommands(worldJson);
    Json delayed = worldJson;
    delayed["faults"] = Json::array({{{"prefix", "diskutil info"}, {"delay", delay}}});
    const std::string base = "/tmp/tesselwick-bench-parallel." + std::to_string(::getpid());
    const std::string delayedWorld = base + ".world.json";
    std::ofstream(delayedWorld) << delayed.dump();

    const std::string command =
        quote((source / "sim/sandbox").string()) + " --world " + quote(delayedWorld) +
        " --macsim " + quote((bin / "macsim").string()) + " -- " +
        quote(fs::canonical("/proc/self/exe").string()) + " --in-sandbox " + std::to_string(runs);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        fs::remove(delayedWorld);
        return 1;
    }
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int status = ::pclose(pipe);
    fs::remove(delayedWorld);
    if (status != 0) {
        std::cerr << "bench_scan_parallel: the scans failed in the sandbox (needs root)\n";
        return 1;
    }
    std::istringstream lines(output);
    std::size_t sequentialCommands = 0;
    std::size_t parallelCommands = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "commands_sequential") {
            words >> sequentialCommands;
        } else if (key == "commands_parallel") {
            words >> parallelCommands;
        } else {
            std::cout << line << "\n";
        }
    }
    std::cout << "commands_per_scan " << std::max(sequentialCommands, parallelCommands) << "\n"
              << "commands_per_scan_equal " << (sequentialCommands == parallelCommands ? 1 : 0)
              << "\n"
              << "commands_minimum " << minimum << "\n";
    return 0;
}
