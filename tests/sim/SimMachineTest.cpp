// macsim as a program over a world, without the sandbox: the tools' outputs agree,
// unknown devices fail like the real tool, faults and replay.

#include "Consistency.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace simtest;

namespace {

// A simulated Mac in a temporary home, with the tools' names on PATH.
class Mac {
public:
    explicit Mac(const std::string& world) {
        std::filesystem::create_directories(dir_ / "bin");
        for (const char* tool : {"diskutil", "hdiutil", "plutil", "osascript", "stat", "base64"}) {
            std::filesystem::create_symlink(macsimPath(), dir_.path() / "bin" / tool);
        }
        Result init = run(quote(macsimPath()) + " ctl init " + quote(world));
        EXPECT_EQ(init.status, 0) << init.err;
    }
    Result run(const std::string& script, const std::string& extraEnv = "") const {
        return runShell("export MACSIM_HOME=" + quote(dir_ / "home") + " PATH=" +
                        quote(dir_ / "bin") + ":/usr/bin:/bin " + extraEnv + "; " + script);
    }
    std::string path(const std::string& name) const { return dir_ / name; }

private:
    TempDir dir_;
};

std::string writeWorld(const TempDir& dir, const Json& world) {
    std::string path = dir / "world.json";
    writeText(path, world.dump());
    return path;
}

} // namespace

TEST(MacsimMachine, OutputsOfTheMultibootWorldAgree) {
    Mac mac(worldPath("multiboot.json"));
    TempDir out;
    Result dump = mac.run("sh -c " + quote(kDumpScript) + " dump " + quote(out.path().string()));
    ASSERT_EQ(dump.status, 0) << dump.err;
    Views v = readViews(out.path());
    expectConsistent(v, false);
    // The container synthesized from disk0s2 carries the sealed system snapshot.
    EXPECT_EQ(v.list["AllDisksAndPartitions"][1]["APFSVolumes"][0]["MountedSnapshots"][0]
                    ["SnapshotMountPoint"],
              "/");
    // The detached image is nowhere, and asking for it fails like the real tool;
    // the attached one maps its devices.
    EXPECT_EQ(v.info.count("disk6"), 0U);
    EXPECT_EQ(mac.run("diskutil info disk6").status, 1);
    EXPECT_EQ(v.images["images"][0]["system-entities"][1]["dev-entry"], "/dev/disk4s1");
    // The enrichment keys the scan reads are there for an ESP.
    EXPECT_EQ(v.info.at("disk2s1")["FilesystemUserVisibleName"], "MS-DOS (FAT32)");
    EXPECT_EQ(v.info.at("disk3")["DeviceLocation"], "External");
    // Nothing attached: no "images" key at all, as on current systems.
    Mac empty(worldPath("empty.json"));
    EXPECT_FALSE(macsim::plistToJson(empty.run("hdiutil info -plist").out).contains("images"));
}

TEST(MacsimMachine, FaultsAndReplayReplaceTheModelsAnswers) {
    TempDir dir;
    writeText(dir / "recorded.plist", "<?xml version=\"1.0\"?><plist><dict/></plist>\n");
    Json world = {{"base", worldPath("multiboot.json")},
                  {"faults",
                   {{{"command", "diskutil info -plist disk2s1"},
                     {"status", 5},
                     {"stderr", "simulated I/O error"}},
                    {{"command", "diskutil info -plist disk3s1"}, {"calls", {2}}, {"status", 7}},
                    {{"prefix", "diskutil list -plist"}, {"stdout", "<plist>broken"}},
                    {{"command", "diskutil list"}, {"flood", {{"bytes", 3000000}}}},
                    {{"command", "hdiutil info -plist"}, {"delay", 0.4}},
                    {{"tool", "base64"}, {"from", 2}, {"status", 1}}}},
                  {"replay",
                   {{{"command", "diskutil info -plist disk0"},
                     {"stdoutFile", "recorded.plist"}, // relative to the world file
                     {"status", 0}}}}};
    Mac mac(writeWorld(dir, world));
    Result r = mac.run("diskutil info -plist disk2s1");
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err + r.out, "simulated I/O error\n");
    // Only the second matching call fails.
    for (const int status : {0, 7, 0}) {
        EXPECT_EQ(mac.run("diskutil info -plist disk3s1").status, status);
    }
    // A prefix matches with and without a disk argument.
    EXPECT_EQ(mac.run("diskutil list -plist disk0").out, "<plist>broken");
    EXPECT_EQ(mac.run("diskutil list").out.size(), 3000000U);
    // A delay holds the answer back, which is otherwise the model's.
    auto start = std::chrono::steady_clock::now();
    Result slow = mac.run("hdiutil info -plist");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_TRUE(macsim::plistToJson(slow.out).contains("images"));
    // Tools other than diskutil take faults too, here from the second call on.
    mac.run("echo aGk= | base64 -D");
    EXPECT_EQ(mac.run("echo aGk= | base64 -D").status, 1);
    EXPECT_EQ(mac.run("diskutil info -plist disk0").out, readText(dir / "recorded.plist"));
    // Faults added at run time win over the world's, until cleared.
    mac.run(quote(macsimPath()) +
            " ctl fault '{\"command\":\"diskutil info -plist disk2s1\",\"status\":9}'");
    EXPECT_EQ(mac.run("diskutil info -plist disk2s1").status, 9);
    mac.run(quote(macsimPath()) + " ctl clear-faults");
    EXPECT_EQ(mac.run("diskutil info -plist disk2s1").status, 5);
}
