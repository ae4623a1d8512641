#pragma once

#include "support/Errors.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

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
        const auto close = line.rfind(')');
        std::istringstream rest(line.substr(close + 1));
        std::string state;
        std::string parent;
        rest >> state >> parent;
        if (parent == self) {
            ++count;
        }
    }
    return count;
}

inline int threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

// A joined thread can still be counted for a moment while the kernel tears
// it down; wait briefly for the count to settle on the expected value.
inline int settledThreadCount(int expected) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int count = threadCount();
    while (count != expected && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        count = threadCount();
    }
    return count;
}

// The error `body` throws, if it throws a DomainError.
inline std::optional<DomainError> domainErrorOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const DomainError& error) {
        return error;
    }
    return std::nullopt;
}

// A private directory removed with the test.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tesselwick-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace tesselwick::testing
