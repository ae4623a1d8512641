#include "SandboxRunner.h"

#include "sim/SimTestSupport.h"

#include <filesystem>
#include <sstream>

namespace tesselwick::testing {
namespace {

using simtest::quote;

} // namespace

std::string SandboxRunner::Result::value(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? "<missing " + key + ">" : it->second;
}

std::string SandboxRunner::unavailableReason() {
    if (!std::filesystem::exists(simtest::macsimPath())) {
        return "no macsim binary at " + simtest::macsimPath();
    }
    return simtest::sandboxUnavailable().value_or(std::string());
}

void SandboxRunner::writeFile(const std::string& name, const std::string& content) const {
    simtest::writeText(dir_ + "/" + name, content);
}

std::string SandboxRunner::readFile(const std::string& name) const {
    return readText(dir_ + "/" + name);
}

SandboxRunner::Result SandboxRunner::run(const std::string& script, bool asRoot,
                                         const std::string& worldExtra, const std::string& world) {
    const std::string tag = std::to_string(++runs_);
    std::string worldText = world.starts_with("{") ? world : readText(simtest::worldPath(world));
    if (!worldExtra.empty()) {
        const auto brace = worldText.find('{');
        worldText.insert(brace + 1, "\n" + worldExtra + ",\n");
    }
    writeFile("world" + tag + ".json", worldText);
    writeFile("script" + tag + ".zsh", sandboxPrelude(dir_) + script);
    std::remove((dir_ + "/macsim.log").c_str());
    const simtest::Result run =
        simtest::runShell("cd " + quote(dir_) + " && MACSIM_LOG=" + quote(dir_ + "/macsim.log") +
                          " " + simtest::sandbox(dir_ + "/world" + tag + ".json", asRoot) +
                          "/bin/zsh " + quote(dir_ + "/script" + tag + ".zsh"));
    Result result{run.status, run.out, run.err, {}};
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
UNINSTALLER="$TW_DIR/uninstaller.zsh"
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
# A record naming a process that has exited.
dead_record() {
  zsh -c 'exit 0' & local pid=$!
  wait $pid
  write_record "$1" $pid 'Thu Jan  1 00:00:00 1970     0 1'
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
