#pragma once

// Running macsim and sim/sandbox from tests: shell commands with captured output,
// temporary directories, and the reason a sandbox cannot be built here (for skips).

#include <Plist.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace simtest {

using macsim::Json;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Single-quoted for /bin/sh.
inline std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/tesselwick-test.XXXXXX";
        char* made = ::mkdtemp(pattern.data());
        path_ = made != nullptr ? made : "/tmp";
        std::filesystem::permissions(path_, std::filesystem::perms::all);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

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
