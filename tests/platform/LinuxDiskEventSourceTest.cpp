#include "platform/linux/LinuxDiskEventSource.h"
#include "PrivateMountNamespace.h"
#include "manager/DiskWatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/mount.h>
#include <unistd.h>

using namespace tesselwick;
using manager::DiskEvent;
using platform::linux_::diffMountTables;
using platform::linux_::LinuxDiskEventSource;
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

// Collects a source's events, which arrive on its own thread.
class EventLog {
public:
    manager::DiskEventSink sink() {
        return [this](DiskEvent event) {
            {
                std::lock_guard guard(mutex_);
                events_.push_back(event);
            }
            changed_.notify_all();
        };
    }
    // Waits (bounded, woken by each event) until `event` has been seen.
    bool waitFor(DiskEvent event) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
            return std::find(events_.begin(), events_.end(), event) != events_.end();
        });
    }
    std::vector<DiskEvent> events() {
        std::lock_guard guard(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DiskEvent> events_;
};

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tw-mnt-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

} // namespace

TEST(KernelUevent, ParsesBlockDeviceArrivalsAndDepartures) {
    struct Case {
        std::string text;
        std::optional<DiskEvent> expected;
    };
    const Case cases[] = {
        // a whole disk and a partition coming and going
        {datagram({"add@/devices/virtual/block/loop3", "ACTION=add", "SUBSYSTEM=block",
                   "DEVTYPE=disk", "DEVNAME=loop3"}),
         DiskEvent::diskAppeared},
        {datagram({"remove@/devices/x/block/sdb/sdb1", "ACTION=remove", "SUBSYSTEM=block",
                   "DEVTYPE=partition"}),
         DiskEvent::diskDisappeared},
        // media change and other actions are not arrivals
        {datagram(
             {"change@/devices/x/block/sr0", "ACTION=change", "SUBSYSTEM=block", "DEVTYPE=disk"}),
         std::nullopt},
        // other subsystems
        {datagram({"add@/devices/x/net/eth1", "ACTION=add", "SUBSYSTEM=net"}), std::nullopt},
        // udev's rebroadcast format has no "@" header
        {datagram({"libudev", "ACTION=add", "SUBSYSTEM=block", "DEVTYPE=disk"}), std::nullopt},
        // truncated to the header
        {std::string("add@/devices/x/block/sdc"), std::nullopt},
        {std::string(), std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseKernelUevent(c.text), c.expected) << c.text.c_str();
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

TEST(LinuxDiskEventSource, TmpfsMountMoveAndUnmountAreReported) {
    if (!testsupport::privateMountNamespaceFailure().empty()) {
        GTEST_SKIP() << testsupport::privateMountNamespaceFailure();
    }
    TempDir first, second;
    EventLog log;
    auto source = LinuxDiskEventSource::create(log.sink(), {});
    EXPECT_EQ(source->volumeObserverCount(), 3);
    ASSERT_EQ(::mount("tesselwick-test", first.path.c_str(), "tmpfs", 0, "size=64k"), 0);
    EXPECT_TRUE(log.waitFor(DiskEvent::volumeMounted));
    ASSERT_EQ(::mount(first.path.c_str(), second.path.c_str(), nullptr, MS_MOVE, nullptr), 0);
    EXPECT_TRUE(log.waitFor(DiskEvent::volumeRenamed));
    ASSERT_EQ(::umount(second.path.c_str()), 0);
    EXPECT_TRUE(log.waitFor(DiskEvent::volumeUnmounted));
    source.reset();
    // Gone sources report nothing more.
    const std::size_t seen = log.events().size();
    ASSERT_EQ(::mount("tesselwick-test", first.path.c_str(), "tmpfs", 0, "size=64k"), 0);
    ::umount(first.path.c_str());
    EXPECT_EQ(log.events().size(), seen);
}

TEST(LinuxDiskEventSource, MountSignalsReachTheWatcherOnTheMainQueue) {
    if (!testsupport::privateMountNamespaceFailure().empty()) {
        GTEST_SKIP() << testsupport::privateMountNamespaceFailure();
    }
    TempDir dir;
    ManualClock clock;
    ManualMainQueue queue(clock);
    int callbacks = 0;
    // Counts the main-thread hand-overs, so the test knows when each report has run.
    auto handled = std::make_shared<std::atomic<int>>(0);
    auto inner = LinuxDiskEventSource::factory();
    manager::DiskEventSourceFactory counting = [&queue, handled,
                                                inner](manager::DiskEventSink sink) {
        return inner([&queue, handled, sink](DiskEvent event) {
            sink(event);
            queue.post([handled] { ++*handled; });
        });
    };
    auto watcher = manager::DiskWatcher::create(queue, clock, counting, [&] { ++callbacks; });
    queue.advance(1.0); // past the start-up window
    ASSERT_EQ(::mount("tesselwick-test", dir.path.c_str(), "tmpfs", 0, "size=64k"), 0);
    ASSERT_TRUE(queue.runUntil([&] { return *handled == 1; }));
    queue.advance(0.1);
    ASSERT_EQ(::umount(dir.path.c_str()), 0);
    ASSERT_TRUE(queue.runUntil([&] { return *handled == 2; }));
    // One coalesced signal for both, 0.25 s after the unmount was handed over.
    queue.advance(0.249);
    EXPECT_EQ(callbacks, 0);
    queue.advance(0.001);
    EXPECT_EQ(callbacks, 1);
    watcher.reset();
}

TEST(LinuxDiskEventSource, KernelBlockDeviceEventIsReported) {
    // Ask the kernel to replay the "add" event of an existing loop device.
    std::string trigger;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/block")) {
        if (entry.path().filename().string().rfind("loop", 0) == 0) {
            trigger = (entry.path() / "uevent").string();
            break;
        }
    }
    if (trigger.empty() || ::access(trigger.c_str(), W_OK) != 0) {
        GTEST_SKIP() << "no writable loop device uevent file to trigger a kernel event";
    }
    EventLog log;
    auto source = LinuxDiskEventSource::create(log.sink(), {});
    if (!source->hasDiskSession()) {
        GTEST_SKIP() << "the kernel uevent socket is not available here";
    }
    const int fd = ::open(trigger.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const bool written = ::write(fd, "add", 3) == 3;
    ::close(fd);
    ASSERT_TRUE(written);
    EXPECT_TRUE(log.waitFor(DiskEvent::diskAppeared));
}
