#pragma once

#include "process/ProcessRunner.h"
#include "support/Errors.h"
#include "support/Task.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace tesselwick::testing {

// Descriptors this process has open right now.
inline int openDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count - 1; // the iterator's own descriptor
}

// Children of this process, zombies included.
inline int childProcessCount() {
    const std::string self = std::to_string(getpid());
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!entry.is_directory() || !std::getline(stat, line)) {
            continue;
        }
        // Fields after the parenthesised command: state, then parent pid.
        std::istringstream rest(line.substr(line.rfind(')') + 1));
        std::string state;
        std::string parent;
        rest >> state >> parent;
        count += parent == self ? 1 : 0;
    }
    return count;
}

// Threads of this process; with `expected`, once the count settles on it (a
// joined thread can still be counted for a moment while the kernel tears it down).
inline int threadCount(int expected = -1) {
    int count = -1;
    for (int i = 0; i < 400; ++i) {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            count = line.rfind("Threads:", 0) == 0 ? std::stoi(line.substr(8)) : count;
        }
        if (expected < 0 || count == expected) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return count;
}

// Far above any honest return here, far below the 30-second sleeps the children run.
inline constexpr double kReturnBound = 10.0;

inline double secondsBetween(std::chrono::steady_clock::time_point from,
                             std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Every runner test must leave descriptors, children and threads as it found them.
class RunnerLeakCheck : public ::testing::Test {
protected:
    void SetUp() override {
        // Sanitizer runtimes start a helper thread with the first thread the
        // process creates; let that happen before taking the baseline.
        std::thread([] {}).join();
        descriptors_ = openDescriptorCount();
        children_ = childProcessCount();
        threads_ = threadCount();
    }
    void TearDown() override {
        EXPECT_EQ(openDescriptorCount(), descriptors_);
        EXPECT_EQ(childProcessCount(), children_);
        EXPECT_EQ(threadCount(threads_), threads_);
    }

private:
    int descriptors_ = 0;
    int children_ = 0;
    int threads_ = 0;
};

// How one run of `/bin/sh -c script` ended, run as the given task.
struct RunOutcome {
    std::string output;
    std::optional<DomainError> error;
    bool cancelled = false;
    std::chrono::steady_clock::time_point returned;
    std::string what() const { return error ? error->message() : cancelled ? "cancelled" : ""; }
};

inline RunOutcome runShellAs(const TaskHandle& handle, const std::string& script,
                             double timeout = 10.0) {
    task::CurrentTaskScope scope(handle);
    RunOutcome outcome;
    try {
        outcome.output = process::runProcessData("/bin/sh", {"-c", script}, Seconds(timeout));
    } catch (const CancellationError&) {
        outcome.cancelled = true;
    } catch (const DomainError& error) {
        outcome.error = error;
    }
    outcome.returned = std::chrono::steady_clock::now();
    return outcome;
}

// A named pipe the child writes one line to when it reaches a given point; the
// test blocks on it instead of guessing with sleeps.
struct Rendezvous {
    explicit Rendezvous(const TempDir& directory) : path((directory.path() / "reached").string()) {
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    }
    std::string mark() const { return "echo >" + path; } // shell text for the point
    void wait() const {
        std::ifstream fifo(path);
        std::string line;
        std::getline(fifo, line);
    }
    std::string path;
};

} // namespace tesselwick::testing
