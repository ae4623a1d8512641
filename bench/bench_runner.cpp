// Costs of the command runner against the bare system calls it wraps:
//   spawn_median_ratio, spawn_p99_ratio  /bin/true through runProcessData versus
//                                        posix_spawn + waitpid, interleaved
//   cancel_p99_ms                        cancel to return, child gone, for `sleep 10`
//   flood_rss_growth_mib, flood_mb_per_s a child writing 1 GiB to standard output
//   cat_mb_per_s                         the same child writing to /dev/null
#include "process/ProcessRunner.h"
#include "support/Errors.h"
#include "support/Task.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace tesselwick;
using Clock = std::chrono::steady_clock;

namespace {

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The baseline: spawn and reap with nothing else.
void bareSpawn(const char* path, posix_spawn_file_actions_t* files) {
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(path), nullptr};
    if (posix_spawn(&pid, path, files, nullptr, argv, environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
}

long statusKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::stol(line.substr(prefix.size()));
        }
    }
    return -1;
}

void spawnRatios() {
    constexpr int kRuns = 2000;
    std::vector<double> runner;
    std::vector<double> bare;
    for (int i = 0; i < 50; ++i) { // warm caches and the allocator
        process::runProcessData("/bin/true", {}, tesselwick::Seconds(10.0));
        bareSpawn("/bin/true", nullptr);
    }
    for (int i = 0; i < kRuns; ++i) {
        auto start = Clock::now();
        process::runProcessData("/bin/true", {}, tesselwick::Seconds(10.0));
        runner.push_back(secondsSince(start));
        start = Clock::now();
        bareSpawn("/bin/true", nullptr);
        bare.push_back(secondsSince(start));
    }
    std::printf("spawn_median_ratio %.3f\n", percentile(runner, 0.5) / percentile(bare, 0.5));
    std::printf("spawn_p99_ratio %.3f\n", percentile(runner, 0.99) / percentile(bare, 0.99));
    std::fprintf(stderr,
                 "# spawn median runner %.3f ms bare %.3f ms; p99 runner %.3f ms bare %.3f ms\n",
                 percentile(runner, 0.5) * 1e3, percentile(bare, 0.5) * 1e3,
                 percentile(runner, 0.99) * 1e3, percentile(bare, 0.99) * 1e3);
}

void cancelLatency() {
    constexpr int kRuns = 300;
    std::mt19937 random(42);
    std::uniform_int_distribution<int> delayMicroseconds(0, 30'000);
    std::vector<double> latencies;
    for (int i = 0; i < kRuns; ++i) {
        const TaskHandle handle = TaskHandle::makeUnstarted();
        auto running = std::async(std::launch::async, [&] {
            task::CurrentTaskScope scope(handle);
            try {
                process::runProcessData("/bin/sleep", {"10"}, tesselwick::Seconds(30.0));
            } catch (const CancellationError&) {
                return Clock::now();
            }
            std::fprintf(stderr, "sleep 10 was not cancelled\n");
            std::exit(1);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        const auto cancelled = Clock::now();
        handle.cancel();
        const auto returned = running.get();
        latencies.push_back(std::chrono::duration<double>(returned - cancelled).count());
    }
    std::printf("cancel_p99_ms %.3f\n", percentile(latencies, 0.99) * 1e3);
}

// Seconds `cat path > /dev/null` takes.
double catToDevNull(const std::string& path) {
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const char* argv[] = {"/bin/cat", path.c_str(), nullptr};
    const auto start = Clock::now();
    posix_spawn(&pid, "/bin/cat", &files, nullptr, const_cast<char**>(argv), environ);
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = secondsSince(start);
    posix_spawn_file_actions_destroy(&files);
    return seconds;
}

void flood() {
    constexpr std::uint64_t kSize = 1ull << 30;
    const auto file =
        std::filesystem::temp_directory_path() / ("tesselwick-bench-" + std::to_string(getpid()));
    {
        // Sparse, so both runs read the same bytes from memory, not the disk.
        std::ofstream(file).close();
        std::filesystem::resize_file(file, kSize);
    }
    const std::string path = file.string();
    // A first read fills the page cache, so neither run pays for it.
    catToDevNull(path);

    // Peak resident memory starts from the current size here.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKiB("VmRSS");
    auto start = Clock::now();
    try {
        process::runProcessData("/bin/cat", {path}, tesselwick::Seconds(120.0));
        std::fprintf(stderr, "flood was not refused\n");
    } catch (const DomainError& error) {
        if (error.code() != 75) {
            std::fprintf(stderr, "flood: %s\n", error.what());
        }
    }
    const double floodSeconds = secondsSince(start);
    const long peak = statusKiB("VmHWM");
    const double catSeconds = catToDevNull(path);

    std::filesystem::remove(file);

    std::printf("flood_rss_growth_mib %.2f\n", static_cast<double>(peak - before) / 1024.0);
    std::printf("flood_mb_per_s %.0f\n", static_cast<double>(kSize) / 1e6 / floodSeconds);
    std::printf("cat_mb_per_s %.0f\n", static_cast<double>(kSize) / 1e6 / catSeconds);
}

} // namespace

// With arguments, runs only the named parts: spawn, cancel, flood.
int main(int argc, char** argv) {
    const std::vector<std::string> parts(argv + 1, argv + argc);
    const auto wanted = [&](const char* part) {
        return parts.empty() || std::find(parts.begin(), parts.end(), part) != parts.end();
    };
    if (wanted("spawn")) {
        spawnRatios();
    }
    if (wanted("cancel")) {
        cancelLatency();
    }
    if (wanted("flood")) {
        flood();
    }
    return 0;
}
