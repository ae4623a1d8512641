#include "support/Text.h"

#include <gtest/gtest.h>

#include <limits>

using namespace tesselwick;

TEST(Text, TrimSplitAndDoublesThatReadBackAsDoubles) {
    EXPECT_EQ(text::trim("  \n EFI \t\r\n"), "EFI");
    EXPECT_EQ(text::split("a.b..c", '.'), (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_EQ(text::formatDouble(10.0), "10.0");
    EXPECT_EQ(text::formatDouble(0.1), "0.1");
    EXPECT_EQ(text::formatDouble(std::numeric_limits<double>::infinity()), "inf");
}
