#pragma once

#include "process/CommandRunner.h"

#include <string>
#include <string_view>

// Carrying a root script through the system's authorization prompt: the script
// travels as Base64 inside one shell command line, which travels inside an
// AppleScript string literal handed to osascript.
namespace tesselwick::process {

inline constexpr const char* kOsascriptPath = "/usr/bin/osascript";
inline constexpr Seconds kAdministratorTimeout{120.0};

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
                             const CommandRunner& runner = systemCommandRunner());

} // namespace tesselwick::process
