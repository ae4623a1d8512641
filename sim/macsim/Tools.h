#pragma once

// The simulated command-line tools. Each returns what the real tool would print
// and its exit status; nothing here writes to the terminal directly.

#include "Machine.h"

#include <optional>
#include <string>
#include <vector>

namespace macsim {

struct Output {
    std::string out;
    std::string err;
    int status = 0;
};

using Args = std::vector<std::string>;

// Tools driven by the machine (called with the home lock held).
Output diskutil(Machine& machine, const Args& args, unsigned realUid);
Output hdiutil(Machine& machine, const Args& args, unsigned realUid);

// Stateless tools. std::nullopt means "hand this use to the system's own tool".
std::optional<Output> plutil(const Args& args, const std::string& standardInput);
std::optional<Output> bsdStat(const Args& args);
std::optional<Output> base64Decode(const Args& args, const std::string& standardInput);

// osascript: the command inside `do shell script "…" with administrator privileges`,
// with the AppleScript string escapes undone; std::nullopt for any other script.
std::optional<std::string> administratorShellCommand(const std::string& script);
// What `do shell script` makes of a finished command (its result or its error line).
Output osascriptResult(const std::string& script, int commandStatus, const std::string& commandOut,
                       const std::string& commandErr);
Output osascriptCancelled(const std::string& script);

// Text helpers shared with the tests.
std::optional<std::string> decodeBase64(const std::string& text);
std::string formatBsdStat(const std::string& format, const std::string& path, bool followLinks,
                          bool& ok, std::string& error);

} // namespace macsim
