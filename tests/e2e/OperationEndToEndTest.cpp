// `tesselwick mount|unmount|open|helper install` inside sim/sandbox on the
// multi-boot Mac, with a private session bus whose notification service and
// file manager record what reaches them. The invocation log tells which route
// ran which tool as whom.

#include "e2e/EndToEnd.h"

#include <gtest/gtest.h>

using namespace simtest;

namespace {

const std::string kHelperText = "The helper is optional. Without it, macOS should ask for "
                                "administrator authorization when needed.\n\n";
struct Call {
    std::string line; // tool name and arguments
    int uid;
    std::string setting; // its working directory and LC_ALL
};

struct SandboxRun {
    Result result;
    std::vector<Call> calls;
    std::vector<std::string> desktop; // what the desktop services received

    int count(const std::string& prefix, std::optional<int> uid = std::nullopt) const {
        return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const Call& call) {
            return call.line.rfind(prefix, 0) == 0 && (!uid || call.uid == *uid);
        }));
    }
};

// A world file: the multi-boot Mac with `changes` merged over it.
std::string worldWith(const TempDir& dir, const Json& changes) {
    Json world = changes;
    world["base"] = worldPath("multiboot.json");
    const std::string path = dir / "world.json";
    writeText(path, world.dump());
    return path;
}

SandboxRun runIn(const std::string& world, const std::string& script, bool asRoot = false) {
    TempDir dir;
    DesktopServices desktop;
    EXPECT_TRUE(desktop.started());
    const std::string log = dir / "calls.jsonl";
    SandboxRun run;
    run.result = runShell(desktop.environment() + "MACSIM_LOG=" + quote(log) +
                          " TW=" + quote(programPath()) + " " + sandbox(world, asRoot) +
                          "/bin/sh -c " + quote(script));
    for (const Json& call : loggedCalls(log)) {
        run.calls.push_back({commandLine(call), call["uid"].get<int>(),
                             call.value("cwd", "") + " " + call.value("LC_ALL", Json()).dump()});
    }
    run.desktop = desktop.records();
    return run;
}

} // namespace

TEST(OperationEndToEnd, AdministratorRouteMountsOpensAndUnmountsWithOneRevealAndNotifications) {
    SKIP_WITHOUT_SANDBOX();
    const SandboxRun run =
        runIn(worldPath("multiboot.json"),
              "\"$TW\" mount disk5s1 && test -d \"/Volumes/EFI 1/EFI\" && \"$TW\" open disk5s1 && "
              "\"$TW\" unmount disk5s1 && test ! -e \"/Volumes/EFI 1\" && echo gone && "
              "\"$TW\" open disk5s1");
    EXPECT_EQ(run.result.status, 1);
    // /Volumes/EFI is the boot disk's, so the new mount takes the next name.
    EXPECT_EQ(run.result.out, "disk5s1 mounted at /Volumes/EFI 1\nOpened /Volumes/EFI 1\n"
                              "disk5s1 unmounted\ngone\n");
    EXPECT_EQ(run.result.err, "The EFI partition does not currently have a valid mount path.\n");
    // The user's own diskutil call is refused (mounting needs root); the prompt's
    // root script then does it. Nothing else is ever mounted.
    EXPECT_EQ(run.count("diskutil mount disk5s1", 501), 1);
    EXPECT_EQ(run.count("diskutil mount disk5s1", 0), 1);
    EXPECT_EQ(run.count("diskutil mount"), 2);
    EXPECT_EQ(run.count("diskutil unmount disk5s1", 0), 1);
    EXPECT_EQ(run.count("osascript"), 2);
    // The reveal after the mount, then the explicit open.
    EXPECT_EQ(run.desktop,
              (std::vector<std::string>{"notify\tEFI mounted\tWDC WD20EZRZ-00Z5HB0 • disk5s1",
                                        "show-folders\tfile:///Volumes/EFI%201",
                                        "show-folders\tfile:///Volumes/EFI%201",
                                        "notify\tEFI unmounted\tWDC WD20EZRZ-00Z5HB0 • disk5s1"}));
}

TEST(OperationEndToEnd, RootUsesTheDirectRouteWithoutPrompt) {
    SKIP_WITHOUT_SANDBOX();
    const SandboxRun run = runIn(worldPath("multiboot.json"),
                                 "\"$TW\" mount disk2s1 --json && \"$TW\" unmount disk2s1",
                                 /*asRoot=*/true);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    const Json record = Json::parse(run.result.out.substr(0, run.result.out.rfind('}') + 1));
    EXPECT_EQ(record["mountPoint"], "/Volumes/NO NAME");
    EXPECT_EQ(record["bootloader"], "Windows Boot");
    EXPECT_EQ(run.count("osascript"), 0);
    EXPECT_EQ(run.count("diskutil mount disk2s1", 0), 1);
    EXPECT_EQ(run.count("diskutil unmount disk2s1", 0), 1);
}

TEST(OperationEndToEnd, InstalledHelperIsTheOnlyRoute) {
    SKIP_WITHOUT_SANDBOX();
    const SandboxRun run =
        runIn(worldPath("multiboot.json"), "\"$TW\" helper install && \"$TW\" mount disk5s1 && "
                                           "\"$TW\" unmount disk5s1");
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    // One prompt, for the installation; afterwards sudo -n runs the helper,
    // which runs diskutil as root. The user never calls diskutil mount.
    EXPECT_EQ(run.count("osascript"), 1);
    EXPECT_EQ(run.count("diskutil mount", 501), 0);
    EXPECT_EQ(run.count("diskutil mount disk5s1", 0), 1);
    EXPECT_EQ(run.count("diskutil unmount disk5s1", 0), 1);
    EXPECT_EQ(run.desktop.front(), "notify\tHelper ready\tPasswordless EFI mount/unmount is "
                                   "available.");
}

TEST(OperationEndToEnd, HelperOperationFailureEndsTheRequest) {
    SKIP_WITHOUT_SANDBOX();
    TempDir dir;
    const Json faults = Json::array(
        {{{"command", "diskutil mount disk5s1"}, {"status", 1}, {"stderr", "Resource busy"}}});
    const SandboxRun run = runIn(worldWith(dir, {{"faults", faults}}),
                                 "\"$TW\" helper install >/dev/null && \"$TW\" mount disk5s1");
    EXPECT_EQ(run.result.status, 1);
    EXPECT_NE(run.result.err.find("Resource busy"), std::string::npos) << run.result.err;
    EXPECT_EQ(run.result.err.find("Direct diskutil"), std::string::npos) << run.result.err;
    EXPECT_EQ(run.count("osascript"), 1);
    EXPECT_EQ(run.count("diskutil mount"), 1);
}

TEST(OperationEndToEnd, TargetsThatAreNotListedESPsNeverReachMount) {
    SKIP_WITHOUT_SANDBOX();
    // Both routes refuse it with the same message.
    const auto twice = [](const std::string& id, const std::string& refusal) {
        return "Unable to mount EFI partition " + id + ".\n\n" + kHelperText +
               "Direct diskutil: " + refusal + "\n\nAdministrator authorization: " + refusal + "\n";
    };
    const std::string expected =
        // A whole disk: refused before any tool runs for the request.
        "Invalid disk identifier: disk3\nstatus=1\n" +
        // The APFS partition beside the boot ESP.
        twice("disk0s2", "Refusing disk0s2: it is no longer an EFI System Partition. Refresh and "
                         "try again.") +
        "status=1\n" +
        // No such partition on the live system.
        twice("disk5s9", "EFI partition disk5s9 is no longer present. Refresh and try again.") +
        "status=1\n";
    const SandboxRun run =
        runIn(worldPath("multiboot.json"), "for id in disk3 disk0s2 disk5s9; do \"$TW\" mount $id; "
                                           "echo \"status=$?\" >&2; done");
    EXPECT_EQ(run.result.err, expected);
    EXPECT_EQ(run.count("diskutil mount"), 0);
    EXPECT_EQ(run.count("osascript"), 0);
}

TEST(OperationEndToEnd, APartitionReplacedAfterItsCheckIsTakenBackOnEveryRoute) {
    SKIP_WITHOUT_SANDBOX();
    // disk5s1 becomes an exFAT data partition just as the mount that passed
    // the ESP check starts: whichever route ran it takes the mount back and
    // refuses, and nothing announces an ESP. When the take-back fails too,
    // the refusal says the partition is still mounted.
    struct Case {
        const char* route;
        const char* before;
        bool asRoot;
        int call; // the mount call that meets the new partition
        bool takeBackFails;
    };
    const char* const helper = "\"$TW\" helper install >/dev/null || exit 9; ";
    for (const Case& c :
         {Case{"direct", "", true, 1, false}, Case{"helper", helper, false, 1, false},
          // the user's own call is refused first
          Case{"administrator", "", false, 2, false}, Case{"direct", "", true, 1, true},
          Case{"helper", helper, false, 1, true}}) {
        TempDir dir;
        const Json data = {
            {"content", "Microsoft Basic Data"}, {"fs", "exfat"}, {"volumeName", "DATA"}};
        Json faults = Json::array({{{"command", "diskutil mount disk5s1"},
                                    {"calls", {c.call}},
                                    {"rewrite", {{"disk5s1", data}}}}});
        if (c.takeBackFails) {
            faults.push_back({{"command", "diskutil unmount disk5s1"},
                              {"status", 1},
                              {"stderr", "Resource busy"}});
        }
        const SandboxRun run =
            runIn(worldWith(dir, {{"faults", faults}}),
                  std::string(c.before) + "\"$TW\" mount disk5s1; echo \"status=$?\"; "
                                          "test -e /Volumes/DATA && echo left-mounted; exit 0",
                  c.asRoot);
        const std::string route = std::string(c.route) + (c.takeBackFails ? ", busy" : "");
        EXPECT_EQ(run.result.out, c.takeBackFails ? "status=1\nleft-mounted\n" : "status=1\n")
            << route << ": " << run.result.err;
        EXPECT_NE(run.result.err.find(c.takeBackFails
                                          ? "Refusing disk5s1: it is not the partition that was "
                                            "checked, and unmounting it again failed; it is still "
                                            "mounted."
                                          : "Refusing disk5s1: it is not the partition that was "
                                            "checked; it was unmounted again."),
                  std::string::npos)
            << route << ": " << run.result.err;
        EXPECT_EQ(run.count("diskutil unmount disk5s1", 0), 1) << route;
        for (const std::string& record : run.desktop) {
            EXPECT_EQ(record.find("EFI mounted"), std::string::npos) << route;
        }
    }
}

TEST(OperationEndToEnd, TheCallersHomeDirectoryAndLocaleNeverReachRoot) {
    SKIP_WITHOUT_SANDBOX();
    // A Mac's sudo keeps HOME and the locale, and the prompt may pass on the
    // caller's whole environment: the zsh startup files there must never run
    // as root, and every tool root runs sees / and the C locale, on the
    // prompt's route, the installer's and the helper's.
    const SandboxRun run =
        runIn(worldPath("multiboot.json"),
              "cd \"$HOME\" && export LC_ALL=C.UTF-8 ZDOTDIR=\"$HOME\" && "
              "echo \"touch $HOME/startup-ran\" | tee .zshenv .zshrc >/dev/null && "
              "\"$TW\" mount disk5s1 >/dev/null && \"$TW\" helper install >/dev/null && "
              "\"$TW\" unmount disk5s1 && \"$TW\" mount disk5s1 >/dev/null; echo \"status=$?\"; "
              "test -e startup-ran && echo startup-ran");
    EXPECT_EQ(run.result.out, "disk5s1 unmounted\nstatus=0\n") << run.result.err;
    EXPECT_EQ(run.count("osascript"), 2);
    EXPECT_EQ(run.count("diskutil mount disk5s1", 0), 2);
    for (const Call& call : run.calls) {
        // The transport's decoder runs before the script takes over.
        if (call.uid == 0 && call.line != "base64 -D") {
            EXPECT_EQ(call.setting, "/ \"C\"") << call.line;
        }
    }
}

TEST(OperationEndToEnd, CtrlCDuringASlowMountLeavesNothingBehind) {
    SKIP_WITHOUT_SANDBOX();
    TempDir dir;
    const std::string world = worldWith(
        dir, {{"faults", Json::array({{{"command", "diskutil mount disk5s1"}, {"delay", 60}}})}});
    // Waits (bounded, generously for a loaded machine) until the slow diskutil
    // runs, then interrupts the program as Ctrl-C would (a background job would
    // start with SIGINT ignored) and reports the tool if it is still there.
    const SandboxRun run =
        runIn(world,
              "env --default-signal=INT \"$TW\" mount disk5s1 & pid=$!; tries=0; "
              "until child=$(pgrep -P $pid -f 'diskutil mount disk5s1'); do "
              "tries=$((tries + 1)); [ $tries -gt 2400 ] && { kill -9 $pid; exit 3; }; "
              "sleep 0.05; done; kill -INT $pid; wait $pid; echo \"status=$?\"; "
              "kill -0 $child 2>/dev/null && echo left-behind; exit 0",
              /*asRoot=*/true);
    EXPECT_EQ(run.result.out, "status=130\n");
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.count("osascript"), 0);
}

TEST(OperationEndToEnd, AHelperStoppedByItsTimeOutLeavesNoRootToolBehind) {
    SKIP_WITHOUT_SANDBOX();
    // diskutil takes 13 s, the helper's limit is 10 s: when the runner stops
    // sudo, the root diskutil must end with the helper instead of mounting the
    // partition after the user was told the request failed.
    TempDir dir;
    const std::string world = worldWith(
        dir, {{"faults", Json::array({{{"command", "diskutil mount disk4s1"}, {"delay", 13}}})}});
    const SandboxRun run =
        runIn(world, "\"$TW\" helper install >/dev/null || exit 9; \"$TW\" mount disk4s1; "
                     "echo \"status=$?\"; pgrep --ns $$ --nslist mnt -f 'diskutil mount disk4s[1]' "
                     ">/dev/null && echo left; "
                     "sleep 4; \"$TW\" list | grep -c 'disk4s1 .* -  '");
    EXPECT_EQ(run.result.out, "status=1\n1\n") << run.result.err;
    // Read before reported: the partition says the mount did not happen.
    EXPECT_EQ(run.result.err, "Unable to mount EFI partition disk4s1.\n\nThe mount timed out and "
                              "was stopped; the partition is unchanged.\n");
}

TEST(OperationEndToEnd, AStoppedPromptLeavesNoRootToolBehind) {
    SKIP_WITHOUT_SANDBOX();
    // The user's diskutil is refused at once; the root one behind the prompt
    // takes 10 s and is interrupted 4 s in, as Ctrl-C would.
    TempDir dir;
    const std::string world = worldWith(
        dir,
        {{"faults",
          Json::array({{{"command", "diskutil mount disk5s3"}, {"calls", {2}}, {"delay", 10}}})}});
    const SandboxRun run = runIn(
        world, "env --default-signal=INT \"$TW\" mount disk5s3 & pid=$!; sleep 4; kill -INT $pid; "
               "wait $pid; echo \"status=$?\"; sleep 1; "
               "pgrep --ns $$ --nslist mnt -f 'diskutil mount disk5s[3]' >/dev/null && echo left; "
               "sleep 7; "
               "\"$TW\" list | grep -c 'disk5s3 .* -  '");
    EXPECT_EQ(run.result.out, "status=130\n1\n") << run.result.err;
}

TEST(OperationEndToEnd, HelperInstallationThroughTheManager) {
    SKIP_WITHOUT_SANDBOX();
    const std::string helper = "/Library/PrivilegedHelperTools/com.vornaby.harbortide.helper";
    // Approved, then a second installation whose prompt never answers, ended
    // by SIGTERM: the prompt is killed and the installed helper is untouched.
    const std::string script =
        "\"$TW\" helper install || exit 9; sum=$(sha256sum " + helper +
        "); /usr/local/bin/macsim ctl prompt none; \"$TW\" helper install & pid=$!; "
        "while ! osa=$(pgrep -x -P $pid osascript); do sleep 0.05; done; kill -TERM $pid; "
        "wait $pid; echo \"status=$?\"; kill -0 $osa 2>/dev/null && echo prompt-left; "
        "[ \"$(sha256sum " +
        helper +
        ")\" = \"$sum\" ] && echo helper-unchanged; "
        "ls -A /Library/PrivilegedHelperTools /etc/sudoers.d | grep -vx README; "
        "/usr/local/bin/macsim ctl prompt cancel; \"$TW\" helper install; echo \"status=$?\"";
    const SandboxRun run = runIn(worldPath("multiboot.json"), script, /*asRoot=*/true);
    EXPECT_EQ(run.result.out,
              "Passwordless EFI mount/unmount is available.\nstatus=130\nhelper-unchanged\n"
              "/Library/PrivilegedHelperTools:\ncom.vornaby.harbortide.helper\n\n"
              "/etc/sudoers.d:\nvornaby-harbortide\nstatus=1\n")
        << run.result.err;
    EXPECT_NE(run.result.err.find("execution error: User canceled. (-128)"), std::string::npos)
        << run.result.err;
}

TEST(OperationEndToEnd, WhatADiskCallsItselfReachesTheTerminalEscaped) {
    SKIP_WITHOUT_SANDBOX();
    // An escape sequence that clears the screen, a right-to-left override and a
    // line break in the ESP's volume name, so in its mount point too.
    Json disks = Json::parse(readText(worldPath("multiboot.json")))["disks"];
    for (Json& disk : disks) {
        if (disk["id"] == "disk5") {
            disk["partitions"][0]["volumeName"] = "EFI\x1b[2J\xE2\x80\xAEgpj.exe\nroot";
        }
    }
    TempDir dir;
    const SandboxRun run = runIn(worldWith(dir, {{"disks", disks}}),
                                 "\"$TW\" mount disk5s1 && \"$TW\" open disk5s1 && \"$TW\" list");
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    const std::string shown = "/Volumes/EFI\\x1b[2J\\u202egpj.exe\\x0aroot";
    EXPECT_EQ(run.result.out.rfind("disk5s1 mounted at " + shown + "\nOpened " + shown + "\n", 0),
              0u)
        << run.result.out;
    EXPECT_NE(run.result.out.find(shown + "  "), std::string::npos); // the list's column
    EXPECT_EQ(run.result.out.find_first_of("\x1b\r"), std::string::npos);
    EXPECT_EQ(run.result.out.find("\xE2\x80\xAE"), std::string::npos);
}

TEST(OperationEndToEnd, HelperRemovalThroughTheManager) {
    SKIP_WITHOUT_SANDBOX();
    // Installed, removed, then nothing to remove (no prompt): the next mount
    // takes the administrator route again.
    const SandboxRun run = runIn(worldPath("multiboot.json"),
                                 "\"$TW\" helper install >/dev/null; \"$TW\" helper uninstall; "
                                 "\"$TW\" helper uninstall; \"$TW\" mount disk5s1 >/dev/null; "
                                 "ls -A /Library/PrivilegedHelperTools");
    EXPECT_EQ(run.result.out, "The helper was removed; mounting asks for an administrator "
                              "password again.\nThe helper is not installed.\n")
        << run.result.err;
    EXPECT_EQ(run.count("osascript"), 3); // install, removal, mount
    EXPECT_EQ(run.count("diskutil mount disk5s1", 0), 1);
    EXPECT_EQ(run.calls.back().line.rfind("diskutil", 0), 0u);
    // A cancelled prompt changes nothing.
    const SandboxRun cancelled =
        runIn(worldPath("multiboot.json"),
              "\"$TW\" helper install >/dev/null; /usr/local/bin/macsim ctl prompt cancel; "
              "\"$TW\" helper uninstall; echo \"status=$?\"; \"$TW\" helper status",
              /*asRoot=*/true);
    EXPECT_EQ(cancelled.result.out, "status=1\nHelper version 11 is ready.\n")
        << cancelled.result.err;
    EXPECT_NE(cancelled.result.err.find("User canceled. (-128)"), std::string::npos);
}
