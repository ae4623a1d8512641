// sim/sandbox: real mounts that every view agrees with, root-only ESP mounts,
// concurrent mounts, the administrator prompt, users and groups, wrapped tools with
// faults, and the promise that the host is never changed.

#include "Consistency.h"

#include <gtest/gtest.h>

using namespace simtest;

namespace {

std::string dump(const TempDir& dir, const std::string& name) {
    std::filesystem::create_directories(dir.path() / name);
    return "sh -c " + quote(kDumpScript) + " dump " + quote(dir / name);
}

std::string writeWorld(const TempDir& dir, const Json& world) {
    std::string path = dir / "world.json";
    writeText(path, world.dump());
    return path;
}

} // namespace

TEST(Sandbox, MountAndUnmountKeepEveryViewInAgreement) {
    SKIP_WITHOUT_SANDBOX();
    TempDir dir;
    std::string script = dump(dir, "before") +
                         " && diskutil mount disk5s1 && diskutil mount disk3s1 && " +
                         "ls \"/Volumes/EFI 1/EFI/CLOVER\" && " + dump(dir, "mounted") +
                         " && diskutil unmount disk5s1 && diskutil unmount disk0s1 && " +
                         dump(dir, "after") + " && ls /Volumes";
    Result r = runShell(sandbox(worldPath("multiboot.json"), true) + "sh -c " + quote(script));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("Volume EFI on disk5s1 mounted\n"), std::string::npos);
    EXPECT_NE(r.out.find("Volume  on disk3s1 mounted\n"), std::string::npos);
    EXPECT_NE(r.out.find("Volume EFI on disk0s1 unmounted\n"), std::string::npos);
    EXPECT_NE(r.out.find("CLOVERX64.efi"), std::string::npos);

    Views before = readViews(dir.path() / "before");
    Views mounted = readViews(dir.path() / "mounted");
    Views after = readViews(dir.path() / "after");
    for (const Views* v : {&before, &mounted, &after}) {
        expectConsistent(*v, true);
    }
    EXPECT_EQ(before.info.at("disk0s1")["MountPoint"], "/Volumes/EFI");
    EXPECT_EQ(before.info.at("disk5s1")["Mounted"], false);
    // The second "EFI" gets the real tool's suffix; an unnamed FAT volume is Untitled.
    EXPECT_EQ(mounted.info.at("disk5s1")["MountPoint"], "/Volumes/EFI 1");
    EXPECT_EQ(mounted.info.at("disk3s1")["MountPoint"], "/Volumes/Untitled");
    EXPECT_EQ(mounted.mounted.count("/Volumes/EFI 1"), 1U);
    EXPECT_EQ(after.info.at("disk5s1")["MountPoint"], "");
    EXPECT_EQ(after.info.at("disk0s1")["MountPoint"], "");
    EXPECT_EQ(after.mounted.count("/Volumes/EFI"), 0U);
    EXPECT_EQ(after.mounted.count("/Volumes/EFI 1"), 0U);
    EXPECT_EQ(r.out.find("EFI 1\n", r.out.rfind("unmounted")), std::string::npos)
        << "the mount point folder is removed";
}

TEST(Sandbox, OnlyRootMountsAnEsp) {
    SKIP_WITHOUT_SANDBOX();
    Result r = runShell(sandbox(worldPath("multiboot.json"), false) +
                        "sh -c 'id -u; diskutil mount disk5s1; echo status=$?; "
                        "diskutil unmount disk0s1; echo status=$?; "
                        "hdiutil attach /Users/ava/Downloads/Installer.dmg >/dev/null; "
                        "diskutil info -plist disk6s2 | plutil -extract MountPoint raw -o - -'");
    EXPECT_EQ(r.out, "501\nstatus=1\nstatus=1\n/Volumes/Installer\n");
    EXPECT_EQ(r.err, "Volume on disk5s1 failed to mount; If you think the volume is supported but "
                     "damaged, try the \"readOnly\" option\n"
                     "Volume EFI on disk0s1 failed to unmount: Not privileged\n");
}

TEST(Sandbox, ConcurrentMountsFromTwoProcessesGetDistinctFolders) {
    SKIP_WITHOUT_SANDBOX();
    // Two ESPs named EFI mounted at the same moment, three rounds.
    std::string round =
        "diskutil mount disk5s1 >/dev/null & diskutil mount disk5s3 >/dev/null & "
        "wait; diskutil info -plist disk5s1 | plutil -extract MountPoint raw -o - -;"
        "diskutil info -plist disk5s3 | plutil -extract MountPoint raw -o - -;"
        "findmnt -rn -o TARGET | grep -c '^/Volumes/EFI'; "
        "diskutil unmount disk5s1 >/dev/null; diskutil unmount disk5s3 >/dev/null;";
    Result r = runShell(sandbox(worldPath("multiboot.json"), true) + "sh -c " +
                        quote(round + round + round));
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    for (int i = 0; i < 3; ++i) {
        std::string a;
        std::string b;
        std::string count;
        std::getline(lines, a);
        std::getline(lines, b);
        std::getline(lines, count);
        std::set<std::string> got{a, b};
        EXPECT_EQ(got, (std::set<std::string>{"/Volumes/EFI 1", "/Volumes/EFI 2"})) << r.out;
        EXPECT_EQ(count, "3"); // disk0s1's /Volumes/EFI plus the two new ones
    }
}

TEST(Sandbox, AdministratorPromptApprovesCancelsAndReportsFailures) {
    SKIP_WITHOUT_SANDBOX();
    TempDir dir;
    // Approve: the command runs as root; quotes and backslashes survive the escaping.
    std::string script =
        R"(osascript -e 'do shell script "id -u; printf \"%s|\" \"a\\\\b\" \"q\\\"x\"" with administrator privileges')";
    Result r = runShell(sandbox(worldPath("multiboot.json"), false) + "sh -c " + quote(script));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0\ra\\b|q\"x|\n");
    // A failing command: its error text and status, status 1 for osascript.
    std::string failing =
        R"(osascript -e 'do shell script "echo \"no disk\" >&2; exit 3" with administrator privileges')";
    r = runShell(sandbox(worldPath("multiboot.json"), false) + "sh -c " + quote(failing));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(": execution error: no disk (3)\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("0:", 0), 0U);
    // Cancelled prompt.
    std::string cancelWorld =
        writeWorld(dir, {{"base", worldPath("multiboot.json")}, {"prompt", "cancel"}});
    r = runShell(
        sandbox(cancelWorld, false) + "sh -c " +
        quote(R"(osascript -e 'do shell script "touch /tmp/ran" with administrator privileges')"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("execution error: User canceled. (-128)"), std::string::npos) << r.err;
    // Anything but the administrator form is a usage error.
    r = runShell(sandbox(worldPath("multiboot.json"), false) +
                 "osascript -e 'display dialog \"hi\"'");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("osascript: the simulator runs only"), std::string::npos);
}

TEST(Sandbox, UserGroupsSudoAndMacFolders) {
    SKIP_WITHOUT_SANDBOX();
    std::string script = "id -un; id -Gn; stat -f '%Su:%Sg %Lp' /Library /etc/sudoers.d; "
                         "getent group wheel | cut -d: -f3; "
                         "sudo -n true 2>&1; echo sudo=$?; "
                         "test -d /Volumes && test -d /private/tmp && echo folders; "
                         "readlink /usr/sbin/diskutil; zsh -c 'echo $ZSH_NAME'; echo $HOME";
    Result r = runShell(sandbox(worldPath("multiboot.json"), false) + "sh -c " + quote(script));
    EXPECT_EQ(r.out, "ava\nstaff admin\nroot:wheel 755\nroot:wheel 750\n0\n"
                     "sudo: a password is required\nsudo=1\nfolders\n/usr/lib/macsim/macsim\nzsh\n"
                     "/Users/ava\n")
        << r.err;
    // A world user who is not an administrator is not in admin.
    TempDir dir;
    std::string plain = writeWorld(
        dir, {{"base", worldPath("empty.json")}, {"user", {{"name", "bo"}, {"admin", false}}}});
    r = runShell(sandbox(plain, false) + "id -Gn");
    EXPECT_EQ(r.out, "staff\n");
    // visudo checks the overlay's sudoers, which grants admins their usual rule.
    r = runShell(sandbox(plain, true) + "sh -c 'visudo -c -q && grep -c \"^%admin\" /etc/sudoers'");
    EXPECT_EQ(r.out, "1\n") << r.err;
}

TEST(Sandbox, WrappedToolFailsOnItsNthCallOnly) {
    SKIP_WITHOUT_SANDBOX();
    TempDir dir;
    std::string world = writeWorld(dir, {{"base", worldPath("empty.json")},
                                         {"wrap", {"/usr/sbin/visudo"}},
                                         {"faults",
                                          {{{"tool", "visudo"},
                                            {"calls", {2}},
                                            {"status", 1},
                                            {"stderr", "visudo: parse error"}}}}});
    std::string log = dir / "calls.jsonl";
    Result r = runShell("MACSIM_LOG=" + quote(log) + " " + sandbox(world, true) +
                        "sh -c 'for i in 1 2 3; do visudo -c -q; echo $?; done'");
    EXPECT_EQ(r.out, "0\n1\n0\n");
    EXPECT_EQ(r.err, "visudo: parse error\n");
    std::string calls = readText(log);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 3) << calls;
    EXPECT_NE(calls.find("\"tool\":\"visudo\""), std::string::npos);
}

TEST(Sandbox, HostIsNeverChanged) {
    SKIP_WITHOUT_SANDBOX();
    const std::string facts = "for f in /etc/group /etc/passwd /etc/shadow /etc/sudoers "
                              "/usr/bin/stat /usr/bin/base64; do "
                              "  printf '%s ' \"$f\"; sha256sum < \"$f\"; done; "
                              "for p in /Volumes /Library /Users /usr/sbin/diskutil "
                              "/usr/bin/plutil /etc/probe /var/db/macsim; do "
                              "  test -e \"$p\" && echo \"$p exists\"; done; "
                              "ls /etc/sudoers.d; grep -c . /proc/self/mountinfo; "
                              // Other tests' sandboxes may exist meanwhile; this one's
                              // upper layer must be gone afterwards.
                              "ls /tmp/tesselwick-sandbox.*/upper/etc/probe 2>/dev/null | wc -l";
    Result before = runShell(facts);
    ASSERT_EQ(before.status, 0) << before.err;
    std::string vandal =
        "echo x > /etc/probe; echo 'evil:x:0:' >> /etc/group; rm -f /usr/bin/base64; "
        "echo '%admin ALL=(ALL) NOPASSWD: ALL' > /etc/sudoers.d/probe; "
        "mkdir -p /Library/PrivilegedHelperTools/x; diskutil mount disk5s1 >/dev/null; "
        "touch /var/db/macsim/extra";
    Result r = runShell(sandbox(worldPath("multiboot.json"), true) + "sh -c " + quote(vandal));
    ASSERT_EQ(r.status, 0) << r.err;
    Result after = runShell(facts);
    EXPECT_EQ(after.out, before.out);
}

TEST(Sandbox, WithoutPrivilegesSaysSoInOneLine) {
    SKIP_WITHOUT_SANDBOX(); // as root we can take the privileges away to see the refusal
    Result probe = runShell("setpriv --reuid=65534 --regid=65534 --clear-groups test -x " +
                            quote(sandboxPath()));
    if (probe.status != 0) {
        GTEST_SKIP() << "the unprivileged user cannot reach " << sandboxPath();
    }
    Result r = runShell("setpriv --reuid=65534 --regid=65534 --clear-groups " + sandboxPath() +
                        " -- true");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("sandbox: ", 0), 0U) << r.err;
}
