#include "process/ProcessRunner.h"

#include "support/Errors.h"

namespace tesselwick::process {

// Provisional until the event-driven runner lands.
std::string runProcessData(const std::string& executablePath,
                           const std::vector<std::string>& arguments, double) {
    throw commandError(74, "The command runner is not available yet: " +
                               commandDescription(executablePath, arguments));
}

std::string commandDescription(const std::string& executablePath,
                               const std::vector<std::string>& arguments) {
    std::string out = executablePath;
    for (const auto& argument : arguments) {
        out += " " + argument;
    }
    return out;
}

} // namespace tesselwick::process
