// Probe, run, cache and installation against real sudo and the simulated
// authorization prompt, as the world's admin user inside the sandbox.
#include "SandboxRunner.h"
#include "sim/SimTestSupport.h"

#include "helper/HelperScripts.h"

#include <gtest/gtest.h>

using namespace tesselwick;
using tesselwick::testing::SandboxRunner;

namespace {

constexpr const char* kInsideVariable = "TESSELWICK_HELPER_TEST_INSIDE_SANDBOX";

// The part that runs inside the sandbox: its own program, so that it is
// never collected as a test of its own outside.
std::string innerPath() {
    return std::string(TESSELWICK_BINARY_DIR) + "/bin/helper_sandbox_inner";
}

std::string tesselwickPath() {
    return std::string(TESSELWICK_BINARY_DIR) + "/bin/tesselwick";
}

class RuntimeSandbox : public tesselwick::testing::SandboxFixture {};

} // namespace

TEST_F(RuntimeSandbox, LifecycleAgainstRealSudo) {
    const auto r = sandbox_.run(std::string(kInsideVariable) + "=" + sandbox_.dir() + " '" +
                                    innerPath() + "' --gtest_color=no\n",
                                false);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("SKIPPED"), std::string::npos) << r.out;
}

TEST_F(RuntimeSandbox, CommandLine) {
    // Appended rather than "literal" + temporary: GCC 12 reports a false -Wrestrict for that.
    const std::string tool = std::string("'").append(tesselwickPath()).append("'");
    const auto r = sandbox_.run(
        "say user $(id -un)\n" + tool + " helper status >\"$TW_DIR/s1.out\" 2>&1; say s1 $?\n" +
            tool + " helper install >\"$TW_DIR/i.out\" 2>&1; say i $?\n" + tool +
            " helper status >\"$TW_DIR/s2.out\" 2>&1; say s2 $?\n" + tool +
            " helper show-installer | cmp -s - \"$INSTALLER\"; say show $?\n" + tool +
            " helper frobnicate 2>/dev/null; say bad $?\n",
        false);
    EXPECT_EQ(r.value("user"), "ava");
    EXPECT_EQ(r.value("s1"), "1");
    EXPECT_TRUE(sandbox_.readFile("s1.out").starts_with("sudo: ")) << sandbox_.readFile("s1.out");
    EXPECT_EQ(r.value("i"), "0") << sandbox_.readFile("i.out");
    EXPECT_EQ(sandbox_.readFile("i.out"), "Passwordless EFI mount/unmount is available.\n");
    EXPECT_EQ(r.value("s2"), "0");
    EXPECT_EQ(sandbox_.readFile("s2.out"), "Helper version 9 is ready.\n");
    EXPECT_EQ(r.value("show"), "0");
    EXPECT_EQ(r.value("bad"), "64");
}

TEST_F(RuntimeSandbox, CancelledPromptInstallsNothing) {
    const std::string tool = std::string("'").append(tesselwickPath()).append("'");
    std::string world = simtest::readText(simtest::worldPath("multiboot.json"));
    const std::string approve = "\"prompt\": \"approve\"";
    ASSERT_NE(world.find(approve), std::string::npos);
    world.replace(world.find(approve), approve.size(), "\"prompt\": \"cancel\"");
    const auto r = sandbox_.run(tool + " helper install >\"$TW_DIR/i.out\" 2>&1; say i $?\n" +
                                    "say helper \"$(meta \"$HP\")\"\n",
                                false, {}, world);
    EXPECT_EQ(r.value("i"), "1");
    EXPECT_NE(sandbox_.readFile("i.out").find("User canceled."), std::string::npos)
        << sandbox_.readFile("i.out");
    EXPECT_EQ(r.value("helper"), "absent");
}
