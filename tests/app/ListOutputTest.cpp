#include "app/ListOutput.h"
#include "app/TerminalText.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tesselwick::app;
using tesselwick::discovery::ESPVolume;

namespace {

ESPVolume sample() {
    ESPVolume v;
    v.id = v.diskIdentifier = "disk0s1";
    v.parentIdentifier = "disk0";
    // Quotes, controls, DEL, an en dash, a real U+FFFD, a stray byte and a cut sequence.
    v.parentName = "Disk \"A\"\n\b\f\x01\x7f\xE2\x80\x93 \xEF\xBF\xBD\xff\xE2\x82";
    v.partitionName = "EFI";
    v.sizeBytes = 209715200;
    v.parentSizeBytes = 500107862016;
    v.mountPoint = "/Volumes/EFI";
    v.filesystem = "FAT32";
    v.hostFilesystem = "APFS";
    v.installedOS = "macOS";
    v.bootloader = "OC";
    v.isInternal = true;
    return v;
}

} // namespace

TEST(ListOutput, JSONHasEveryFieldWithNullForAbsentValues) {
    const std::string json = volumesJSON({sample()});
    // Sixteen fields in record order, absent values as null, hostile text escaped,
    // each stray byte replaced so the output stays valid UTF-8.
    EXPECT_EQ(json, "[\n  {\n"
                    "    \"id\": \"disk0s1\",\n"
                    "    \"diskIdentifier\": \"disk0s1\",\n"
                    "    \"parentIdentifier\": \"disk0\",\n"
                    "    \"parentName\": \"Disk \\\"A\\\"\\n\\u0008\\u000c\\u0001\\u007f"
                    "\xE2\x80\x93 \xEF\xBF\xBD\\ufffd\\ufffd\\ufffd\",\n"
                    "    \"partitionName\": \"EFI\",\n"
                    "    \"sizeBytes\": 209715200,\n"
                    "    \"parentSizeBytes\": 500107862016,\n"
                    "    \"mountPoint\": \"/Volumes/EFI\",\n"
                    "    \"filesystem\": \"FAT32\",\n"
                    "    \"hostFilesystem\": \"APFS\",\n"
                    "    \"installedOS\": \"macOS\",\n"
                    "    \"bootRole\": null,\n"
                    "    \"bootloader\": \"OC\",\n"
                    "    \"isInternal\": true,\n"
                    "    \"isDiskImage\": false,\n"
                    "    \"imagePath\": null\n"
                    "  }\n]\n");
    EXPECT_EQ(volumesJSON({}), "[]\n");
}

TEST(ListOutput, TableAndSizes) {
    ESPVolume image = sample();
    image.id = image.diskIdentifier = "disk4s1";
    image.parentName = "Test Disk";
    image.mountPoint.reset();
    image.bootloader.reset();
    image.isDiskImage = true;
    image.imagePath = "/x/Test Disk.dmg";
    image.sizeBytes = 2147483648;
    ESPVolume boot = sample();
    boot.bootRole = "Boot Disk";
    std::istringstream table(volumesTable({boot, image}));
    std::vector<std::string> lines;
    for (std::string line; std::getline(table, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 3u); // header and one line per volume, even with a newline in a name
    EXPECT_NE(lines[1].find("Internal, Boot Disk"), std::string::npos);
    EXPECT_NE(lines[2].find("Disk Image"), std::string::npos);
    EXPECT_NE(lines[2].find(" 2.15 GB "), std::string::npos); // as the popover writes it
    EXPECT_NE(lines[2].find(" - "), std::string::npos);       // not mounted, no bootloader
    // Columns line up: the en dash in the first name is one column, not three bytes.
    EXPECT_EQ(lines[2].find("disk4s1"), lines[0].find("IDENTIFIER"));
    EXPECT_EQ(volumesTable({}), "No EFI System Partitions found.\n");
}

TEST(TerminalText, EscapesWhatCouldMoveTheCursorOrReorderTheLine) {
    struct Case {
        std::string text;
        Lines lines;
        std::string shown;
    } cases[] = {
        {"Données – EFI", Lines::escape, "Données – EFI"}, // readable text stays as it is
        {"a\x1b[2Jb\tc\x7f", Lines::escape, "a\\x1b[2Jb\\x09c\\x7f"},
        {"\xC2\x9B"
         "31m",
         Lines::escape, "\\u009b31m"}, // the one-character CSI
        {"abc\xE2\x80\xAE\xE2\x81\xA6gpj\xE2\x80\xA8", Lines::escape,
         "abc\\u202e\\u2066gpj\\u2028"},
        {"cut \xE2\x82 and \xff", Lines::escape, "cut \\xe2\\x82 and \\xff"},
        {"one\ntwo\r\n", Lines::escape, "one\\x0atwo\\x0d\\x0a"},
        {"one\n\ntwo\r\n", Lines::keep, "one\n\ntwo\\x0d\n"}, // a message's paragraphs
    };
    for (const Case& c : cases) {
        EXPECT_EQ(terminalText(c.text, c.lines), c.shown) << c.shown;
    }
}
