// The uninstaller run for real by zsh as root inside the sandbox, after a
// real installation, each case from a fresh sandbox.
#include "SandboxRunner.h"

#include <gtest/gtest.h>

#include <sstream>

using tesselwick::testing::SandboxRunner;

namespace {

// Installs, lets the case change things ($plant), records the state, then
// runs the uninstaller ($run: in the foreground unless the case says).
const std::string kInstallThenRemove = R"SH(
zsh "$INSTALLER" >/dev/null 2>&1 || say install_failed 1
eval "$(<"$TW_DIR/plant")"
state() { print -r -- "$(meta "$HP") $(meta "$SP") $(cat "$HP" "$SP" 2>/dev/null | cksum)"; }
say before "$(state)"
eval "$(<"$TW_DIR/run")"
say after "$(state)"
say entries "$(our_entries)"
su ava -c "sudo -n $HP version" >/dev/null 2>&1; say sudo $?
)SH";

class UninstallerSandbox : public tesselwick::testing::SandboxFixture {
protected:
    SandboxRunner::Result run(const std::string& plant, const std::string& faults = "",
                              const std::string& run = "zsh \"$UNINSTALLER\" "
                                                       ">\"$TW_DIR/out\" 2>\"$TW_DIR/err\"; "
                                                       "say status $?") {
        sandbox_.writeFile("plant", plant);
        sandbox_.writeFile("run", run);
        return sandbox_.run(kInstallThenRemove, true, faults);
    }
    std::string out() const { return sandbox_.readFile("out"); }
    std::string err() const { return sandbox_.readFile("err"); }
};

} // namespace

TEST_F(UninstallerSandbox, RemovesTheInstallationOrFindsNone) {
    // installed: both files and nothing of ours left, sudo refuses; nothing
    // installed: said so; a rule left without its helper: removed too
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"rm -f \"$HP\" \"$SP\"", "The helper is not installed.\n"},
        {"rm -f \"$HP\"", ""},
    };
    for (const auto& [plant, message] : cases) {
        SCOPED_TRACE(plant);
        const auto r = run(plant);
        EXPECT_EQ(r.value("status"), "0") << err() << r.err;
        EXPECT_EQ(out(), message);
        EXPECT_EQ(err(), "");
        EXPECT_EQ(r.value("after").substr(0, 14), "absent absent ") << r.value("after");
        EXPECT_EQ(r.value("entries"), "");
        EXPECT_EQ(r.value("sudo"), "1");
    }
}

TEST_F(UninstallerSandbox, RefusesOrFailsWithEverythingPutBack) {
    const std::string hp = "/Library/PrivilegedHelperTools/com.vornaby.harbortide.helper";
    const std::string sp = "/etc/sudoers.d/vornaby-harbortide";
    const struct {
        const char* plant;
        std::string faults;
        const char* status;
        std::string message; // the start of the uninstaller's standard error
    } cases[] = {
        // a link in place of the helper, a rule of another owner, a directory
        {"mv \"$HP\" /etc/elsewhere; ln -s /etc/elsewhere \"$HP\"", "", "73",
         "Refusing to remove " + hp + ": it is not a regular file. Nothing was changed.\n"},
        {"chown 501 \"$SP\"", "", "73",
         "Refusing to remove " + sp + ": it is not owned by root. Nothing was changed.\n"},
        {"rm -f \"$SP\"; mkdir -m 0700 \"$SP\"", "", "73",
         "Refusing to remove " + sp + ": it is not a regular file. Nothing was changed.\n"},
        // another rule still lets ava run the helper without a password
        {"print -r -- \"%admin ALL=(root) NOPASSWD: $HP\" >/etc/sudoers.d/other; chmod 0440 "
         "/etc/sudoers.d/other",
         "", "78", "sudo still runs the helper for ava without a password"},
        // the helper cannot be moved aside, after the rule was
        {"",
         R"("wrap": ["/bin/mv"], "faults": [{"prefix": "mv )" + hp +
             R"(", "status": 1, "stderr": "mv: injected failure"}])",
         "1", "mv: injected failure\n"},
        // a running installation holds the lock
        {"sleep 30 & owner=$!; write_record \"$LOCK\" $owner \"$(identity_of $owner)\"", "", "75",
         "Another Tesselwick helper installation is already running\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plant);
        const auto r = run(c.plant, c.faults);
        EXPECT_EQ(r.value("status"), c.status) << err() << r.err;
        EXPECT_TRUE(err().starts_with(c.message)) << err();
        EXPECT_EQ(r.value("after"), r.value("before"));
        EXPECT_EQ(r.value("entries").find("removal"), std::string::npos) << r.value("entries");
    }
}

TEST_F(UninstallerSandbox, ASignalLeavesTheWholeInstallationOrNone) {
    // TERM while a slow mv moves the rule or the helper aside: everything is
    // put back; while the moved files are deleted: the signal waits, all goes.
    const std::pair<std::string, const char*> cases[] = {
        {"mv /etc/sudoers.d/vornaby-harbortide", "143"},
        {"mv /Library/PrivilegedHelperTools/com.vornaby.harbortide.helper", "143"},
        {"rm -rf /Library/PrivilegedHelperTools/.com.vornaby.harbortide.removal.", "0"},
    };
    for (const auto& [prefix, status] : cases) {
        SCOPED_TRACE(prefix);
        const std::string tool = prefix.substr(0, prefix.find(' '));
        const auto r = run("",
                           R"("wrap": ["/bin/)" + tool + R"("], "faults": [{"prefix": ")" + prefix +
                               R"(", "delay": 1.5}])",
                           "zsh \"$UNINSTALLER\" 2>\"$TW_DIR/err\" & pid=$!; "
                           "until pgrep --ns $$ --nslist mnt -f '^/bin/" +
                               prefix +
                               "' >/dev/null; do sleep 0.02; "
                               "done; kill -TERM $pid; wait $pid; say status $?");
        EXPECT_EQ(r.value("status"), status) << err() << r.err;
        EXPECT_EQ(r.value("after"),
                  *status == '0' ? "absent absent 4294967295 0" : r.value("before"));
        EXPECT_EQ(r.value("entries"),
                  *status == '0' ? "" : "com.vornaby.harbortide.helper vornaby-harbortide ");
    }
}

TEST_F(UninstallerSandbox, AnInstallAndARemovalTakeTurns) {
    // Each round starts installed, then an installer and an uninstaller start
    // together. A mktemp wrapper logs whose transaction each call belongs to
    // (I: the installer's three, U: the uninstaller's two): one transaction
    // follows the other or one is refused at once, and the files are those of
    // whichever came last.
    const auto r = run("", "", R"SH(
mv /usr/bin/mktemp /usr/bin/mktemp.real
cat >/usr/bin/mktemp <<WRAPPER_END
#!/bin/zsh
[[ "\$*" == *removal* ]] && print -n U >>"$TW_DIR/mktemp.log" || print -n I >>"$TW_DIR/mktemp.log"
exec /usr/bin/mktemp.real "\$@"
WRAPPER_END
chmod 0755 /usr/bin/mktemp
for round in {1..6}; do
  zsh "$INSTALLER" >/dev/null 2>&1 || say setup_failed $round
  : >"$TW_DIR/mktemp.log"
  zsh "$INSTALLER" >/dev/null 2>&1 & a=$!
  zsh "$UNINSTALLER" >/dev/null 2>&1 & b=$!
  wait $a; sa=$?; wait $b; sb=$?
  say round$round "$sa $sb $(<"$TW_DIR/mktemp.log") $(meta "$HP") $(meta "$SP") $(our_entries)"
done
)SH");
    const std::string installed =
        "0:0:0755 0:0:0440 com.vornaby.harbortide.helper vornaby-harbortide ";
    for (int round = 1; round <= 6; ++round) {
        std::string state = r.value("round" + std::to_string(round));
        // A contender that finds the lock's holder just gone reclaims the lock,
        // and its epoch stays for the next reclaim.
        const std::string epoch = ".com.vornaby.harbortide.install.lock.epoch ";
        if (const auto at = state.find(epoch); at != std::string::npos) {
            state.erase(at, epoch.size());
        }
        SCOPED_TRACE(state);
        std::istringstream words(state);
        std::string a, b, log;
        words >> a >> b >> log;
        const std::string turns = a + " " + b + " " + log;
        EXPECT_TRUE(turns == "0 0 IIIUU" || turns == "0 0 UUIII" || turns == "0 75 III" ||
                    turns == "75 0 UU");
        EXPECT_TRUE(state.ends_with(log.back() == 'I' ? installed : "absent absent "));
    }
    EXPECT_EQ(r.values.count("setup_failed"), 0u);
}
