#include "operations/AdministratorShell.h"

#include "support/ErrorText.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

using namespace tesselwick;
using namespace tesselwick::operations;
using tesselwick::testing::errorText;

namespace {

std::string decodeWithSystemBase64(const std::string& encoded) {
    const std::string command = "printf '%s' '" + encoded + "' | base64 -d";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
        out.append(buffer.data(), n);
    }
    return out;
}

} // namespace

TEST(PrivilegedDiskutilScript, RefusesValuesThatCouldLeaveTheirQuotes) {
    struct Case {
        const char* command;
        const char* disk;
        const char* parent;
        const char* message;
    };
    const Case cases[] = {
        // only the two lower-case commands
        {"Mount", "disk0s1", "disk0", "Invalid command: Mount"},
        {"mount'; id; '", "disk0s1", "disk0", "Invalid command: mount'; id; '"},
        // forged partition identifiers
        {"mount", "disk0s1;id", "disk0", "Invalid disk identifier: disk0s1;id"},
        {"mount", "disk0s1 disk1s1", "disk0", "Invalid disk identifier: disk0s1 disk1s1"},
        {"mount", "../disk0s1", "disk0", "Invalid disk identifier: ../disk0s1"},
        {"mount", "", "disk0", "Invalid disk identifier: "},
        {"mount", "disk0", "disk0", "Invalid disk identifier: disk0"},
        {"mount", "disk0s1'", "disk0", "Invalid disk identifier: disk0s1'"},
        {"unmount", "disk0s1\n", "disk0", "Invalid disk identifier: disk0s1\n"},
        // parent must be a whole disk
        {"mount", "disk0s1", "disk0s1", "Invalid parent disk identifier: disk0s1"},
        {"mount", "disk0s1", "", "Invalid parent disk identifier: "},
        // partition of another parent, including a prefix that only looks right
        {"mount", "disk3s1", "disk2", "Disk identifier does not belong to its expected parent"},
        {"mount", "disk11s1", "disk1", "Disk identifier does not belong to its expected parent"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorText([&] { privilegedDiskutilScript(c.command, c.disk, c.parent); }),
                  std::string("Tesselwick 64: ") + c.message);
    }
}

TEST(PrivilegedDiskutilScript, SplicesTheThreeValuesIntoTheFixedHeader) {
    const std::string script = privilegedDiskutilScript("unmount", "disk12s3", "disk12");
    const std::string header = "#!/bin/zsh -f\nset -euo pipefail\n"
                               "export PATH=/usr/sbin:/usr/bin:/bin:/sbin\n\n"
                               "command='unmount'\ndisk='disk12s3'\nwhole_disk='disk12'\n\n";
    ASSERT_GE(script.size(), header.size());
    EXPECT_EQ(script.substr(0, header.size()), header);
    // The values appear nowhere else: the body works on the variables only.
    EXPECT_EQ(script.find("disk12", header.size()), std::string::npos);
}

TEST(Base64, MatchesTheStandardVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        // high bytes must not sign-extend
        {std::string("\xff\xfe\x00\x80", 4), "//4AgA=="},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(base64Encode(in), out);
    }
}

TEST(ScriptTransportLine, CarriesTheScriptWithoutQuotesOrBackslashes) {
    const std::string script = privilegedDiskutilScript("mount", "disk0s1", "disk0") +
                               "# \"quotes\" and \\backslashes\\ and 'single' ones\n";
    const std::string line = scriptTransportLine(script);
    const std::string prefix = "/usr/bin/printf '%s' '";
    const std::string suffix = "' | /usr/bin/base64 -D | /bin/zsh -f";
    ASSERT_TRUE(line.starts_with(prefix));
    ASSERT_TRUE(line.ends_with(suffix));
    const std::string encoded =
        line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
    EXPECT_EQ(encoded.find_first_of("'\"\\\n"), std::string::npos);
    EXPECT_EQ(line.find_first_of("\"\\\n"), std::string::npos);
    EXPECT_EQ(decodeWithSystemBase64(encoded), script);
}

TEST(AppleScriptEscape, EscapesBackslashesThenQuotesExactlyOnce) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text", "plain text"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"a\\b", "a\\\\b"},
        // a backslash before a quote: both escaped, the quote's own backslash not doubled
        {"\\\"", "\\\\\\\""},
        {"\\\\", "\\\\\\\\"},
        {"", ""},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(appleScriptStringEscape(in), out) << in;
    }
    EXPECT_EQ(administratorAppleScript("echo \"a\\b\""),
              "do shell script \"echo \\\"a\\\\b\\\"\" with administrator privileges");
}

TEST(RunShellAsAdministrator, RunsOsascriptAndPassesRunnerErrorsOn) {
    std::string seenPath;
    std::vector<std::string> seenArguments;
    double seenTimeout = 0;
    const CommandRunner recording = [&](const std::string& path,
                                        const std::vector<std::string>& arguments, double timeout) {
        seenPath = path;
        seenArguments = arguments;
        seenTimeout = timeout;
        return std::string("ignored output");
    };
    runShellAsAdministrator("echo \"x\"", recording);
    EXPECT_EQ(seenPath, "/usr/bin/osascript");
    EXPECT_EQ(seenArguments, (std::vector<std::string>{
                                 "-e", "do shell script \"echo \\\"x\\\"\" with administrator "
                                       "privileges"}));
    EXPECT_EQ(seenTimeout, 120.0);

    const CommandRunner refusing = [](const std::string&, const std::vector<std::string>&,
                                      double) -> std::string {
        throw commandError(1, "0:42: execution error: User canceled. (-128)");
    };
    EXPECT_EQ(errorText([&] { runShellAsAdministrator("true", refusing); }),
              "Tesselwick 1: 0:42: execution error: User canceled. (-128)");
}
