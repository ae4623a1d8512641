#include "discovery/PlistValue.h"
#include "FakeTools.h"
#include "support/ErrorText.h"

#include <gtest/gtest.h>

#include <random>

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
	<key>Size</key><integer>512110190592</integer>
	<key>Real</key><real>1.5682240512E10</real>
	<key>True</key><true/>
	<key>False</key><false/>
	<key>Date</key><date>2001-01-01T00:01:00Z</date>
	<key>Data</key><data>AAEC</data>
	<key>Array</key><array><string>a</string><integer>1</integer></array>
	<key>Empty</key><dict/>
</dict>
</plist>
)";

void expectAllKinds(const PlistValue& root) {
    const PlistDictionary* d = root.dictionary();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(*stringValue(*d, "String"), "macOS \xE2\x80\x93 data");
    EXPECT_TRUE(lookup(*d, "Negative")->integer()->isNegative());
    EXPECT_EQ(lookup(*d, "Negative")->integer()->signedValue(), -1);
    // The same 64 bits, written unsigned: kept distinct from -1.
    EXPECT_EQ(*lookup(*d, "Huge")->integer(), PlistInteger::fromUnsigned(UINT64_MAX));
    EXPECT_EQ(*lookup(*d, "Size")->integer(), PlistInteger::fromSigned(512110190592));
    EXPECT_EQ(*lookup(*d, "Real")->real(), 1.5682240512E10);
    EXPECT_EQ(boolValue(*d, "True"), true);
    EXPECT_EQ(boolValue(*d, "False"), false);
    EXPECT_EQ(lookup(*d, "True")->integer(), nullptr); // booleans are not numbers
    EXPECT_EQ(lookup(*d, "Date")->date()->secondsSinceReference, 60.0);
    EXPECT_EQ(*lookup(*d, "Data")->data(), (PlistData{0, 1, 2}));
    EXPECT_EQ(lookup(*d, "Array")->array()->size(), 2u);
    EXPECT_FALSE(dictionaryArray(*d, "Array")); // not all dictionaries
    EXPECT_TRUE(lookup(*d, "Empty")->dictionary()->empty());
}

} // namespace

TEST(PlistValue, ParsesEveryKindFromXML) {
    expectAllKinds(parsePropertyList(kAllKinds));
}

TEST(PlistValue, BinaryRoundTripKeepsKinds) {
    const PlistValue xml = parsePropertyList(kAllKinds);
    const std::string binary = toBinaryPropertyList(xml);
    ASSERT_TRUE(binary.starts_with("bplist00"));
    const PlistValue back = parsePropertyList(binary);
    // libplist cannot write an unsigned value beyond the signed range; everything
    // else must come back identical.
    PlistDictionary expected = *xml.dictionary();
    PlistDictionary actual = *back.dictionary();
    expected.erase("Huge");
    actual.erase("Huge");
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(parsePropertyList(toXMLPropertyList(back)), back);
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
        {"<plist><array><string>a</array></plist>", "it is not in a property-list format"},
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

TEST(PlistValue, RandomBytesAfterValidHeadersNeverCrash) {
    std::mt19937 random(7);
    const std::string heads[] = {"bplist00", "<?xml version=\"1.0\"?><plist><dict>", "<plist>"};
    for (int n = 0; n < 3000; ++n) {
        std::string bytes = heads[n % 3];
        const int length = static_cast<int>(random() % 300);
        for (int i = 0; i < length; ++i) {
            bytes.push_back(static_cast<char>(random()));
        }
        try {
            parsePropertyList(bytes);
        } catch (const DomainError&) {
        }
    }
}

TEST(PlistValue, RealToolOutputShapes) {
    REQUIRE_FIXTURE(list, "list-plist.hstimager-usbstick.plist");
    const PlistValue root = parsePropertyList(list);
    const auto disks = dictionaryArray(*root.dictionary(), "AllDisksAndPartitions");
    ASSERT_TRUE(disks);
    const PlistDictionary* stick = nullptr;
    for (const auto& disk : *disks) {
        if (*stringValue(disk, "DeviceIdentifier") == "disk2") {
            stick = &disk;
        }
    }
    ASSERT_NE(stick, nullptr);
    EXPECT_EQ(lookup(*stick, "Partitions"), nullptr);   // no partition map
    EXPECT_NE(lookup(*stick, "Size")->real(), nullptr); // size printed as <real>
}
