// sim/sandbox: real mounts that every view agrees with, and a host that never
// changes (that only root mounts an ESP shows in the end-to-end operation tests).

#include "Consistency.h"

#include <gtest/gtest.h>

using namespace simtest;

namespace {

std::string dump(const TempDir& dir, const std::string& name) {
    std::filesystem::create_directories(dir.path() / name);
    return "sh -c " + quote(kDumpScript) + " dump " + quote(dir / name);
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
    EXPECT_NE(r.out.find("CLOVERX64.efi"), std::string::npos);
    Views before = readViews(dir.path() / "before");
    Views mounted = readViews(dir.path() / "mounted");
    Views after = readViews(dir.path() / "after");
    for (const Views* v : {&before, &mounted, &after}) {
        expectConsistent(*v, true);
    }
    // The second "EFI" gets the real tool's suffix; an unnamed FAT volume is Untitled.
    EXPECT_EQ(mounted.info.at("disk5s1")["MountPoint"], "/Volumes/EFI 1");
    EXPECT_EQ(mounted.info.at("disk3s1")["MountPoint"], "/Volumes/Untitled");
    EXPECT_EQ(after.info.at("disk5s1")["MountPoint"], "");
    EXPECT_EQ(after.mounted.count("/Volumes/EFI"), 0U);
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
