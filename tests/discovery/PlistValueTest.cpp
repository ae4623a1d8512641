#include "discovery/PlistValue.h"
#include "support/ErrorText.h"

#include <gtest/gtest.h>

using namespace tesselwick;
using namespace tesselwick::discovery;
using tesselwick::testing::errorText;

namespace {

const char* const kAllKinds = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>String</key><string>macOS – data</string>
	<key>Negative</key><integer>-1</integer>
	<key>Huge</key><integer>18446744073709551615</integer>
	<key>Real</key><real>1.5682240512E10</real>
	<key>True</key><true/>
	<key>False</key><false/>
	<key>Date</key><date>2001-01-01T00:01:00Z</date>
	<key>Data</key><data>AAEC</data>
	<key>Array</key><array><string>a</string><integer>1</integer></array>
</dict>
</plist>
)";

} // namespace

TEST(PlistValue, ParsesEveryKindAndRoundTripsThroughBinary) {
    const PlistValue xml = parsePropertyList(kAllKinds);
    const PlistDictionary& d = *xml.dictionary();
    EXPECT_EQ(*stringValue(d, "String"), "macOS \xE2\x80\x93 data");
    EXPECT_TRUE(lookup(d, "Negative")->integer()->isNegative());
    // The same 64 bits, written unsigned: kept distinct from -1.
    EXPECT_EQ(*lookup(d, "Huge")->integer(), PlistInteger::fromUnsigned(UINT64_MAX));
    EXPECT_EQ(*lookup(d, "Real")->real(), 1.5682240512E10);
    EXPECT_EQ(lookup(d, "True")->integer(), nullptr); // booleans are not numbers
    EXPECT_EQ(lookup(d, "Date")->date()->secondsSinceReference, 60.0);
    EXPECT_EQ(*lookup(d, "Data")->data(), (PlistData{0, 1, 2}));
    EXPECT_FALSE(dictionaryArray(d, "Array")); // not all dictionaries
    // libplist cannot write an unsigned value beyond the signed range; everything
    // else comes back identical.
    PlistDictionary back = *parsePropertyList(toBinaryPropertyList(xml)).dictionary();
    PlistDictionary expected = d;
    expected.erase("Huge");
    back.erase("Huge");
    EXPECT_EQ(back, expected);
}

TEST(PlistValue, GarbageIsAReadableErrorNeverACrash) {
    std::string deepXML = "<plist>";
    for (int i = 0; i < 100000; ++i) {
        deepXML += "<array>";
    }
    // A binary list whose 100000 arrays each hold the next: the parser would
    // recurse once per level.
    auto chain = [](int levels, int refsPerLevel, bool cycle) {
        std::string objects;
        std::vector<std::uint32_t> offsets;
        auto be32 = [](std::uint32_t v) {
            return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        };
        for (int i = 0; i < levels; ++i) {
            offsets.push_back(static_cast<std::uint32_t>(8 + objects.size()));
            if (i + 1 < levels) {
                objects += char(0xA0 | refsPerLevel);
                for (int r = 0; r < refsPerLevel; ++r) {
                    objects += be32(static_cast<std::uint32_t>(i + 1));
                }
            } else if (cycle) {
                objects += char(0xA1) + be32(0);
            } else {
                objects += char(0xA0);
            }
        }
        std::string out = "bplist00" + objects;
        const auto table = static_cast<std::uint64_t>(out.size());
        for (auto offset : offsets) {
            out += be32(offset);
        }
        out += std::string(6, '\0') + char(4) + char(4);
        for (std::uint64_t v : {std::uint64_t(levels), std::uint64_t(0), table}) {
            for (int s = 56; s >= 0; s -= 8) {
                out += char((v >> s) & 0xFF);
            }
        }
        return out;
    };
    struct Case {
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"", "it is empty"},
        {"hello world", "it is not in a property-list format"},
        {"bplist00garbage", "it is not in a property-list format"},
        {deepXML, "it is nested too deeply"},
        {chain(100000, 1, false), "it is nested too deeply"},
        {chain(40, 2, false), "it expands to too many values"}, // 2^40 copies
        {chain(5, 1, true), "it refers to itself"},
        // bytes that are not UTF-8 in a key stopped the process inside the system parser
        {"<dict><key>W\xC0\xC0ritable</key><true/></dict>", "it is not valid UTF-8"},
        // so did a UTF-16 key holding U+0000 ({"\u00e9\0": true})
        {std::string("bplist00\xd1\x01\x02\x62\x00\xe9\x00\x00\x09\x08\x0b\x10", 20) +
             std::string(6, '\0') + "\x01\x01" + std::string(7, '\0') + "\x03" +
             std::string(15, '\0') + "\x11",
         "a text holds a NUL character"},
    };
    const std::string prefix = std::string(kPlistErrorDomain) + " " +
                               std::to_string(kPlistParseErrorCode) +
                               ": The property list could not be read: ";
    for (const auto& c : cases) {
        EXPECT_EQ(errorText([&] { parsePropertyList(c.bytes); }), prefix + c.reason + ".");
    }
    // A modest legitimate nesting and a small shared graph still parse.
    EXPECT_NE(parsePropertyList(chain(100, 1, false)).array(), nullptr);
    EXPECT_NE(parsePropertyList(chain(10, 2, false)).array(), nullptr);
}
