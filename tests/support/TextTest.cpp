#include "support/Text.h"
#include "support/Utf8.h"

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

TEST(Utf8, StrictReadingAndOneReplacementPerIllFormedSequence) {
    const std::string r(utf8::kReplacementCharacter);
    const struct {
        std::string bytes;
        std::string valid;
    } cases[] = {
        // well formed, up to four bytes, a noncharacter included
        {"a\xC3\xA9\xE2\x80\x93\xF0\x9F\x98\x80\xEF\xBF\xBE", ""},
        // a sequence cut short, mid-text and at the end: one replacement each
        {"a\xE2\x82"
         "b\xF0\x9F\x98",
         "a" + r + "b" + r},
        // overlong forms: the lead byte and each continuation on its own
        {"\xC0\x80\xE0\x80\x80", r + r + r + r + r},
        // a UTF-16 surrogate and a value above U+10FFFF
        {"\xED\xA0\x80\xF4\x90\x80\x80", r + r + r + r + r + r + r},
        // stray continuation and bytes that never start a sequence
        {"\x80\xFF\xF5", r + r + r},
    };
    for (const auto& c : cases) {
        const bool wellFormed = c.valid.empty();
        EXPECT_EQ(utf8::isValid(c.bytes), wellFormed) << c.bytes;
        EXPECT_EQ(utf8::toValid(c.bytes), wellFormed ? c.bytes : c.valid) << c.bytes;
    }
}
