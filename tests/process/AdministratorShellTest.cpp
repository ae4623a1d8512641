#include "process/AdministratorShell.h"
#include "process/ProcessRunner.h"

#include <gtest/gtest.h>

#include <string>

using namespace tesselwick;
using namespace tesselwick::process;

namespace {

std::string decodeWithSystemBase64(const std::string& encoded) {
    return process::runProcessData("/bin/sh", {"-c", "printf '%s' '" + encoded + "' | base64 -d"},
                                   Seconds(10.0));
}

} // namespace

TEST(ScriptTransportLine, CarriesTheScriptWithoutQuotesOrBackslashes) {
    const std::string text =
        "#!/bin/zsh -f\n# \"quotes\" and \\backslashes\\ and 'single' ones, caf\xC3\xA9 \xFF\x80\n";
    // Three lengths: no padding, then one and two "=".
    for (const std::string& script : {text, text + "#", text + "##"}) {
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
    // The prompt's script carries the command escaped.
    EXPECT_EQ(administratorAppleScript("echo \"x\""),
              "do shell script \"echo \\\"x\\\"\" with administrator privileges");
}
