// One `tesselwick list` scan of a simulated Mac inside sim/sandbox (default: the
// 50-disk world), read through the simulator's invocation log:
//   commands_per_scan  tool calls the scan made
//   commands_minimum   calls the property-list scan cannot do without: the list, one
//                      image list, and per disk with an ESP candidate its own
//                      information plus each of its partitions' (read from the world)
//   overhead_ratio     the scan's wall time over the summed durations of its calls
//                      (median of the runs; 1.0 would mean no time of our own)
//   baseline_ratio     the same for the same calls spawned back to back by a bare
//                      posix_spawn loop: what process start and exit cost by themselves
//   own_overhead_ratio the scan's wall time over that bare loop's
// Usage: bench_sandbox_scan [--world FILE] [--runs N]
// Inside the sandbox the program times the scan and then the logged calls from a
// bare loop (--time LOG COMMAND...).

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

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Json = nlohmann::json;
using bench::median;
using bench::quote;
using bench::readText;
using bench::secondsSince;
namespace fs = std::filesystem;

// Runs one program with its output discarded; its exit status.
int spawnAndWait(char* const* argv, char* const* env) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv, env);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return 127;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::vector<Json> readLog(const std::string& path) {
    std::vector<Json> calls;
    std::istringstream lines(readText(path));
    for (std::string line; std::getline(lines, line);) {
        calls.push_back(Json::parse(line));
    }
    return calls;
}

// Inside the sandbox: time the scan, then the calls it made from a bare loop (those
// logged to LOG.replay instead), and print both wall times.
int timeCommand(const std::string& log, char** argv) {
    auto start = std::chrono::steady_clock::now();
    int status = spawnAndWait(argv, environ);
    std::cout << "wall " << secondsSince(start) << "\n";
    std::string replayLog = "MACSIM_LOG=" + log + ".replay";
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("MACSIM_LOG=", 0) != 0) {
            env.push_back(*e);
        }
    }
    env.push_back(replayLog.data());
    env.push_back(nullptr);
    std::vector<std::vector<std::string>> commands;
    for (const auto& call : readLog(log)) {
        commands.push_back(call["argv"].get<std::vector<std::string>>());
    }
    start = std::chrono::steady_clock::now();
    for (auto& command : commands) {
        std::vector<char*> args;
        for (auto& a : command) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        spawnAndWait(args.data(), env.data());
    }
    std::cout << "replay " << secondsSince(start) << "\n";
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 3 && std::string(argv[1]) == "--time") {
        return timeCommand(argv[2], argv + 3);
    }
    const fs::path source = TESSELWICK_SOURCE_DIR;
    const fs::path bin = fs::path(TESSELWICK_BINARY_DIR) / "bin";
    std::string world = (source / "sim/worlds/large.json").string();
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--world") {
            world = fs::absolute(argv[i + 1]).string();
        } else if (option == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    Json worldJson = Json::parse(readText(world));
    std::string self = fs::canonical("/proc/self/exe").string();
    std::vector<double> ratios;
    std::vector<double> baselines;
    std::vector<double> own;
    std::vector<double> walls;
    std::vector<double> sums;
    std::size_t commands = 0;
    auto sumOf = [](const std::vector<Json>& calls) {
        double sum = 0;
        for (const auto& call : calls) {
            sum += call["seconds"].get<double>();
        }
        return sum;
    };
    for (int run = 0; run < runs; ++run) {
        std::string log = "/tmp/tesselwick-bench-scan." + std::to_string(getpid()) + ".jsonl";
        fs::remove(log);
        fs::remove(log + ".replay");
        std::string command = "MACSIM_LOG=" + quote(log) + " " +
                              quote((source / "sim/sandbox").string()) + " --world " +
                              quote(world) + " --macsim " + quote((bin / "macsim").string()) +
                              " -- " + quote(self) + " --time " + quote(log) + " " +
                              quote((bin / "tesselwick").string()) + " list --json";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return 1;
        }
        char buffer[256];
        double wall = -1;
        double replay = -1;
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            std::sscanf(buffer, "wall %lf", &wall);
            std::sscanf(buffer, "replay %lf", &replay);
        }
        if (pclose(pipe) != 0 || wall < 0 || replay < 0) {
            std::cerr << "bench_sandbox_scan: the scan failed in the sandbox (needs root)\n";
            return 1;
        }
        std::vector<Json> calls = readLog(log);
        commands = calls.size();
        double sum = sumOf(calls);
        double replaySum = sumOf(readLog(log + ".replay"));
        fs::remove(log);
        fs::remove(log + ".replay");
        walls.push_back(wall);
        sums.push_back(sum);
        ratios.push_back(sum > 0 ? wall / sum : 0);
        baselines.push_back(replaySum > 0 ? replay / replaySum : 0);
        own.push_back(replay > 0 ? wall / replay : 0);
    }
    std::cout << "commands_per_scan " << commands << "\n"
              << "commands_minimum " << bench::minimumScanCommands(worldJson) << "\n"
              << "overhead_ratio " << median(ratios) << "\n"
              << "baseline_ratio " << median(baselines) << "\n"
              << "own_overhead_ratio " << median(own) << "\n"
              << "scan_wall_seconds " << median(walls) << "\n"
              << "command_seconds_sum " << median(sums) << "\n";
    return 0;
}
