#pragma once

#include "manager/DiskManager.h"
#include "platform/fake/FakeLoginItemService.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

namespace uitest {

using tesselwick::discovery::ESPVolume;

inline ESPVolume volume(const std::string& id, const std::string& host = "APFS",
                        bool mounted = false) {
    ESPVolume v;
    v.id = id;
    v.diskIdentifier = id;
    v.parentIdentifier = id.substr(0, id.rfind('s'));
    v.parentName = "Disk " + v.parentIdentifier;
    v.partitionName = "EFI";
    v.sizeBytes = 209715200;
    v.parentSizeBytes = 500107862016;
    v.filesystem = "FAT32";
    v.hostFilesystem = host;
    v.isInternal = true;
    if (mounted) {
        v.mountPoint = "/Volumes/EFI";
    }
    return v;
}

// A disk manager on virtual time whose scans return what the test sets, and
// user settings in a scratch file.
struct ManagerHarness {
    tesselwick::ManualClock clock{100.0};
    tesselwick::ManualMainQueue queue{clock};
    std::shared_ptr<std::mutex> scanLock = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<ESPVolume>> nextScan = std::make_shared<std::vector<ESPVolume>>();
    std::shared_ptr<tesselwick::platform::fake::FakeLoginItemService> login =
        std::make_shared<tesselwick::platform::fake::FakeLoginItemService>();
    std::vector<tesselwick::TaskHandle> tasks;
    std::shared_ptr<tesselwick::manager::DiskManager> manager;
    QTemporaryDir scratch;
    QSettings settings{scratch.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat};

    ManagerHarness() {
        tesselwick::manager::DiskManagerDependencies deps;
        deps.mainQueue = &queue;
        deps.clock = &clock;
        deps.loadESPVolumes = [lock = scanLock, next = nextScan] {
            std::lock_guard guard(*lock);
            return *next;
        };
        deps.invalidateExpiredDiskInfo = [] {};
        deps.invalidateDiskImageMap = [] {};
        deps.invalidateDiskInfo = [] {};
        deps.cachedHelperStatus = [] { return std::optional<bool>(); };
        deps.helperIsInstalled = [] { return false; };
        deps.loginItemService = login;
        deps.startTask = [this](std::function<void()> body) {
            auto handle = tesselwick::startDetachedTask(std::move(body));
            tasks.push_back(handle);
            return handle;
        };
        manager = tesselwick::manager::DiskManager::create(std::move(deps));
    }
    ~ManagerHarness() {
        manager.reset();
        for (const auto& task : tasks) {
            EXPECT_TRUE(task.waitFinished(10.0));
        }
    }

    // One complete scan that finds `volumes`.
    void scan(std::vector<ESPVolume> volumes) {
        {
            std::lock_guard guard(*scanLock);
            *nextScan = std::move(volumes);
        }
        manager->refresh();
        ASSERT_TRUE(queue.runUntil([&] { return !manager->isLoading(); }));
    }
};

} // namespace uitest
