// The installer run for real by zsh as root inside the sandbox, each case from
// a fresh sandbox. Faults are injected from outside the script: a world fault
// on a wrapped tool, or a wrapper the case installs inside the sandbox.
#include "SandboxRunner.h"

#include "helper/HelperScripts.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using namespace tesselwick;
using tesselwick::testing::SandboxRunner;

namespace {

const std::string kRule =
    "%admin ALL=(root) NOPASSWD: /Library/PrivilegedHelperTools/com.vornaby.harbortide.helper\n";
const std::string kOldHelper = "#!/bin/zsh\nprint -r -- 8\n";
const std::string kOldRule = "%admin ALL=(root) NOPASSWD: /usr/bin/true\n";
const std::string kEpoch = ".com.vornaby.harbortide.install.lock.epoch ";
const std::string kReclaim = ".com.vornaby.harbortide.install.lock.reclaim ";

// Puts a previous installation in place (root:wheel, 0755 / 0440).
const char* kPreviousInstallation = R"SH(
print -rn -- $'#!/bin/zsh\nprint -r -- 8\n' >"$HP"; chown root:wheel "$HP"; chmod 0755 "$HP"
print -rn -- $'%admin ALL=(root) NOPASSWD: /usr/bin/true\n' >"$SP"; chown root:wheel "$SP"; chmod 0440 "$SP"
)SH";

// The installed files and what the installer left behind (with $tmp_before set).
const std::string kReport = R"SH(
say helper_meta "$(meta "$HP")"
say rule_meta "$(meta "$SP")"
[[ -e "$HP" ]] && cp "$HP" "$TW_DIR/helper.installed"
[[ -e "$SP" ]] && cp "$SP" "$TW_DIR/rule.installed"
if [[ -e "$SP" ]]; then /usr/sbin/visudo -cf "$SP" >/dev/null 2>&1; say visudo $?; fi
say entries "$(our_entries)"
say new_tmp_dirs $(( $(tmp_dirs) - tmp_before ))
)SH";

// Runs the installer once and reports its status and the above.
const std::string kRunAndReport = R"SH(
tmp_before=$(tmp_dirs)
zsh "$INSTALLER" >"$TW_DIR/installer.out" 2>"$TW_DIR/installer.err"
say status $?
)SH" + kReport;

// Copies of the lock records before the run.
const char* kSaveRecords = R"SH(
rm -f "$TW_DIR"/lock.*(N) "$TW_DIR"/recovery.*(N)
[[ -e "$LOCK" ]] && cp "$LOCK" "$TW_DIR/lock.before"
[[ -e "$RECOVERY" ]] && cp "$RECOVERY" "$TW_DIR/recovery.before"
)SH";

// A live holder (a 30-second sleep) still running shows the installer did not wait for it.
const char* kReportRecords = R"SH(
say holder_alive $([[ -n "${owner:-}" ]] && kill -0 $owner 2>/dev/null && print yes || print no)
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

    // A complete, valid installation of `helperText` and `rule`, with only the
    // lock's lasting `records` besides it and no temporary directory left.
    void expectInstalled(const SandboxRunner::Result& r, const std::string& records = "",
                         const std::string& helperText = helper::helperScript(),
                         const std::string& rule = kRule) {
        EXPECT_EQ(r.value("helper_meta") + " " + r.value("rule_meta") + " " + r.value("visudo"),
                  "0:0:0755 0:0:0440 0")
            << r.out << r.err;
        EXPECT_TRUE(sandbox_.readFile("helper.installed") == helperText);
        EXPECT_EQ(sandbox_.readFile("rule.installed"), rule);
        EXPECT_EQ(r.value("entries"),
                  records + "com.vornaby.harbortide.helper vornaby-harbortide ");
        EXPECT_EQ(r.value("new_tmp_dirs"), "0");
    }
    // The previous installation, byte for byte.
    void expectPreviousKept(const SandboxRunner::Result& r) {
        expectInstalled(r, "", kOldHelper, kOldRule);
    }
};

} // namespace

TEST_F(InstallerSandbox, DirectoryChecks) {
    const std::string hd = "/Library/PrivilegedHelperTools";
    const std::pair<const char*, std::string> cases[] = {
        // a special bit, group write, others write
        {"chmod 1755 \"$HD\"",
         "Privileged directory has invalid or special permission bits: " + hd + " (1755)\n"},
        {"chmod 0775 \"$HD\"", "Privileged directory permissions are unsafe: " + hd + " (775)\n"},
        {"chmod 0757 /etc/sudoers.d",
         "Privileged directory permissions are unsafe: /etc/sudoers.d (757)\n"},
        // not root-owned, a link to a perfectly good directory, a file
        {"chown 501 /etc/sudoers.d", "Privileged directory is not root:wheel: /etc/sudoers.d\n"},
        {"mv \"$HD\" /Library/Elsewhere && ln -s /Library/Elsewhere \"$HD\"",
         "Refusing symbolic-link privileged directory: " + hd + "\n"},
        {"rmdir \"$HD\" && touch \"$HD\"", "Privileged path is not a directory: " + hd + "\n"},
        // fine: search-only for group and others; a missing directory is created 0755
        {"chmod 0711 \"$HD\"", ""},
        {"rmdir \"$HD\"", ""},
    };
    for (const auto& [setup, message] : cases) {
        SCOPED_TRACE(setup);
        const auto r = sandbox_.run(std::string(setup) + "\n" + kRunAndReport +
                                    "say hd_meta \"$(meta \"$HD\")\"\n");
        EXPECT_EQ(r.value("status"), message.empty() ? "0" : "73") << err();
        EXPECT_TRUE(message.empty() ? err().empty() : err().starts_with(message)) << err();
        if (message.empty()) {
            expectInstalled(r);
            EXPECT_EQ(r.value("hd_meta"), setup[0] == 'r' ? "0:0:0755" : "0:0:0711");
        } else {
            EXPECT_EQ(r.value("entries"), "");
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
        std::string records; // the lock's lasting records after an installation
        const char* epoch;   // ":N:" when a reclaim in attempt N published the epoch
        bool liveHolder;     // the record names a process that is still running
    };
    const Case cases[] = {
        // a live installer holds the lock: 75 at once, its lock left alone
        {"live lock",
         "sleep 30 & owner=$!; write_record \"$LOCK\" $owner \"$(identity_of $owner)\"", "75",
         "Another Tesselwick helper installation is already running\n", "", nullptr, true},
        // its process has exited: reclaimed in the first attempt, taken in the second
        {"dead owner", "dead_record \"$LOCK\"", "0", "", kEpoch, ":0:", false},
        // the pid now belongs to another process (other start time)
        // (an earlier reclaim's epoch is replaced by a new one)
        {"recycled pid",
         "sleep 30 & owner=$!; write_record \"$LOCK\" $owner 'Thu Jan  1 00:00:00 1970     0 1'; "
         "print -r -- 1:0:1:earlier >\"$EPOCH\"; chown root:wheel \"$EPOCH\"; chmod 0600 "
         "\"$EPOCH\"",
         "0", "", kEpoch, ":0:", true},
        // a reclaimer killed after its stale lock was gone, or before it removed it:
        // its record is reclaimed too, and the installation goes ahead
        {"stale recovery record", "dead_record \"$RECOVERY\"", "0", "", kReclaim, nullptr, false},
        {"stale recovery record and lock", "dead_record \"$RECOVERY\"; dead_record \"$LOCK\"", "0",
         "", kEpoch + kReclaim, ":0:", false},
        // a live reclaimer
        {"live recovery",
         "sleep 30 & owner=$!; write_record \"$RECOVERY\" $owner \"$(identity_of $owner)\"", "75",
         "Another process is recovering the privileged installer lock\n", "", nullptr, true},
        // a lock record that is not root's 0600 is never trusted
        {"unsafe lock", "print -r -- 1 >\"$LOCK\"; chmod 0644 \"$LOCK\"", "73",
         "Privileged installer lock permissions are unsafe\n", "", nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r =
            sandbox_.run(std::string(c.setup) + kSaveRecords + kRunAndReport + kReportRecords);
        EXPECT_EQ(r.value("status"), c.status) << err();
        EXPECT_EQ(err(), c.message);
        EXPECT_EQ(r.value("candidates"), "0");
        if (std::string(c.status) == "0") {
            expectInstalled(r, c.records);
            EXPECT_EQ(r.value("lock_meta") + " " + r.value("recovery_meta"), "absent absent");
            EXPECT_EQ(r.value("epoch_meta"), c.epoch ? "0:0:0600" : "absent");
            // pid:attempt:random:identity
            const std::string epoch = c.epoch ? r.value("epoch") : "";
            EXPECT_TRUE(!c.epoch || epoch.find(c.epoch) != std::string::npos) << epoch;
            EXPECT_NE(epoch, "1:0:1:earlier");
        } else {
            EXPECT_EQ(r.value("epoch_meta"), "absent");
            EXPECT_EQ(sandbox_.readFile("lock.after"), sandbox_.readFile("lock.before"));
            EXPECT_EQ(sandbox_.readFile("recovery.after"), sandbox_.readFile("recovery.before"));
        }
        // Refused without waiting for a live holder to end.
        EXPECT_EQ(r.value("holder_alive"), c.liveHolder ? "yes" : "no");
    }
}

TEST_F(InstallerSandbox, SimultaneousInstallersNeverHoldTheLockTogether) {
    // visudo runs twice inside each installer's transaction; a logging wrapper
    // shows whose transaction each call belongs to. From the third round on,
    // both race over what a killed reclaimer left (its record, then also the lock).
    const auto r = sandbox_.run(R"SH(
mv /usr/sbin/visudo /usr/sbin/visudo.real
cat >/usr/sbin/visudo <<WRAPPER_END
#!/bin/zsh
print -r -- "\$PPID" >>"$TW_DIR/visudo.log"
exec /usr/sbin/visudo.real "\$@"
WRAPPER_END
chmod 0755 /usr/sbin/visudo
for round in {1..8}; do
  (( round < 3 )) || dead_record "$RECOVERY"
  (( round < 6 )) || dead_record "$LOCK"
  zsh "$INSTALLER" >/dev/null 2>&1 & a=$!
  zsh "$INSTALLER" >/dev/null 2>&1 & b=$!
  wait $a; sa=$?; wait $b; sb=$?
  print -r -- round >>"$TW_DIR/visudo.log"
  cmp -s "$HP" "$HELPER"; h=$?; /usr/sbin/visudo.real -cf "$SP" >/dev/null 2>&1; v=$?
  say round$round "$sa $sb helper=$h visudo=$v $(meta "$HP") $(meta "$SP")"
done
)SH");
    ASSERT_EQ(r.status, 0) << r.err;
    for (int round = 1; round <= 8; ++round) {
        // Both installed, or one refused at once; either way one valid installation.
        const std::string state = r.value("round" + std::to_string(round));
        EXPECT_TRUE(state.starts_with("0 0 ") || state.starts_with("0 75 ") ||
                    state.starts_with("75 0 "))
            << state;
        EXPECT_TRUE(state.ends_with(" helper=0 visudo=0 0:0:0755 0:0:0440")) << state;
    }
    // Within a round, each installer's two visudo calls follow each other.
    std::istringstream log(sandbox_.readFile("visudo.log"));
    std::vector<std::string> round;
    for (std::string line; std::getline(log, line);) {
        if (line != "round") {
            round.push_back(line);
            continue;
        }
        EXPECT_TRUE(round.size() == 2 || round.size() == 4) << round.size();
        for (std::size_t i = 0; i + 1 < round.size(); i += 2) {
            EXPECT_EQ(round[i], round[i + 1]) << "interleaved transactions";
        }
        round.clear();
    }
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
)SH" + kReport,
                                true, faults);
    EXPECT_EQ(r.value("status"), "143") << err();
    expectPreviousKept(r);
}

TEST_F(InstallerSandbox, RefusesToWriteThroughWhatIsPlantedAtItsPaths) {
    // Each case plants before the installer starts, with its process id known
    // ($$ of a shell that then becomes the installer). A root-owned file
    // elsewhere and two directories elsewhere must come through untouched.
    const std::string lock = ".com.vornaby.harbortide.install.lock.";
    const struct {
        const char* plant;
        std::string message;
        std::string entries; // what remains of ours in the two directories
    } cases[] = {
        // links at this run's lock and recovery candidates (the first refusal
        // must not remove the second)
        {"ln -s /etc/victim \"$LOCK.candidate.$$\"; ln -s /etc/victim \"$RECOVERY.candidate.$$\"",
         "Refusing to overwrite a privileged installer lock candidate\n",
         lock + "candidate.PID " + lock + "recovery.candidate.PID "},
        {"ln -s /etc/victim \"$RECOVERY.candidate.$$\"",
         "Refusing to overwrite a privileged installer lock-recovery candidate\n",
         lock + "recovery.candidate.PID "},
        // links to directories at the helper and sudoers paths
        {"ln -s /Library/Elsewhere \"$HP\"",
         "Existing helper path is not a file: " + std::string(helper::kHelperPath) + "\n",
         "com.vornaby.harbortide.helper "},
        {"ln -s /etc/elsewhere \"$SP\"",
         "Existing sudoers path is not a file: /etc/sudoers.d/vornaby-harbortide\n",
         "vornaby-harbortide "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plant);
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

TEST_F(InstallerSandbox, NeverChangesALinkSwappedInForItsOwnFile) {
    // A racer that always wins: whatever of the installer's own files matching
    // the pattern is about to be chowned becomes a link to a file elsewhere.
    const std::pair<const char*, const char*> cases[] = {
        // records are never changed by name after their creation
        {"$LOCK.candidate.*", ""},
        // the staged helper and rule are refused once they are links
        {"$HD/.com.vornaby.harbortide.helper.??????",
         "Refusing to change a symbolic link: /Library/PrivilegedHelperTools/.com.vornaby."},
        {"/etc/sudoers.d/.vornaby-harbortide.??????",
         "Refusing to change a symbolic link: /etc/sudoers.d/.vornaby-harbortide."},
    };
    for (const auto& [pattern, message] : cases) {
        SCOPED_TRACE(pattern);
        const auto r = sandbox_.run("swap=\"" + std::string(pattern) + "\"\n" + R"SH(
print -r -- "$swap" >/etc/swap-pattern
print -r -- precious >/etc/victim; chown 501:20 /etc/victim; chmod 0644 /etc/victim
mv /usr/bin/chown /usr/bin/chown.real
cat >/usr/bin/chown <<'WRAPPER_END'
#!/bin/zsh -f
target="${@[-1]}"
if [[ "$target" == ${~"$(</etc/swap-pattern)"} && -f "$target" && ! -L "$target" ]]; then
  rm -f "$target" && ln -s /etc/victim "$target"
fi
exec /usr/bin/chown.real "$@"
WRAPPER_END
chmod 0755 /usr/bin/chown
)SH" + kRunAndReport + "say victim \"$(cat /etc/victim) $(meta /etc/victim)\"\n");
        EXPECT_EQ(r.value("victim"), "precious 501:20:0644");
        EXPECT_EQ(r.value("status"), *message ? "73" : "0") << err();
        EXPECT_TRUE(err().starts_with(message)) << err();
    }
}

TEST_F(InstallerSandbox, NeverOpensWhatARacerPlantsAtItsRecords) {
    // A racer keeps planting and removing a link to a FIFO at each run's lock
    // candidate, so it may appear right after the installer looked. An installer
    // that ever opens it writes into the FIFO, where a reader catches it.
    const auto r = sandbox_.run(R"SH(
zmodload zsh/files
mkfifo -m 0644 /etc/victim.fifo
( while :; do command cat /etc/victim.fifo >>"$TW_DIR/fifo.read"; done ) & reader=$!
refused=0
for run in {1..20}; do
  zsh -fc 'sleep 0.05; exec zsh "$1"' zsh "$INSTALLER" >/dev/null 2>"$TW_DIR/installer.err" & installer=$!
  zsh -fc 'zmodload zsh/files; while :; do ln -s /etc/victim.fifo "$1" 2>/dev/null; rm -f "$1"; done' \
    zsh "$LOCK.candidate.$installer" & racer=$!
  wait $installer
  kill $racer; wait $racer 2>/dev/null
  grep -q 'Refusing to overwrite a privileged installer lock candidate' "$TW_DIR/installer.err" &&
    (( refused += 1 ))
  rm -f "$LOCK.candidate.$installer" "$LOCK" "$RECOVERY"
done
kill $reader; : <>/etc/victim.fifo
say refused $refused
say read "$(cat "$TW_DIR/fifo.read" 2>/dev/null | wc -c)"
say fifo_meta "$(meta /etc/victim.fifo)"
)SH");
    // The racer was there when the installer looked, in some runs at least.
    EXPECT_NE(r.value("refused"), "0") << r.err;
    EXPECT_EQ(r.value("read"), "0");
    EXPECT_EQ(r.value("fifo_meta"), "0:0:0644");
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
    expectInstalled(r, kEpoch);
}
