#include "manager/DiskManager.h"
#include "platform/fake/FakeDiskEventSource.h"
#include "platform/fake/FakeFileBrowser.h"
#include "platform/fake/FakeLoginItemService.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <variant>

using namespace tesselwick;
using discovery::ESPVolume;
using manager::DiskEvent;
using manager::DiskManager;
using services::LoginItemStatus;
using Field = DiskManager::Field;

namespace {

constexpr double kStart = 1000.0;
constexpr double kTolerance = 1e-6;

ESPVolume volume(const std::string& id) {
    ESPVolume v;
    v.id = id;
    v.diskIdentifier = id;
    v.parentIdentifier = id.substr(0, id.rfind('s'));
    v.filesystem = "FAT32";
    return v;
}

// The scan entry, scripted per call. A gated scan blocks until released, as a
// slow `diskutil` would, and returns its result whether or not it was cancelled.
class FakeScan {
public:
    struct Failure {
        std::string message;
    };
    struct Cancelled {};
    using Outcome = std::variant<std::vector<ESPVolume>, Failure, Cancelled>;

    void script(Outcome outcome) {
        std::lock_guard guard(mutex_);
        outcomes_.push_back(std::move(outcome));
    }
    void gate() {
        std::lock_guard guard(mutex_);
        gated_ = true;
    }
    void release() {
        {
            std::lock_guard guard(mutex_);
            gated_ = false;
        }
        changed_.notify_all();
    }
    // Lets exactly one gated call through.
    void releaseOne() {
        {
            std::lock_guard guard(mutex_);
            ++passes_;
        }
        changed_.notify_all();
    }
    bool waitUntilRunning(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return calls_ >= count; });
    }
    int calls() {
        std::lock_guard guard(mutex_);
        return calls_;
    }
    std::vector<double> startedAt() {
        std::lock_guard guard(mutex_);
        return startedAt_;
    }

    std::vector<ESPVolume> operator()(double now) {
        Outcome outcome = std::vector<ESPVolume>{};
        {
            std::unique_lock lock(mutex_);
            ++calls_;
            startedAt_.push_back(now);
            changed_.notify_all();
            changed_.wait(lock, [&] { return !gated_ || passes_ > 0; });
            if (gated_) {
                --passes_;
            }
            if (!outcomes_.empty()) {
                outcome = std::move(outcomes_.front());
                outcomes_.pop_front();
            }
        }
        if (auto* failure = std::get_if<Failure>(&outcome)) {
            throw commandError(1, failure->message);
        }
        if (std::holds_alternative<Cancelled>(outcome)) {
            throw CancellationError();
        }
        return std::get<std::vector<ESPVolume>>(outcome);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Outcome> outcomes_;
    bool gated_ = false;
    int passes_ = 0;
    int calls_ = 0;
    std::vector<double> startedAt_;
};

struct Counters {
    std::atomic<int> expiries{0};
    std::atomic<int> imageMapInvalidations{0};
    std::atomic<int> diskInfoInvalidations{0};
    std::atomic<bool> probeResult{false};
    std::mutex helperLock;
    std::optional<bool> cachedHelper; // under helperLock
    // Disk-info invalidations seen by each scan when it started.
    std::vector<int> invalidationsAtScan;
};

// The worker side of operations and the helper installation, scripted: each
// call blocks while gated, then fails with the scripted message or succeeds.
struct FakeOperations {
    std::mutex lock;
    std::condition_variable changed;
    bool gated = false;
    std::vector<std::string> calls;
    std::optional<std::string> failure;
    std::optional<std::string> mountPoint = "/Volumes/EFI";

    void run(const std::string& call) {
        const auto wake = task::onCancel([this] {
            { std::lock_guard guard(lock); }
            changed.notify_all();
        });
        std::unique_lock guard(lock);
        calls.push_back(call);
        changed.notify_all();
        changed.wait(guard, [&] { return !gated || task::isCancelled(); });
        if (task::isCancelled()) {
            throw CancellationError();
        }
        if (failure) {
            throw commandError(1, *failure);
        }
    }
    ESPVolume reread(const ESPVolume& v, bool mounted) {
        std::lock_guard guard(lock);
        ESPVolume out = v;
        out.mountPoint = mounted ? mountPoint : std::nullopt;
        return out;
    }
    bool waitForCalls(std::size_t n) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] { return calls.size() >= n; });
    }
    void release() {
        {
            std::lock_guard guard(lock);
            gated = false;
        }
        changed.notify_all();
    }
};

struct ManagerFixture : ::testing::Test {
    ManualClock clock{kStart};
    ManualMainQueue queue{clock};
    std::shared_ptr<platform::fake::FakeDiskEventHub> hub =
        std::make_shared<platform::fake::FakeDiskEventHub>();
    std::shared_ptr<FakeScan> scan = std::make_shared<FakeScan>();
    std::shared_ptr<platform::fake::FakeLoginItemService> login =
        std::make_shared<platform::fake::FakeLoginItemService>();
    std::shared_ptr<Counters> counters = std::make_shared<Counters>();
    std::shared_ptr<FakeOperations> operations = std::make_shared<FakeOperations>();
    std::shared_ptr<platform::fake::FakeFileBrowser> browser =
        std::make_shared<platform::fake::FakeFileBrowser>();
    std::vector<std::string> notifications;
    std::mutex tasksMutex;
    std::vector<TaskHandle> tasks;
    std::shared_ptr<DiskManager> manager;
    std::vector<Field> changes;

    void create() {
        manager::DiskManagerDependencies deps;
        deps.mainQueue = &queue;
        deps.clock = &clock;
        deps.loadESPVolumes = [scan = scan, clock = &clock] { return (*scan)(clock->uptime()); };
        deps.invalidateExpiredDiskInfo = [c = counters] { ++c->expiries; };
        deps.invalidateDiskImageMap = [c = counters] { ++c->imageMapInvalidations; };
        deps.invalidateDiskInfo = [c = counters] { ++c->diskInfoInvalidations; };
        deps.cachedHelperStatus = [c = counters] {
            std::lock_guard guard(c->helperLock);
            return c->cachedHelper;
        };
        deps.runEFICommand = [ops = operations](const std::string& command,
                                                const std::string& disk) {
            ops->run(command + " " + disk);
        };
        deps.refreshedOperationVolume = [ops = operations](const ESPVolume& v, bool mounted) {
            return ops->reread(v, mounted);
        };
        deps.installHelper = [ops = operations] { ops->run("install"); };
        deps.fileBrowser = browser;
        deps.notify = [this](const std::string& title, const std::string& body) {
            notifications.push_back(title + " | " + body);
        };
        deps.helperIsInstalled = [c = counters] { return c->probeResult.load(); };
        deps.diskEventSourceFactory = hub->factory();
        deps.loginItemService = login;
        deps.startTask = [this](std::function<void()> body) {
            TaskHandle handle = startDetachedTask(std::move(body));
            std::lock_guard guard(tasksMutex);
            tasks.push_back(handle);
            return handle;
        };
        manager = DiskManager::create(std::move(deps));
        manager->addObserver([this](Field field) { changes.push_back(field); });
    }

    // Runs main-thread work until the running scan's outcome has been applied.
    void settle() {
        ASSERT_TRUE(queue.runUntil([&] { return !manager->isLoading(); }));
    }
    // Moves virtual time to `t` seconds after the start, running what is due
    // by then; the tolerance absorbs rounding in sums like 1002.2 + 0.45.
    void at(double t) {
        queue.advance(kStart + t + 1e-7 - clock.uptime());
        clock.set(kStart + t);
    }
    int count(Field field) const {
        return static_cast<int>(std::count(changes.begin(), changes.end(), field));
    }

    void TearDown() override {
        manager.reset();
        scan->release();
        operations->release();
        std::vector<TaskHandle> started;
        {
            std::lock_guard guard(tasksMutex);
            started = tasks;
        }
        // Workers post to the queue; it must outlive them.
        for (const TaskHandle& task : started) {
            EXPECT_TRUE(task.waitFinished(10.0));
        }
    }
};

} // namespace

TEST_F(ManagerFixture, InitialStateReadsCachesAndLoginItem) {
    struct Case {
        std::optional<bool> cached;
        LoginItemStatus status;
        bool helperInstalled;
        bool launchAtLogin;
    };
    const Case cases[] = {
        {std::nullopt, LoginItemStatus::notRegistered, false, false}, // nothing cached yet
        {true, LoginItemStatus::enabled, true, true},
        {false, LoginItemStatus::requiresApproval, false,
         true}, // waiting for approval counts as on
        {true, LoginItemStatus::notFound, true, false},
    };
    for (const Case& c : cases) {
        counters->cachedHelper = c.cached;
        login->currentStatus = c.status;
        create();
        EXPECT_EQ(manager->helperInstalled(), c.helperInstalled);
        EXPECT_EQ(manager->launchAtLoginEnabled(), c.launchAtLogin);
        EXPECT_FALSE(manager->isLoading());
        EXPECT_EQ(scan->calls(), 0);
    }
}

TEST_F(ManagerFixture, StartTwiceStartsOneWatcherAndOneScan) {
    scan->script(std::vector<ESPVolume>{volume("disk0s1")});
    create();
    manager->start();
    EXPECT_TRUE(manager->isLoading());
    EXPECT_EQ(manager->refreshGeneration(), 1u);
    manager->start(); // the popover appearing
    EXPECT_EQ(hub->createdCount(), 1);
    settle();
    EXPECT_EQ(scan->calls(), 1);
    EXPECT_EQ(manager->volumes().size(), 1u);
    EXPECT_TRUE(manager->hasCompletedInitialScan());
    EXPECT_NE(manager->diskWatcher(), nullptr);
}

TEST_F(ManagerFixture, RefreshWhileLoadingQueuesOneMoreScan) {
    create();
    scan->gate();
    manager->refresh();
    ASSERT_TRUE(scan->waitUntilRunning(1));
    manager->refresh();
    manager->refresh();
    EXPECT_TRUE(manager->refreshQueued());
    EXPECT_EQ(manager->refreshGeneration(), 1u);
    // The first result's application launches the queued scan at once; the
    // second scan is held so it cannot finish before we look.
    scan->releaseOne();
    ASSERT_TRUE(queue.runUntil([&] { return manager->refreshGeneration() == 2; }));
    EXPECT_TRUE(manager->isLoading());
    EXPECT_FALSE(manager->refreshQueued());
    scan->release();
    settle();
    EXPECT_EQ(scan->calls(), 2);
    EXPECT_EQ(manager->refreshGeneration(), 2u);
}

TEST_F(ManagerFixture, RefreshWhilePrivilegedWorkIsActiveOnlyQueues) {
    struct Case {
        bool loading; // a scan already running when the disk is busy
    };
    for (Case c : {Case{false}, Case{true}}) {
        create();
        if (c.loading) {
            scan->gate();
            manager->refresh();
        }
        ASSERT_TRUE(scan->waitUntilRunning(c.loading ? 1 : 0));
        manager->insertBusyDisk("disk2s1");
        changes.clear();
        manager->refresh();
        EXPECT_TRUE(manager->refreshQueued());
        EXPECT_EQ(manager->isLoading(), c.loading);
        EXPECT_EQ(count(Field::isLoading), 0);
        EXPECT_EQ(manager->refreshGeneration(), c.loading ? 1u : 0u);
        // Expired disk information is dropped even by a refused request.
        EXPECT_GE(counters->expiries.load(), 1);
        scan->release();
        if (c.loading) {
            settle();
            // The queued request waits for the operation, not for the scan.
            EXPECT_TRUE(manager->refreshQueued());
            EXPECT_EQ(manager->refreshGeneration(), 1u);
        }
        EXPECT_EQ(scan->calls(), c.loading ? 1 : 0);
        TearDown();
        tasks.clear();
    }
}

TEST_F(ManagerFixture, WatcherSignalsCoalesceIntoOneScanWithEmptyCaches) {
    create();
    manager->start();
    settle();
    ASSERT_EQ(scan->calls(), 1);
    const int invalidationsBefore = counters->diskInfoInvalidations;
    // Three watcher signals 0.1 s apart.
    at(2.0);
    manager->scheduleAutoRefresh();
    at(2.1);
    manager->scheduleAutoRefresh();
    at(2.2);
    manager->scheduleAutoRefresh();
    at(2.649);
    EXPECT_EQ(scan->calls(), 1); // not yet at 449 ms after the third
    EXPECT_FALSE(manager->isLoading());
    scan->gate();
    at(2.65);
    EXPECT_TRUE(manager->isLoading());
    ASSERT_TRUE(scan->waitUntilRunning(2));
    scan->release();
    EXPECT_NEAR(scan->startedAt()[1] - kStart, 2.65, kTolerance);
    EXPECT_EQ(counters->diskInfoInvalidations - invalidationsBefore, 1);
    EXPECT_EQ(counters->imageMapInvalidations, 1);
    settle();
    at(10.0);
    EXPECT_EQ(scan->calls(), 2);
}

TEST_F(ManagerFixture, PlatformEventBurstEndsInOneScanAfterPointSevenSeconds) {
    create();
    manager->start();
    settle();
    at(3.0);
    for (int i = 0; i < 4; ++i) {
        at(3.0 + 0.1 * i);
        hub->emit(DiskEvent::volumeMounted);
        queue.runPending();
    }
    at(3.999);
    EXPECT_EQ(scan->calls(), 1);
    at(4.0); // 0.25 s in the watcher, 0.45 s in the manager, after the last event at 3.3
    ASSERT_TRUE(scan->waitUntilRunning(2));
    EXPECT_NEAR(scan->startedAt()[1] - kStart, 4.0, kTolerance);
    settle();
    at(10.0);
    EXPECT_EQ(scan->calls(), 2);
}

TEST_F(ManagerFixture, ScanCancelledForDiskOperationIsDropped) {
    struct Case {
        bool scanHonoursCancellation; // the scan stops with a cancellation, or returns late
    };
    for (Case c : {Case{false}, Case{true}}) {
        create();
        manager->setVolumes({volume("disk0s1")});
        manager->setLastError(std::string("old"));
        scan->gate();
        if (c.scanHonoursCancellation) {
            scan->script(FakeScan::Cancelled{});
        } else {
            scan->script(std::vector<ESPVolume>{volume("disk9s1")});
        }
        manager->refresh();
        manager->refresh(); // a request that arrived during the scan
        ASSERT_TRUE(scan->waitUntilRunning(1));
        const TaskHandle running = manager->refreshTask();
        changes.clear();
        manager->cancelActiveRefreshForDiskOperation();
        EXPECT_FALSE(manager->isLoading());
        EXPECT_TRUE(running.isCancelled());
        EXPECT_FALSE(manager->refreshTask());
        EXPECT_TRUE(manager->refreshQueued()); // still runs after the operation
        manager->insertBusyDisk("disk0s1");
        scan->release();
        ASSERT_TRUE(running.waitFinished(10.0));
        queue.runPending();
        EXPECT_EQ(manager->volumes(), std::vector<ESPVolume>{volume("disk0s1")});
        EXPECT_EQ(count(Field::volumes), 0);
        EXPECT_FALSE(manager->lastError().has_value()); // cleared at launch, never set after
        EXPECT_FALSE(manager->isLoading());
        EXPECT_EQ(manager->refreshGeneration(), 2u);
        TearDown();
        tasks.clear();
        scan = std::make_shared<FakeScan>();
    }
}

TEST_F(ManagerFixture, UnchangedResultPublishesNoVolumesChange) {
    scan->script(std::vector<ESPVolume>{volume("disk0s1"), volume("disk2s1")});
    scan->script(std::vector<ESPVolume>{volume("disk0s1"), volume("disk2s1")});
    create();
    manager->refresh();
    settle();
    EXPECT_EQ(count(Field::volumes), 1);
    changes.clear();
    manager->refresh();
    EXPECT_EQ(changes, std::vector<Field>{Field::isLoading});
    settle();
    // Observers only hear about loading ending.
    EXPECT_EQ(changes, (std::vector<Field>{Field::isLoading, Field::isLoading}));
    EXPECT_EQ(manager->volumes().size(), 2u);
}

TEST_F(ManagerFixture, FailedFirstScanKeepsInitialStateAndShowsError) {
    scan->script(FakeScan::Failure{"Unable to run diskutil."});
    counters->probeResult = true;
    create();
    manager->refresh();
    settle();
    EXPECT_FALSE(manager->hasCompletedInitialScan());
    EXPECT_TRUE(manager->volumes().empty());
    EXPECT_EQ(manager->lastError(), std::optional<std::string>("Unable to run diskutil."));
    EXPECT_TRUE(manager->helperInstalled()); // the concurrent status still arrives
    EXPECT_FALSE(manager->refreshTask());
    // The next launch clears the message; a success does not bring it back.
    manager->refresh();
    EXPECT_FALSE(manager->lastError().has_value());
    settle();
    EXPECT_TRUE(manager->hasCompletedInitialScan());
}

TEST_F(ManagerFixture, TeardownCancelsEverythingAndNothingFiresAfterwards) {
    create();
    manager->start();
    settle();
    scan->gate();
    manager->refresh();
    ASSERT_TRUE(scan->waitUntilRunning(2));
    const TaskHandle running = manager->refreshTask();
    manager->scheduleAutoRefresh();
    // What the operations and the helper installation would own.
    const TaskHandle operation = TaskHandle::makeUnstarted();
    const TaskHandle helper = TaskHandle::makeUnstarted();
    manager->operationTasks()["disk2s1"] = operation;
    manager->helperTask() = helper;
    bool revealed = false;
    manager->pendingRevealTasks()["disk2s1"] =
        queue.postAfter(0.18, [&revealed] { revealed = true; });
    manager->revealTokens()["disk2s1"] = 1;
    int observed = 0;
    manager->addObserver([&](Field) { ++observed; });

    manager.reset();
    EXPECT_TRUE(running.isCancelled());
    EXPECT_TRUE(operation.isCancelled());
    EXPECT_TRUE(helper.isCancelled());
    EXPECT_EQ(hub->liveCount(), 0); // the watcher let go of the platform
    scan->release();
    ASSERT_TRUE(running.waitFinished(10.0));
    hub->emit(DiskEvent::diskDisappeared);
    at(20.0);
    EXPECT_FALSE(revealed);
    EXPECT_EQ(scan->calls(), 2);
    EXPECT_EQ(observed, 0);
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST_F(ManagerFixture, LoginItemChanges) {
    struct Case {
        const char* name;
        LoginItemStatus status;
        bool enable;
        LoginItemStatus statusAfterRegister;
        std::optional<std::string> unregisterError;
        int registers, unregisters;
        bool published;
        std::optional<std::string> error;
    };
    const std::string approval = services::kLoginItemApprovalMessage;
    const Case cases[] = {
        {"already enabled", LoginItemStatus::enabled, true, LoginItemStatus::enabled, std::nullopt,
         0, 0, true, std::nullopt},
        {"already waiting", LoginItemStatus::requiresApproval, true, LoginItemStatus::enabled,
         std::nullopt, 0, 0, true, std::nullopt},
        {"disable not found", LoginItemStatus::notFound, false, LoginItemStatus::enabled,
         std::nullopt, 0, 1, false, std::nullopt},
        {"enable needs approval", LoginItemStatus::notRegistered, true,
         LoginItemStatus::requiresApproval, std::nullopt, 1, 0, true, approval},
        {"unregister fails", LoginItemStatus::enabled, false, LoginItemStatus::enabled,
         std::string("Operation not permitted"), 0, 1, true,
         std::string("Operation not permitted")},
    };
    for (const Case& c : cases) {
        login = std::make_shared<platform::fake::FakeLoginItemService>();
        login->currentStatus = c.status;
        login->statusAfterRegister = c.statusAfterRegister;
        login->unregisterError = c.unregisterError;
        create();
        manager->setLastError(std::string("an earlier failure"));
        manager->setLaunchAtLoginEnabled(c.enable);
        EXPECT_EQ(login->registerCalls, c.registers) << c.name;
        EXPECT_EQ(login->unregisterCalls, c.unregisters) << c.name;
        EXPECT_EQ(manager->launchAtLoginEnabled(), c.published) << c.name;
        EXPECT_EQ(manager->lastError(), c.error) << c.name;
    }
}

// Mount, unmount, reveal and open.

namespace {

ESPVolume mounted(const std::string& id, const std::string& mountPoint) {
    ESPVolume v = volume(id);
    v.mountPoint = mountPoint;
    return v;
}

} // namespace

TEST_F(ManagerFixture, ToggleIsRefusedWhilePrivilegedWorkRuns) {
    struct Case {
        const char* name;
        std::function<void(DiskManager&)> block;
    };
    const Case cases[] = {
        {"disk busy", [](DiskManager& m) { m.insertBusyDisk("disk2s1"); }},
        {"helper task", [](DiskManager& m) { m.helperTask() = TaskHandle::makeUnstarted(); }},
        {"helper busy", [](DiskManager& m) { m.setHelperBusy(true); }},
    };
    for (const Case& c : cases) {
        create();
        c.block(*manager);
        manager->setLastError(std::string("old"));
        manager->toggle(volume("disk2s1"));
        // Only the old message goes; nothing starts.
        EXPECT_FALSE(manager->lastError()) << c.name;
        EXPECT_TRUE(manager->operationTasks().empty()) << c.name;
        EXPECT_EQ(queue.pendingCount(), 0u) << c.name;
        manager->helperTask() = {};
        TearDown();
    }
    EXPECT_TRUE(operations->calls.empty());
}

TEST_F(ManagerFixture, MountPublishesNotifiesRevealsAndRefreshesAtTheirInstants) {
    scan->script(std::vector<ESPVolume>{volume("disk2s1"), volume("disk3s1")});
    create();
    manager->refresh();
    settle();
    browser->directories = {"/Volumes/EFI"};
    // A scan whose result is already on its way to the main queue when the
    // mount starts: it must not overwrite what the mount publishes.
    scan->script(std::vector<ESPVolume>{volume("disk9s1")});
    manager->refresh();
    const TaskHandle scanTask = manager->refreshTask();
    ASSERT_TRUE(scanTask.waitFinished(10.0));

    manager->toggle(volume("disk2s1"));
    EXPECT_FALSE(manager->isLoading());
    EXPECT_EQ(manager->busyDiskIDs(), std::set<std::string>{"disk2s1"});
    ASSERT_TRUE(queue.runUntil([&] { return manager->busyDiskIDs().empty(); }));
    const double done = clock.uptime();

    EXPECT_EQ(operations->calls, std::vector<std::string>{"mount disk2s1"});
    EXPECT_EQ(manager->volumes(),
              (std::vector<ESPVolume>{mounted("disk2s1", "/Volumes/EFI"), volume("disk3s1")}));
    EXPECT_EQ(notifications, std::vector<std::string>{"EFI mounted |  • disk2s1"});
    EXPECT_TRUE(manager->operationTasks().empty());
    at(done - kStart + 0.179);
    EXPECT_TRUE(browser->opened().empty());
    at(done - kStart + 0.18);
    EXPECT_EQ(browser->opened(), std::vector<std::string>{"/Volumes/EFI"});
    at(done - kStart + 0.899);
    EXPECT_FALSE(manager->isLoading());
    at(done - kStart + 0.9);
    EXPECT_TRUE(manager->isLoading()); // the silent refresh
}

TEST_F(ManagerFixture, OperationOutcomes) {
    struct Case {
        const char* name;
        ESPVolume requested;
        std::optional<std::string> failure;
        std::optional<std::string> mountPointAfter;
        std::optional<std::string> error;
        std::vector<std::string> notifications;
        double refreshAfter;
    };
    const Case cases[] = {
        {"unmount",
         mounted("disk2s1", "/Volumes/EFI"),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {"EFI unmounted |  • disk2s1"},
         0.9},
        // Mounted, but the system never showed where: nothing to announce.
        {"mount without mount point",
         volume("disk2s1"),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         0.9},
        {"failure",
         volume("disk2s1"),
         "Unable to mount EFI partition disk2s1.",
         std::nullopt,
         "Unable to mount EFI partition disk2s1.",
         {},
         0.4},
    };
    for (const Case& c : cases) {
        operations->failure = c.failure;
        operations->mountPoint = c.mountPointAfter;
        notifications.clear();
        create();
        manager->setVolumes({c.requested});
        manager->toggle(c.requested);
        ASSERT_TRUE(queue.runUntil([&] { return manager->busyDiskIDs().empty(); })) << c.name;
        const double done = clock.uptime() - kStart;
        EXPECT_EQ(manager->lastError(), c.error) << c.name;
        EXPECT_EQ(notifications, c.notifications) << c.name;
        EXPECT_FALSE(manager->volumes().front().mountPoint) << c.name;
        at(done + c.refreshAfter - 0.001);
        EXPECT_FALSE(manager->isLoading()) << c.name;
        at(done + c.refreshAfter);
        EXPECT_TRUE(manager->isLoading()) << c.name;
        EXPECT_TRUE(browser->opened().empty()) << c.name;
        TearDown();
    }
}

TEST_F(ManagerFixture, CancelledOperationShowsNothingAndRunsTheQueuedRefresh) {
    create();
    operations->gated = true;
    manager->toggle(volume("disk2s1"));
    ASSERT_TRUE(operations->waitForCalls(1));
    manager->refresh(); // queued behind the operation
    EXPECT_TRUE(manager->refreshQueued());
    const TaskHandle running = manager->operationTasks().at("disk2s1");
    running.cancel();
    ASSERT_TRUE(queue.runUntil([&] { return manager->busyDiskIDs().empty(); }));
    EXPECT_FALSE(manager->lastError());
    EXPECT_TRUE(notifications.empty());
    EXPECT_TRUE(manager->isLoading()); // the queued refresh ran at once
    EXPECT_FALSE(manager->refreshQueued());
}

TEST_F(ManagerFixture, RevealOpensOnlyTheLatestAndOnlyIfStillThere) {
    struct Case {
        const char* name;
        std::function<void(DiskManager&)> meanwhile;
        std::vector<std::string> opened;
    };
    const Case cases[] = {
        {"second reveal replaces the first",
         [](DiskManager& m) { m.scheduleMountedVolumeReveal(mounted("disk2s1", "/Volumes/EFI")); },
         {"/Volumes/EFI"}},
        {"unmounted meanwhile",
         [](DiskManager& m) { m.updateSingleVolume("disk2s1", {volume("disk2s1")}); },
         {}},
        {"mounted elsewhere meanwhile",
         [](DiskManager& m) {
             m.updateSingleVolume("disk2s1", {mounted("disk2s1", "/Volumes/EFI 1")});
         },
         {}},
        {"a new request for the disk", [](DiskManager& m) { m.insertBusyDisk("disk9s1"); }, {}},
    };
    for (const Case& c : cases) {
        create();
        browser->directories = {"/Volumes/EFI", "/Volumes/EFI 1"};
        manager->setVolumes({mounted("disk2s1", "/Volumes/EFI")});
        manager->scheduleMountedVolumeReveal(mounted("disk2s1", "/Volumes/EFI"));
        at(0.1);
        c.meanwhile(*manager);
        if (std::string(c.name) == "a new request for the disk") {
            manager->toggle(mounted("disk2s1", "/Volumes/EFI")); // cancels the reveal
        }
        at(1.0);
        EXPECT_EQ(browser->opened(), c.opened) << c.name;
        EXPECT_TRUE(manager->pendingRevealTasks().empty()) << c.name;
        TearDown();
        browser = std::make_shared<platform::fake::FakeFileBrowser>();
        clock.set(kStart);
    }
}

TEST_F(ManagerFixture, UpdateSingleVolume) {
    create();
    ESPVolume renamed = volume("disk2s1");
    renamed.partitionName = "BOOT";
    struct Case {
        const char* name;
        std::string disk;
        std::vector<ESPVolume> fresh;
        std::vector<std::string> ids;
        int published;
    };
    const Case cases[] = {
        {"equal: nothing published", "disk2s1", {volume("disk2s1")}, {"disk0s1", "disk2s1"}, 0},
        {"changed in place", "disk2s1", {renamed}, {"disk0s1", "disk2s1"}, 1},
        {"empty list removes", "disk2s1", {}, {"disk0s1"}, 1},
        {"new one sorted in", "disk1s1", {volume("disk1s1")}, {"disk0s1", "disk1s1", "disk2s1"}, 1},
    };
    for (const Case& c : cases) {
        manager->setVolumes({volume("disk0s1"), volume("disk2s1")});
        changes.clear();
        manager->updateSingleVolume(c.disk, c.fresh);
        std::vector<std::string> ids;
        for (const ESPVolume& v : manager->volumes()) {
            ids.push_back(v.id);
        }
        EXPECT_EQ(ids, c.ids) << c.name;
        EXPECT_EQ(count(Field::volumes), c.published) << c.name;
    }
}

TEST_F(ManagerFixture, OpenMountedReportsWhyItCouldNot) {
    struct Case {
        std::optional<std::string> mountPoint;
        std::optional<std::string> browserError;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {std::nullopt, {}, "The EFI partition does not currently have a valid mount path."},
        {"/", {}, "The EFI partition does not currently have a valid mount path."},
        {"Volumes/EFI", {}, "The EFI partition does not currently have a valid mount path."},
        {"/Volumes/Gone", {}, "The mounted EFI path is no longer available: /Volumes/Gone"},
        {"/Volumes/EFI", "No file manager.",
         "Finder could not open the mounted EFI path: /Volumes/EFI. No file manager."},
        {"/Volumes/EFI", {}, std::nullopt},
    };
    create();
    browser->directories = {"/Volumes/EFI", "/", "Volumes/EFI"};
    for (const Case& c : cases) {
        browser->openError = c.browserError;
        ESPVolume v = volume("disk2s1");
        v.mountPoint = c.mountPoint;
        manager->setLastError(std::nullopt);
        manager->openMounted(v, true);
        queue.runPending();
        EXPECT_EQ(manager->lastError(), c.error) << c.mountPoint.value_or("none");
        // The reveal's silent variant never shows a message.
        manager->setLastError(std::nullopt);
        manager->openMounted(v, false);
        queue.runPending();
        EXPECT_FALSE(manager->lastError());
    }
}

TEST_F(ManagerFixture, HelperInstallation) {
    // Refused while a scan loads: nothing changes.
    create();
    scan->gate();
    manager->refresh();
    manager->installHelper();
    EXPECT_FALSE(manager->helperBusy());
    EXPECT_FALSE(manager->helperTask());
    scan->release();
    settle();

    // A failure shows the message, even when a refresh requested meanwhile
    // runs at once.
    operations->gated = true;
    operations->failure = "0:1: execution error: User canceled. (-128)";
    manager->installHelper();
    EXPECT_TRUE(manager->helperBusy());
    manager->refresh();
    EXPECT_TRUE(manager->refreshQueued());
    EXPECT_FALSE(manager->isLoading());
    operations->release();
    ASSERT_TRUE(queue.runUntil([&] { return !manager->helperBusy(); }));
    EXPECT_EQ(manager->lastError(),
              std::optional<std::string>("0:1: execution error: User canceled. (-128)"));
    EXPECT_TRUE(manager->isLoading());
    settle();

    // Success: announced, and the list is refreshed.
    operations->failure.reset();
    counters->probeResult = true;
    {
        std::lock_guard guard(counters->helperLock);
        counters->cachedHelper = true; // what the installation stores
    }
    manager->installHelper();
    ASSERT_TRUE(queue.runUntil([&] { return !manager->helperBusy(); }));
    EXPECT_TRUE(manager->helperInstalled());
    EXPECT_EQ(notifications, std::vector<std::string>{
                                 "Helper ready | Passwordless EFI mount/unmount is available."});
    EXPECT_TRUE(manager->isLoading());
    settle();

    // Cancelled (the prompt never answers and the manager's task is cancelled).
    operations->gated = true;
    manager->installHelper();
    ASSERT_TRUE(operations->waitForCalls(3));
    manager->refresh();
    manager->helperTask().cancel();
    ASSERT_TRUE(queue.runUntil([&] { return !manager->helperBusy(); }));
    EXPECT_FALSE(manager->helperTask());
    EXPECT_FALSE(manager->lastError());
    EXPECT_TRUE(manager->isLoading()); // the queued refresh
}

TEST_F(ManagerFixture, SilentRefreshReplacesTheEarlierOneAndTakesNoNegativeDelay) {
    create();
    manager->scheduleSilentRefresh(0.9);
    at(0.5);
    manager->scheduleSilentRefresh(-3.0); // due at once; the 0.9 s one is void
    queue.runPending();
    EXPECT_TRUE(manager->isLoading());
    settle();
    at(2.0);
    EXPECT_FALSE(manager->isLoading());
    EXPECT_EQ(manager->refreshGeneration(), 1u);
}
