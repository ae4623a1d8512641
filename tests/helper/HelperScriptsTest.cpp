#include "helper/HelperScripts.h"

#include <gtest/gtest.h>

#include <string>

using namespace tesselwick;

TEST(PrivilegedDiskutilScript, ValuesAppearOnlyInTheirQuotedAssignments) {
    const std::string script = helper::privilegedDiskutilScript(
        discovery::DiskOperation::unmount, discovery::PartitionId::validated("disk12s3"));
    EXPECT_TRUE(script.starts_with("#!/bin/zsh -f\n")); // none of the caller's startup files
    const std::string values = "\ncommand='unmount'\ndisk='disk12s3'\nwhole_disk='disk12'\n";
    const auto at = script.find(values);
    ASSERT_NE(at, std::string::npos);
    // The body works on the variables only.
    EXPECT_EQ(script.find("disk12", at + values.size()), std::string::npos);
}
