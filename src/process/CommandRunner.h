#pragma once

#include "support/Duration.h"

#include <functional>
#include <string>
#include <vector>

namespace tesselwick::process {

// Runs one command (executable path, arguments, time-out) and returns
// its standard output, or throws like runProcessData. Everything that starts a
// tool takes one of these so tests can answer command lines from recorded
// output; production uses systemCommandRunner().
using CommandRunner = std::function<std::string(
    const std::string& executablePath, const std::vector<std::string>& arguments, Seconds timeout)>;

// The production runner: runProcessData.
CommandRunner systemCommandRunner();

} // namespace tesselwick::process
