#include "support/Text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace tesselwick;

TEST(Text, TrimAndCase) {
    EXPECT_EQ(text::trim("  \n EFI \t\r\n"), "EFI");
    EXPECT_EQ(text::trim(" \n "), "");
    EXPECT_EQ(text::toLower("Microsoft Basic Data"), "microsoft basic data");
    EXPECT_EQ(text::split("a.b..c", '.'), (std::vector<std::string>{"a", "b", "", "c"}));
}

TEST(Text, DoublesReadBackWithAtLeastOneDecimal) {
    EXPECT_EQ(text::formatDouble(10.0), "10.0");
    EXPECT_EQ(text::formatDouble(0.25), "0.25");
    EXPECT_EQ(text::formatDouble(-1.0), "-1.0");
    EXPECT_EQ(text::formatDouble(0.1), "0.1");
    EXPECT_EQ(text::formatDouble(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(text::formatDouble(std::nan("")), "nan");
}
