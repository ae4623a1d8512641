// The helper and the administrator route's inline script run for real by zsh
// as root inside the sandbox, against the simulated disks.
#include "SandboxRunner.h"

#include "helper/HelperScripts.h"
#include "operations/AdministratorShell.h"

#include <gtest/gtest.h>

#include <string>

using namespace tesselwick;
using tesselwick::testing::SandboxRunner;

namespace {

// disk0s1: mounted ESP; disk1s1: an APFS volume named EFI; disk2s1: unmounted
// ESP; disk2s2: NTFS; disk2s3: no ESP type but named EFI on FAT32; disk2s4:
// named EFI on exFAT.
const char* kWorld = R"({
  "user": { "name": "ava", "fullName": "Ava Lindqvist", "admin": true },
  "prompt": "approve",
  "disks": [
    { "id": "disk0", "internal": true, "mediaName": "APPLE SSD", "model": "APPLE SSD",
      "protocol": "PCI-Express", "size": 500277790720, "scheme": "GUID_partition_scheme",
      "partitions": [
        { "id": "disk0s1", "content": "EFI", "name": "EFI System Partition", "volumeName": "EFI",
          "fs": "fat32", "size": 209715200, "mountPoint": "/Volumes/EFI",
          "contents": ["EFI/OC/OpenCore.efi"] },
        { "id": "disk0s2", "content": "Apple_APFS", "size": 500068036608,
          "container": { "id": "disk1", "volumes": [
            { "id": "disk1s1", "name": "EFI", "role": "Data", "used": 1048576,
              "mountPoint": "/Volumes/EFI-APFS" } ] } } ] },
    { "id": "disk2", "internal": true, "mediaName": "Samsung SSD", "model": "Samsung SSD",
      "protocol": "SATA", "size": 1000204886016, "scheme": "GUID_partition_scheme",
      "partitions": [
        { "id": "disk2s1", "content": "EFI", "name": "EFI system partition", "volumeName": "NO NAME",
          "fs": "fat32", "size": 104857600, "contents": ["EFI/Boot/bootx64.efi"] },
        { "id": "disk2s2", "content": "Microsoft Basic Data", "name": "Basic data partition",
          "volumeName": "Windows", "fs": "ntfs", "size": 900000000000, "mountPoint": "/Volumes/Windows" },
        { "id": "disk2s3", "content": "Microsoft Basic Data", "name": "Basic data partition",
          "volumeName": "EFI", "fs": "fat32", "size": 104857600 },
        { "id": "disk2s4", "content": "Microsoft Basic Data", "name": "Basic data partition",
          "volumeName": "efi", "fs": "exfat", "size": 104857600 } ] } ]
})";

// Runs one command as root and reports it under the prefix $1.
const char* kCaseFunction = R"SH(
run_case() {
  local name="$1"; shift
  local mounts_before=$(diskutil_calls mount) unmounts_before=$(diskutil_calls unmount)
  local infos_before=$(diskutil_calls info)
  "$@" >"$TW_DIR/$name.out" 2>"$TW_DIR/$name.err"
  say $name.status $?
  say $name.mounts $(( $(diskutil_calls mount) - mounts_before ))
  say $name.unmounts $(( $(diskutil_calls unmount) - unmounts_before ))
  say $name.infos $(( $(diskutil_calls info) - infos_before ))
}
)SH";

class RootScriptSandbox : public tesselwick::testing::SandboxFixture {
protected:
    std::string out(const std::string& name) const { return sandbox_.readFile(name + ".out"); }
    std::string err(const std::string& name) const { return sandbox_.readFile(name + ".err"); }
    // Runs each command line as root as case c0, c1, ... against kWorld.
    SandboxRunner::Result runCases(const std::vector<std::string>& commands,
                                   const std::string& faults = {}) {
        std::string script = kCaseFunction;
        for (std::size_t i = 0; i < commands.size(); ++i) {
            script += "run_case c" + std::to_string(i) + " " + commands[i] + "\n";
        }
        return sandbox_.run(script, true, faults, kWorld);
    }
};

// A property list of one partition's information.
std::string infoPlist(const std::string& id, const std::string& content, bool mounted) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>DeviceIdentifier</key><string>" +
           id + "</string>\n<key>Content</key><string>" + content +
           "</string>\n<key>VolumeName</key><string>EFI</string>\n"
           "<key>FilesystemName</key><string>MS-DOS FAT32</string>\n"
           "<key>FilesystemUserVisibleName</key><string>MS-DOS (FAT32)</string>\n"
           "<key>Mounted</key><" +
           (mounted ? "true" : "false") + "/>\n</dict>\n</plist>\n";
}

// A partition list: `disks` whole disks named disk900.. with no partitions,
// then `whole` with `partitions` partitions wholeS1.. in order.
std::string listPlist(int disks, const std::string& whole, int partitions) {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                    "<dict>\n<key>AllDisksAndPartitions</key>\n<array>\n";
    for (int i = 0; i < disks; ++i) {
        s += "<dict><key>DeviceIdentifier</key><string>disk" + std::to_string(900 + i) +
             "</string></dict>\n";
    }
    s += "<dict><key>DeviceIdentifier</key><string>" + whole +
         "</string>\n<key>Partitions</key>\n<array>\n";
    for (int j = 1; j <= partitions; ++j) {
        s += "<dict><key>Content</key><string>EFI</string><key>DeviceIdentifier</key><string>" +
             whole + "s" + std::to_string(j) + "</string></dict>\n";
    }
    return s + "</array>\n</dict>\n</array>\n</dict>\n</plist>\n";
}

} // namespace

TEST_F(RootScriptSandbox, Helper) {
    struct Case {
        const char* name;
        const char* arguments;
        const char* status;
        const char* out;
        const char* err;
        int mounts;
        int unmounts;
    };
    const std::string marker = "TESSELWICK_HELPER_READY=9\n";
    const Case cases[] = {
        // the version needs no disk
        {"version", "version", "0", "9\n", "", 0, 0},
        // a whole disk, and forged identifiers, never reach diskutil
        {"whole", "mount disk0", "64", "", "Invalid disk identifier: disk0\n", 0, 0},
        {"semicolon", "mount 'disk0s1;id'", "64", "", "Invalid disk identifier: disk0s1;id\n", 0,
         0},
        {"two", "mount 'disk0s1 disk1s1'", "64", "", "Invalid disk identifier: disk0s1 disk1s1\n",
         0, 0},
        {"dots", "mount ../disk0s1", "64", "", "Invalid disk identifier: ../disk0s1\n", 0, 0},
        {"empty", "mount ''", "64", "", "Invalid disk identifier: \n", 0, 0},
        {"missing", "unmount", "64", "", "Invalid disk identifier: \n", 0, 0},
        // already mounted: its mount point, without diskutil mount
        {"mounted", "mount disk0s1", "0", "Mount Point: /Volumes/EFI\n", nullptr, 0, 0},
        // already unmounted: nothing to do
        {"unmounted", "unmount disk2s1", "0", "", nullptr, 0, 0},
        // not ESPs
        {"ntfs", "mount disk2s2", "65", "", "Refusing non-EFI partition: disk2s2\n", 0, 0},
        {"exfat named efi", "mount disk2s4", "65", "", "Refusing non-EFI partition: disk2s4\n", 0,
         0},
        {"apfs named efi", "mount disk1s1", "65", "", nullptr, 0, 0},
        // an ESP by its name on FAT32, really mounted and unmounted
        {"named efi", "mount disk2s3", "0", nullptr, nullptr, 1, 0},
        {"named efi again", "unmount disk2s3", "0", nullptr, nullptr, 0, 1},
        // an unknown command is refused once the disk has been checked
        {"bogus", "bogus disk2s1", "64", "", nullptr, 0, 0},
    };
    std::vector<std::string> commands;
    for (const auto& c : cases) {
        commands.push_back(std::string("zsh \"$HELPER\" ") + c.arguments);
    }
    const auto r = runCases(commands);
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Appended rather than "literal" + temporary: GCC 12 reports a false -Wrestrict for that.
        const std::string n = std::string("c").append(std::to_string(index++));
        EXPECT_EQ(r.value(n + ".status"), c.status) << err(n) << r.err;
        if (c.out != nullptr) {
            EXPECT_EQ(out(n), c.out);
        }
        // Whether the helper got past its argument checks and wrote the marker.
        const bool helperRan =
            (std::string(c.status) != "64" && std::string(c.name) != "version") ||
            std::string(c.name) == "bogus";
        const std::string expectedErr =
            c.err != nullptr ? (helperRan ? marker : std::string()) + c.err : std::string();
        if (c.err != nullptr) {
            EXPECT_EQ(err(n), expectedErr);
        } else if (std::string(c.name) != "version") {
            // The marker is the first line on standard error, never on standard output.
            EXPECT_TRUE(err(n).starts_with(marker)) << err(n);
        }
        EXPECT_EQ(out(n).find(helper::kReadyMarker), std::string::npos);
        EXPECT_EQ(r.value(n + ".mounts"), std::to_string(c.mounts));
        EXPECT_EQ(r.value(n + ".unmounts"), std::to_string(c.unmounts));
        if (!helperRan) {
            EXPECT_EQ(r.value(n + ".infos"), "0");
        }
    }
    EXPECT_EQ(err(std::string("c").append(std::to_string(index - 1))),
              marker + "Invalid command: bogus\n");
}

TEST_F(RootScriptSandbox, HelperRefusesADeviceReportedUnderAnotherIdentifier) {
    sandbox_.writeFile("other.plist", infoPlist("disk2s3", "EFI", false));
    const std::string faults =
        R"("faults": [{"command": "diskutil info -plist disk2s1", "stdoutFile": ")" +
        sandbox_.dir() + "/other.plist\"}]";
    const auto r = runCases({"zsh \"$HELPER\" mount disk2s1"}, faults);
    EXPECT_EQ(r.value("c0.status"), "65") << r.err;
    EXPECT_EQ(err("c0"), std::string(helper::kReadyMarker) +
                             "\ndiskutil returned information for an unexpected disk identifier\n");
    EXPECT_EQ(r.value("c0.mounts"), "0");
}

TEST_F(RootScriptSandbox, InlineScript) {
    struct Case {
        const char* name;
        std::string script;
        const char* status;
        const char* out;
        const char* err;
        int mounts;
        int unmounts;
    };
    // The root side re-checks what the caller already checked: these scripts
    // carry values the C++ side would refuse to splice.
    auto forged = [](const std::string& disk, const std::string& whole) {
        std::string s = operations::privilegedDiskutilScript("mount", "disk2s1", "disk2");
        s.replace(s.find("disk='disk2s1'"), 14, "disk='" + disk + "'");
        s.replace(s.find("whole_disk='disk2'"), 18, "whole_disk='" + whole + "'");
        return s;
    };
    const Case cases[] = {
        {"mounted", operations::privilegedDiskutilScript("mount", "disk0s1", "disk0"), "0",
         "Mount Point: /Volumes/EFI\n", "", 0, 0},
        {"unmounted", operations::privilegedDiskutilScript("unmount", "disk2s1", "disk2"), "0", "",
         "", 0, 0},
        {"ntfs", operations::privilegedDiskutilScript("mount", "disk2s2", "disk2"), "65", "",
         "Refusing non-EFI partition: disk2s2\n", 0, 0},
        {"wrong parent", forged("disk3s1", "disk2"), "64", "",
         "Disk identifier does not belong to its expected parent\n", 0, 0},
        {"forged disk", forged("disk2s1;id", "disk2"), "64", "",
         "Invalid disk identifier: disk2s1;id\n", 0, 0},
        {"forged parent", forged("disk2s1", "disk2s1"), "64", "",
         "Invalid parent disk identifier: disk2s1\n", 0, 0},
        {"mount", operations::privilegedDiskutilScript("mount", "disk2s1", "disk2"), "0", nullptr,
         "", 1, 0},
        {"unmount", operations::privilegedDiskutilScript("unmount", "disk2s1", "disk2"), "0",
         nullptr, "", 0, 1},
    };
    std::vector<std::string> commands;
    for (const auto& c : cases) {
        const std::string file =
            std::string("c").append(std::to_string(commands.size())).append(".zsh");
        sandbox_.writeFile(file, c.script);
        commands.push_back("zsh \"$TW_DIR/" + file + "\"");
    }
    const auto r = runCases(commands);
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string n = std::string("c").append(std::to_string(index++));
        EXPECT_EQ(r.value(n + ".status"), c.status) << err(n) << r.err;
        if (c.out != nullptr) {
            EXPECT_EQ(out(n), c.out);
        }
        EXPECT_EQ(err(n), c.err);
        EXPECT_EQ(r.value(n + ".mounts"), std::to_string(c.mounts));
        EXPECT_EQ(r.value(n + ".unmounts"), std::to_string(c.unmounts));
        if (std::string(c.status) == "64") {
            EXPECT_EQ(r.value(n + ".infos"), "0");
        }
    }
}

TEST_F(RootScriptSandbox, InlineScriptSearchBounds) {
    // Partition lists served in place of the simulator's: the target sits just
    // inside or just outside the 1024-partition and 128-disk bounds. The
    // partition is reported unmounted, so an unmount that finds it ends at once.
    struct Case {
        const char* name;
        int disks;
        int partitions;
        const char* target;
        const char* status;
    };
    const Case cases[] = {
        {"last partition searched", 0, 1024, "disk77s1024", "0"},
        {"first partition beyond", 0, 1025, "disk77s1025", "65"},
        {"last disk searched", 127, 1, "disk77s1", "0"},
        {"first disk beyond", 128, 1, "disk77s1", "65"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string n = std::string("c").append(std::to_string(index++));
        sandbox_.writeFile(n + ".info", infoPlist(c.target, "EFI", false));
        sandbox_.writeFile(n + ".list", listPlist(c.disks, "disk77", c.partitions));
        sandbox_.writeFile(n + ".zsh",
                           operations::privilegedDiskutilScript("unmount", c.target, "disk77"));
        const std::string faults =
            std::string(R"("faults": [{"command": "diskutil info -plist )") + c.target +
            R"(", "stdoutFile": ")" + sandbox_.dir() + "/" + n +
            R"(.info"}, {"command": "diskutil list -plist disk77", "stdoutFile": ")" +
            sandbox_.dir() + "/" + n + ".list\"}]";
        const auto r = runCases({"zsh \"$TW_DIR/" + n + ".zsh\""}, faults);
        EXPECT_EQ(r.value("c0.status"), c.status) << err("c0") << r.err;
        if (std::string(c.status) == "65") {
            EXPECT_EQ(err("c0"), "Could not find " + std::string(c.target) +
                                     " in the partition table for disk77\n");
        } else {
            EXPECT_EQ(err("c0"), "");
        }
        EXPECT_EQ(r.value("c0.unmounts"), "0");
    }
}

TEST_F(RootScriptSandbox, RootShellsNeverRunTheCallersStartupFiles) {
    // Any process of the user can plant a .zshenv; HOME or ZDOTDIR may reach
    // the root shell through the administrator prompt.
    sandbox_.writeFile("admin.line",
                       operations::scriptTransportLine(
                           operations::privilegedDiskutilScript("mount", "disk0s1", "disk0")));
    sandbox_.writeFile("installer.line",
                       operations::scriptTransportLine(helper::installerScript()));
    const char* routes[] = {
        // the administrator route's inline script, as the prompt runs it
        "/bin/sh -c \"$(cat \"$TW_DIR/admin.line\")\"",
        // the installer, carried the same way
        "/bin/sh -c \"$(cat \"$TW_DIR/installer.line\")\"",
        // the installer started through its own first line
        "\"$INSTALLER\"",
    };
    const char* environments[] = {"HOME=\"$TW_DIR/home\"", "ZDOTDIR=\"$TW_DIR/zdotdir\""};
    std::string script = R"SH(
chmod 0755 "$INSTALLER"
mkdir -p "$TW_DIR/home" "$TW_DIR/zdotdir"
print -r -- "print -r -- home >>'$TW_DIR/ran'" >"$TW_DIR/home/.zshenv"
print -r -- "print -r -- zdotdir >>'$TW_DIR/ran'" >"$TW_DIR/zdotdir/.zshenv"
)SH";
    script += kCaseFunction;
    int count = 0;
    for (const char* route : routes) {
        for (const char* environment : environments) {
            script +=
                "run_case c" + std::to_string(count++) + " env " + environment + " " + route + "\n";
        }
    }
    script += "say ran \"$(cat \"$TW_DIR/ran\" 2>/dev/null | tr '\\n' ' ')\"\n";
    const auto r = sandbox_.run(script, true, {}, kWorld);
    for (int i = 0; i < count; ++i) {
        // Appended rather than "literal" + temporary: GCC 12 reports a false -Wrestrict for that.
        const std::string n = std::string("c").append(std::to_string(i));
        EXPECT_EQ(r.value(n + ".status"), "0") << n << ": " << err(n) << r.err;
    }
    EXPECT_EQ(out("c0"), "Mount Point: /Volumes/EFI\n");
    EXPECT_EQ(r.value("ran"), "");
}

TEST_F(RootScriptSandbox, HelperIgnoresTheCallersDirectoryAndLocale) {
    // diskutil reports where and in which locale the helper ran it.
    const auto r = sandbox_.run(R"SH(
rm -f /usr/sbin/diskutil
print -r -- '#!/bin/sh
print_seen() { echo "$PWD ${LC_ALL:-unset}" >>"$TW_SEEN"; }
print_seen
exec /usr/lib/macsim/macsim diskutil "$@"' >/usr/sbin/diskutil
chmod 0755 /usr/sbin/diskutil
cd "$TW_DIR"
TW_SEEN="$TW_DIR/seen" LC_ALL=C.UTF-8 zsh "$HELPER" mount disk0s1
say status $?
say seen "$(sort -u "$TW_DIR/seen")"
)SH",
                                true, {}, kWorld);
    EXPECT_EQ(r.value("status"), "0") << r.err;
    EXPECT_EQ(r.value("seen"), "/ C");
}
