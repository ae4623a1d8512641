#pragma once

#include "discovery/ESPVolume.h"
#include "discovery/PlistValue.h"
#include "process/DiskTool.h"
#include "process/ProcessRunner.h"
#include "support/Errors.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace tesselwick::testing {

// Answers command lines from recorded output instead of running tools, and
// records what was asked. Unknown command lines fail like a missing tool would.
class FakeTools {
public:
    using Command = process::disktool::Command;

    void answer(const Command& command, std::string output) {
        std::lock_guard guard(lock_);
        answers_[key(command)] = Answer{std::move(output), std::nullopt};
    }
    void answer(const Command& command, const char* output) {
        answer(command, std::string(output));
    }
    void answer(const Command& command, const discovery::PlistValue& value) {
        answer(command, discovery::toXMLPropertyList(value));
    }
    void fail(const Command& command, std::int64_t code, std::string message) {
        std::lock_guard guard(lock_);
        answers_[key(command)] = Answer{{}, commandError(code, std::move(message))};
    }
    // Runs before each answer, outside the lock (to cancel the task mid-scan).
    void beforeEach(std::function<void(const std::string& commandLine)> hook) {
        hook_ = std::move(hook);
    }

    process::CommandRunner runner() {
        return [this](const std::string& path, const std::vector<std::string>& arguments,
                      double timeout) { return run(path, arguments, timeout); };
    }

    std::vector<std::string> calls() const {
        std::lock_guard guard(lock_);
        return calls_;
    }
    int count(const Command& command) const {
        std::lock_guard guard(lock_);
        int n = 0;
        for (const auto& call : calls_) {
            n += call == key(command) ? 1 : 0;
        }
        return n;
    }
    std::vector<double> timeouts() const {
        std::lock_guard guard(lock_);
        return timeouts_;
    }

    static std::string key(const Command& command) {
        return process::commandDescription(command.executablePath, command.arguments);
    }

private:
    struct Answer {
        std::string output;
        std::optional<DomainError> error;
    };

    std::string run(const std::string& path, const std::vector<std::string>& arguments,
                    double timeout) {
        const std::string line = process::commandDescription(path, arguments);
        if (hook_) {
            hook_(line);
        }
        std::lock_guard guard(lock_);
        calls_.push_back(line);
        timeouts_.push_back(timeout);
        auto it = answers_.find(line);
        if (it == answers_.end()) {
            throw commandError(1, "no recorded output for " + line);
        }
        if (it->second.error) {
            throw *it->second.error;
        }
        return it->second.output;
    }

    mutable std::mutex lock_;
    std::map<std::string, Answer> answers_;
    std::vector<std::string> calls_;
    std::vector<double> timeouts_;
    std::function<void(const std::string&)> hook_;
};

// Recorded output of real Macs, kept outside the repository: next to the checkout
// (../shared), next to a worktree (../../shared), or where
// TESSELWICK_REAL_MACOS_FIXTURES points.
inline std::optional<std::string> realMacFixture(const std::string& name) {
    std::vector<std::filesystem::path> folders;
    if (const char* override = std::getenv("TESSELWICK_REAL_MACOS_FIXTURES")) {
        folders.emplace_back(override);
    }
    const std::filesystem::path source(TESSELWICK_SOURCE_DIR);
    folders.push_back(source / "../shared/fixtures/real-macos");
    folders.push_back(source / "../../shared/fixtures/real-macos");
    for (const auto& folder : folders) {
        std::ifstream stream(folder / name, std::ios::binary);
        if (stream) {
            std::ostringstream contents;
            contents << stream.rdbuf();
            return contents.str();
        }
    }
    return std::nullopt;
}

} // namespace tesselwick::testing

#define REQUIRE_FIXTURE(variable, name)                                                            \
    const auto variable##Optional = ::tesselwick::testing::realMacFixture(name);                   \
    if (!variable##Optional) {                                                                     \
        GTEST_SKIP() << "recorded real-Mac output " << name                                        \
                     << " is not available (../shared/fixtures/real-macos)";                       \
    }                                                                                              \
    const std::string& variable = *variable##Optional
