// The installer run for real by zsh as root inside the sandbox, each case from
// a fresh sandbox. Faults are injected from outside the script: a world fault
// on a wrapped tool, or a wrapper the case installs inside the sandbox.
#include "SandboxRunner.h"

#include "helper/HelperScripts.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

using namespace tesselwick;
using tesselwick::testing::SandboxRunner;

namespace {

const std::string kRule =
    "%admin ALL=(root) NOPASSWD: /Library/PrivilegedHelperTools/com.vornaby.harbortide.helper\n";
const std::string kOldHelper = "#!/bin/zsh\nprint -r -- 8\n";
const std::string kOldRule = "%admin ALL=(root) NOPASSWD: /usr/bin/true\n";

// Puts a previous installation in place (root:wheel, 0755 / 0440).
const char* kPreviousInstallation = R"SH(
print -rn -- $'#!/bin/zsh\nprint -r -- 8\n' >"$HP"; chown root:wheel "$HP"; chmod 0755 "$HP"
print -rn -- $'%admin ALL=(root) NOPASSWD: /usr/bin/true\n' >"$SP"; chown root:wheel "$SP"; chmod 0440 "$SP"
)SH";

// Runs the installer once and reports its status, the installed files and
// what it left behind.
const char* kRunAndReport = R"SH(
tmp_before=$(tmp_dirs)
zsh "$INSTALLER" >"$TW_DIR/installer.out" 2>"$TW_DIR/installer.err"
say status $?
say helper_meta "$(meta "$HP")"
say rule_meta "$(meta "$SP")"
[[ -e "$HP" ]] && cp "$HP" "$TW_DIR/helper.installed"
[[ -e "$SP" ]] && cp "$SP" "$TW_DIR/rule.installed"
if [[ -e "$SP" ]]; then /usr/sbin/visudo -cf "$SP" >/dev/null 2>&1; say visudo $?; fi
say entries "$(our_entries)"
say new_tmp_dirs $(( $(tmp_dirs) - tmp_before ))
)SH";

// Copies of the lock records before the run, and the time it starts.
const char* kSaveRecords = R"SH(
rm -f "$TW_DIR"/lock.*(N) "$TW_DIR"/recovery.*(N)
[[ -e "$LOCK" ]] && cp "$LOCK" "$TW_DIR/lock.before"
[[ -e "$RECOVERY" ]] && cp "$RECOVERY" "$TW_DIR/recovery.before"
start=$EPOCHREALTIME
)SH";

const char* kReportRecords = R"SH(
say seconds $(( EPOCHREALTIME - start ))
say lock_meta "$(meta "$LOCK")"
say recovery_meta "$(meta "$RECOVERY")"
say epoch_meta "$(meta "$EPOCH")"
[[ -e "$LOCK" ]] && cp "$LOCK" "$TW_DIR/lock.after"
[[ -e "$RECOVERY" ]] && cp "$RECOVERY" "$TW_DIR/recovery.after"
[[ -e "$EPOCH" ]] && say epoch "$(cat "$EPOCH")"
say candidates "$(ls -A "$HD" | grep -c candidate)"
kill %1 2>/dev/null
true
)SH";

class InstallerSandbox : public tesselwick::testing::SandboxFixture {
protected:
    std::string err() const { return sandbox_.readFile("installer.err"); }

    // The state of a complete, valid installation.
    void expectInstalled(const SandboxRunner::Result& r, bool withEpoch = false) {
        EXPECT_EQ(r.value("helper_meta"), "0:0:0755") << r.out << r.err;
        EXPECT_EQ(r.value("rule_meta"), "0:0:0440");
        EXPECT_TRUE(sandbox_.readFile("helper.installed") == helper::helperScript());
        EXPECT_EQ(sandbox_.readFile("rule.installed"), kRule);
        EXPECT_EQ(r.value("visudo"), "0");
        EXPECT_EQ(r.value("entries"),
                  std::string(withEpoch ? ".com.vornaby.harbortide.install.lock.epoch " : "") +
                      "com.vornaby.harbortide.helper vornaby-harbortide ");
        EXPECT_EQ(r.value("new_tmp_dirs"), "0");
    }

    // The previous installation, byte for byte, and no temporary directory left.
    void expectPreviousKept(const SandboxRunner::Result& r) {
        EXPECT_EQ(sandbox_.readFile("helper.installed"), kOldHelper);
        EXPECT_EQ(sandbox_.readFile("rule.installed"), kOldRule);
        EXPECT_EQ(r.value("helper_meta"), "0:0:0755") << r.out << r.err;
        EXPECT_EQ(r.value("rule_meta"), "0:0:0440");
        EXPECT_EQ(r.value("entries"), "com.vornaby.harbortide.helper vornaby-harbortide ");
        EXPECT_EQ(r.value("new_tmp_dirs"), "0");
    }
};

} // namespace

TEST_F(InstallerSandbox, CleanInstallAndReinstall) {
    for (const bool previous : {false, true}) {
        SCOPED_TRACE(previous ? "over a previous installation" : "clean");
        const auto r =
            sandbox_.run(std::string(previous ? kPreviousInstallation : "") + kRunAndReport);
        ASSERT_EQ(r.value("status"), "0") << err() << r.err << r.out;
        expectInstalled(r);
        // visudo's "parsed OK" lines are all the standard output carries.
        EXPECT_EQ(err(), "");
    }
}

TEST_F(InstallerSandbox, DirectoryChecks) {
    struct Case {
        const char* setup;
        const char* status;
        const char* message; // a prefix of the installer's standard error
    };
    const Case cases[] = {
        // sticky bit on the helper directory
        {"chmod 1755 \"$HD\"", "73",
         "Privileged directory has invalid or special permission bits: "
         "/Library/PrivilegedHelperTools (1755)\n"},
        // setgid on the sudoers directory
        {"chmod 2750 /etc/sudoers.d", "73",
         "Privileged directory has invalid or special permission bits: /etc/sudoers.d (2750)\n"},
        // group write
        {"chmod 0775 \"$HD\"", "73",
         "Privileged directory permissions are unsafe: /Library/PrivilegedHelperTools (775)\n"},
        // others write
        {"chmod 0757 /etc/sudoers.d", "73",
         "Privileged directory permissions are unsafe: /etc/sudoers.d (757)\n"},
        // search-only for group and others is fine
        {"chmod 0711 \"$HD\"", "0", ""},
        // not root-owned
        {"chown 501 /etc/sudoers.d", "73",
         "Privileged directory is not root:wheel: /etc/sudoers.d\n"},
        // a symbolic link to a perfectly good directory is still refused
        {"mv \"$HD\" /Library/Elsewhere && ln -s /Library/Elsewhere \"$HD\"", "73",
         "Refusing symbolic-link privileged directory: /Library/PrivilegedHelperTools\n"},
        // a file where the directory should be
        {"rmdir \"$HD\" && touch \"$HD\"", "73",
         "Privileged path is not a directory: /Library/PrivilegedHelperTools\n"},
        // a missing directory is created root:wheel 0755
        {"rmdir \"$HD\"", "0", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup);
        const auto r = sandbox_.run(std::string(c.setup) + "\n" + kRunAndReport +
                                    "say hd_meta \"$(meta \"$HD\")\"\n");
        EXPECT_EQ(r.value("status"), c.status) << err();
        EXPECT_TRUE(err().starts_with(c.message)) << err();
        if (std::string(c.status) == "0") {
            expectInstalled(r);
        } else {
            EXPECT_EQ(r.value("entries"), "");
        }
        if (std::string(c.setup) == "rmdir \"$HD\"") {
            EXPECT_EQ(r.value("hd_meta"), "0:0:0755");
        }
    }
}

TEST_F(InstallerSandbox, FailuresInsideTheTransactionTouchNothingInstalled) {
    struct Case {
        const char* name;
        std::string faults;
        const char* message; // contained in the installer's standard error
    } cases[] = {
        // visudo rejects the staged rule before anything is replaced
        {"visudo rejects the rule",
         R"("wrap": ["/usr/sbin/visudo"], "faults": [{"tool": "visudo", "calls": [1], )"
         R"("status": 1, "stderr": ">>> /etc/sudoers.d/staged: syntax error near line 1 <<<"}])",
         "syntax error near line 1"},
        // the second mv is the rule's commit; the helper's has just succeeded, so the
        // previous helper is restored, or the new one removed when there was none
        {"failure between the renames",
         R"("wrap": ["/bin/mv"], "faults": [{"tool": "mv", "calls": [2], )"
         R"("status": 1, "stderr": "mv: injected failure"}])",
         "mv: injected failure\n"},
    };
    for (const auto& c : cases) {
        for (const bool previous : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (previous ? ", over a previous installation" : ""));
            const auto r = sandbox_.run(
                std::string(previous ? kPreviousInstallation : "") + kRunAndReport, true, c.faults);
            EXPECT_EQ(r.value("status"), "1") << err();
            EXPECT_NE(err().find(c.message), std::string::npos) << err();
            if (previous) {
                expectPreviousKept(r);
            } else {
                EXPECT_EQ(r.value("helper_meta"), "absent");
                EXPECT_EQ(r.value("entries"), "");
                EXPECT_EQ(r.value("new_tmp_dirs"), "0");
            }
        }
    }
}

TEST_F(InstallerSandbox, LockRecords) {
    struct Case {
        const char* name;
        const char* setup;
        const char* status;
        const char* message;
        bool reclaimed; // a new epoch was published and the lock is gone
    };
    const Case cases[] = {
        // a live installer holds the lock: 75 at once, its lock left alone
        {"live lock",
         "sleep 30 & owner=$!; write_record \"$LOCK\" $owner \"$(identity_of $owner)\"", "75",
         "Another Tesselwick helper installation is already running\n", false},
        // its process has exited: reclaimed in the first attempt, taken in the second
        {"dead owner",
         "zsh -c 'exit 0' & owner=$!; wait $owner; write_record \"$LOCK\" $owner 'Thu Jan  1 "
         "00:00:00 1970     0 1'",
         "0", "", true},
        // the pid now belongs to another process (other start time)
        // (an earlier reclaim's epoch is replaced by a new one)
        {"recycled pid",
         "sleep 30 & owner=$!; write_record \"$LOCK\" $owner 'Thu Jan  1 00:00:00 1970     0 1'; "
         "print -r -- 1:0:1:earlier >\"$EPOCH\"; chown root:wheel \"$EPOCH\"; chmod 0600 "
         "\"$EPOCH\"",
         "0", "", true},
        // a killed reclaimer's record blocks every later installation
        {"stale recovery record",
         "zsh -c 'exit 0' & owner=$!; wait $owner; write_record \"$RECOVERY\" $owner 'Thu Jan  1 "
         "00:00:00 1970     0 1'",
         "75",
         "A stale privileged installer lock-recovery record requires manual removal: "
         "/Library/PrivilegedHelperTools/.com.vornaby.harbortide.install.lock.recovery\n",
         false},
        // a live reclaimer
        {"live recovery",
         "sleep 30 & owner=$!; write_record \"$RECOVERY\" $owner \"$(identity_of $owner)\"", "75",
         "Another process is recovering the privileged installer lock\n", false},
        // a lock record that is not root's 0600 is never trusted
        {"unsafe lock", "print -r -- 1 >\"$LOCK\"; chmod 0644 \"$LOCK\"", "73",
         "Privileged installer lock permissions are unsafe\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r =
            sandbox_.run(std::string(c.setup) + kSaveRecords + kRunAndReport + kReportRecords);
        EXPECT_EQ(r.value("status"), c.status) << err();
        EXPECT_EQ(err(), c.message);
        EXPECT_EQ(r.value("candidates"), "0");
        if (c.reclaimed) {
            expectInstalled(r, true);
            EXPECT_EQ(r.value("lock_meta"), "absent");
            EXPECT_EQ(r.value("epoch_meta"), "0:0:0600");
            // pid:attempt:random:identity, written in the first attempt
            const std::string epoch = r.value("epoch");
            EXPECT_NE(epoch.find(":0:"), std::string::npos) << epoch;
            EXPECT_NE(epoch, "1:0:1:earlier");
        } else {
            EXPECT_EQ(r.value("epoch_meta"), "absent");
            EXPECT_EQ(sandbox_.readFile("lock.after"), sandbox_.readFile("lock.before"));
            EXPECT_EQ(sandbox_.readFile("recovery.after"), sandbox_.readFile("recovery.before"));
        }
        if (std::string(c.status) == "75") {
            // Refused without waiting for the holder, whose sleep runs 30 s; the bound is
            // loose on purpose so a busy machine cannot fail it.
            EXPECT_LT(std::stod(r.value("seconds")), 20.0);
        }
    }
}

TEST_F(InstallerSandbox, ASecondInstallerLeavesTheFirstAlone) {
    // The first installer sits inside its transaction while visudo is slow.
    const std::string faults =
        R"("wrap": ["/usr/sbin/visudo"], "faults": [{"tool": "visudo", "calls": [1], "delay": 3.0}])";
    const auto r = sandbox_.run(R"SH(
zsh "$INSTALLER" >"$TW_DIR/first.out" 2>"$TW_DIR/first.err" & first=$!
while [[ ! -e "$LOCK" ]]; do sleep 0.02; done
while [[ -z "$(ls -A /etc/sudoers.d | grep '^\.vornaby-harbortide\.')" ]]; do sleep 0.02; done
before="$(cd "$HD" && ls -A | sort | tr '\n' ' ')|$(ls -A /etc/sudoers.d | sort | tr '\n' ' ')"
cp "$LOCK" "$TW_DIR/lock.first"
zsh "$INSTALLER" >"$TW_DIR/second.out" 2>"$TW_DIR/second.err"
say second_status $?
after="$(cd "$HD" && ls -A | sort | tr '\n' ' ')|$(ls -A /etc/sudoers.d | sort | tr '\n' ' ')"
say unchanged $([[ "$before" == "$after" ]] && print yes || print "no: $before -> $after")
cmp -s "$LOCK" "$TW_DIR/lock.first"; say lock_unchanged $?
print -r -- "$first" >"$TW_DIR/first.pid"
wait $first
say first_status $?
cp "$HP" "$TW_DIR/helper.installed"; cp "$SP" "$TW_DIR/rule.installed"
say entries "$(our_entries)"
)SH",
                                true, faults);
    EXPECT_EQ(r.value("second_status"), "75") << sandbox_.readFile("second.err");
    EXPECT_EQ(sandbox_.readFile("second.err"),
              "Another Tesselwick helper installation is already running\n");
    EXPECT_EQ(r.value("unchanged"), "yes");
    // The first installer's lock was still in place when the second returned, so the
    // second did not wait for the first to finish.
    EXPECT_EQ(r.value("lock_unchanged"), "0");
    EXPECT_EQ(r.value("first_status"), "0") << sandbox_.readFile("first.err");
    EXPECT_TRUE(sandbox_.readFile("helper.installed") == helper::helperScript());
    EXPECT_EQ(sandbox_.readFile("rule.installed"), kRule);
    EXPECT_EQ(r.value("entries"), "com.vornaby.harbortide.helper vornaby-harbortide ");
}

TEST_F(InstallerSandbox, SimultaneousInstallersNeverHoldTheLockTogether) {
    // visudo runs twice inside each installer's transaction; a logging
    // wrapper shows whose transaction each call belongs to.
    const auto r = sandbox_.run(R"SH(
mv /usr/sbin/visudo /usr/sbin/visudo.real
cat >/usr/sbin/visudo <<WRAPPER_END
#!/bin/zsh
print -r -- "begin \$PPID" >>"$TW_DIR/visudo.log"
/usr/sbin/visudo.real "\$@"
s=\$?
print -r -- "end \$PPID" >>"$TW_DIR/visudo.log"
exit \$s
WRAPPER_END
chmod 0755 /usr/sbin/visudo
for round in {1..10}; do
  zsh "$INSTALLER" >/dev/null 2>"$TW_DIR/a.$round.err" & a=$!
  zsh "$INSTALLER" >/dev/null 2>"$TW_DIR/b.$round.err" & b=$!
  wait $a; sa=$?
  wait $b; sb=$?
  print -r -- "round $round" >>"$TW_DIR/visudo.log"
  say round$round "$sa $sb"
  cmp -s "$HP" "$HELPER"; say helper$round $?
  say rule$round "$(cat "$SP")"
  say meta$round "$(meta "$HP") $(meta "$SP")"
  /usr/sbin/visudo.real -cf "$SP" >/dev/null 2>&1; say visudo$round $?
  say entries$round "$(our_entries)"
done
)SH");
    ASSERT_EQ(r.status, 0) << r.err;
    for (int round = 1; round <= 10; ++round) {
        const std::string n = std::to_string(round);
        const std::string statuses = r.value("round" + n);
        EXPECT_TRUE(statuses == "0 0" || statuses == "0 75" || statuses == "75 0")
            << "round " << n << ": " << statuses << "\n"
            << sandbox_.readFile("a." + n + ".err") << sandbox_.readFile("b." + n + ".err");
        EXPECT_EQ(r.value("helper" + n), "0");
        EXPECT_EQ(r.value("rule" + n) + "\n", kRule);
        EXPECT_EQ(r.value("meta" + n), "0:0:0755 0:0:0440");
        EXPECT_EQ(r.value("visudo" + n), "0");
        // An installer that saw the other's lock just as it exited reclaims
        // it, which leaves an epoch behind; nothing else may remain.
        const std::string entries = r.value("entries" + n);
        EXPECT_TRUE(entries == "com.vornaby.harbortide.helper vornaby-harbortide " ||
                    entries == ".com.vornaby.harbortide.install.lock.epoch "
                               "com.vornaby.harbortide.helper vornaby-harbortide ")
            << entries;
    }
    // Within a round, each installer's visudo calls form one unbroken run.
    std::istringstream log(sandbox_.readFile("visudo.log"));
    std::string line;
    std::string current;
    std::set<std::string> finished;
    int calls = 0;
    while (std::getline(log, line)) {
        if (line.starts_with("round")) {
            finished.clear();
            current.clear();
            continue;
        }
        const std::string pid = line.substr(line.find(' ') + 1);
        ++calls;
        if (pid != current) {
            EXPECT_EQ(finished.count(pid), 0u) << "installer " << pid << " resumed after another";
            if (!current.empty()) {
                finished.insert(current);
            }
            current = pid;
        }
    }
    EXPECT_GE(calls, 10 * 4);
}

TEST_F(InstallerSandbox, ASignalInsideTheTransactionRollsBack) {
    // The second visudo call checks the committed rule; the installer is
    // terminated while it runs, after both files were replaced.
    const std::string faults =
        R"("wrap": ["/usr/sbin/visudo"], "faults": [{"tool": "visudo", "calls": [2], "delay": 2.0}])";
    const auto r = sandbox_.run(std::string(kPreviousInstallation) + R"SH(
tmp_before=$(tmp_dirs)
zsh "$INSTALLER" >"$TW_DIR/installer.out" 2>"$TW_DIR/installer.err" & installer=$!
until cmp -s "$HP" "$HELPER"; do sleep 0.02; done
sleep 0.5
kill -TERM $installer
wait $installer
say status $?
cp "$HP" "$TW_DIR/helper.installed"; cp "$SP" "$TW_DIR/rule.installed"
say helper_meta "$(meta "$HP")"
say rule_meta "$(meta "$SP")"
say entries "$(our_entries)"
say new_tmp_dirs $(( $(tmp_dirs) - tmp_before ))
)SH",
                                true, faults);
    EXPECT_EQ(r.value("status"), "143") << err();
    expectPreviousKept(r);
}

TEST_F(InstallerSandbox, RefusesToWriteThroughWhatIsPlantedAtItsPaths) {
    // Each case plants before the installer starts, with its process id known
    // ($$ of a shell that then becomes the installer). A root-owned file
    // elsewhere and two directories elsewhere must come through untouched.
    struct Case {
        const char* name;
        const char* plant;
        const char* message;
        const char* entries; // what remains of ours in the two directories
    };
    const Case cases[] = {
        // a link at this run's lock candidate
        {"lock candidate", "ln -s /etc/victim \"$LOCK.candidate.$$\"",
         "Refusing to overwrite a privileged installer lock candidate\n",
         ".com.vornaby.harbortide.install.lock.candidate.PID "},
        // a link at this run's recovery candidate
        {"recovery candidate", "ln -s /etc/victim \"$RECOVERY.candidate.$$\"",
         "Refusing to overwrite a privileged installer lock-recovery candidate\n",
         ".com.vornaby.harbortide.install.lock.recovery.candidate.PID "},
        // a link to a directory at the helper path
        {"helper path", "ln -s /Library/Elsewhere \"$HP\"",
         "Existing helper path is not a file: "
         "/Library/PrivilegedHelperTools/com.vornaby.harbortide.helper\n",
         "com.vornaby.harbortide.helper "},
        // a link to a directory at the sudoers path
        {"sudoers path", "ln -s /etc/elsewhere \"$SP\"",
         "Existing sudoers path is not a file: /etc/sudoers.d/vornaby-harbortide\n",
         "vornaby-harbortide "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sandbox_.writeFile("plant", c.plant);
        const auto r = sandbox_.run(R"SH(
print -r -- precious >/etc/victim; chmod 0644 /etc/victim
mkdir -m 0755 /Library/Elsewhere /etc/elsewhere
tmp_before=$(tmp_dirs)
export LOCK RECOVERY HP SP INSTALLER TW_DIR
zsh -fc 'source "$TW_DIR/plant"; print -r -- $$ >"$TW_DIR/pid"; exec zsh "$INSTALLER"' \
  >"$TW_DIR/installer.out" 2>"$TW_DIR/installer.err"
say status $?
say victim "$(cat /etc/victim) $(meta /etc/victim)"
say elsewhere "$(ls -A /Library/Elsewhere /etc/elsewhere | tr -d '\n')"
say entries "$(our_entries | sed "s/$(cat "$TW_DIR/pid")/PID/g")"
say new_tmp_dirs $(( $(tmp_dirs) - tmp_before ))
)SH");
        EXPECT_EQ(r.value("status"), "73") << err() << r.err;
        EXPECT_EQ(err(), c.message);
        EXPECT_EQ(r.value("victim"), "precious 0:0:0644");
        EXPECT_EQ(r.value("elsewhere"), "/Library/Elsewhere:/etc/elsewhere:");
        // What was planted stays; nothing of the run does.
        EXPECT_EQ(r.value("entries"), c.entries);
        EXPECT_EQ(r.value("new_tmp_dirs"), "0");
    }
}

TEST_F(InstallerSandbox, HereDocumentNeverPassesThroughTheCallersTemporaryPrefix) {
    // zsh writes a here-document to a file named from TMPPREFIX and reopens
    // it by name; in a directory of the user's, the helper could be swapped
    // on its way to the staged file. The directory must not even be touched.
    const auto r = sandbox_.run(std::string(R"SH(
mkdir "$TW_DIR/ava-tmp"; chown 501:50 "$TW_DIR/ava-tmp"
touch -d '2001-01-01 00:00:00' "$TW_DIR/ava-tmp"; touch -d '2002-01-01 00:00:00' "$TW_DIR/2002"
export TMPPREFIX="$TW_DIR/ava-tmp/zsh"
)SH") + kRunAndReport + R"SH(
say touched $([[ "$TW_DIR/ava-tmp" -nt "$TW_DIR/2002" ]] && print yes || print no)
)SH");
    EXPECT_EQ(r.value("status"), "0") << err();
    expectInstalled(r);
    EXPECT_EQ(r.value("touched"), "no");
}

TEST_F(InstallerSandbox, ReclaimingAKilledInstallersLockRemovesItsLeftovers) {
    // The first installer is killed inside its transaction (visudo is slow),
    // leaving its lock, staged files and backup folder; the next one reclaims
    // the lock and must leave nothing of the first behind.
    const std::string faults =
        R"("wrap": ["/usr/sbin/visudo"], "faults": [{"tool": "visudo", "calls": [1], "delay": 3.0}])";
    const auto r = sandbox_.run(std::string(kPreviousInstallation) + R"SH(
baseline=$(tmp_dirs)
zsh "$INSTALLER" >/dev/null 2>&1 & first=$!
while [[ -z "$(ls -A /etc/sudoers.d | grep '^\.vornaby-harbortide\.')" ]]; do sleep 0.02; done
kill -KILL $first; wait $first
say killed_lock "$(meta "$LOCK")"
say killed_staged "$(ls -A "$HD" /etc/sudoers.d | grep -cE '^\.(com\.vornaby\.harbortide\.helper|vornaby-harbortide)\.[A-Za-z0-9]{6}$')"
say killed_tmp_dirs $(( $(tmp_dirs) - baseline ))
)SH" + kRunAndReport + R"SH(
say new_tmp_dirs $(( $(tmp_dirs) - baseline ))
)SH",
                                true, faults);
    EXPECT_EQ(r.value("killed_lock"), "0:0:0600");
    EXPECT_EQ(r.value("killed_staged"), "2");
    EXPECT_EQ(r.value("killed_tmp_dirs"), "1");
    EXPECT_EQ(r.value("status"), "0") << err();
    expectInstalled(r, true);
}
