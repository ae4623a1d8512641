// One mount through each route, on the multi-boot Mac inside sim/sandbox:
// the commands our process runs for it against the floor the routes make
// unavoidable, and the wall time from toggle() to the published mounted record
// against the same commands spawned back to back by a bare loop.
//
// Usage: bench_mount [--runs N]   (needs root for the sandbox)
//
// Routes: direct (diskutil as root), helper (sudo -n and the installed
// helper), administrator (the user's diskutil fails, then the prompt's root
// script). Prints commands_per_mount_<route>, commands_minimum_<route> and
// own_overhead_ratio_<route> (median over the runs).

#include "discovery/ESPVolume.h"
#include "doubles/FakeLoginItemService.h"
#include "helper/ESPHelper.h"
#include "manager/DiskManager.h"
#include "operations/EFIOperations.h"
#include "process/DiskTool.h"
#include "process/ProcessRunner.h"
#include "support/BlockingMainQueue.h"
#include "support/Clock.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

using namespace tesselwick;
namespace fs = std::filesystem;

namespace {

constexpr const char* kDisk = "disk5s1";

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Call {
    std::string path;
    std::vector<std::string> arguments;
};

// The runner every route uses here: the production one, with a record of what
// it was asked while recording is on.
class RecordingRunner {
public:
    process::CommandRunner runner() {
        return [this](const std::string& path, const std::vector<std::string>& arguments,
                      tesselwick::Seconds timeout) {
            {
                std::lock_guard guard(lock_);
                if (recording_) {
                    calls_.push_back({path, arguments});
                }
            }
            return process::runProcessData(path, arguments, timeout);
        };
    }
    void start() {
        std::lock_guard guard(lock_);
        calls_.clear();
        recording_ = true;
    }
    std::vector<Call> stop() {
        std::lock_guard guard(lock_);
        recording_ = false;
        return calls_;
    }

private:
    std::mutex lock_;
    bool recording_ = false;
    std::vector<Call> calls_;
};

// Spawns the calls one after the other, output discarded, failures ignored:
// what the route costs without our process around it.
double bareLoop(const std::vector<Call>& calls) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    for (const Call& call : calls) {
        std::vector<std::string> argv{call.path};
        argv.insert(argv.end(), call.arguments.begin(), call.arguments.end());
        std::vector<char*> raw;
        for (std::string& argument : argv) {
            raw.push_back(argument.data());
        }
        raw.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawn(&pid, call.path.c_str(), &actions, nullptr, raw.data(), environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
    const double seconds = secondsSince(start);
    posix_spawn_file_actions_destroy(&actions);
    return seconds;
}

// Inside the sandbox: mount and unmount the disk `runs` times through one
// manager, timing each mount and then its commands from a bare loop.
int measureInside(const std::string& route, int runs) {
    RecordingRunner recorder;
    const process::CommandRunner runner = recorder.runner();
    const manager::CoreServices core = manager::makeCoreServices(runner);
    if (route == "helper") {
        ESPHelper::install(*core.helperStatus, runner);
    }

    BlockingMainQueue queue;
    manager::DiskManagerDependencies deps;
    deps.mainQueue = &queue;
    deps.clock = &systemClock();
    // Only the operations go through the recording runner; the scans and the
    // manager's helper probe do not count.
    const manager::CoreServices unrecorded = manager::makeCoreServices();
    deps.volumes = unrecorded.volumes;
    deps.helper = unrecorded.helper;
    deps.operations = core.operations;
    deps.loginItemService = std::make_shared<platform::fake::FakeLoginItemService>();
    auto manager = manager::DiskManager::create(std::move(deps));
    manager->refresh();
    queue.runUntil([&] { return !manager->isLoading(); }, Seconds(120));

    const auto current = [&]() -> const discovery::ESPVolume* {
        for (const auto& volume : manager->volumes()) {
            if (volume.diskIdentifier == kDisk) {
                return &volume;
            }
        }
        return nullptr;
    };
    const auto settle = [&] {
        queue.runUntil([&] { return manager->busyDiskIDs().empty(); }, Seconds(300));
    };
    for (int run = 0; run < runs; ++run) {
        const discovery::ESPVolume* volume = current();
        if (volume == nullptr || volume->mountPoint) {
            std::cerr << "bench_mount: " << kDisk << " is not an unmounted ESP here\n";
            return 1;
        }
        recorder.start();
        const auto start = std::chrono::steady_clock::now();
        manager->toggle(*volume);
        settle();
        const double wall = secondsSince(start);
        const std::vector<Call> mountCalls = recorder.stop();
        if (manager->lastError() || !current() || !current()->mountPoint) {
            std::cerr << "bench_mount: the mount failed: " << manager->lastError().value_or("?")
                      << "\n";
            return 1;
        }
        // Back to unmounted through the manager, then the bare loop mounts again
        // with the same commands, and the manager unmounts once more.
        manager->toggle(*current());
        settle();
        const double bare = bareLoop(mountCalls);
        manager->refresh();
        queue.runUntil([&] { return !manager->isLoading(); }, Seconds(120));
        if (current() && current()->mountPoint) {
            manager->toggle(*current());
            settle();
        }
        manager->refresh();
        queue.runUntil([&] { return !manager->isLoading(); }, Seconds(120));
        std::cout << "run " << mountCalls.size() << " " << wall << " " << bare << "\n";
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--inside") {
        return measureInside(argv[2], std::atoi(argv[3]));
    }
    int runs = 5;
    if (argc == 3 && std::string(argv[1]) == "--runs") {
        runs = std::max(1, std::atoi(argv[2]));
    }
    const fs::path source = TESSELWICK_SOURCE_DIR;
    const fs::path bin = fs::path(TESSELWICK_BINARY_DIR) / "bin";
    const std::string self = fs::canonical("/proc/self/exe").string();
    struct Route {
        std::string name;
        bool asRoot;
        // Validation's list and info, the operation, the direct route's check
        // that it met the partition it validated, the re-read; the prompt
        // comes only after the user's own diskutil failed (the route order).
        int minimum;
    };
    const Route routes[] = {{"direct", true, 5}, {"helper", false, 2}, {"administrator", false, 7}};
    for (const Route& route : routes) {
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about
        // a literal plus a temporary string.
        std::string command = "'";
        command += (source / "sim/sandbox").string();
        command += "' --macsim '";
        command += (bin / "macsim").string();
        command += route.asRoot ? "' --as-root -- '" : "' -- '";
        command += self;
        command += "' --inside ";
        command += route.name;
        command += " ";
        command += std::to_string(runs);
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return 1;
        }
        std::vector<double> ratios;
        std::size_t commands = 0;
        char line[256];
        while (std::fgets(line, sizeof line, pipe) != nullptr) {
            std::size_t count = 0;
            double wall = 0;
            double bare = 0;
            if (std::sscanf(line, "run %zu %lf %lf", &count, &wall, &bare) == 3) {
                commands = std::max(commands, count);
                ratios.push_back(bare > 0 ? wall / bare : 0);
            }
        }
        if (pclose(pipe) != 0 || ratios.empty()) {
            std::cerr << "bench_mount: the " << route.name
                      << " route failed in the sandbox (needs root)\n";
            return 1;
        }
        std::cout << "commands_per_mount_" << route.name << " " << commands << "\n"
                  << "commands_minimum_" << route.name << " " << route.minimum << "\n"
                  << "own_overhead_ratio_" << route.name << " " << median(ratios) << "\n";
    }
    return 0;
}
