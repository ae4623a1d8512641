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

// The installer without its embedded helper, so helper text cannot satisfy a
// check meant for the installer.
std::string installerOnly(const std::string& installer) {
    const auto start = installer.find("<<'EOS_HELPER'\n");
    const auto end = installer.find("\nEOS_HELPER\n");
    return installer.substr(0, start) + installer.substr(end);
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

TEST(InstallerScript, SplicesItsValuesInAssemblyOrder) {
    // Walk the installer (helper removed) and note each spliced value in order,
    // longest match first so a directory inside a path is not counted twice.
    const std::string text = installerOnly(installerScript());
    const std::vector<std::pair<std::string, std::string>> values = {
        {kHelperPath, "HP"},
        {kSudoersPath, "SP"},
        {std::string(kHelperDirectory) + kInstallLockName, "LOCK"},
        {kHelperDirectory, "HD"},
        {kSudoersDirectory, "SD"},
    };
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < text.size();) {
        bool matched = false;
        for (const auto& [value, tag] : values) {
            if (text.compare(i, value.size(), value) == 0) {
                seen.push_back(tag);
                i += value.size();
                matched = true;
                break;
            }
        }
        if (!matched) {
            ++i;
        }
    }
    const std::vector<std::string> expected = {
        "HD",   "SD",                         // directory checks
        "LOCK",                               // lock path
        "HP",   "HP", "SP", "SP",             // rollback
        "HD",   "SD",                         // staging
        "HP",                                 // the rule's fixed path
        "HP",   "HP", "HP", "HP", "HP", "HP", // helper backup
        "SP",   "SP", "SP", "SP", "SP", "SP", // rule backup
        "HP",   "SP",                         // commit
        "HP",   "HP", "SP", "SP", "HP", "HP", // verification
    };
    EXPECT_EQ(seen, expected);
}

TEST(InstallerScript, CarriesTheFixedRuleVersionAndMarker) {
    const std::string installer = installerScript();
    const std::string helper = helperScript();
    EXPECT_NE(installer.find("print -r -- '" + std::string(kSudoersRule) + "' >\"$sudoers_tmp\""),
              std::string::npos);
    EXPECT_EQ(std::string(kSudoersRule), std::string("%admin ALL=(root) NOPASSWD: ") + kHelperPath);
    EXPECT_NE(helper.find("\nVORNABY_ESP_HELPER_VERSION=9\n"), std::string::npos);
    EXPECT_NE(helper.find("'TESSELWICK_HELPER_READY=9' >&2"), std::string::npos);
    EXPECT_EQ(std::string(kReadyMarker), std::string("TESSELWICK_HELPER_READY=") + kHelperVersion);
    EXPECT_NE(installer.find("[[ \"$installed_version\" == '9' ]]\n\ncommit_complete=1\nexit 0\n"),
              std::string::npos);
    EXPECT_TRUE(installer.starts_with("#!/bin/zsh\nset -euo pipefail\n"));
    // '%Lp' alone hides setuid, setgid and sticky bits from the mode checks.
    EXPECT_EQ(installer.find("'%Lp'"), std::string::npos);
    EXPECT_EQ(installer.find("stat -f '%Mp%Lp'"), installer.find("stat -f '%"));
    EXPECT_TRUE(
        helper.starts_with("#!/bin/zsh -f\nset -euo pipefail\nVORNABY_ESP_HELPER_VERSION=9\n"
                           "export PATH=/usr/sbin:/usr/bin:/bin:/sbin\n"));
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

TEST(InstallerScript, StatesEveryMessageVerbatim) {
    // Users see these lines in the failure alert; each must stand exactly once
    // as written (the record messages are built from "lock"/"lock-recovery").
    const std::string text = installerOnly(installerScript());
    const char* messages[] = {
        "Refusing symbolic-link privileged directory: $dir_path",
        "Privileged path is not a directory: $dir_path",
        "Privileged directory is not root:wheel: $dir_path",
        "Privileged directory has invalid or special permission bits: $dir_path (",
        "Privileged directory permissions are unsafe: $dir_path ($mode)",
        "Privileged installer lock-epoch path is unsafe",
        "Privileged installer lock epoch has invalid or special permission bits",
        "Privileged installer lock-epoch permissions are unsafe",
        "Privileged installer lock epoch is incomplete",
        "Privileged installer lock-epoch path became unsafe while reading",
        "Could not read privileged installer lock epoch",
        "Refusing to overwrite a privileged installer epoch candidate",
        "Could not create privileged installer recovery epoch",
        "Could not set privileged installer recovery-epoch ownership",
        "Could not secure privileged installer recovery epoch",
        "Could not replace privileged installer recovery epoch",
        "Could not publish privileged installer recovery epoch",
        "Published privileged installer recovery epoch is unsafe",
        "Published privileged installer recovery epoch has invalid or special permission bits",
        "Published privileged installer recovery-epoch permissions are unsafe",
        "Published privileged installer recovery epoch is incomplete",
        "Could not finalize privileged installer recovery epoch",
        "Privileged installer ${record_label} path is unsafe",
        "Could not inspect privileged installer ${record_label} ownership",
        "Could not inspect privileged installer ${record_label} group",
        "Could not inspect privileged installer ${record_label} permissions",
        "Privileged installer ${record_label} has invalid or special permission bits",
        "Privileged installer ${record_label} permissions are unsafe",
        "Another process is recovering the privileged installer lock",
        "A stale privileged installer lock-recovery record requires manual removal: "
        "$install_lock_recovery",
        "Could not record privileged installer identity",
        "Could not create the privileged installer lock candidate",
        "Could not create the privileged installer lock-recovery candidate",
        "Privileged installer lock ownership changed during recovery",
        "Could not finalize the privileged installer lock\"",
        "Could not finalize the privileged installer lock-recovery candidate",
        "Another Tesselwick helper installation is already running",
        "Another Tesselwick helper installation acquired the lock during recovery",
        "Could not remove the stale privileged installer lock",
        "Could not release privileged installer lock recovery",
        "Could not acquire the privileged installer lock",
        "Existing helper path is not a file: /Library/PrivilegedHelperTools/"
        "com.vornaby.harbortide.helper",
        "Existing sudoers path is not a file: /etc/sudoers.d/vornaby-harbortide",
        "Could not remove the partially installed helper during rollback",
        "Could not restore the previous helper during rollback",
        "Could not remove the partially installed sudoers rule during rollback",
        "Could not restore the previous sudoers rule during rollback",
        "Could not remove the staged helper during cleanup",
        "Could not remove the staged sudoers rule during cleanup",
        "Could not remove the privileged installer temporary directory",
        "Could not remove the privileged installer lock candidate",
        "Could not remove the privileged installer lock-recovery candidate",
        "Could not remove the privileged installer epoch candidate",
        "Could not remove the privileged installer lock\"",
        "Privileged installer lock ownership changed before cleanup; refusing to remove it",
        "Could not remove the privileged installer lock-recovery record",
        "Privileged installer lock-recovery ownership changed before cleanup; refusing to "
        "remove it",
    };
    for (const char* message : messages) {
        EXPECT_NE(text.find(message), std::string::npos) << message;
    }
    EXPECT_NE(text.find("inspect_install_record \"$install_lock\" \"lock\""), std::string::npos);
    EXPECT_NE(text.find("inspect_install_record \"$install_lock_recovery\" \"lock-recovery\""),
              std::string::npos);
}
