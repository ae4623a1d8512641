#include "manager/ManagerHarness.h"

#include <algorithm>
#include <thread>

using namespace managertest;
using services::DiskEvent;
using services::LoginItemStatus;

namespace {

struct ManagerFixture : ::testing::Test, ManagerHarness {
    void TearDown() override { tearDown(); }
};

} // namespace

TEST_F(ManagerFixture, InitialStateAndLoginItemChanges) {
    using enum LoginItemStatus;
    const std::string approval = services::kLoginItemApprovalMessage;
    const std::string denied = "Operation not permitted";
    struct Case {
        LoginItemStatus before, afterRegister;
        bool enable, shownBefore, shownAfter;
        std::optional<std::string> unregisterError, error;
    } cases[] = {
        // waiting for approval counts as on, and was explained when registered
        {requiresApproval, enabled, true, true, true, {}, {}},
        {notRegistered, requiresApproval, true, false, true, {}, approval}, // registered now
        {enabled, enabled, false, true, true, denied, denied}, // the error, and the real state
    };
    for (const Case& c : cases) {
        login = std::make_shared<platform::fake::FakeLoginItemService>();
        login->currentStatus = c.before;
        login->statusAfterRegister = c.afterRegister;
        login->unregisterError = c.unregisterError;
        cachedHelper = c.enable; // the status cache's answer is shown at once
        create();
        EXPECT_EQ(manager->helperInstalled(), c.enable);
        EXPECT_EQ(manager->launchAtLoginEnabled(), c.shownBefore);
        EXPECT_EQ(work->scanCount(), 0);               // nothing scans before start()
        manager->openMounted(volume("disk2s1"), true); // an earlier message
        manager->setLaunchAtLoginEnabled(c.enable);
        EXPECT_EQ(manager->launchAtLoginEnabled(), c.shownAfter);
        EXPECT_EQ(manager->lastError(), c.error);
        tearDown();
    }
}

TEST_F(ManagerFixture, DiskEventsCoalesceIntoOneScanWithEmptiedCaches) {
    using enum DiskEvent;
    struct Case {
        std::vector<std::pair<double, DiskEvent>> events; // seconds after start()
        std::optional<double> scanAt; // the one scan they cause, not a millisecond earlier
    } cases[] = {
        // 0.25 s in the watcher, then 0.45 s in the manager, after the last event
        {{{3.0, volumeMounted}, {3.1, volumeUnmounted}, {3.3, volumeRenamed}}, 4.0},
        // disks already attached report themselves within the first 0.1 s: ignored
        {{{0.0, diskAppeared}, {0.05, diskAppeared}, {0.099, diskAppeared}}, std::nullopt},
        // late appearances inside the window count once, at its end (0.7)
        {{{0.3, diskAppeared}, {0.5, diskAppeared}}, 1.4},
        // a disappearance is never held back
        {{{0.2, diskDisappeared}}, 0.9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.events.back().first);
        create();
        manager->start();
        settle();
        const int dropsBefore = *cacheDrops;
        work->gate(true); // the next scan stays visible as loading
        for (const auto& [t, event] : c.events) {
            at(t);
            hub->emit(event);
            queue.runPending();
        }
        if (c.scanAt) {
            at(*c.scanAt - 0.001);
            EXPECT_FALSE(manager->isLoading());
            at(*c.scanAt);
            EXPECT_TRUE(manager->isLoading());
            EXPECT_EQ(*cacheDrops - dropsBefore, 1);
        }
        work->gate(false);
        at(c.events.back().first + 10);
        if (c.scanAt) {
            EXPECT_TRUE(work->waitFor(2));
        } else {
            EXPECT_EQ(work->scanCount(), 1);
        }
        tearDown();
    }
}

TEST_F(ManagerFixture, FailedFirstScanKeepsInitialStateAndShowsError) {
    work->script(FakeWork::Failure{"Unable to run diskutil."});
    *helperProbe = true;
    create();
    manager->refresh();
    settle();
    EXPECT_FALSE(manager->hasCompletedInitialScan());
    EXPECT_TRUE(manager->volumes().empty());
    EXPECT_EQ(manager->lastError(), std::optional<std::string>("Unable to run diskutil."));
    EXPECT_TRUE(manager->helperInstalled()); // the concurrent status still arrives
    // The next launch clears the message; a success does not bring it back.
    manager->refresh();
    EXPECT_FALSE(manager->lastError());
    settle();
    EXPECT_TRUE(manager->hasCompletedInitialScan());
}

TEST_F(ManagerFixture, ScanResultQueuedBeforeAMountStartsIsDropped) {
    struct Case {
        FakeWork::Outcome late; // what the overtaken scan reports
    };
    const Case cases[] = {
        {std::vector{volume("disk9s1")}},
        {FakeWork::Failure{"Unable to run diskutil."}},
    };
    for (const Case& c : cases) {
        create();
        scanOnce({volume("disk2s1"), volume("disk3s1")});
        const std::vector<ESPVolume> before = manager->volumes();
        work->script(c.late);
        manager->refresh();
        ASSERT_TRUE(queue.waitForPost(10s)); // its result is on the queue
        work->gate(true);
        manager->toggle(volume("disk2s1"));
        ASSERT_TRUE(work->waitFor(0, 1));
        queue.runPending(); // the overtaken result arrives while the mount runs
        EXPECT_EQ(manager->volumes(), before);
        EXPECT_FALSE(manager->lastError());
        EXPECT_FALSE(manager->isLoading());
        EXPECT_EQ(manager->busyDiskIDs(), std::set<std::string>{"disk2s1"});
        work->gate(false);
        settleOperations();
        EXPECT_EQ(manager->volumes(),
                  (std::vector{volume("disk2s1", "/Volumes/EFI"), volume("disk3s1")}));
        EXPECT_FALSE(manager->lastError());
        tearDown();
    }
}

TEST_F(ManagerFixture, ToggleIsRefusedWhilePrivilegedWorkRuns) {
    const std::function<void(DiskManager&)> blocks[] = {
        [](DiskManager& m) { m.installHelper(); },                           // helper installing
        [](DiskManager& m) { m.toggle(volume("disk2s1", "/Volumes/EFI")); }, // the disk busy
    };
    for (const auto& block : blocks) {
        create();
        const std::shared_ptr<FakeWork> calls = work;
        work->gate(true);
        block(*manager);
        manager->openMounted(volume("disk2s1"), true); // an old message
        ASSERT_TRUE(manager->lastError());
        manager->toggle(volume("disk2s1"));
        // Only the old message goes; no mount starts.
        EXPECT_FALSE(manager->lastError());
        work->gate(false);
        tearDown();
        const auto made = calls->operationCalls();
        EXPECT_EQ(std::count(made.begin(), made.end(), "mount disk2s1"), 0);
    }
}

TEST_F(ManagerFixture, OperationOutcomes) {
    struct Case {
        ESPVolume requested;
        std::optional<std::string> failure;
        std::optional<std::string> mountPointAfter;
        std::vector<std::string> notifications;
        std::vector<std::string> opened; // by the reveal, 0.18 s after the end
        double refreshAfter;
    };
    const std::string failed = "Unable to mount EFI partition disk2s1.";
    const Case cases[] = {
        {volume("disk2s1"),
         {},
         "/Volumes/EFI",
         {"EFI mounted | Disk disk2 • disk2s1"},
         {"/Volumes/EFI"},
         0.9},
        {volume("disk2s1", "/Volumes/EFI"),
         {},
         {},
         {"EFI unmounted | Disk disk2 • disk2s1"},
         {},
         0.9},
        // mounted, but the system never showed where: nothing to announce
        {volume("disk2s1"), {}, {}, {}, {}, 0.9},
        {volume("disk2s1"), failed, {}, {}, {}, 0.4},
    };
    for (const Case& c : cases) {
        work->failure = c.failure;
        work->mountPoint = c.mountPointAfter;
        create();
        browser->directories = {"/Volumes/EFI"};
        scanOnce({c.requested, volume("disk3s1")});
        std::vector<std::string> finished;
        manager->addOperationObserver([&](const std::string& disk) { finished.push_back(disk); });
        manager->toggle(c.requested);
        EXPECT_EQ(manager->busyDiskIDs(), std::set<std::string>{"disk2s1"});
        settleOperations();
        const double done = now();
        work->gate(true); // holds the silent refresh's scan where it can be seen
        EXPECT_EQ(manager->lastError(), c.failure);
        EXPECT_EQ(notifications, c.notifications);
        EXPECT_EQ(manager->volumes(),
                  (std::vector{volume("disk2s1", c.mountPointAfter), volume("disk3s1")}));
        at(done + 0.179);
        EXPECT_TRUE(browser->opened().empty());
        EXPECT_EQ(finished.size(), c.opened.empty() ? 1U : 0U); // not before a reveal has run
        at(done + 0.18);
        EXPECT_EQ(browser->opened(), c.opened);
        EXPECT_EQ(finished, std::vector<std::string>{"disk2s1"});
        at(done + c.refreshAfter - 0.001);
        EXPECT_FALSE(manager->isLoading());
        at(done + c.refreshAfter);
        EXPECT_TRUE(manager->isLoading()); // the silent refresh
        tearDown();
    }
}

TEST_F(ManagerFixture, AFailureMessageStaysUntilTheUserActs) {
    const std::string mountFailed = "Unable to mount EFI partition disk2s1.";
    struct Failure {
        std::function<void(ManagerHarness&)> cause;
        std::string message;
    };
    const Failure failures[] = {
        {[&](ManagerHarness& h) { // the silent refresh 0.4 s later must not take it
             h.work->failure = mountFailed;
             h.manager->toggle(volume("disk2s1"));
             h.settleOperations();
         },
         mountFailed},
        {[](ManagerHarness& h) { // with a refresh queued behind it, which runs at once
             h.work->gate(true);
             h.work->failure = "0:1: execution error: User canceled. (-128)";
             h.manager->installHelper();
             h.manager->refresh();
             h.work->gate(false);
             ASSERT_TRUE(h.queue.runUntil([&] { return !h.manager->helperBusy(); }));
             EXPECT_TRUE(h.work->waitFor(2)); // the first scan, then the queued one
         },
         "0:1: execution error: User canceled. (-128)"},
    };
    struct Case {
        std::function<void(DiskManager&)> then;
        bool stays;
    };
    const Case cases[] = {
        {[](DiskManager&) {}, true}, // only the refreshes that follow by themselves
        {[](DiskManager& m) { m.openMounted(volume("disk3s1", "/Volumes/EFI"), false); },
         true}, // a reveal is no request of the user's
        {[](DiskManager& m) { m.dismissError(); }, false},
        {[](DiskManager& m) { m.refresh(); }, false},
        {[](DiskManager& m) { m.toggle(volume("disk3s1")); }, false},
        {[](DiskManager& m) { m.openMounted(volume("disk3s1", "/Volumes/EFI"), true); }, false},
        {[](DiskManager& m) { m.installHelper(); }, false},
    };
    for (const Failure& failure : failures) {
        for (const Case& c : cases) {
            create();
            browser->directories = {"/Volumes/EFI"};
            work->script(std::vector{volume("disk2s1"), volume("disk3s1")});
            manager->start(); // and the disk watcher
            settle();
            failure.cause(*this);
            work->failure.reset();
            browser->openError.reset();
            const int scans = work->scanCount();
            hub->emit(DiskEvent::volumeMounted); // and a refresh for a disk event
            at(now() + 2);
            settle();
            EXPECT_GT(work->scanCount(), scans);
            ASSERT_EQ(manager->lastError(), failure.message);
            c.then(*manager);
            queue.runPending();
            EXPECT_EQ(manager->lastError(),
                      c.stays ? std::optional(failure.message) : std::nullopt);
            tearDown();
        }
    }
}

TEST_F(ManagerFixture, CancelledWorkShowsNothingAndRunsTheQueuedRefresh) {
    const std::function<void(DiskManager&)> starts[] = {
        [](DiskManager& m) { m.toggle(volume("disk2s1")); },
        [](DiskManager& m) { m.installHelper(); }, // a prompt that never answers
    };
    for (const auto& start : starts) {
        create();
        work->gate(true);
        start(*manager);
        ASSERT_TRUE(work->waitFor(0, 1));
        manager->refresh(); // queued behind it
        EXPECT_FALSE(manager->isLoading());
        lastTask().cancel();
        ASSERT_TRUE(queue.runUntil(
            [&] { return manager->busyDiskIDs().empty() && !manager->helperBusy(); }));
        EXPECT_FALSE(manager->lastError());
        EXPECT_TRUE(notifications.empty());
        EXPECT_TRUE(manager->isLoading()); // the queued refresh ran at once
        tearDown();
    }
}

TEST_F(ManagerFixture, RevealOpensOnlyTheLatestAndOnlyIfStillThere) {
    struct Case {
        std::function<void(ManagerHarness&)> meanwhile; // 0.1 s after the mount
        std::vector<std::string> opened;
    };
    const auto rescan = [](std::optional<std::string> mountPoint) {
        return [mountPoint](ManagerHarness& h) { h.scanOnce({volume("disk2s1", mountPoint)}); };
    };
    const Case cases[] = {
        // a second mount's reveal replaces the first: one opening
        {[](ManagerHarness& h) {
             h.manager->performOperation(volume("disk2s1", "/Volumes/EFI"),
                                         discovery::DiskOperation::mount);
             h.settleOperations();
         },
         {"/Volumes/EFI"}},
        {rescan(std::nullopt), {}},     // unmounted meanwhile
        {rescan("/Volumes/EFI 1"), {}}, // mounted elsewhere meanwhile
        // a new request for the disk cancels the reveal
        {[](ManagerHarness& h) {
             h.work->gate(true); // still running when the reveal was due
             h.manager->toggle(volume("disk2s1", "/Volumes/EFI"));
         },
         {}},
    };
    for (const Case& c : cases) {
        create();
        browser->directories = {"/Volumes/EFI", "/Volumes/EFI 1"};
        scanOnce({volume("disk2s1")});
        manager->toggle(volume("disk2s1"));
        settleOperations();
        at(0.1);
        c.meanwhile(*this);
        at(0.5);
        EXPECT_EQ(browser->opened(), c.opened);
        tearDown();
    }
}

TEST_F(ManagerFixture, OpenMountedReportsWhyItCouldNot) {
    const std::string invalid = "The EFI partition does not currently have a valid mount path.";
    struct Case {
        std::optional<std::string> mountPoint;
        std::optional<std::string> browserError;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {std::nullopt, {}, invalid},
        {"/", {}, invalid},
        {"/Volumes/Gone", {}, "The mounted EFI path is no longer available: /Volumes/Gone"},
        {"/Volumes/EFI", "No file manager.",
         "Finder could not open the mounted EFI path: /Volumes/EFI. No file manager."},
        {"/Volumes/EFI", {}, std::nullopt},
    };
    create();
    browser->directories = {"/Volumes/EFI", "/", "Volumes/EFI"};
    for (const Case& c : cases) {
        browser->openError = c.browserError;
        for (bool report : {true, false}) { // the reveal's silent variant never shows one
            manager->dismissError();
            manager->openMounted(volume("disk2s1", c.mountPoint), report);
            queue.runPending();
            EXPECT_EQ(manager->lastError(), report ? c.error : std::nullopt)
                << c.mountPoint.value_or("none");
        }
    }
}

TEST_F(ManagerFixture, HelperInstallationIsAnnouncedAndRefreshesTheList) {
    create();
    *helperProbe = true;
    cachedHelper = true; // what the installation stores
    manager->installHelper();
    ASSERT_TRUE(queue.runUntil([&] { return !manager->helperBusy(); }));
    EXPECT_TRUE(manager->helperInstalled());
    EXPECT_EQ(notifications, std::vector<std::string>{
                                 "Helper ready | Passwordless EFI mount/unmount is available."});
    EXPECT_TRUE(work->waitFor(1));
}

TEST_F(ManagerFixture, TeardownCancelsEverythingAndNothingFiresAfterwards) {
    for (bool mounting : {false, true}) { // a scan with a reveal and a refresh pending, or a mount
        create();
        browser->directories = {"/Volumes/EFI"};
        if (!mounting) {
            scanOnce({volume("disk2s1")});
            manager->toggle(volume("disk2s1"));
            settleOperations(); // its reveal and silent refresh are due later
        }
        const std::size_t started = [&] {
            std::lock_guard guard(tasksMutex);
            return tasks.size();
        }();
        work->gate(true);
        if (mounting) {
            manager->toggle(volume("disk2s1"));
        } else {
            manager->start();
        }
        ASSERT_TRUE(work->waitFor(mounting ? 0 : 2, 1));
        const TaskHandle task = [&] {
            std::lock_guard guard(tasksMutex);
            return tasks.at(started);
        }();
        const int scans = work->scanCount();
        int observed = 0;
        manager->addObserver([&](DiskManager::Field) { ++observed; });
        manager->addOperationObserver([&](const std::string&) { ++observed; });
        manager.reset();
        EXPECT_TRUE(task.isCancelled());
        EXPECT_EQ(hub->liveCount(), 0); // the watcher let go of the platform
        work->gate(false);
        ASSERT_TRUE(task.waitFinished(10s));
        hub->emit(DiskEvent::diskDisappeared);
        at(20.0);
        EXPECT_TRUE(browser->opened().empty());
        EXPECT_EQ(work->scanCount(), scans);
        EXPECT_EQ(observed, 0);
        EXPECT_EQ(queue.pendingCount(), 0u);
        tearDown();
    }
}

TEST_F(ManagerFixture, WorkThatCannotStartLeavesNothingBusy) {
    const std::string refused = "Resource temporarily unavailable";
    struct Case {
        int threads; // granted before the system refuses
        std::function<void(DiskManager&)> request;
        std::optional<std::string> error;
    } cases[] = {
        {0, [](DiskManager& m) { m.refresh(); }, "The disks could not be read: " + refused},
        // the scan runs; only the helper status beside it could not be asked
        {1, [](DiskManager& m) { m.refresh(); }, {}},
        {0, [](DiskManager& m) { m.toggle(volume("disk2s1")); },
         "Unable to mount EFI partition disk2s1. " + refused},
        {0, [](DiskManager& m) { m.installHelper(); },
         "The helper could not be installed: " + refused},
    };
    for (const Case& c : cases) {
        create();
        *helperProbe = true;
        threadsLeft = c.threads;
        c.request(*manager);
        settle();
        EXPECT_EQ(manager->lastError(), c.error);
        EXPECT_FALSE(manager->hasPendingWork());
        EXPECT_FALSE(manager->helperBusy());
        EXPECT_FALSE(manager->helperInstalled()); // unknown counts as not installed
        // Once threads are granted again, the same request runs.
        threadsLeft = -1;
        c.request(*manager);
        EXPECT_TRUE(manager->hasPendingWork());
        tearDown();
    }
}

TEST_F(ManagerFixture, ReleaseWaitsForAScanCancelledForAMount) {
    create();
    work->gate(true);
    manager->refresh();
    ASSERT_TRUE(work->waitFor(1));
    manager->toggle(volume("disk2s1")); // cancels the scan, which is still running
    const TaskHandle scan = [&] {
        std::lock_guard guard(tasksMutex);
        return tasks.front();
    }();
    std::thread release([&] {
        std::this_thread::sleep_for(200ms);
        work->gate(false);
    });
    DiskManager::releaseAndWait(manager, 10s);
    EXPECT_TRUE(scan.isFinished()); // it could still post to the queue otherwise
    release.join();
}
