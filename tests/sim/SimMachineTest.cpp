// macsim as a program over a world, without the sandbox: the tools' outputs agree,
// unknown devices fail like the real tool, faults, replay and the invocation log.

#include "Consistency.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

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
    // The container is synthesized from disk0s2 and carries the sealed system snapshot.
    EXPECT_EQ(v.list["WholeDisks"], Json({"disk0", "disk1", "disk2", "disk3", "disk4", "disk5"}));
    const Json& container = v.list["AllDisksAndPartitions"][1];
    EXPECT_EQ(container["Content"], "EF57347C-0000-11AA-AA11-00306543ECAC");
    EXPECT_EQ(container["APFSVolumes"][0]["MountedSnapshots"][0]["SnapshotMountPoint"], "/");
    EXPECT_TRUE(v.info.at("disk1")["TotalSize"].is_number_float());
    // The detached image is nowhere; the attached one maps its devices.
    EXPECT_EQ(v.info.count("disk6"), 0U);
    ASSERT_EQ(v.images["images"].size(), 1U);
    EXPECT_EQ(v.images["images"][0]["image-path"], "/Users/ava/Images/Recovery Kit.dmg");
    EXPECT_EQ(v.images["images"][0]["system-entities"][1]["dev-entry"], "/dev/disk4s1");
    EXPECT_NE(v.text.find("/dev/disk4 (disk image):"), std::string::npos);
    EXPECT_NE(v.text.find("   1:                        EFI EFI                     209.7 MB   "
                          "disk0s1\n"),
              std::string::npos);
    // The enrichment keys the scan reads are there for an ESP.
    const Json& esp = v.info.at("disk2s1");
    EXPECT_EQ(esp["FilesystemName"], "MS-DOS FAT32");
    EXPECT_EQ(esp["FilesystemUserVisibleName"], "MS-DOS (FAT32)");
    EXPECT_EQ(esp["VolumeName"], "NO NAME");
    EXPECT_EQ(v.info.at("disk2")["MediaName"], "Samsung SSD 870 EVO 1TB");
    EXPECT_EQ(v.info.at("disk3")["Internal"], false);
    EXPECT_EQ(v.info.at("disk3")["DeviceLocation"], "External");
}

TEST(MacsimMachine, InfoCarriesEveryKeyRecordedOnRealMacs) {
    std::string fixtures = std::string(TESSELWICK_SOURCE_DIR) + "/../shared/fixtures/real-macos";
    if (!std::filesystem::exists(fixtures)) {
        fixtures = std::string(TESSELWICK_SOURCE_DIR) + "/../../shared/fixtures/real-macos";
    }
    if (!std::filesystem::exists(fixtures)) {
        GTEST_SKIP() << "recorded macOS output not present at " << fixtures;
    }
    Mac mac(worldPath("multiboot.json"));
    // Simulated device, recording of the same kind of device.
    const std::pair<const char*, const char*> pairs[] = {
        {"disk0", "info-plist.wholedisk.hstimager-disk0.plist"},     // internal whole disk
        {"disk1", "info-plist.apfscontainer.hstimager-disk1.plist"}, // synthesized container
        {"disk3", "info-plist.usb.hstimager-usbide-disk2.plist"},    // external USB disk
    };
    for (const auto& [device, recording] : pairs) {
        Json mine = macsim::plistToJson(mac.run(std::string("diskutil info -plist ") + device).out);
        Json real = macsim::plistToJson(readText(fixtures + "/" + recording));
        ASSERT_TRUE(real.is_object()) << recording;
        for (const auto& [key, value] : real.items()) {
            EXPECT_TRUE(mine.contains(key))
                << device << " lacks " << key << " (" << recording << ")";
            if (mine.contains(key)) {
                EXPECT_EQ(mine[key].type_name(), std::string(value.type_name()))
                    << device << " " << key;
            }
        }
    }
}

TEST(MacsimMachine, EmptyImageListHasNoImagesKey) {
    Mac mac(worldPath("empty.json"));
    Result info = mac.run("hdiutil info -plist");
    ASSERT_EQ(info.status, 0);
    Json images = macsim::plistToJson(info.out);
    EXPECT_TRUE(images.is_object());
    EXPECT_FALSE(images.contains("images"));
}

TEST(MacsimMachine, UnknownDevicesFailLikeTheRealTool) {
    Mac mac(worldPath("multiboot.json"));
    // Each command about a device that does not exist: message on stderr, status 1.
    for (std::string command :
         {"diskutil info -plist disk9", "diskutil info disk9s1", "diskutil list disk9",
          "diskutil list -plist disk9", "diskutil mount disk9s1", "diskutil unmount disk0s9",
          "diskutil info -plist disk6s1" /* detached image */}) {
        Result r = mac.run(command);
        std::string id = command.substr(command.rfind(' ') + 1);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.err, "Could not find disk: " + id + "\n") << command;
    }
    // With -plist the error dictionary is printed too, as recorded on real Macs.
    Json error = macsim::plistToJson(mac.run("diskutil info -plist disk9").out);
    EXPECT_EQ(error["ErrorMessage"], "Could not find disk: disk9");
    EXPECT_EQ(error["ExitCode"], 1);
    // A bad verb is a usage error, never a crash.
    EXPECT_EQ(mac.run("diskutil frobnicate").status, 1);
}

TEST(MacsimMachine, FaultsReplaceDelayAndCountCalls) {
    TempDir dir;
    Json world = {{"base", worldPath("multiboot.json")},
                  {"faults",
                   {{{"command", "diskutil info -plist disk2s1"},
                     {"status", 5},
                     {"stderr", "simulated I/O error"}},
                    {{"command", "diskutil info -plist disk3s1"}, {"calls", {2}}, {"status", 7}},
                    {{"prefix", "diskutil list -plist"}, {"stdout", "<plist>broken"}},
                    {{"command", "diskutil list"}, {"flood", {{"bytes", 3000000}}}},
                    {{"command", "hdiutil info -plist"}, {"delay", 0.4}},
                    {{"tool", "base64"}, {"from", 2}, {"status", 1}, {"stderr", "base64: no"}}}}};
    Mac mac(writeWorld(dir, world));
    // status + stderr replace the answer.
    Result r = mac.run("diskutil info -plist disk2s1");
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, "simulated I/O error\n");
    EXPECT_EQ(r.out, "");
    // Only the second matching call fails.
    EXPECT_EQ(mac.run("diskutil info -plist disk3s1").status, 0);
    EXPECT_EQ(mac.run("diskutil info -plist disk3s1").status, 7);
    EXPECT_EQ(mac.run("diskutil info -plist disk3s1").status, 0);
    // A prefix matches with and without a disk argument.
    EXPECT_EQ(mac.run("diskutil list -plist").out, "<plist>broken");
    EXPECT_EQ(mac.run("diskutil list -plist disk0").out, "<plist>broken");
    // A flood writes that many bytes.
    EXPECT_EQ(mac.run("diskutil list").out.size(), 3000000U);
    // A delay holds the answer back, which is otherwise the model's.
    auto start = std::chrono::steady_clock::now();
    Result slow = mac.run("hdiutil info -plist");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_TRUE(macsim::plistToJson(slow.out).contains("images"));
    // Tools other than diskutil take faults too, here from the second call on.
    EXPECT_EQ(mac.run("echo aGk= | base64 -D").out, "hi");
    EXPECT_EQ(mac.run("echo aGk= | base64 -D").status, 1);
    // Faults added at run time win over the world's.
    ASSERT_EQ(mac.run(quote(macsimPath()) +
                      " ctl fault '{\"command\":\"diskutil info -plist disk2s1\",\"status\":9}'")
                  .status,
              0);
    EXPECT_EQ(mac.run("diskutil info -plist disk2s1").status, 9);
    ASSERT_EQ(mac.run(quote(macsimPath()) + " ctl clear-faults").status, 0);
    EXPECT_EQ(mac.run("diskutil info -plist disk2s1").status, 5);
}

TEST(MacsimMachine, ReplayServesRecordedOutputBeforeTheModel) {
    TempDir dir;
    writeText(dir / "recorded.plist", "<?xml version=\"1.0\"?><plist><dict/></plist>\n");
    writeText(dir / "recorded.err", "warning\n");
    Json world = {{"base", worldPath("multiboot.json")},
                  {"replay",
                   {{{"command", "diskutil list -plist"},
                     {"stdoutFile", "recorded.plist"}, // relative to the world file
                     {"stderrFile", "recorded.err"},
                     {"status", 0}},
                    {{"command", "diskutil info -plist disk0s1"}, {"stdout", ""}, {"status", 1}}}}};
    Mac mac(writeWorld(dir, world));
    Result list = mac.run("diskutil list -plist");
    EXPECT_EQ(list.out, readText(dir / "recorded.plist"));
    EXPECT_EQ(list.err, "warning\n");
    EXPECT_EQ(mac.run("diskutil info -plist disk0s1").status, 1);
    // Other command lines still come from the model.
    EXPECT_NE(mac.run("diskutil list").out.find("/dev/disk0"), std::string::npos);
}

TEST(MacsimMachine, ACallTerminatedDuringItsDelayIsLoggedWithTheSignal) {
    TempDir dir;
    Json world = {{"base", worldPath("empty.json")},
                  {"faults", {{{"command", "diskutil list -plist"}, {"delay", 30}}}}};
    Mac mac(writeWorld(dir, world));
    std::string log = mac.path("calls.jsonl");
    auto start = std::chrono::steady_clock::now();
    Result r = mac.run("timeout -s TERM 0.5 diskutil list -plist", "MACSIM_LOG=" + quote(log));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.status, 124); // timeout(1)'s report that it had to terminate
    Json entry = Json::parse(readText(log));
    EXPECT_EQ(entry["status"], 128 + SIGTERM);
    EXPECT_GE(entry["seconds"].get<double>(), 0.4);
}

TEST(MacsimMachine, InvocationLogRecordsArgvStatusAndDuration) {
    Mac mac(worldPath("multiboot.json"));
    std::string log = mac.path("calls.jsonl");
    mac.run("diskutil list -plist >/dev/null; diskutil info disk9; stat -f %Lp /",
            "MACSIM_LOG=" + quote(log));
    std::istringstream lines(readText(log));
    std::vector<Json> entries;
    for (std::string line; std::getline(lines, line);) {
        entries.push_back(Json::parse(line));
    }
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_EQ(entries[0]["argv"], Json({"diskutil", "list", "-plist"}));
    EXPECT_EQ(entries[0]["status"], 0);
    EXPECT_EQ(entries[1]["status"], 1);
    EXPECT_EQ(entries[2]["tool"], "stat");
    for (const auto& e : entries) {
        EXPECT_GT(e["seconds"].get<double>(), 0.0);
        EXPECT_LT(e["seconds"].get<double>(), 5.0);
    }
}
