// The stateless simulated tools: osascript's string literal, base64 -D, BSD stat,
// plutil -extract, and the text sizes diskutil prints.

#include "SimTestSupport.h"

#include <Machine.h>
#include <Tools.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace macsim;
using simtest::TempDir;

TEST(OsascriptScript, UnescapesTheShellCommand) {
    struct Case {
        std::string script;
        std::optional<std::string> command;
    };
    const Case cases[] = {
        // Plain command.
        {R"(do shell script "id -u" with administrator privileges)", "id -u"},
        // Quotes and backslashes escaped as the administrator route escapes them.
        {R"(do shell script "printf '%s' \"a\\\\b\" | tr a b" with administrator privileges)",
         R"(printf '%s' "a\\b" | tr a b)"},
        // Surrounding blanks are allowed.
        {"  do shell script \"true\"   with administrator privileges \n", "true"},
        // Without administrator privileges the simulator has nothing to offer.
        {R"(do shell script "true")", std::nullopt},
        // An unterminated literal is not a script.
        {R"(do shell script "true with administrator privileges)", std::nullopt},
        // Anything else.
        {R"(display dialog "hi")", std::nullopt},
        {R"(do shell script "a" with administrator privileges and more)", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(administratorShellCommand(c.script), c.command) << c.script;
    }
}

TEST(OsascriptScript, ReportsResultsAsDoShellScriptDoes) {
    const std::string script = R"(do shell script "x" with administrator privileges)";
    // Success: one trailing newline dropped, the others become returns.
    Output ok = osascriptResult(script, 0, "a\nb\n", "ignored");
    EXPECT_EQ(ok.out, "a\rb\n");
    EXPECT_EQ(ok.status, 0);
    // Failure: the command's error text and status, at the script's end position.
    Output failed = osascriptResult(script, 3, "", "no such disk\n");
    EXPECT_EQ(failed.err,
              "0:" + std::to_string(script.size()) + ": execution error: no such disk (3)\n");
    EXPECT_EQ(failed.status, 1);
    // Failure without error text.
    EXPECT_NE(osascriptResult(script, 1, "", "").err.find("non-zero status. (1)"),
              std::string::npos);
    EXPECT_EQ(osascriptCancelled(script).err,
              "0:" + std::to_string(script.size()) + ": execution error: User canceled. (-128)\n");
}

TEST(Base64Decode, DecodesOrRefuses) {
    struct Case {
        std::string in;
        std::optional<std::string> out;
    };
    const Case cases[] = {
        {"aGVsbG8=", "hello"},                       // padded
        {"aGVsbG8", "hello"},                        // unpadded
        {"aGVs\nbG8g\r\nd29ybGQ=\n", "hello world"}, // line breaks ignored
        {"", ""},                                    // nothing
        {"aGV*bG8=", std::nullopt},                  // foreign character
        {"aGVsbG8=aGVs", std::nullopt},              // data after padding
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeBase64(c.in), c.out) << c.in;
    }
    Output out = *base64Decode({"-D"}, "IyEvYmluL3pzaAplY2hvIGhpCg==");
    EXPECT_EQ(out.out, "#!/bin/zsh\necho hi\n");
    EXPECT_EQ(base64Decode({"-D"}, "%%%")->status, 1);
    // Encoding is the system's business.
    EXPECT_FALSE(base64Decode({}, "x").has_value());
}

TEST(BsdStat, PrintsModesOwnersAndTypes) {
    TempDir dir;
    struct Case {
        mode_t mode;
        const char* expected;
    };
    // %Lp is only the permission bits, as on BSD; the special bits are %Mp.
    const Case cases[] = {{0755, "755 0"}, {01755, "755 1"}, {0440, "440 0"}, {04755, "755 4"}};
    for (const auto& c : cases) {
        // Not "f" + ...: GCC 12 reports a false -Wrestrict overlap for that operator+.
        std::string path = dir / std::string(1, 'f').append(std::to_string(c.mode));
        simtest::writeText(path, "x");
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        auto out = bsdStat({"-f", "%Lp %Mp", path});
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->out, std::string(c.expected) + "\n");
    }
    std::string file = dir / "f493";
    auto combined = bsdStat({"-f", "%Lp %u:%g %z %HT%%", file});
    EXPECT_EQ(combined->out, "755 " + std::to_string(::getuid()) + ":" +
                                 std::to_string(::getgid()) + " 1 Regular File%\n");
    EXPECT_EQ(bsdStat({"-f", "%Sp", file})->out, "-rwxr-xr-x\n");
    EXPECT_EQ(bsdStat({"-f", "%HT", dir.path().string()})->out, "Directory\n");
    // A missing file: BSD's message, status 1.
    auto missing = bsdStat({"-f", "%Lp", dir / "nope"});
    EXPECT_EQ(missing->status, 1);
    EXPECT_EQ(missing->err, "stat: " + (dir / "nope") + ": lstat: No such file or directory\n");
    // GNU forms go to the system's stat.
    EXPECT_FALSE(bsdStat({"-c", "%a", file}).has_value());
    EXPECT_FALSE(bsdStat({file}).has_value());
}

TEST(Plutil, ExtractsRawValuesByKeyPath) {
    Json doc = {{"AllDisksAndPartitions",
                 {{{"DeviceIdentifier", "disk0"},
                   {"Partitions",
                    {{{"Content", "EFI"}, {"Size", 209715200}},
                     {{"Content", "Apple_APFS"}, {"Size", 5.12e11}}}}}}},
                {"Internal", true},
                {"Name", "a.b"}};
    const std::string xml = toXmlPlist(doc);
    struct Case {
        std::string path;
        std::string out;
    };
    const Case cases[] = {
        {"AllDisksAndPartitions.0.DeviceIdentifier", "disk0\n"},
        {"AllDisksAndPartitions.0.Partitions.0.Content", "EFI\n"},
        {"AllDisksAndPartitions.0.Partitions.0.Size", "209715200\n"},
        {"AllDisksAndPartitions.0.Partitions.1.Size", "512000000000\n"}, // a whole real
        {"Internal", "true\n"},
        {"AllDisksAndPartitions.0.Partitions", "2\n"}, // an array gives its count
    };
    for (const auto& c : cases) {
        auto out = plutil({"-extract", c.path, "raw", "-o", "-", "-"}, xml);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->status, 0) << c.path << ": " << out->err;
        EXPECT_EQ(out->out, c.out) << c.path;
    }
    // -n drops the newline.
    EXPECT_EQ(plutil({"-extract", "Internal", "raw", "-n", "-o", "-", "-"}, xml)->out, "true");
    // Missing paths: the real message and status 1.
    for (std::string path :
         {"Nope", "AllDisksAndPartitions.1", "AllDisksAndPartitions.0.Partitions.x", "Internal.0",
          "AllDisksAndPartitions.-1"}) {
        auto out = plutil({"-extract", path, "raw", "-o", "-", "-"}, xml);
        EXPECT_EQ(out->status, 1) << path;
        EXPECT_EQ(out->err, "<stdin>: Could not extract value, error: No value at that key path "
                            "or invalid key path: " +
                                path + "\n");
        EXPECT_EQ(out->out, "");
    }
    // Input that is not a property list.
    EXPECT_EQ(plutil({"-extract", "A", "raw", "-o", "-", "-"}, "hello")->status, 1);
}

TEST(Plutil, ReadsRecordedOutputOfRealMacs) {
    // The shared folder sits next to the main checkout; worktrees are one level deeper.
    std::string fixtures = std::string(TESSELWICK_SOURCE_DIR) + "/../shared/fixtures/real-macos";
    if (!std::filesystem::exists(fixtures)) {
        fixtures = std::string(TESSELWICK_SOURCE_DIR) + "/../../shared/fixtures/real-macos";
    }
    const std::string list = fixtures + "/list-plist.hstimager-usbstick.plist";
    if (!std::filesystem::exists(list)) {
        GTEST_SKIP() << "recorded macOS output not present at " << fixtures;
    }
    const std::string text = simtest::readText(list);
    auto extract = [&](const std::string& path) {
        return plutil({"-extract", path, "raw", "-o", "-", "-"}, text)->out;
    };
    EXPECT_EQ(extract("AllDisksAndPartitions.0.Partitions.0.Content"), "EFI\n");
    EXPECT_EQ(extract("AllDisksAndPartitions.1.APFSVolumes.4.MountedSnapshots.0.SnapshotBSD"),
              "disk1s5s1\n");
    EXPECT_EQ(extract("AllDisksAndPartitions.2.Size"), "15682240512\n"); // recorded as <real>
    EXPECT_EQ(
        plutil({"-extract", "AllDisksAndPartitions.2.Partitions", "raw", "-o", "-", "-"}, text)
            ->status,
        1); // a whole-volume disk has no Partitions key
}

TEST(HumanSize, MatchesTheTextTable) {
    EXPECT_EQ(humanSize(209715200), "209.7 MB");
    EXPECT_EQ(humanSize(500277790720), "500.3 GB");
    EXPECT_EQ(humanSize(2000398934016), "2.0 TB");
    EXPECT_EQ(humanSize(40108032), "40.1 MB");
    EXPECT_EQ(humanSize(999), "999 Bytes");
    EXPECT_EQ(humanSize(999960000), "1.0 GB"); // rounds up into the next unit
}
