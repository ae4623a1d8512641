#include "helper/HelperScripts.h"

#include "helper/EmbeddedScripts.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace tesselwick::helper {

const char* const kHelperDirectory = scripts::kHelperDirectory;
const char* const kSudoersDirectory = scripts::kSudoersDirectory;
const char* const kHelperPath = scripts::kHelperPath;
const char* const kSudoersPath = scripts::kSudoersPath;
const char* const kInstallLockName = scripts::kInstallLockName;
const char* const kSudoersRule = scripts::kSudoersRule;
const char* const kReadyMarker = scripts::kReadyMarker;

namespace {

// Replaces the place holder `name` of the administrator script; throws
// std::out_of_range when the script has none.
void splice(std::string& script, std::string_view name, std::string_view value) {
    script.replace(script.find(name), name.size(), value);
}

bool isAsciiLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// /tmp/tesselwick-lease. and six letters or digits, as mkstemp makes them.
bool isRequestLease(std::string_view lease) {
    constexpr std::string_view prefix = "/tmp/tesselwick-lease.";
    if (lease.size() != prefix.size() + 6 || !lease.starts_with(prefix)) {
        return false;
    }
    const std::string_view suffix = lease.substr(prefix.size());
    return std::all_of(suffix.begin(), suffix.end(), isAsciiLetterOrDigit);
}

// The portable user-name form (letters, digits, "_", ".", "-"; no leading
// digit or dash), which single quotes in a script can hold unchanged.
bool isUserName(std::string_view name) {
    if (name.empty() || name.size() > 64 || (name[0] >= '0' && name[0] <= '9') || name[0] == '-' ||
        name[0] == '.') {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return isAsciiLetterOrDigit(c) || c == '_' || c == '.' || c == '-';
    });
}

} // namespace

std::string helperScript() {
    return std::string(scripts::kHelper);
}

std::string installerScript() {
    return std::string(scripts::kInstaller);
}

std::string uninstallerScript(const std::string& requester) {
    if (!isUserName(requester)) {
        throw std::invalid_argument("not a user name: " + requester);
    }
    std::string script(scripts::kUninstaller);
    splice(script, "{{REQUESTER}}", requester);
    return script;
}

std::string privilegedDiskutilScript(discovery::DiskOperation operation,
                                     const discovery::PartitionId& partition,
                                     const std::string& lease) {
    if (!isRequestLease(lease)) {
        throw std::invalid_argument("not a request lease: " + lease);
    }
    std::string script(scripts::kAdministrator);
    splice(script, "{{COMMAND}}", discovery::operationName(operation));
    splice(script, "{{DISK}}", partition.str());
    splice(script, "{{WHOLE_DISK}}", partition.wholeDisk());
    splice(script, "{{LEASE}}", lease);
    return script;
}

} // namespace tesselwick::helper
