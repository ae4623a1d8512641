#include "platform/linux/LinuxDiskEventSource.h"
#include "manager/DiskWatcher.h"

#include <gtest/gtest.h>

using namespace tesselwick;
using services::DiskEvent;
using platform::linux_::diffMountTables;
using platform::linux_::MountTable;
using platform::linux_::parseKernelUevent;
using platform::linux_::parseMountInfo;

namespace {

std::string datagram(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (auto part : parts) {
        out.append(part);
        out.push_back('\0');
    }
    return out;
}

} // namespace

TEST(KernelUevent, ParsesBlockDeviceArrivalsAndDepartures) {
    using E = DiskEvent;
    const std::pair<std::string, std::optional<DiskEvent>> cases[] = {
        // a whole disk and a partition coming and going
        {datagram({"add@/devices/virtual/block/loop3", "ACTION=add", "SUBSYSTEM=block",
                   "DEVTYPE=disk", "DEVNAME=loop3"}),
         E::diskAppeared},
        {datagram({"remove@/devices/x/block/sdb/sdb1", "ACTION=remove", "SUBSYSTEM=block",
                   "DEVTYPE=partition"}),
         E::diskDisappeared},
        // media change, other subsystems, udev's rebroadcast (no "@" header), truncated
        {datagram(
             {"change@/devices/x/block/sr0", "ACTION=change", "SUBSYSTEM=block", "DEVTYPE=disk"}),
         {}},
        {datagram({"add@/devices/x/net/eth1", "ACTION=add", "SUBSYSTEM=net"}), {}},
        {datagram({"libudev", "ACTION=add", "SUBSYSTEM=block", "DEVTYPE=disk"}), {}},
        {"add@/devices/x/block/sdc", {}},
        {"", {}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parseKernelUevent(text), expected) << text.c_str();
    }
}

TEST(MountInfo, ParsesAndDiffsMountTables) {
    const MountTable before =
        parseMountInfo("22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                       "40 22 0:35 / /media/My\\040Disk rw - vfat /dev/sdb1 rw\n"
                       "41 22 0:36 / /mnt/a rw - tmpfs tmpfs rw\n"
                       "garbage line\n");
    ASSERT_EQ(before.size(), 3u);
    EXPECT_EQ(before.at(40), "/media/My Disk"); // octal escapes decoded
    MountTable after = before;
    after.erase(40);            // unmounted
    after[41] = "/mnt/b";       // moved
    after[50] = "/Volumes/EFI"; // mounted
    EXPECT_EQ(diffMountTables(before, after),
              (std::vector<DiskEvent>{DiskEvent::volumeRenamed, DiskEvent::volumeMounted,
                                      DiskEvent::volumeUnmounted}));
    EXPECT_TRUE(diffMountTables(before, before).empty());
}
