#include "helper/HelperScripts.h"
#include "helper/ESPHelper.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace tesselwick;
using namespace tesselwick::helper;

namespace {

std::string embeddedHelper(const std::string& installer) {
    const std::string open = "<<'EOS_HELPER'\n";
    const auto start = installer.find(open);
    const auto end = installer.find("\nEOS_HELPER\n");
    if (start == std::string::npos || end == std::string::npos) {
        return {};
    }
    return installer.substr(start + open.size(), end + 1 - (start + open.size()));
}

bool zshAccepts(const std::string& text) {
    char path[] = "/tmp/tesselwick-script-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        return false;
    }
    close(fd);
    std::ofstream(path) << text;
    const int status = std::system(("/bin/zsh -n " + std::string(path)).c_str());
    std::remove(path);
    return status == 0;
}

} // namespace

TEST(InstallerScript, EmbedsTheHelperVerbatim) {
    const std::string installer = installerScript();
    EXPECT_EQ(embeddedHelper(installer), helperScript());
    EXPECT_EQ(ESPHelper::installerScript(), installer);
    // Exactly one here-document, quoted so nothing in the helper expands.
    EXPECT_EQ(installer.find("EOS_HELPER", installer.find("\nEOS_HELPER\n") + 12),
              std::string::npos);
}

TEST(HelperScript, NeverRunsTheCallersStartupFilesAsRoot) {
    // The helper runs through sudo without a password; a HOME kept by sudo must
    // not let the caller's .zshenv run before it.
    char home[] = "/tmp/tesselwick-home-XXXXXX";
    ASSERT_NE(mkdtemp(home), nullptr);
    const std::string marker = std::string(home) + "/ran";
    std::ofstream(std::string(home) + "/.zshenv") << "print ran > '" << marker << "'\n";
    const std::string helper = std::string(home) + "/helper";
    std::ofstream(helper) << helperScript();
    ASSERT_EQ(chmod(helper.c_str(), 0755), 0);
    const int status = std::system(
        ("env HOME='" + std::string(home) + "' '" + helper + "' version >/dev/null").c_str());
    EXPECT_EQ(status, 0);
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the caller's .zshenv ran";
    std::system(("rm -rf '" + std::string(home) + "'").c_str());
}

TEST(InstallerScript, IsValidZsh) {
    EXPECT_TRUE(zshAccepts(installerScript()));
    EXPECT_TRUE(zshAccepts(helperScript()));
}
