#include "operations/AdministratorShell.h"
#include "process/ProcessRunner.h"

#include "support/ErrorText.h"

#include <gtest/gtest.h>

#include <string>

using namespace tesselwick;
using namespace tesselwick::operations;
using tesselwick::testing::errorText;

namespace {

std::string decodeWithSystemBase64(const std::string& encoded) {
    return process::runProcessData("/bin/sh", {"-c", "printf '%s' '" + encoded + "' | base64 -d"},
                                   10.0);
}

} // namespace

TEST(PrivilegedDiskutilScript, RefusesValuesThatCouldLeaveTheirQuotes) {
    const struct {
        const char* command;
        const char* disk;
        const char* parent;
        const char* message;
    } cases[] = {
        // only the two lower-case commands
        {"Mount", "disk0s1", "disk0", "Invalid command: Mount"},
        {"mount'; id; '", "disk0s1", "disk0", "Invalid command: mount'; id; '"},
        // forged partition identifiers
        {"mount", "disk0s1;id", "disk0", "Invalid disk identifier: disk0s1;id"},
        {"mount", "disk0", "disk0", "Invalid disk identifier: disk0"},
        {"mount", "disk0s1'", "disk0", "Invalid disk identifier: disk0s1'"},
        {"unmount", "disk0s1\n", "disk0", "Invalid disk identifier: disk0s1\n"},
        // the parent must be a whole disk
        {"mount", "disk0s1", "disk0s1", "Invalid parent disk identifier: disk0s1"},
        // a partition of another parent, including a prefix that only looks right
        {"mount", "disk3s1", "disk2", "Disk identifier does not belong to its expected parent"},
        {"mount", "disk11s1", "disk1", "Disk identifier does not belong to its expected parent"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorText([&] { privilegedDiskutilScript(c.command, c.disk, c.parent); }),
                  std::string("Tesselwick 64: ") + c.message);
    }
}

TEST(PrivilegedDiskutilScript, ValuesAppearOnlyInTheirQuotedAssignments) {
    const std::string script = privilegedDiskutilScript("unmount", "disk12s3", "disk12");
    EXPECT_TRUE(script.starts_with("#!/bin/zsh -f\n")); // none of the caller's startup files
    const std::string values = "\ncommand='unmount'\ndisk='disk12s3'\nwhole_disk='disk12'\n";
    const auto at = script.find(values);
    ASSERT_NE(at, std::string::npos);
    // The body works on the variables only.
    EXPECT_EQ(script.find("disk12", at + values.size()), std::string::npos);
}

TEST(ScriptTransportLine, CarriesTheScriptWithoutQuotesOrBackslashes) {
    const std::string script =
        privilegedDiskutilScript("mount", "disk0s1", "disk0") +
        "# \"quotes\" and \\backslashes\\ and 'single' ones, caf\xC3\xA9 \xFF\x80\n";
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
}

TEST(RunShellAsAdministrator, RunsOsascriptAndPassesRunnerErrorsOn) {
    std::vector<std::string> seen;
    const CommandRunner recording = [&](const std::string& path,
                                        const std::vector<std::string>& arguments, double) {
        seen = arguments;
        seen.insert(seen.begin(), path);
        return std::string("ignored output");
    };
    runShellAsAdministrator("echo \"x\"", recording);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "/usr/bin/osascript", "-e",
                        "do shell script \"echo \\\"x\\\"\" with administrator privileges"}));

    const CommandRunner refusing = [](const std::string&, const std::vector<std::string>&,
                                      double) -> std::string {
        throw commandError(1, "0:42: execution error: User canceled. (-128)");
    };
    EXPECT_EQ(errorText([&] { runShellAsAdministrator("true", refusing); }),
              "Tesselwick 1: 0:42: execution error: User canceled. (-128)");
}
