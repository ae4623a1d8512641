#include "helper/ESPHelper.h"

#include "diagnostics/Diagnostics.h"
#include "helper/HelperScripts.h"
#include "process/AdministratorShell.h"
#include "support/ExitCodes.h"
#include "support/Task.h"
#include "support/Text.h"
#include "support/Utf8.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace tesselwick::ESPHelper {
namespace {

// Undecodable output counts as empty, like the rest of the system treats
// text it cannot read.
std::string decodedTrimmed(const std::string& bytes) {
    return utf8::isValid(bytes) ? text::trim(bytes) : std::string();
}

std::vector<std::string> helperArguments(std::string_view command, std::string_view disk) {
    std::vector<std::string> arguments{"-n", "--", helper::kHelperPath, std::string(command)};
    if (!disk.empty()) {
        arguments.emplace_back(disk);
    }
    return arguments;
}

// The name the uninstaller checks sudo for; empty when the account has none.
std::string currentUserName() {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_name != nullptr) {
        return found->pw_name;
    }
    return {};
}

// False when `path` exists or cannot be looked at.
bool knownAbsent(const char* path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() ==
           std::filesystem::file_type::not_found;
}

bool knownPresent(const char* path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

// Runs a root script behind the authorization prompt, then probes afresh:
// whatever was cached about the helper is stale now.
ProbeResult runAsAdministratorThenProbe(const std::string& script, const char* name,
                                        ESPHelperStatusCache& cache,
                                        const process::CommandRunner& runner) {
    const std::string source =
        process::administratorAppleScript(process::scriptTransportLine(script));
    const std::string output =
        decodedTrimmed(runner(process::kOsascriptPath, {"-e", source}, kInstallerTimeout));
    TW_LOG(std::string("ESPHelper ") + name +
           " completed output=" + (output.empty() ? "<empty>" : output));
    cache.invalidate();
    const ProbeResult probe = probePasswordlessRuntime(runner);
    cache.storeFromOutside(probe.ready);
    return probe;
}

} // namespace

DomainError helperError(std::string message, std::int64_t code) {
    return DomainError(kHelperErrorDomain, code, std::move(message));
}

std::string installerScript() {
    return helper::installerScript();
}

std::string uninstallerScript() {
    try {
        return helper::uninstallerScript(currentUserName());
    } catch (const std::invalid_argument&) {
        throw helperError("The helper cannot be removed for this account: its user name is "
                          "not one the uninstaller accepts.");
    }
}

bool helperFilesAbsent() {
    return knownAbsent(helper::kHelperPath) && !knownPresent(helper::kSudoersPath);
}

ProbeResult probePasswordlessRuntime(const process::CommandRunner& runner) {
    TW_LOG("ESPHelper runtime probe begin");
    try {
        const std::string output =
            decodedTrimmed(runner(kSudoPath, helperArguments("version", {}), kProbeTimeout));
        if (output == helper::kHelperVersion) {
            TW_LOG("ESPHelper runtime probe succeeded version=" + output);
            return {true, "Helper version " + output + " is ready."};
        }
        const std::string message = output.empty()
                                        ? std::string("The helper returned no version.")
                                        : "The helper returned version '" + output +
                                              "' instead of '" + helper::kHelperVersion + "'.";
        TW_LOG("ESPHelper runtime probe rejected: " + message);
        return {false, message};
    } catch (const CancellationError&) {
        TW_LOG("ESPHelper runtime probe cancelled");
        return {false, "The helper validation was cancelled."};
    } catch (const std::exception& error) {
        const std::string description = text::trim(error.what());
        TW_LOG("ESPHelper runtime probe failed error=" + description);
        return {false, description.empty()
                           ? std::string("sudo rejected the helper without an error message.")
                           : description};
    }
}

bool isInstalled(ESPHelperStatusCache& cache, const process::CommandRunner& runner) {
    // A superseded probe is retried once; a second loss means someone else
    // keeps writing fresher answers, so theirs is the one to return.
    for (int round = 0; round < 2; ++round) {
        if (const auto fresh = cache.freshValue()) {
            return *fresh;
        }
        const auto ticket = cache.beginLoad();
        const ProbeResult result = probePasswordlessRuntime(runner);
        if (task::isCancelled()) {
            cache.abandonLoad(ticket);
            return cache.cachedValue().value_or(false);
        }
        if (cache.completeLoad(ticket, result.ready)) {
            return result.ready;
        }
    }
    return cache.cachedValue().value_or(false);
}

void run(discovery::DiskOperation operation, const discovery::PartitionId& partition,
         ESPHelperStatusCache& cache, const process::CommandRunner& runner) {
    const std::string command = discovery::operationName(operation);
    const std::string heading = "EFI " + command + " failed for " + partition.str() + ".\n\n";
    try {
        runner(kSudoPath, helperArguments(command, partition.str()), kRunTimeout);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        const std::string description = error.what();
        const auto* domainError = dynamic_cast<const DomainError*>(&error);
        const std::int64_t code = domainError ? domainError->code() : 1;
        std::vector<std::string> remaining;
        bool helperRan = false;
        for (const auto& line : text::split(description, '\n')) {
            if (line == helper::kReadyMarker) {
                helperRan = true;
            } else {
                remaining.push_back(line);
            }
        }
        if (!helperRan) {
            // sudo refused or the helper is missing: the caller may fall back.
            // A time-out keeps its code: the caller reads what it left.
            throw helperError(heading + description,
                              code == exitcode::kTimedOut ? code : std::int64_t{1});
        }
        // The helper ran, so it is installed; the failure is the operation's.
        cache.storeFromOutside(true);
        std::string detail = text::trim(text::join(remaining, "\n"));
        if (detail.empty()) {
            detail = "The helper command failed with status " + std::to_string(code) + ".";
        }
        throw DomainError(kHelperOperationErrorDomain, code, heading + detail);
    }
    cache.storeFromOutside(true);
}

void install(ESPHelperStatusCache& cache, const process::CommandRunner& runner) {
    const ProbeResult probe =
        runAsAdministratorThenProbe(helper::installerScript(), "installer", cache, runner);
    if (!probe.ready) {
        throw helperError(kInstallProbeRefusedPrefix + probe.message);
    }
}

bool uninstall(ESPHelperStatusCache& cache, const process::CommandRunner& runner) {
    if (helperFilesAbsent()) {
        cache.storeFromOutside(false);
        return false;
    }
    const ProbeResult probe =
        runAsAdministratorThenProbe(uninstallerScript(), "uninstaller", cache, runner);
    if (probe.ready) {
        throw helperError(kUninstallProbeReadyMessage);
    }
    return true;
}

} // namespace tesselwick::ESPHelper
