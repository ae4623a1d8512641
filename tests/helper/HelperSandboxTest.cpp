// The helper run for real by zsh as root inside the sandbox, against the
// simulated disks; the startup files root must never run are the end-to-end test's.
#include "SandboxRunner.h"

#include "helper/HelperScripts.h"

#include <gtest/gtest.h>

#include <string>

using namespace tesselwick;
using tesselwick::testing::SandboxRunner;

namespace {

// disk0s1: mounted ESP; disk1s1: an APFS volume named EFI; disk2s1: unmounted
// ESP known only by its type code; disk2s2: NTFS; disk2s3: no ESP type but
// named EFI on FAT32; disk2s4: named EFI on exFAT.
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
        { "id": "disk2s1", "content": "EF00", "name": "EFI system partition", "volumeName": "NO NAME",
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

} // namespace

TEST_F(RootScriptSandbox, Helper) {
    // The marker is the first line on standard error once the arguments passed.
    const std::string m = std::string(helper::kReadyMarker) + "\n";
    const struct {
        const char* arguments;
        const char* status;
        const char* out; // nullptr: not checked (diskutil's own words)
        std::string err; // "m...": starts with the marker, rest not checked
        int mounts;
        int unmounts;
    } cases[] = {
        {"version", "0", "11\n", "", 0, 0}, // the version needs no disk
        // a whole disk, and forged identifiers, never reach diskutil
        {"mount disk0", "64", "", "Invalid disk identifier: disk0\n", 0, 0},
        {"mount 'disk0s1;id'", "64", "", "Invalid disk identifier: disk0s1;id\n", 0, 0},
        {"unmount", "64", "", "Invalid disk identifier: \n", 0, 0},
        // already mounted: its mount point, without diskutil mount; already unmounted: nothing
        {"mount disk0s1", "0", "Mount Point: /Volumes/EFI\n", m, 0, 0},
        {"unmount disk2s1", "0", "", m, 0, 0},
        // not ESPs: NTFS, exFAT named EFI, an APFS volume named EFI
        {"mount disk2s2", "65", "", m + "Refusing non-EFI partition: disk2s2\n", 0, 0},
        {"mount disk2s4", "65", "", m + "Refusing non-EFI partition: disk2s4\n", 0, 0},
        {"mount disk1s1", "65", "", m, 0, 0},
        // an ESP by its name on FAT32, really mounted and unmounted
        {"mount disk2s3", "0", nullptr, m, 1, 0},
        {"unmount disk2s3", "0", nullptr, m, 0, 1},
        // an unknown command is refused once the disk has been checked
        {"bogus disk2s1", "64", "", m + "Invalid command: bogus\n", 0, 0},
    };
    std::vector<std::string> commands;
    for (const auto& c : cases) {
        commands.push_back(std::string("zsh \"$HELPER\" ") + c.arguments);
    }
    const auto r = runCases(commands);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.arguments);
        const std::string n = std::string("c").append(std::to_string(i));
        EXPECT_EQ(r.value(n + ".status"), c.status) << err(n) << r.err;
        if (c.out != nullptr) {
            EXPECT_EQ(out(n), c.out);
        }
        if (c.err == m) {
            EXPECT_TRUE(err(n).starts_with(m)) << err(n);
        } else {
            EXPECT_EQ(err(n), c.err);
        }
        EXPECT_EQ(out(n).find(helper::kReadyMarker), std::string::npos);
        EXPECT_EQ(r.value(n + ".mounts"), std::to_string(c.mounts));
        EXPECT_EQ(r.value(n + ".unmounts"), std::to_string(c.unmounts));
        if (std::string(c.status) == "64" && c.err[0] == 'I') { // refused before diskutil
            EXPECT_EQ(r.value(n + ".infos"), "0");
        }
    }
}

TEST_F(RootScriptSandbox, HelperRefusesADeviceReportedUnderAnotherIdentifier) {
    // Only the identifier matters: it is compared before anything else is read.
    sandbox_.writeFile("other.plist", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                                      "version=\"1.0\"><dict><key>DeviceIdentifier</key>"
                                      "<string>disk2s3</string></dict></plist>\n");
    const std::string faults =
        R"("faults": [{"command": "diskutil info -plist disk2s1", "stdoutFile": ")" +
        sandbox_.dir() + "/other.plist\"}]";
    const auto r = runCases({"zsh \"$HELPER\" mount disk2s1"}, faults);
    EXPECT_EQ(r.value("c0.status"), "65") << r.err;
    EXPECT_EQ(err("c0"), std::string(helper::kReadyMarker) +
                             "\ndiskutil returned information for an unexpected disk identifier\n");
    EXPECT_EQ(r.value("c0.mounts"), "0");
}
