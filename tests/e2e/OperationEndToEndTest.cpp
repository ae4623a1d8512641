// `tesselwick mount|unmount|open|helper install` inside sim/sandbox on the
// multi-boot Mac, with a private session bus whose notification service and
// file manager record what reaches them. The invocation log tells which route
// ran which tool as whom.

#include "e2e/DesktopServices.h"
#include "sim/SimTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>
#include <thread>

using namespace simtest;

namespace {

std::string tesselwick() {
    return std::string(TESSELWICK_BINARY_DIR) + "/bin/tesselwick";
}

const std::string kHelperText = "The helper is optional. Without it, macOS should ask for "
                                "administrator authorization when needed.\n\n";
const std::string kDirectMountRefused =
    "Volume on disk5s1 failed to mount; If you think the volume is supported but damaged, try "
    "the \"readOnly\" option";

struct Call {
    std::string line; // tool name and arguments
    int uid;
    int status;
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

// Every `from` in `text` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The prompt's error names the script's position ("0:5643:"), which depends
// on the script's length; "0:N:" stands for it.
std::string withoutScriptPosition(std::string text) {
    const std::size_t at = text.find("0:");
    const std::size_t end = at == std::string::npos ? at : text.find(':', at + 2);
    if (end != std::string::npos && text.find_first_not_of("0123456789", at + 2) == end &&
        end > at + 2) {
        text.replace(at, end - at + 1, "0:N:");
    }
    return text;
}

// A world file: the multi-boot Mac with `changes` merged over it.
std::string worldWith(const TempDir& dir, const Json& changes) {
    Json world = changes;
    world["base"] = worldPath("multiboot.json");
    const std::string path = dir / "world.json";
    writeText(path, world.dump());
    return path;
}

SandboxRun runIn(const std::string& world, const std::string& script, bool asRoot = false,
                 std::vector<std::string> desktopOptions = {}) {
    TempDir dir;
    DesktopServices desktop(std::move(desktopOptions));
    EXPECT_TRUE(desktop.started());
    const std::string log = dir / "calls.jsonl";
    SandboxRun run;
    run.result =
        runShell(desktop.environment() + "MACSIM_LOG=" + quote(log) + " TW=" + quote(tesselwick()) +
                 " " + sandbox(world, asRoot) + "/bin/sh -c " + quote(script));
    std::istringstream lines(readText(log));
    for (std::string line; std::getline(lines, line);) {
        const Json call = Json::parse(line);
        std::string text = std::filesystem::path(call["argv"][0].get<std::string>()).filename();
        for (std::size_t i = 1; i < call["argv"].size(); ++i) {
            // Not " " + temporary: GCC 12 reports a false -Wrestrict for that.
            text.append(" ").append(call["argv"][i].get<std::string>());
        }
        run.calls.push_back({text, call["uid"].get<int>(), call["status"].get<int>()});
    }
    run.desktop = desktop.records();
    return run;
}

// What macsim prints for a tool call inside the sandbox, with an ESP made into
// an HFS+ partition: the same disk after someone reformatted it.
std::string reformatted(const std::string& command) {
    Result printed = runShell(sandbox(worldPath("multiboot.json"), false) + command);
    std::string text = printed.out;
    const std::pair<std::string, std::string> edits[] = {
        {"<string>EFI</string>", "<string>Apple_HFS</string>"},
        {"MS-DOS FAT32", "HFS+"},
        {"<string>msdos</string>", "<string>hfs</string>"},
        {"MS-DOS (FAT32)", "Mac OS Extended (Journaled)"},
        {"EFI System Partition", "Data"},
    };
    for (const auto& [from, to] : edits) {
        text = replaced(text, from, to);
    }
    return text;
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

TEST(OperationEndToEnd, CancelledPromptShowsBothRoutesAndMountsNothing) {
    SKIP_WITHOUT_SANDBOX();
    TempDir dir;
    const SandboxRun run = runIn(worldWith(dir, {{"prompt", "cancel"}}), "\"$TW\" mount disk5s1");
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.out, "");
    // The prompt's error names the script's position, which depends on its length.
    EXPECT_EQ(withoutScriptPosition(run.result.err),
              "Unable to mount EFI partition disk5s1.\n\n" + kHelperText +
                  "Direct diskutil: " + kDirectMountRefused +
                  "\n\nAdministrator authorization: 0:N: execution error: User canceled. "
                  "(-128)\n");
    EXPECT_EQ(run.count("diskutil mount", 0), 0);
    EXPECT_TRUE(run.desktop.empty());
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
    const auto twice = [](const std::string& refusal) {
        return "Unable to mount EFI partition " + refusal.substr(0, 0) + "%ID%.\n\n" + kHelperText +
               "Direct diskutil: " + refusal + "\n\nAdministrator authorization: " + refusal + "\n";
    };
    struct Case {
        std::string id;
        std::string expected;
    };
    const Case cases[] = {
        // A whole disk: refused before any tool runs for the request.
        {"disk3", "Invalid disk identifier: disk3\n"},
        // The APFS partition beside the boot ESP.
        {"disk0s2", twice("Refusing disk0s2: it is no longer an EFI System Partition. Refresh "
                          "and try again.")},
        // No such partition on the live system.
        {"disk5s9", twice("EFI partition disk5s9 is no longer present. Refresh and try again.")},
    };
    std::string script;
    for (const Case& c : cases) {
        script += "\"$TW\" mount " + c.id + "; echo \"status=$?\" >&2; ";
    }
    const SandboxRun run = runIn(worldPath("multiboot.json"), script);
    std::string expected;
    for (const Case& c : cases) {
        expected += replaced(c.expected, "%ID%", c.id) + "status=1\n";
    }
    EXPECT_EQ(run.result.err, expected);
    EXPECT_EQ(run.count("diskutil mount"), 0);
    EXPECT_EQ(run.count("osascript"), 0);
}

TEST(OperationEndToEnd, ESPReformattedAfterTheScanIsRefusedByEveryRoute) {
    SKIP_WITHOUT_SANDBOX();
    // From the second call on (the scan makes the first), the system reports
    // disk5s1 as HFS+.
    const Json faults = Json::array({{{"command", "diskutil info -plist disk5s1"},
                                      {"from", 2},
                                      {"stdout", reformatted("diskutil info -plist disk5s1")}},
                                     {{"command", "diskutil list -plist disk5"},
                                      {"stdout", reformatted("diskutil list -plist disk5")}}});
    TempDir dir;
    const std::string world = worldWith(dir, {{"faults", faults}});
    const std::string refusal =
        "Refusing disk5s1: it is no longer an EFI System Partition. Refresh and try again.";

    const SandboxRun direct = runIn(world, "\"$TW\" mount disk5s1");
    EXPECT_EQ(direct.result.status, 1);
    EXPECT_EQ(direct.result.err, "Unable to mount EFI partition disk5s1.\n\n" + kHelperText +
                                     "Direct diskutil: " + refusal +
                                     "\n\nAdministrator authorization: " + refusal + "\n");
    EXPECT_EQ(direct.count("diskutil mount"), 0);

    // The helper is a root script that checks for itself.
    const SandboxRun helper =
        runIn(world, "\"$TW\" helper install >/dev/null && \"$TW\" mount disk5s1");
    EXPECT_EQ(helper.result.status, 1);
    EXPECT_NE(helper.result.err.find("disk5s1"), std::string::npos) << helper.result.err;
    EXPECT_EQ(helper.count("diskutil mount"), 0);
}

namespace {

// Pids of processes whose command line starts with these arguments, and
// whose parent is `parent` when one is given (other sandboxes may be running
// the same commands at the same time).
std::vector<pid_t> processesRunning(const std::vector<std::string>& argv,
                                    std::optional<pid_t> parent = std::nullopt) {
    std::string wanted;
    for (const std::string& argument : argv) {
        wanted += argument + '\0';
    }
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos ||
            readText(entry.path() / "cmdline").rfind(wanted, 0) != 0) {
            continue;
        }
        if (parent) {
            const std::string status = readText(entry.path() / "status");
            const auto at = status.find("PPid:\t");
            if (at == std::string::npos || std::stoi(status.substr(at + 6)) != *parent) {
                continue;
            }
        }
        found.push_back(std::stoi(name));
    }
    return found;
}

// Waits (in real time, bounded) until such a process runs.
std::optional<pid_t> awaitProcess(const std::vector<std::string>& argv,
                                  std::optional<pid_t> parent = std::nullopt) {
    // Generous: a loaded machine running the sanitizer build scans slowly.
    for (int i = 0; i < 2400; ++i) {
        if (auto pids = processesRunning(argv, parent); !pids.empty()) {
            return pids.front();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

} // namespace

TEST(OperationEndToEnd, CtrlCDuringASlowMountLeavesNothingBehind) {
    SKIP_WITHOUT_SANDBOX();
    TempDir dir;
    const std::string world = worldWith(
        dir, {{"faults", Json::array({{{"command", "diskutil mount disk5s1"}, {"delay", 60}}})}});
    auto finished = std::async(std::launch::async, [&] {
        return runIn(world, "exec \"$TW\" mount disk5s1", /*asRoot=*/true);
    });
    const auto program = awaitProcess({tesselwick(), "mount", "disk5s1"});
    ASSERT_TRUE(program);
    const auto child = awaitProcess({"/usr/sbin/diskutil", "mount", "disk5s1"}, *program);
    ASSERT_TRUE(child);
    ::kill(*program, SIGINT);
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(120)), std::future_status::ready);
    const SandboxRun run = finished.get();
    EXPECT_EQ(run.result.status, 130);
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, "");
    EXPECT_NE(::kill(*child, 0), 0); // the slow diskutil was stopped, not left behind
    EXPECT_EQ(run.count("osascript"), 0);
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
