#pragma once

// Running macsim and sim/sandbox from tests: shell commands with captured output,
// temporary directories, and the reason a sandbox cannot be built here (for skips).

#include "support/TempDir.h"

#include <Plist.h>

#include <filesystem>
#include <optional>
#include <string>

#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace simtest {

using macsim::Json;
using tesselwick::testing::readText;
using tesselwick::testing::TempDir;
using tesselwick::testing::writeText;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Single-quoted for /bin/sh.
inline std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// Runs `/bin/sh -c script`, standard output and error captured separately.
inline Result runShell(const std::string& script) {
    TempDir dir;
    std::string command = "/bin/sh -c " + quote(script) + " >" + quote(dir / "out") + " 2>" +
                          quote(dir / "err") + " </dev/null";
    int raw = std::system(command.c_str());
    Result run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    run.out = readText(dir / "out");
    run.err = readText(dir / "err");
    return run;
}

inline std::string macsimPath() {
    return std::string(TESSELWICK_BINARY_DIR) + "/bin/macsim";
}
inline std::string sandboxPath() {
    return std::string(TESSELWICK_SOURCE_DIR) + "/sim/sandbox";
}
inline std::string worldPath(const std::string& name) {
    return std::string(TESSELWICK_SOURCE_DIR) + "/sim/worlds/" + name;
}

// The sandbox command line up to and including "--".
inline std::string sandbox(const std::string& world, bool asRoot) {
    return sandboxPath() + " --macsim " + quote(macsimPath()) + " --world " + quote(world) +
           (asRoot ? " --as-root" : "") + " -- ";
}

// Empty when a sandbox can be built here; otherwise the launcher's one-line reason.
inline std::optional<std::string> sandboxUnavailable() {
    Result run = runShell(sandboxPath() + " --check");
    if (run.status == 0) {
        return std::nullopt;
    }
    std::string reason = run.err;
    while (!reason.empty() && reason.back() == '\n') {
        reason.pop_back();
    }
    return reason.empty() ? "sim/sandbox --check failed" : reason;
}

#define SKIP_WITHOUT_SANDBOX()                                                                     \
    do {                                                                                           \
        if (auto reason = ::simtest::sandboxUnavailable()) {                                       \
            GTEST_SKIP() << *reason;                                                               \
        }                                                                                          \
    } while (false)

} // namespace simtest
