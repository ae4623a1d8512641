#include "helper/HelperScripts.h"

#include "helper/EmbeddedScripts.h"

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
                                     const discovery::PartitionId& partition) {
    std::string script(scripts::kAdministrator);
    splice(script, "{{COMMAND}}", discovery::operationName(operation));
    splice(script, "{{DISK}}", partition.str());
    splice(script, "{{WHOLE_DISK}}", partition.wholeDisk());
    return script;
}

} // namespace tesselwick::helper
