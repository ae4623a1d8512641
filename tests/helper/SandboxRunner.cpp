#include "SandboxRunner.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tesselwick::testing {
namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string sandboxPath() {
    return envOr("TESSELWICK_SANDBOX", std::string(TESSELWICK_SOURCE_DIR) + "/sim/sandbox");
}

std::string macsimPath() {
    return envOr("TESSELWICK_MACSIM", std::string(TESSELWICK_BINARY_DIR) + "/bin/macsim");
}

std::string worldsDir() {
    return std::filesystem::path(sandboxPath()).parent_path().string() + "/worlds";
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int shellStatus(int raw) {
    if (raw == -1) {
        return -1;
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

} // namespace

std::string SandboxRunner::Result::value(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? "<missing " + key + ">" : it->second;
}

SandboxRunner::SandboxRunner() {
    char pattern[] = "/tmp/tesselwick-helper-test.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = pattern;
    // Scripts also run as the world's user and write their reports here.
    std::filesystem::permissions(dir_, std::filesystem::perms::all);
}

SandboxRunner::~SandboxRunner() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string SandboxRunner::unavailableReason() {
    if (!std::filesystem::exists(macsimPath())) {
        return "no macsim binary at " + macsimPath();
    }
    const std::string errFile = "/tmp/tesselwick-sandbox-check.err";
    const int status = shellStatus(
        std::system((shellQuote(sandboxPath()) + " --check >/dev/null 2>" + errFile).c_str()));
    std::string reason = slurp(errFile);
    std::remove(errFile.c_str());
    if (status == 0) {
        return {};
    }
    return reason.empty() ? "sim/sandbox --check failed" : reason;
}

std::string SandboxRunner::worldText(const std::string& name) {
    return slurp(worldsDir() + "/" + name);
}

void SandboxRunner::writeFile(const std::string& name, const std::string& content) const {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << content;
}

std::string SandboxRunner::readFile(const std::string& name) const {
    return slurp(dir_ + "/" + name);
}

SandboxRunner::Result SandboxRunner::run(const std::string& script, bool asRoot,
                                         const std::string& worldExtra, const std::string& world) {
    const std::string tag = std::to_string(++runs_);
    std::string worldText = world.starts_with("{") ? world : slurp(worldsDir() + "/" + world);
    if (!worldExtra.empty()) {
        const auto brace = worldText.find('{');
        worldText.insert(brace + 1, "\n" + worldExtra + ",\n");
    }
    writeFile("world" + tag + ".json", worldText);
    writeFile("script" + tag + ".zsh", sandboxPrelude(dir_) + script);
    const std::string out = dir_ + "/stdout" + tag;
    const std::string err = dir_ + "/stderr" + tag;
    std::remove((dir_ + "/macsim.log").c_str());
    const std::string command =
        "cd " + shellQuote(dir_) + " && MACSIM_LOG=" + shellQuote(dir_ + "/macsim.log") + " " +
        shellQuote(sandboxPath()) + " --world " + shellQuote(dir_ + "/world" + tag + ".json") +
        (asRoot ? " --as-root" : "") + " --macsim " + shellQuote(macsimPath()) + " -- /bin/zsh " +
        shellQuote(dir_ + "/script" + tag + ".zsh") + " >" + shellQuote(out) + " 2>" +
        shellQuote(err) + " </dev/null";
    Result result;
    result.status = shellStatus(std::system(command.c_str()));
    result.out = slurp(out);
    result.err = slurp(err);
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) {
            result.values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return result;
}

std::string sandboxPrelude(const std::string& dir) {
    return R"PRELUDE(set -u
zmodload zsh/datetime
TW_DIR=')PRELUDE" +
           dir + R"PRELUDE('
HD=/Library/PrivilegedHelperTools
HP=/Library/PrivilegedHelperTools/com.vornaby.harbortide.helper
SP=/etc/sudoers.d/vornaby-harbortide
LOCK=/Library/PrivilegedHelperTools/.com.vornaby.harbortide.install.lock
RECOVERY="$LOCK.recovery"
EPOCH="$LOCK.epoch"
INSTALLER="$TW_DIR/installer.zsh"
HELPER="$TW_DIR/helper.zsh"
say() { print -r -- "$1=${2:-}"; }
meta() {
  if [[ -e "$1" || -L "$1" ]]; then /usr/bin/stat -f '%u:%g:%Mp%Lp' "$1"; else print -r -- absent; fi
}
identity_of() {
  local id
  id="$(/bin/ps -o lstart= -o uid= -o pgid= -p "$1")"
  id="${id#"${id%%[![:space:]]*}"}"
  id="${id%"${id##*[![:space:]]}"}"
  print -r -- "$id"
}
write_record() {
  print -r -- "$2" >"$1"
  print -r -- "$3" >>"$1"
  chown root:wheel "$1"
  chmod 0600 "$1"
}
# Entries of the two privileged directories that belong to us, one line.
our_entries() {
  print -r -- "$(ls -A "$HD" /etc/sudoers.d | grep -E 'vornaby|harbortide' | sort | tr '\n' ' ')"
}
tmp_dirs() { local d=(/private/tmp/vornaby-harbortide.*(N)); print -r -- ${#d}; }
# How many times the simulated diskutil ran with the verb $1 so far.
diskutil_calls() {
  if [[ -e "$TW_DIR/macsim.log" ]]; then
    grep -cE '"argv":\["[^"]*diskutil","'"$1"'"' "$TW_DIR/macsim.log" || true
  else
    print -r -- 0
  fi
}
)PRELUDE";
}

} // namespace tesselwick::testing
