#pragma once

#include "helper/HelperScripts.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace tesselwick::testing {

// Runs zsh scripts inside sim/sandbox. Each run gets a fresh sandbox and a
// scratch directory under /tmp (bound into the sandbox at the same path) that
// outlives it, so tests can read what the script left there.
class SandboxRunner {
public:
    struct Result {
        int status = -1;
        std::string out;
        std::string err;
        // key=value lines the script printed with `say`.
        std::map<std::string, std::string> values;
        std::string value(const std::string& key) const;
    };

    // Empty when a sandbox can be built here, else the launcher's reason.
    static std::string unavailableReason();

    // The scratch directory; also $TW_DIR inside the script.
    const std::string& dir() const { return dir_; }
    void writeFile(const std::string& name, const std::string& content) const;
    std::string readFile(const std::string& name) const;

    // `worldExtra` is spliced into the world's top-level object (for example
    // `"wrap": ["/usr/sbin/visudo"], "faults": [...]`); `world` names a file
    // under sim/worlds, or is a whole world's JSON text when it starts with "{".
    Result run(const std::string& script, bool asRoot = true,
               const std::string& worldExtra = std::string(),
               const std::string& world = "multiboot.json");

private:
    TempDir scratch_;
    std::string dir_ = scratch_.path().string();
    int runs_ = 0;
};

// Shell functions every sandbox script can use: say KEY VALUE, meta PATH
// (uid:gid:mode or "absent"), identity_of PID, write_record PATH PID IDENTITY,
// dead_record PATH (naming a process that has exited),
// diskutil_calls VERB (from the simulator's invocation log, $TW_DIR/macsim.log),
// and the variables HP, SP, HD, LOCK, RECOVERY, EPOCH, INSTALLER, HELPER,
// UNINSTALLER (for the world's user, ava).
std::string sandboxPrelude(const std::string& dir);

// A fixture with a sandbox, skipped with the launcher's reason where none can be
// built; the installer, the helper and the uninstaller wait in its scratch
// directory.
class SandboxFixture : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string reason = SandboxRunner::unavailableReason();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        sandbox_.writeFile("installer.zsh", helper::installerScript());
        sandbox_.writeFile("helper.zsh", helper::helperScript());
        sandbox_.writeFile("uninstaller.zsh", helper::uninstallerScript("ava"));
    }
    SandboxRunner sandbox_;
};

} // namespace tesselwick::testing
