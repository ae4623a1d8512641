// Started by RuntimeSandbox.LifecycleAgainstRealSudo inside sim/sandbox as the
// world's admin user; not a test program of its own.
#include "helper/ESPHelper.h"
#include "helper/HelperScripts.h"
#include "operations/AdministratorShell.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace tesselwick;

namespace {

constexpr const char* kInsideVariable = "TESSELWICK_HELPER_TEST_INSIDE_SANDBOX";

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Runs `body`, which must throw a DomainError, and returns that error.
template <typename Body> DomainError domainErrorOf(Body&& body) {
    try {
        body();
    } catch (const DomainError& error) {
        return error;
    }
    ADD_FAILURE() << "no DomainError thrown";
    return DomainError("none", 0, "");
}

} // namespace

// Runs only inside the sandbox, as the world's admin user "ava" (multiboot
// world: disk2s1 an unmounted ESP, disk2s3 an NTFS partition).
TEST(InsideSandbox, Lifecycle) {
    const char* scratch = std::getenv(kInsideVariable);
    ASSERT_NE(scratch, nullptr) << "started outside sim/sandbox";
    ASSERT_NE(getuid(), 0u);
    const auto runner = operations::defaultCommandRunner();
    ESPHelperStatusCache cache;

    // Not installed: sudo -n refuses, and the refusal is not the helper's.
    const auto before = ESPHelper::probePasswordlessRuntime(runner);
    EXPECT_FALSE(before.ready);
    EXPECT_TRUE(before.message.starts_with("sudo: ")) << before.message;
    const auto notRun = domainErrorOf([&] { ESPHelper::run("mount", "disk2s1", cache, runner); });
    EXPECT_EQ(notRun.domain(), "Tesselwick.Helper");
    EXPECT_TRUE(notRun.message().starts_with("EFI mount failed for disk2s1.\n\nsudo: "))
        << notRun.message();
    EXPECT_EQ(cache.generation(), 0u);
    EXPECT_FALSE(cache.cachedValue());

    // Installed through the prompt; sudo -n then runs it without one.
    ESPHelper::install(cache, runner);
    EXPECT_EQ(cache.cachedValue(), true);
    EXPECT_TRUE(ESPHelper::isInstalled(cache, runner));
    EXPECT_EQ(ESPHelper::probePasswordlessRuntime(runner).message, "Helper version 9 is ready.");

    ESPHelper::run("mount", "disk2s1", cache, runner);
    EXPECT_TRUE(std::filesystem::exists("/Volumes/NO NAME"));
    ESPHelper::run("unmount", "disk2s1", cache, runner);

    // The helper ran and refused: the operation's own message, no marker.
    const auto refused = domainErrorOf([&] { ESPHelper::run("mount", "disk2s3", cache, runner); });
    EXPECT_EQ(refused.domain(), "Tesselwick.Helper.Operation");
    EXPECT_EQ(refused.code(), 65);
    EXPECT_EQ(refused.message(),
              "EFI mount failed for disk2s3.\n\nRefusing non-EFI partition: disk2s3");

    // A probe racing an outside store leaves the outside answer in place.
    ESPHelperStatusCache racing;
    int probes = 0;
    const operations::CommandRunner storingMeanwhile =
        [&](const std::string& path, const std::vector<std::string>& arguments, double timeout) {
            ++probes;
            racing.storeFromOutside(false);
            return runner(path, arguments, timeout);
        };
    EXPECT_FALSE(ESPHelper::isInstalled(racing, storingMeanwhile));
    EXPECT_EQ(racing.cachedValue(), false);
    EXPECT_EQ(probes, 1);

    // Quotes and backslashes survive the AppleScript literal on the way to root.
    const std::string target = std::string(scratch) + "/escaped";
    operations::runShellAsAdministrator("printf '%s\\n' \"q\\\"uo\\\\te 'single'\" > '" + target +
                                        "' && id -u >> '" + target + "'");
    EXPECT_EQ(fileText(target), "q\"uo\\te 'single'\n0\n");

    // A helper that answers with another version.
    operations::runShellAsAdministrator(std::string("printf '#!/bin/zsh\\nprint 8\\n' > ") +
                                        helper::kHelperPath);
    EXPECT_EQ(ESPHelper::probePasswordlessRuntime(runner).message,
              "The helper returned version '8' instead of '9'.");

    // Without the rule sudo asks for a password again.
    operations::runShellAsAdministrator(std::string("rm -f ") + helper::kSudoersPath);
    const auto withoutRule = ESPHelper::probePasswordlessRuntime(runner);
    EXPECT_FALSE(withoutRule.ready);
    EXPECT_TRUE(withoutRule.message.starts_with("sudo: ")) << withoutRule.message;
}
