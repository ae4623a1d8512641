#include "discovery/PlistValue.h"
#include "discovery/VolumeFormat.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

using namespace tesselwick::discovery;

namespace {

ESPVolume sample() {
    ESPVolume v;
    v.id = v.diskIdentifier = "disk0s1";
    v.parentIdentifier = "disk0";
    v.parentName = "Disk \"A\"\n\xE2\x80\x93 \xff";
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

struct CliRun {
    int status;
    std::string output;
};

CliRun runCli(const std::string& arguments) {
    const std::string command = std::string(TESSELWICK_CLI_PATH) + " " + arguments + " 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
        output.append(buffer.data(), n);
    }
    const int status = pclose(pipe.release());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

} // namespace

TEST(VolumeFormat, JSONHasEveryFieldWithNullForAbsentValues) {
    const std::string json = volumesJSON({sample()});
    // Sixteen fields in record order, absent values as null, hostile text escaped,
    // a stray byte replaced so the output stays valid UTF-8.
    EXPECT_EQ(json, "[\n  {\n"
                    "    \"id\": \"disk0s1\",\n"
                    "    \"diskIdentifier\": \"disk0s1\",\n"
                    "    \"parentIdentifier\": \"disk0\",\n"
                    "    \"parentName\": \"Disk \\\"A\\\"\\n\xE2\x80\x93 \\ufffd\",\n"
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
    EXPECT_EQ(jsonString(std::string("\x01\x7f", 2)), "\"\\u0001\\u007f\"");
}

TEST(VolumeFormat, TableAndSizes) {
    EXPECT_EQ(formatByteCount(0), "0 B");
    EXPECT_EQ(formatByteCount(999), "999 B");
    EXPECT_EQ(formatByteCount(209715200), "209.7 MB");
    EXPECT_EQ(formatByteCount(999960), "1.0 MB"); // rounds up into the next unit
    EXPECT_EQ(formatByteCount(2000398934016), "2.0 TB");

    ESPVolume image = sample();
    image.id = image.diskIdentifier = "disk4s1";
    image.parentName = "Test Disk";
    image.mountPoint.reset();
    image.bootloader.reset();
    image.isInternal = false;
    image.isDiskImage = true;
    image.imagePath = "/x/Test Disk.dmg";
    ESPVolume boot = sample();
    boot.bootRole = "Boot Disk";
    const std::string table = volumesTable({boot, image});
    const std::vector<std::string> lines = [&] {
        std::vector<std::string> out;
        std::size_t start = 0;
        for (std::size_t end; (end = table.find('\n', start)) != std::string::npos;
             start = end + 1) {
            out.push_back(table.substr(start, end - start));
        }
        return out;
    }();
    ASSERT_EQ(lines.size(), 3u); // header and one line per volume, even with a newline in a name
    EXPECT_TRUE(lines[0].starts_with("DISK"));
    EXPECT_NE(lines[1].find("Internal, Boot Disk"), std::string::npos);
    EXPECT_NE(lines[2].find("Disk Image"), std::string::npos);
    EXPECT_NE(lines[2].find(" - "), std::string::npos); // not mounted, no bootloader
    // Columns line up: the identifier column starts at the same place on every line
    // (the en dash in the first name is one column, not three bytes).
    EXPECT_EQ(lines[2].find("disk4s1"), lines[0].find("IDENTIFIER"));
    EXPECT_EQ(volumesTable({}), "No EFI System Partitions found.\n");
}

TEST(Cli, VersionHelpAndErrors) {
    const CliRun version = runCli("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.output.starts_with("tesselwick ")) << version.output;

    const CliRun help = runCli("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("list"), std::string::npos);

    EXPECT_EQ(runCli("frobnicate").status, 64);
    EXPECT_EQ(runCli("list --bogus").status, 64);
    EXPECT_EQ(runCli("list --help").status, 0);
}

TEST(Cli, ListWithoutThePlatformToolsFailsWithTheRunnersMessage) {
    // Outside a macOS-shaped sandbox diskutil does not exist; the scan's error goes
    // to standard error with status 1 and nothing is printed as a result.
    if (access("/usr/sbin/diskutil", X_OK) == 0) {
        GTEST_SKIP() << "a diskutil is installed here";
    }
    const CliRun list = runCli("list --json");
    EXPECT_EQ(list.status, 1);
    EXPECT_NE(list.output.find("/usr/sbin/diskutil"), std::string::npos) << list.output;
    EXPECT_EQ(list.output.find('['), std::string::npos);
}
