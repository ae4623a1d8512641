// What the disk watching costs while nothing happens, and what one mount costs:
//   idle_wakeups           context switches of all the process's threads during
//                          10 s with the manager started and the watcher running,
//                          minus the one wake-up that ends the measurement
//   idle_threads           threads alive during that time
//   scans_per_mount_event  scans started by one real tmpfs mount (private mount
//                          namespace; needs CAP_SYS_ADMIN)
//   mount_to_scan_seconds  from the mount call to the start of that scan
// The main thread runs an event loop that sleeps until work is due, as the
// application's own loop does; the scan entry is a counter (no disk tools here).
#include "manager/DiskManager.h"
#include "platform/linux/LinuxDiskEventSource.h"
#include "services/LoginItemService.h"
#include "support/MainQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

using namespace tesselwick;
using SteadyClock = std::chrono::steady_clock;

namespace {

// A main queue on real time: the calling thread sleeps on a condition
// variable until the next item is due or something is posted.
class LoopMainQueue final : public MainQueue {
public:
    void post(std::function<void()> work) override { postAfter(Seconds::zero(), std::move(work)); }

    TimerHandle postAfter(Seconds delay, std::function<void()> work) override {
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        {
            std::lock_guard guard(mutex_);
            items_.push_back(
                {SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(delay),
                 order_++, cancelled, std::move(work)});
        }
        changed_.notify_all();
        return TimerHandle(cancelled);
    }

    void runUntil(SteadyClock::time_point end) {
        std::unique_lock lock(mutex_);
        for (;;) {
            std::erase_if(items_, [](const Item& item) { return item.cancelled->load(); });
            auto next = std::min_element(items_.begin(), items_.end(), [](auto& a, auto& b) {
                return a.due < b.due || (a.due == b.due && a.order < b.order);
            });
            const auto now = SteadyClock::now();
            if (next != items_.end() && next->due <= now) {
                Item item = std::move(*next);
                items_.erase(next);
                lock.unlock();
                if (!item.cancelled->load()) {
                    item.work();
                }
                lock.lock();
                continue;
            }
            if (now >= end) {
                return;
            }
            const auto wakeAt = next != items_.end() ? std::min(next->due, end) : end;
            changed_.wait_until(lock, wakeAt);
        }
    }

private:
    struct Item {
        SteadyClock::time_point due;
        std::uint64_t order;
        std::shared_ptr<std::atomic<bool>> cancelled;
        std::function<void()> work;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Item> items_;
    std::uint64_t order_ = 0;
};

class NoLoginItem final : public services::LoginItemService {
public:
    services::LoginItemStatus status() const override {
        return services::LoginItemStatus::notRegistered;
    }
    void registerItem() override {}
    void unregisterItem() override {}
};

// Voluntary plus involuntary context switches of each thread of this process.
std::map<int, long> contextSwitchesByThread() {
    std::map<int, long> result;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(entry.path() / "status");
        std::string line;
        long total = 0;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
        result[std::stoi(entry.path().filename().string())] = total;
    }
    return result;
}

std::string enterPrivateMountNamespace() {
    if (::unshare(CLONE_NEWNS) != 0) {
        return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making / private: ") + std::strerror(errno);
    }
    return {};
}

} // namespace

int main() {
    // Before any thread exists, so /proc/self/mountinfo is this namespace's.
    const std::string namespaceFailure = enterPrivateMountNamespace();

    LoopMainQueue queue;
    std::atomic<int> scans{0};
    std::mutex scanMutex;
    SteadyClock::time_point lastScanAt{};

    // Scans that find nothing, counted and timed.
    struct CountingSource final : manager::VolumeSource {
        std::atomic<int>& scans;
        std::mutex& scanMutex;
        SteadyClock::time_point& lastScanAt;
        CountingSource(std::atomic<int>& s, std::mutex& m, SteadyClock::time_point& t)
            : scans(s), scanMutex(m), lastScanAt(t) {}
        std::vector<discovery::ESPVolume>
        loadESPVolumes(std::vector<discovery::DiskReport>*) override {
            {
                std::lock_guard guard(scanMutex);
                lastScanAt = SteadyClock::now();
            }
            ++scans;
            return {};
        }
        void invalidateExpired() override {}
        void invalidateAll() override {}
    };
    manager::DiskManagerDependencies deps;
    deps.mainQueue = &queue;
    deps.clock = &systemClock();
    deps.volumes = std::make_shared<CountingSource>(scans, scanMutex, lastScanAt);
    deps.diskEventSourceFactory = platform::linux_::LinuxDiskEventSource::factory();
    deps.loginItemService = std::make_shared<NoLoginItem>();

    auto diskManager = manager::DiskManager::create(deps);
    diskManager->start();
    // The first scan and the watcher's start-up window.
    queue.runUntil(SteadyClock::now() + std::chrono::seconds(2));
    if (!diskManager->hasCompletedInitialScan() || scans != 1) {
        std::fprintf(stderr, "bench_idle: the first scan did not complete\n");
        return 1;
    }

    const auto before = contextSwitchesByThread();
    queue.runUntil(SteadyClock::now() + std::chrono::seconds(10));
    const auto after = contextSwitchesByThread();
    long wakeups = 0;
    for (const auto& [tid, count] : after) {
        const auto old = before.find(tid);
        const long delta = count - (old == before.end() ? 0 : old->second);
        std::fprintf(stderr, "thread %d: %ld context switches\n", tid, delta);
        wakeups += delta;
    }
    // The main thread's one timed wait ends the measurement.
    std::printf("idle_wakeups %ld\n", std::max(0L, wakeups - 1));
    std::printf("idle_threads %zu\n", after.size());
    std::printf("idle_scans %d\n", scans.load() - 1);

    if (!namespaceFailure.empty()) {
        std::fprintf(stderr, "bench_idle: no private mount namespace (%s); mount figures skipped\n",
                     namespaceFailure.c_str());
        return 0;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tw-bench-XXXXXX").string();
    const std::string mountPoint = ::mkdtemp(pattern.data());
    const int scansBefore = scans;
    const auto mountedAt = SteadyClock::now();
    if (::mount("tesselwick-bench", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
        std::fprintf(stderr, "bench_idle: mount failed: %s\n", std::strerror(errno));
        return 1;
    }
    queue.runUntil(SteadyClock::now() + std::chrono::seconds(3));
    std::printf("scans_per_mount_event %d\n", scans.load() - scansBefore);
    {
        std::lock_guard guard(scanMutex);
        std::printf("mount_to_scan_seconds %.3f\n",
                    std::chrono::duration<double>(lastScanAt - mountedAt).count());
    }
    ::umount(mountPoint.c_str());
    ::rmdir(mountPoint.c_str());
    diskManager.reset();
    return 0;
}
