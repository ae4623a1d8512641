#pragma once

#include <string>
#include <vector>

namespace tesselwick::process {

// Runs one command-line tool as a child process and returns the retained bytes
// of its standard output. Blocking; observes the calling task's cancellation.
// Throws a DomainError (domain "Tesselwick") or CancellationError.
std::string runProcessData(const std::string& executablePath,
                           const std::vector<std::string>& arguments, double timeout);

// The one-line text of a command used in every runner message and log line.
std::string commandDescription(const std::string& executablePath,
                               const std::vector<std::string>& arguments);

} // namespace tesselwick::process
