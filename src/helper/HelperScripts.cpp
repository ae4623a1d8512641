#include "helper/HelperScripts.h"

#include "helper/EmbeddedScripts.h"

#include <regex>
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

} // namespace

std::string helperScript() {
    return std::string(scripts::kHelper);
}

std::string installerScript() {
    return std::string(scripts::kInstaller);
}

std::string privilegedDiskutilScript(discovery::DiskOperation operation,
                                     const discovery::PartitionId& partition,
                                     const std::string& lease) {
    static const std::regex leaseForm(R"(/tmp/tesselwick-lease\.[A-Za-z0-9]{6})");
    if (!std::regex_match(lease, leaseForm)) {
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
