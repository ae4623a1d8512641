#include "helper/HelperScripts.h"
#include "process/ProcessRunner.h"

#include "support/ErrorText.h"

#include <gtest/gtest.h>

#include <string>

using namespace tesselwick;
using discovery::DiskOperation;
using discovery::PartitionId;

namespace {
const std::string kLease = "/tmp/tesselwick-lease.Ab12Cd";
}

TEST(RootScripts, ZshParsesEveryGeneratedScript) {
    const PartitionId disk = PartitionId::validated("disk5s1");
    const std::pair<const char*, std::string> scripts[] = {
        {"helper", helper::helperScript()},
        {"installer", helper::installerScript()},
        {"administrator mount",
         helper::privilegedDiskutilScript(DiskOperation::mount, disk, kLease)},
        {"administrator unmount",
         helper::privilegedDiskutilScript(DiskOperation::unmount, disk, kLease)},
    };
    for (const auto& [name, text] : scripts) {
        // Clang 14 lets no lambda capture a structured binding.
        const std::string& script = text;
        EXPECT_EQ(
            tesselwick::testing::errorText([&] {
                process::runProcessData("/bin/zsh", {"-n", "-c", script}, tesselwick::Seconds(30));
            }),
            "no error")
            << name;
    }
}

TEST(PrivilegedDiskutilScript, ValuesAppearOnlyInTheirQuotedAssignments) {
    const std::string script = helper::privilegedDiskutilScript(
        DiskOperation::unmount, PartitionId::validated("disk12s3"), kLease);
    EXPECT_TRUE(script.starts_with("#!/bin/zsh -f\n")); // none of the caller's startup files
    const std::string values = "\ncommand='unmount'\ndisk='disk12s3'\nwhole_disk='disk12'\n";
    const auto at = script.find(values);
    ASSERT_NE(at, std::string::npos);
    // The body works on the variables only.
    EXPECT_EQ(script.find("disk12", at + values.size()), std::string::npos);
    EXPECT_EQ(script.find(kLease), script.find("\nlease='" + kLease + "'\n") + 8);
    // Only a lease of the caller's own making can be spliced in.
    EXPECT_THROW(helper::privilegedDiskutilScript(DiskOperation::unmount,
                                                  PartitionId::validated("disk12s3"), "/tmp/x'y"),
                 std::invalid_argument);
}
