#pragma once

// A disk manager on virtual time whose scans, operations and helper
// installation are scripted fakes, for the manager's tests and the interface's.

#include "doubles/FakeDiskEventSource.h"
#include "doubles/FakeFileBrowser.h"
#include "doubles/FakeLoginItemService.h"
#include "doubles/ManualMainQueue.h"
#include "manager/DiskManager.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <variant>

namespace managertest {

using namespace tesselwick;
using discovery::ESPVolume;
using manager::DiskManager;

constexpr double kStart = 1000.0;

inline ESPVolume volume(const std::string& id,
                        std::optional<std::string> mountPoint = std::nullopt) {
    ESPVolume v;
    v.id = id;
    v.diskIdentifier = id;
    v.parentIdentifier = id.substr(0, id.rfind('s'));
    v.parentName = "Disk " + v.parentIdentifier;
    v.partitionName = "EFI";
    v.sizeBytes = 209715200;
    v.parentSizeBytes = 500107862016;
    v.filesystem = "FAT32";
    v.hostFilesystem = "APFS";
    v.isInternal = true;
    v.mountPoint = std::move(mountPoint);
    return v;
}

// Stands in for both the scan entry and the operations' worker side: each
// call blocks while gated (as a slow diskutil or an unanswered prompt would),
// then produces what was scripted. Operations end early when cancelled; scans
// finish regardless.
struct FakeWork {
    struct Failure {
        std::string message;
    };
    using Outcome = std::variant<std::vector<ESPVolume>, Failure>;

    std::mutex lock; // guards every member
    std::condition_variable changed;
    bool gated = false;
    std::deque<Outcome> scans; // none left: an empty list
    int scanCalls = 0;
    std::vector<std::string> operations;
    std::optional<std::string> failure;
    std::optional<std::string> mountPoint = "/Volumes/EFI";

    std::vector<ESPVolume> scan() {
        std::unique_lock guard(lock);
        ++scanCalls;
        changed.notify_all();
        changed.wait(guard, [&] { return !gated; });
        const Outcome outcome = scans.empty() ? Outcome{} : scans.front();
        if (!scans.empty()) {
            scans.pop_front();
        }
        guard.unlock();
        if (const auto* failed = std::get_if<Failure>(&outcome)) {
            throw commandError(1, failed->message);
        }
        return std::get<0>(outcome);
    }
    void operation(const std::string& call) {
        const auto wake = task::onCancel([this] {
            { std::lock_guard guard(lock); }
            changed.notify_all();
        });
        std::unique_lock guard(lock);
        operations.push_back(call);
        changed.notify_all();
        changed.wait(guard, [&] { return !gated || task::isCancelled(); });
        task::checkCancellation();
        if (failure) {
            throw commandError(1, *failure);
        }
    }
    void script(Outcome outcome) {
        std::lock_guard guard(lock);
        scans.push_back(std::move(outcome));
    }
    void gate(bool on) {
        {
            std::lock_guard guard(lock);
            gated = on;
        }
        changed.notify_all();
    }
    bool waitFor(int scanCount, std::size_t operationCount = 0) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] {
            return scanCalls >= scanCount && operations.size() >= operationCount;
        });
    }
    int scanCount() {
        std::lock_guard guard(lock);
        return scanCalls;
    }
    std::vector<std::string> operationCalls() {
        std::lock_guard guard(lock);
        return operations;
    }
};

// The manager's three services over one FakeWork.
struct FakeServices final : manager::VolumeSource,
                            manager::HelperService,
                            manager::OperationService {
    std::shared_ptr<FakeWork> work;
    std::shared_ptr<std::atomic<int>> cacheDrops;
    std::shared_ptr<std::atomic<bool>> probe;
    const std::optional<bool>* cached;

    // One report per disk of the volumes, each with its ESPs.
    std::vector<ESPVolume> loadESPVolumes(std::vector<discovery::DiskReport>* disks) override {
        std::vector<ESPVolume> volumes = work->scan();
        for (const ESPVolume& v : volumes) {
            discovery::DiskReport disk;
            disk.id = v.parentIdentifier;
            disk.espIdentifiers = {v.id};
            disks->push_back(std::move(disk));
        }
        return volumes;
    }
    void invalidateExpired() override {}
    void invalidateAll() override { ++*cacheDrops; }
    std::optional<bool> cachedStatus() const override { return *cached; }
    bool isInstalled() override { return probe->load(); }
    void install() override { work->operation("install"); }
    void uninstall() override { work->operation("uninstall"); }
    void run(discovery::DiskOperation operation, const discovery::PartitionId& partition) override {
        work->operation(std::string(discovery::operationName(operation)) + " " + partition.str());
    }
    ESPVolume refreshedVolume(const ESPVolume& v, bool mounted) override {
        std::lock_guard guard(work->lock);
        return volume(v.id, mounted ? work->mountPoint : std::nullopt);
    }
};

// A disk manager on virtual time over these fakes.
struct ManagerHarness {
    ManualClock clock{kStart};
    ManualMainQueue queue{clock};
    std::shared_ptr<platform::fake::FakeDiskEventHub> hub =
        std::make_shared<platform::fake::FakeDiskEventHub>();
    std::shared_ptr<FakeWork> work = std::make_shared<FakeWork>();
    std::shared_ptr<platform::fake::FakeLoginItemService> login =
        std::make_shared<platform::fake::FakeLoginItemService>();
    std::shared_ptr<platform::fake::FakeFileBrowser> browser =
        std::make_shared<platform::fake::FakeFileBrowser>();
    std::shared_ptr<std::atomic<int>> cacheDrops = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<bool>> helperProbe = std::make_shared<std::atomic<bool>>(false);
    std::optional<bool> cachedHelper;
    std::vector<std::string> notifications;
    std::mutex tasksMutex;
    std::vector<TaskHandle> tasks;
    int threadsLeft = -1; // how many more threads the system grants; -1: any number
    std::shared_ptr<DiskManager> manager;

    void create() {
        manager::DiskManagerDependencies deps;
        deps.mainQueue = &queue;
        deps.clock = &clock;
        auto services = std::make_shared<FakeServices>();
        services->work = work;
        services->cacheDrops = cacheDrops;
        services->probe = helperProbe;
        services->cached = &cachedHelper;
        deps.volumes = services;
        deps.helper = services;
        deps.operations = services;
        deps.fileBrowser = browser;
        deps.notify = [this](const std::string& title, const std::string& body) {
            notifications.push_back(title + " | " + body);
        };
        deps.diskEventSourceFactory = hub->factory();
        deps.loginItemService = login;
        deps.startTask = [this](std::function<void()> body) {
            std::lock_guard guard(tasksMutex);
            if (threadsLeft == 0) {
                throw std::system_error(EAGAIN, std::generic_category());
            }
            threadsLeft -= threadsLeft > 0 ? 1 : 0;
            TaskHandle handle = startDetachedTask(std::move(body));
            tasks.push_back(handle);
            return handle;
        };
        manager = DiskManager::create(std::move(deps));
    }
    void settle() {
        ASSERT_TRUE(queue.runUntil([&] { return !manager->isLoading(); }));
    }
    void settleOperations() {
        ASSERT_TRUE(queue.runUntil([&] { return manager->busyDiskIDs().empty(); }));
    }
    void scanOnce(std::vector<ESPVolume> volumes) {
        work->script(std::move(volumes));
        manager->refresh();
        settle();
    }
    // Moves virtual time to `t` seconds after the start, running what is due;
    // the tolerance absorbs rounding in sums like 1002.2 + 0.45.
    void at(double t) {
        queue.advance(kStart + t + 1e-7 - clock.uptime().count());
        clock.set(kStart + t);
    }
    double now() const { return clock.uptime().count() - kStart; }
    TaskHandle lastTask() {
        std::lock_guard guard(tasksMutex);
        return tasks.back();
    }

    // Ends the manager and waits for its workers, which post to the queue and
    // so must not outlive it; fresh fakes for the next case.
    void tearDown() {
        manager.reset();
        work->gate(false);
        std::vector<TaskHandle> started;
        {
            std::lock_guard guard(tasksMutex);
            started.swap(tasks);
        }
        for (const TaskHandle& task : started) {
            EXPECT_TRUE(task.waitFinished(10s));
        }
        work = std::make_shared<FakeWork>();
        browser = std::make_shared<platform::fake::FakeFileBrowser>();
        notifications.clear();
        threadsLeft = -1;
        clock.set(kStart);
    }
};

} // namespace managertest
