#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tesselwick::operations {

// How a child process is run: path, arguments, time-out in seconds; returns the
// standard output bytes or throws like process::runProcessData, which is the
// production value. Tests hand in their own.
using CommandRunner = std::function<std::string(
    const std::string& executablePath, const std::vector<std::string>& arguments, double timeout)>;

// The production runner: process::runProcessData.
CommandRunner defaultCommandRunner();

inline constexpr const char* kOsascriptPath = "/usr/bin/osascript";
inline constexpr double kAdministratorTimeout = 120.0;

// True for "disk" + digits (a whole disk) and "disk" + digits + "s" + digits.
bool isWholeDiskIdentifier(std::string_view identifier);
bool isPartitionIdentifier(std::string_view identifier);

// The root script that re-validates one ESP and mounts or unmounts it. The
// three values are spliced between single quotes unescaped, so they are checked
// here once more: a command other than "mount"/"unmount", malformed
// identifiers, or a partition of another parent throw DomainError code 64
// before any text is built.
std::string privilegedDiskutilScript(std::string_view command, std::string_view diskIdentifier,
                                     std::string_view parentIdentifier);

// Standard Base64 (RFC 4648 alphabet, "=" padding) on one line.
std::string base64Encode(std::string_view bytes);

// The shell command line that carries `script` to a root zsh as Base64, so no
// part of the script needs shell quoting.
std::string scriptTransportLine(std::string_view script);

// The command line as the body of an AppleScript string literal: backslashes
// doubled first, then every double quote preceded by a backslash.
std::string appleScriptStringEscape(std::string_view line);

// "do shell script \"<escaped line>\" with administrator privileges"
std::string administratorAppleScript(std::string_view shellCommandLine);

// Runs one shell command line as root behind the system's authorization
// prompt (osascript, 120 s). The output is discarded; runner errors pass on
// unchanged. Blocking; call on a worker task.
void runShellAsAdministrator(std::string_view shellCommandLine,
                             const CommandRunner& runner = defaultCommandRunner());

} // namespace tesselwick::operations
