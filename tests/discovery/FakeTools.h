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

// The volumes' disk identifiers, in order.
inline std::vector<std::string> ids(const std::vector<discovery::ESPVolume>& volumes) {
    std::vector<std::string> out;
    for (const auto& v : volumes) {
        out.push_back(v.diskIdentifier);
    }
    return out;
}

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

// Twelve disks, each with an ESP and an HFS+ partition, and what makes lookups
// differ: failing ones (retried), a partition listed twice, a disk listed twice, a
// candidate only by its name (kept on disk3, dropped on disk7), an attached image
// and a disk without candidates.
inline void twelveDiskMac(FakeTools& tools) {
    using namespace discovery;
    namespace disktool = process::disktool;
    PlistArray disks;
    std::string text;
    for (int n = 0; n < 12; ++n) {
        const std::string disk = "disk" + std::to_string(n);
        const std::string esp = disk + "s1";
        const std::string data = disk + "s2";
        PlistDictionary espEntry{{"Content", "EFI"}, {"DeviceIdentifier", esp}};
        if (n % 4 == 3) {
            espEntry = {{"Content", "Microsoft Basic Data"},
                        {"DeviceIdentifier", esp},
                        {"VolumeName", "EFI"}};
        }
        PlistArray partitions{
            espEntry, PlistDictionary{{"Content", "Apple_HFS"}, {"DeviceIdentifier", data}}};
        if (n == 8) {
            partitions.push_back(espEntry);
        }
        if (n == 10) {
            partitions.erase(partitions.begin());
        }
        const PlistDictionary entry{{"DeviceIdentifier", disk}, {"Partitions", partitions}};
        disks.push_back(entry);
        if (n == 4) {
            disks.push_back(entry);
        }
        text += "/dev/" + disk + " (internal, physical):\n";
        if (n != 10) {
            text +=
                "   1:                        EFI EFI                     209.7 MB   " + esp + "\n";
        }
        text +=
            "   2:                  Apple_HFS Mac                     1.0 TB     " + data + "\n";

        answerInfo(tools, disk, {{"MediaName", "Disk " + std::to_string(n)}, {"TotalSize", 1000}});
        PlistDictionary espInfo = fat32ESP();
        if (n == 7) {
            espInfo = {{"Content", "Apple_HFS"}, {"FilesystemName", "hfs"}};
        }
        answerInfo(tools, esp, espInfo);
        answerInfo(tools, data, {{"Content", "Apple_HFS"}, {"FilesystemName", "hfs"}});
    }
    tools.fail(disktool::infoPlist("disk2s2"), 1, "diskutil info failed");
    tools.fail(disktool::infoPlist("disk5s1"), 1, "diskutil info failed");
    tools.fail(disktool::infoPlist("disk6"), 1, "diskutil info failed");
    tools.answer(disktool::listPlist(),
                 PlistValue(PlistDictionary{{"AllDisksAndPartitions", std::move(disks)}}));
    tools.answer(disktool::listText(), text);
    tools.answer(disktool::imageInfoPlist(),
                 PlistValue(PlistDictionary{
                     {"images", PlistArray{PlistDictionary{
                                    {"image-path", "/Images/Nine.dmg"},
                                    {"system-entities", PlistArray{PlistDictionary{
                                                            {"dev-entry", "/dev/disk9"}}}}}}}}));
}

} // namespace tesselwick::testing
