#pragma once

// Shared by the fuzz targets: tool answers scripted by the input, and the checks
// every scan result must pass whatever the tools printed.

#include "discovery/Classification.h"
#include "discovery/DiskReport.h"
#include "discovery/ESPVolume.h"
#include "process/DiskTool.h"
#include "support/Errors.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tesselwick::fuzz {

// Stops the run with a message libFuzzer shows next to the input.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
    std::abort();
}

// "diskutil info -plist disk0s1": the tool's file name and its arguments.
inline std::string commandKey(const std::string& executablePath,
                              const std::vector<std::string>& arguments) {
    std::string key = executablePath.substr(executablePath.rfind('/') + 1);
    for (const auto& argument : arguments) {
        key.append(" ").append(argument);
    }
    return key;
}

// A recorded session: lines "@@ <command key>" each followed by what the tool
// printed, up to the next such line. A command with no record fails like a tool
// that exits 1, so the fuzzer also reaches every failure path.
class ScriptedTools {
public:
    explicit ScriptedTools(std::string_view input) {
        std::size_t pos = 0;
        if (!input.starts_with("@@ ")) {
            const std::size_t first = input.find("\n@@ ");
            if (first == std::string_view::npos) {
                return;
            }
            pos = first + 1;
        }
        while (pos < input.size()) {
            const std::size_t headerEnd = input.find('\n', pos);
            const std::string key(input.substr(pos + 3, headerEnd == std::string_view::npos
                                                            ? std::string_view::npos
                                                            : headerEnd - pos - 3));
            if (headerEnd == std::string_view::npos) {
                answers_.emplace(key, std::string());
                return;
            }
            const std::size_t next = input.find("\n@@ ", headerEnd);
            const std::size_t bodyEnd = next == std::string_view::npos ? input.size() : next;
            answers_.emplace(key,
                             std::string(input.substr(headerEnd + 1, bodyEnd - headerEnd - 1)));
            if (next == std::string_view::npos) {
                return;
            }
            pos = next + 1;
        }
    }

    process::CommandRunner runner() const {
        return [this](const std::string& path, const std::vector<std::string>& arguments,
                      tesselwick::Seconds) {
            const auto answer = answers_.find(commandKey(path, arguments));
            if (answer == answers_.end()) {
                throw commandError(1, "no recorded answer");
            }
            return answer->second;
        };
    }

private:
    std::map<std::string, std::string> answers_;
};

// What every published volume promises, whatever the tools printed.
inline void checkVolumes(const std::vector<discovery::ESPVolume>& volumes) {
    for (const auto& volume : volumes) {
        if (volume.id != volume.diskIdentifier) {
            fail("id differs from the disk identifier " + volume.diskIdentifier);
        }
        if (!discovery::isPartitionOf(volume.diskIdentifier, volume.parentIdentifier)) {
            fail(volume.diskIdentifier + " is not a partition of " + volume.parentIdentifier);
        }
        if (volume.mountPoint && (volume.mountPoint->empty() || *volume.mountPoint == "/")) {
            fail("mount point \"" + *volume.mountPoint + "\" on " + volume.id);
        }
        if (volume.filesystem.empty()) {
            fail("empty filesystem on " + volume.id);
        }
        if (volume.isDiskImage != volume.imagePath.has_value()) {
            fail("disk-image flag and image path disagree on " + volume.id);
        }
        if (volume.sizeBytes < 0 || volume.parentSizeBytes < 0) {
            fail("negative size on " + volume.id);
        }
    }
    std::set<std::string, std::less<>> ids;
    for (const auto& volume : volumes) {
        if (!ids.insert(volume.id).second) {
            fail("duplicate volume " + volume.id);
        }
    }
}

// The disk reports of the same scan: one per disk, each listed ESP on its own
// disk and nowhere else, a reason exactly where there is none.
inline void checkDisks(const std::vector<discovery::ESPVolume>& volumes,
                       const std::vector<discovery::DiskReport>& disks) {
    std::set<std::string, std::less<>> diskIDs;
    std::map<std::string, std::string, std::less<>> espDisk;
    for (const auto& disk : disks) {
        if (!diskIDs.insert(disk.id).second) {
            fail("duplicate disk report " + disk.id);
        }
        if (disk.reason.has_value() != disk.espIdentifiers.empty() || disk.sizeBytes < 0) {
            fail("reason, ESPs or size inconsistent on " + disk.id);
        }
        for (const auto& id : disk.espIdentifiers) {
            if (!espDisk.emplace(id, disk.id).second) {
                fail(id + " reported twice");
            }
        }
    }
    for (const auto& volume : volumes) {
        auto found = espDisk.find(volume.id);
        if (found == espDisk.end() || found->second != volume.parentIdentifier) {
            fail(volume.id + " not reported on " + volume.parentIdentifier);
        }
    }
    if (espDisk.size() != volumes.size()) {
        fail("a disk reports an ESP that was not listed");
    }
}

} // namespace tesselwick::fuzz
