#pragma once

#include "discovery/ESPVolume.h"
#include "discovery/PlistValue.h"
#include "process/DiskTool.h"
#include "process/ProcessRunner.h"
#include "support/Errors.h"

#include <functional>
#include <map>
#include <mutex>
#include <optional>
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
                      tesselwick::Seconds timeout) { return run(path, arguments, timeout); };
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

    static std::string key(const Command& command) {
        return process::commandDescription(command.executablePath, command.arguments);
    }

private:
    struct Answer {
        std::string output;
        std::optional<DomainError> error;
    };

    std::string run(const std::string& path, const std::vector<std::string>& arguments,
                    tesselwick::Seconds) {
        const std::string line = process::commandDescription(path, arguments);
        if (hook_) {
            hook_(line);
        }
        std::lock_guard guard(lock_);
        calls_.push_back(line);
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
    std::function<void(const std::string&)> hook_;
};

// diskutil's information about `id`: `values` and the identifier.
inline void answerInfo(FakeTools& tools, const std::string& id, discovery::PlistDictionary values) {
    values.insert_or_assign("DeviceIdentifier", id);
    tools.answer(process::disktool::infoPlist(id), discovery::PlistValue(std::move(values)));
}

// A FAT32 ESP's information as diskutil reports it, plus `values`.
inline discovery::PlistDictionary fat32ESP(discovery::PlistDictionary values = {}) {
    values.insert({{"Content", "EFI"},
                   {"FilesystemName", "msdos"},
                   {"FilesystemUserVisibleName", "MS-DOS (FAT32)"},
                   {"VolumeName", "EFI"}});
    return values;
}

} // namespace tesselwick::testing
