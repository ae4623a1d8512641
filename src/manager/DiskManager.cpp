#include "manager/DiskManager.h"

#include "diagnostics/Diagnostics.h"
#include "discovery/Classification.h"
#include "discovery/DiskCaches.h"
#include "discovery/VolumeScan.h"
#include "helper/ESPHelper.h"
#include "operations/EFIOperations.h"
#include "support/Errors.h"

#include <algorithm>
#include <exception>
#include <future>
#include <stdexcept>

namespace tesselwick::manager {

using discovery::DiskOperation;
using discovery::ESPVolume;

namespace {

std::string boolText(bool value) {
    return value ? "true" : "false";
}

// ["disk2s1", "disk3s1"], in ascending order (a std::set already is).
std::string quotedList(const std::set<std::string>& values) {
    std::string out = "[";
    bool first = true;
    for (const std::string& value : values) {
        if (!first) {
            out += ", ";
        }
        first = false;
        out += "\"" + value + "\"";
    }
    return out + "]";
}

DiskManagerDependencies checked(DiskManagerDependencies dependencies) {
    if (dependencies.mainQueue == nullptr || dependencies.clock == nullptr ||
        !dependencies.loadESPVolumes || !dependencies.loginItemService) {
        throw std::invalid_argument("DiskManager needs a main queue, a clock, a scan entry and a "
                                    "login item service");
    }
    if (!dependencies.fileBrowser) {
        dependencies.fileBrowser = std::make_shared<services::UnavailableFileBrowser>();
    }
    if (!dependencies.startTask) {
        dependencies.startTask = [](std::function<void()> body) {
            return startDetachedTask(std::move(body));
        };
    }
    return dependencies;
}

} // namespace

void useSharedCoreServices(DiskManagerDependencies& dependencies) {
    dependencies.loadESPVolumes = [] { return discovery::loadESPVolumes(); };
    dependencies.invalidateExpiredDiskInfo = [] {
        discovery::DiskInfoCache::shared().invalidateExpired();
    };
    dependencies.invalidateDiskImageMap = [] {
        discovery::DiskImageMapCache::shared().invalidate();
    };
    dependencies.invalidateDiskInfo = [] { discovery::DiskInfoCache::shared().invalidate(); };
    dependencies.cachedHelperStatus = [] { return ESPHelper::statusCache().cachedValue(); };
    dependencies.helperIsInstalled = [] { return ESPHelper::isInstalled(); };
    auto operations = std::make_shared<const operations::EFIOperations>();
    dependencies.runEFICommand = [operations](DiskOperation operation,
                                              const discovery::PartitionId& partition) {
        operations->runEFICommand(operation, partition);
    };
    dependencies.refreshedOperationVolume = [operations](const ESPVolume& volume,
                                                         bool expectedMounted) {
        return operations->refreshedOperationVolume(volume, expectedMounted);
    };
    dependencies.installHelper = [] { ESPHelper::install(); };
}

void releaseAndWait(std::shared_ptr<DiskManager>& manager, double limitSeconds) {
    if (!manager) {
        return;
    }
    std::vector<TaskHandle> running{manager->refreshTask(), manager->helperTask()};
    for (const auto& [disk, task] : manager->operationTasks()) {
        running.push_back(task);
    }
    manager.reset();
    for (const TaskHandle& task : running) {
        if (task) {
            task.waitFinished(limitSeconds);
        }
    }
}

std::shared_ptr<DiskManager> DiskManager::create(DiskManagerDependencies dependencies) {
    return std::make_shared<DiskManager>(Passkey{}, checked(std::move(dependencies)));
}

DiskManager::DiskManager(Passkey, DiskManagerDependencies dependencies)
    : deps_(std::move(dependencies)), mainQueue_(*deps_.mainQueue), clock_(*deps_.clock),
      loginItemService_(deps_.loginItemService), loginItem_(*loginItemService_) {
    helperInstalled_ = cachedHelperInstalled();
    launchAtLoginEnabled_ = loginItem_.isEnabled();
    TW_LOG("DiskManager.init helperInstalled=" + boolText(helperInstalled_) +
           " launchAtLogin=" + boolText(launchAtLoginEnabled_));
}

DiskManager::~DiskManager() {
    TW_LOG("DiskManager.deinit");
    pendingAutoRefresh_.cancel();
    pendingAutoRefresh_ = {};
    refreshTask_.cancel();
    helperTask_.cancel();
    for (auto& [diskID, task] : operationTasks_) {
        task.cancel();
    }
    operationTasks_.clear();
    for (auto& [diskID, reveal] : pendingRevealTasks_) {
        reveal.cancel();
    }
    pendingRevealTasks_.clear();
    revealTokens_.clear();
    diskWatcher_.reset();
}

void DiskManager::willChange(Field field) {
    for (const Observer& observer : observers_) {
        observer(field);
    }
}

bool DiskManager::cachedHelperInstalled() const {
    if (!deps_.cachedHelperStatus) {
        return false;
    }
    return deps_.cachedHelperStatus().value_or(false);
}

void DiskManager::start() {
    TW_LOG("DiskManager.start didStart=" + boolText(didStart_));
    if (didStart_) {
        TW_LOG("DiskManager.start ignored: already started");
        return;
    }
    didStart_ = true;
    startAutoRefresh();
    refresh();
}

void DiskManager::startAutoRefresh() {
    if (diskWatcher_) {
        TW_LOG("DiskManager.startAutoRefresh ignored: watcher already exists");
        return;
    }
    TW_LOG("DiskManager.startAutoRefresh creating DiskWatcher");
    std::weak_ptr<DiskManager> weak = weak_from_this();
    diskWatcher_ = DiskWatcher::create(mainQueue_, clock_, deps_.diskEventSourceFactory, [weak] {
        if (auto manager = weak.lock()) {
            manager->scheduleAutoRefresh();
        }
    });
}

void DiskManager::scheduleAutoRefresh() {
    scheduleSilentRefresh(kAutoRefreshDelay);
}

void DiskManager::scheduleSilentRefresh(double delaySeconds) {
    delaySeconds = std::max(delaySeconds, 0.0);
    pendingCacheInvalidation_ = true;
    pendingAutoRefresh_.cancel();
    const std::uint64_t generation = ++autoRefreshGeneration_;
    std::weak_ptr<DiskManager> weak = weak_from_this();
    pendingAutoRefresh_ = mainQueue_.postAfter(delaySeconds, [weak, generation] {
        auto manager = weak.lock();
        if (!manager || manager->autoRefreshGeneration_ != generation) {
            return;
        }
        manager->pendingAutoRefresh_ = {};
        manager->refresh();
    });
}

void DiskManager::refresh() {
    TW_LOG("DiskManager.refresh entered loading=" + boolText(isLoading_) +
           " helperBusy=" + boolText(helperBusy_) + " busyDisks=" + quotedList(busyDiskIDs_) +
           " queued=" + boolText(refreshQueued_));
    if (deps_.invalidateExpiredDiskInfo) {
        deps_.invalidateExpiredDiskInfo();
    }
    if (isPrivilegedWorkActive()) {
        refreshQueued_ = true;
        TW_LOG("DiskManager.refresh queued: privileged operation active");
        return;
    }
    if (isLoading_) {
        refreshQueued_ = true;
        TW_LOG("DiskManager.refresh queued: scan already loading");
        return;
    }
    refreshQueued_ = false;
    if (pendingCacheInvalidation_) {
        if (deps_.invalidateDiskImageMap) {
            deps_.invalidateDiskImageMap();
        }
        if (deps_.invalidateDiskInfo) {
            deps_.invalidateDiskInfo();
        }
        pendingCacheInvalidation_ = false;
    }
    const std::uint64_t generation = ++refreshGeneration_;
    setIsLoading(true);
    setLastError(std::nullopt);
    applySystemStatus(std::nullopt);
    TW_LOG("DiskManager.refresh launching generation=" + std::to_string(generation));
    launchScan(generation);
}

void DiskManager::launchScan(std::uint64_t generation) {
    std::weak_ptr<DiskManager> weak = weak_from_this();
    MainQueue& queue = mainQueue_;
    auto load = deps_.loadESPVolumes;
    auto probe = deps_.helperIsInstalled;
    auto startTask = deps_.startTask;
    // The handle replaces an earlier one without cancelling it: an earlier scan
    // still running was already cancelled or is stale by generation.
    refreshTask_ = startTask([weak, &queue, load, probe, startTask, generation] {
        const std::string g = std::to_string(generation);
        TW_LOG("DiskManager.refresh detached task started generation=" + g);
        const auto finishCancelled = [&] {
            queue.post([weak, generation] {
                if (auto manager = weak.lock()) {
                    manager->finishCancelledRefresh(generation);
                }
            });
        };

        // The helper status query runs beside the scan as a child task that
        // is cancelled with this one.
        auto helperStatus = std::make_shared<std::promise<bool>>();
        std::future<bool> helperResult = helperStatus->get_future();
        TaskHandle child = startTask([helperStatus, probe] {
            bool installed = false;
            try {
                installed = probe ? probe() : false;
            } catch (...) {
                // Cancelled or failed: not usable.
            }
            helperStatus->set_value(installed);
        });
        const auto cancelChild = task::onCancel([child] { child.cancel(); });

        std::vector<ESPVolume> volumes;
        std::optional<std::string> failure;
        try {
            volumes = load();
        } catch (const CancellationError&) {
            TW_LOG("DiskManager.refresh cancelled generation=" + g);
            finishCancelled();
            child.cancel();
            helperResult.wait();
            return;
        } catch (const std::exception& error) {
            failure = error.what();
        } catch (...) {
            failure = "The disks could not be read.";
        }
        if (failure) {
            const std::string message = *failure;
            TW_LOG("DiskManager.refresh failed generation=" + g + " error=" + message);
            if (task::isCancelled()) {
                finishCancelled();
                return;
            }
            const bool installed = helperResult.get();
            if (task::isCancelled()) {
                finishCancelled();
                return;
            }
            queue.post([weak, generation, message, installed] {
                if (auto manager = weak.lock()) {
                    manager->applyFailure(generation, message, installed);
                }
            });
            return;
        }

        TW_LOG("DiskManager.refresh volume scan completed generation=" + g +
               " count=" + std::to_string(volumes.size()));
        if (task::isCancelled()) {
            finishCancelled();
            return;
        }
        const bool installed = helperResult.get();
        TW_LOG("DiskManager.refresh helper status completed generation=" + g +
               " installed=" + boolText(installed));
        if (task::isCancelled()) {
            finishCancelled();
            return;
        }
        queue.post([weak, generation, volumes = std::move(volumes), installed]() mutable {
            auto manager = weak.lock();
            if (!manager) {
                TW_LOG("DiskManager.refresh main update ignored stale generation=" +
                       std::to_string(generation));
                return;
            }
            manager->applyResult(generation, std::move(volumes), installed);
        });
    });
}

void DiskManager::applyResult(std::uint64_t generation, std::vector<ESPVolume> volumes,
                              bool helperStatus) {
    if (refreshGeneration_ != generation) {
        TW_LOG("DiskManager.refresh main update ignored stale generation=" +
               std::to_string(generation));
        return;
    }
    TW_LOG("DiskManager.refresh applying result generation=" + std::to_string(generation) +
           " count=" + std::to_string(volumes.size()));
    setVolumes(std::move(volumes));
    if (!hasCompletedInitialScan_) {
        willChange(Field::hasCompletedInitialScan);
        hasCompletedInitialScan_ = true;
    }
    setIsLoading(false);
    applySystemStatus(helperStatus);
    refreshTask_ = {};
    runQueuedRefresh();
}

void DiskManager::applyFailure(std::uint64_t generation, const std::string& message,
                               bool helperStatus) {
    if (refreshGeneration_ != generation) {
        return;
    }
    setLastError(message);
    setIsLoading(false);
    applySystemStatus(helperStatus);
    refreshTask_ = {};
    runQueuedRefresh();
}

void DiskManager::finishCancelledRefresh(std::uint64_t generation) {
    if (refreshGeneration_ != generation) {
        return;
    }
    setIsLoading(false);
    refreshTask_ = {};
    runQueuedRefresh();
}

void DiskManager::runQueuedRefresh() {
    if (refreshQueued_) {
        refreshQueued_ = false;
        refresh();
    }
}

void DiskManager::cancelActiveRefreshForDiskOperation() {
    if (!isLoading_ && !refreshTask_) {
        return;
    }
    ++refreshGeneration_;
    refreshTask_.cancel();
    refreshTask_ = {};
    setIsLoading(false);
}

void DiskManager::applySystemStatus(std::optional<bool> helperStatus) {
    const bool installed = helperStatus ? *helperStatus : cachedHelperInstalled();
    if (installed != helperInstalled_) {
        willChange(Field::helperInstalled);
        helperInstalled_ = installed;
    }
    setLaunchAtLoginPublished(loginItem_.isEnabled());
}

void DiskManager::setLaunchAtLoginEnabled(bool enabled) {
    setLastError(std::nullopt);
    // Only a registration made now asks for approval; an item that already
    // waits for it was explained when it was registered.
    const bool registering =
        enabled && !services::LaunchAtLoginController::isOn(loginItem_.status());
    std::optional<std::string> failure;
    try {
        loginItem_.setEnabled(enabled);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    // Whatever happened, the switch shows the real state afterwards.
    const services::LoginItemStatus status = loginItem_.status();
    setLaunchAtLoginPublished(services::LaunchAtLoginController::isOn(status));
    if (failure) {
        setLastError(failure);
    } else if (registering && status == services::LoginItemStatus::requiresApproval) {
        setLastError(std::string(services::kLoginItemApprovalMessage));
    }
}

void DiskManager::setLaunchAtLoginPublished(bool enabled) {
    if (enabled != launchAtLoginEnabled_) {
        willChange(Field::launchAtLoginEnabled);
        launchAtLoginEnabled_ = enabled;
    }
}

void DiskManager::setVolumes(std::vector<ESPVolume> volumes) {
    if (volumes != volumes_) {
        willChange(Field::volumes);
        volumes_ = std::move(volumes);
    }
}

void DiskManager::setLastError(std::optional<std::string> message) {
    if (message != lastError_) {
        willChange(Field::lastError);
        lastError_ = std::move(message);
    }
}

void DiskManager::setIsLoading(bool loading) {
    if (loading != isLoading_) {
        willChange(Field::isLoading);
        isLoading_ = loading;
    }
}

void DiskManager::setHelperBusy(bool busy) {
    if (busy != helperBusy_) {
        willChange(Field::helperBusy);
        helperBusy_ = busy;
    }
}

void DiskManager::insertBusyDisk(const std::string& diskID) {
    if (!busyDiskIDs_.contains(diskID)) {
        willChange(Field::busyDiskIDs);
        busyDiskIDs_.insert(diskID);
    }
}

void DiskManager::eraseBusyDisk(const std::string& diskID) {
    if (busyDiskIDs_.contains(diskID)) {
        willChange(Field::busyDiskIDs);
        busyDiskIDs_.erase(diskID);
    }
}

} // namespace tesselwick::manager

// Mount and unmount.

namespace tesselwick::manager {

void DiskManager::toggle(const ESPVolume& volume) {
    performOperation(volume, volume.mountPoint ? DiskOperation::unmount : DiskOperation::mount);
}

void DiskManager::performOperation(const ESPVolume& volume, DiskOperation operation) {
    const std::string diskID = volume.diskIdentifier;
    setLastError(std::nullopt);
    if (helperTask_ || helperBusy_ || busyDiskIDs_.contains(diskID)) {
        return;
    }
    cancelReveal(diskID);
    cancelActiveRefreshForDiskOperation();
    insertBusyDisk(diskID);

    const bool expectedMounted = operation == DiskOperation::mount;
    std::weak_ptr<DiskManager> weak = weak_from_this();
    MainQueue& queue = mainQueue_;
    // Copies, so the worker never reaches into a manager that is gone.
    auto run = deps_.runEFICommand;
    auto reread = deps_.refreshedOperationVolume;
    auto invalidateImageMap = deps_.invalidateDiskImageMap;
    auto invalidateDiskInfo = deps_.invalidateDiskInfo;
    auto cachedStatus = deps_.cachedHelperStatus;
    operationTasks_[diskID] = deps_.startTask([=, &queue] {
        const auto finishCancelled = [&] {
            queue.post([weak, diskID] {
                if (auto manager = weak.lock()) {
                    manager->finishCancelledOperation(diskID);
                }
            });
        };
        std::optional<ESPVolume> refreshed;
        std::optional<std::string> failure;
        try {
            if (!run) {
                throw commandError(1, "Unable to " +
                                          std::string(discovery::operationName(operation)) +
                                          " EFI partition " + diskID + ".");
            }
            run(operation, discovery::PartitionId::validated(diskID));
            if (invalidateImageMap) {
                invalidateImageMap();
            }
            if (invalidateDiskInfo) {
                invalidateDiskInfo();
            }
            refreshed = reread ? reread(volume, expectedMounted) : volume;
        } catch (const CancellationError&) {
            finishCancelled();
            return;
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (task::isCancelled()) {
            finishCancelled();
            return;
        }
        const std::optional<bool> helperStatus = cachedStatus ? cachedStatus() : std::nullopt;
        if (task::isCancelled()) {
            finishCancelled();
            return;
        }
        queue.post([=] {
            if (auto manager = weak.lock()) {
                manager->finishOperation(diskID, operation, volume, refreshed, failure,
                                         expectedMounted, helperStatus);
            }
        });
    });
}

void DiskManager::finishOperation(const std::string& diskID, DiskOperation operation,
                                  const ESPVolume& requested,
                                  const std::optional<ESPVolume>& refreshed,
                                  const std::optional<std::string>& failure, bool expectedMounted,
                                  std::optional<bool> helperStatus) {
    operationTasks_.erase(diskID);
    if (failure || !refreshed) {
        eraseBusyDisk(diskID);
        setLastError(failure);
        applySystemStatus(helperStatus);
        scheduleSilentRefresh(kRefreshAfterFailure);
        return;
    }
    updateSingleVolume(diskID, {*refreshed});
    eraseBusyDisk(diskID);
    applySystemStatus(helperStatus);
    if (expectedMounted && refreshed->mountPoint) {
        postNotification("EFI mounted", refreshed->parentName + " • " + refreshed->diskIdentifier);
        scheduleMountedVolumeReveal(*refreshed);
    } else if (operation == DiskOperation::unmount) {
        postNotification("EFI unmounted", requested.parentName + " • " + diskID);
    }
    scheduleSilentRefresh(kRefreshAfterSuccess);
}

void DiskManager::finishCancelledOperation(const std::string& diskIdentifier) {
    operationTasks_.erase(diskIdentifier);
    eraseBusyDisk(diskIdentifier);
    applySystemStatus(std::nullopt);
    if (busyDiskIDs_.empty() && refreshQueued_) {
        refreshQueued_ = false;
        refresh();
    }
}

void DiskManager::updateSingleVolume(const std::string& diskIdentifier,
                                     const std::vector<ESPVolume>& volumes) {
    const auto byDisk = [&](const ESPVolume& volume) {
        return volume.diskIdentifier == diskIdentifier;
    };
    const auto fresh = std::find_if(volumes.begin(), volumes.end(), byDisk);
    if (fresh == volumes.end()) {
        if (std::any_of(volumes_.begin(), volumes_.end(), byDisk)) {
            willChange(Field::volumes);
            std::erase_if(volumes_, byDisk);
        }
        return;
    }
    const auto shown = std::find_if(volumes_.begin(), volumes_.end(), byDisk);
    if (shown != volumes_.end()) {
        if (*shown != *fresh) {
            willChange(Field::volumes);
            *shown = *fresh;
        }
        return;
    }
    willChange(Field::volumes);
    volumes_.push_back(*fresh);
    std::stable_sort(volumes_.begin(), volumes_.end(), discovery::volumeOrderedBefore);
}

void DiskManager::cancelReveal(const std::string& diskIdentifier) {
    if (auto pending = pendingRevealTasks_.find(diskIdentifier);
        pending != pendingRevealTasks_.end()) {
        pending->second.cancel();
        pendingRevealTasks_.erase(pending);
    }
    revealTokens_.erase(diskIdentifier);
}

void DiskManager::scheduleMountedVolumeReveal(const ESPVolume& volume) {
    const std::string diskID = volume.diskIdentifier;
    cancelReveal(diskID);
    const std::uint64_t token = ++nextRevealToken_;
    revealTokens_[diskID] = token;
    std::weak_ptr<DiskManager> weak = weak_from_this();
    pendingRevealTasks_[diskID] = mainQueue_.postAfter(kRevealDelay, [weak, diskID, token, volume] {
        auto manager = weak.lock();
        if (!manager) {
            return;
        }
        const auto current = manager->revealTokens_.find(diskID);
        if (current == manager->revealTokens_.end() || current->second != token) {
            return;
        }
        manager->pendingRevealTasks_.erase(diskID);
        manager->revealTokens_.erase(diskID);
        const auto shown =
            std::find_if(manager->volumes_.begin(), manager->volumes_.end(),
                         [&](const ESPVolume& entry) { return entry.diskIdentifier == diskID; });
        if (shown == manager->volumes_.end() || !shown->mountPoint || !volume.mountPoint ||
            *shown->mountPoint != *volume.mountPoint) {
            return;
        }
        manager->openMounted(*shown, false);
    });
}

void DiskManager::openMounted(const ESPVolume& volume, bool reportFailure) {
    const std::optional<std::string>& path = volume.mountPoint;
    if (!path || path->empty() || path->front() != '/' || *path == "/") {
        if (reportFailure) {
            setLastError("The EFI partition does not currently have a valid mount path.");
        }
        return;
    }
    const std::string mountPoint = *path;
    std::shared_ptr<services::FileBrowser> browser = deps_.fileBrowser;
    if (!browser->isDirectory(mountPoint)) {
        if (reportFailure) {
            setLastError("The mounted EFI path is no longer available: " + mountPoint);
        }
        return;
    }
    std::weak_ptr<DiskManager> weak = weak_from_this();
    MainQueue& queue = mainQueue_;
    queue.post([weak, &queue, browser, mountPoint, reportFailure] {
        browser->openFolder(mountPoint, [weak, &queue, mountPoint,
                                         reportFailure](std::optional<std::string> error) {
            if (!error || !reportFailure) {
                return;
            }
            queue.post([weak, mountPoint, description = *error] {
                if (auto manager = weak.lock()) {
                    manager->setLastError("Finder could not open the mounted EFI path: " +
                                          mountPoint + ". " + description);
                }
            });
        });
    });
}

// Helper installation.

void DiskManager::installHelper() {
    TW_LOG("DiskManager.installHelper requested loading=" + boolText(isLoading_) + " helperBusy=" +
           boolText(helperBusy_) + " activeOperations=" + std::to_string(operationTasks_.size()));
    if (helperTask_ || isLoading_ || !operationTasks_.empty() || !busyDiskIDs_.empty()) {
        return;
    }
    setHelperBusy(true);
    setLastError(std::nullopt);

    std::weak_ptr<DiskManager> weak = weak_from_this();
    MainQueue& queue = mainQueue_;
    auto install = deps_.installHelper;
    auto probe = deps_.helperIsInstalled;
    helperTask_ = deps_.startTask([weak, &queue, install, probe] {
        const auto finish = [&](std::optional<bool> installed, std::optional<std::string> failure) {
            queue.post([weak, installed, failure] {
                if (auto manager = weak.lock()) {
                    manager->finishHelperInstallation(installed, failure);
                }
            });
        };
        const auto cancelled = [&] { finish(std::nullopt, std::nullopt); };
        std::optional<std::string> failure;
        try {
            if (!install) {
                throw ESPHelper::helperError("The helper cannot be installed here.");
            }
            install();
        } catch (const CancellationError&) {
            cancelled();
            return;
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (task::isCancelled()) {
            cancelled();
            return;
        }
        bool installed = false;
        try {
            installed = probe ? probe() : false;
        } catch (const CancellationError&) {
            cancelled();
            return;
        } catch (const std::exception&) {
            installed = false;
        }
        if (task::isCancelled()) {
            cancelled();
            return;
        }
        if (failure) {
            TW_LOG("DiskManager.installHelper failed error=" + *failure +
                   " helperInstalled=" + boolText(installed));
        }
        finish(installed, failure);
    });
}

// `installed` is none when the installation was cancelled.
void DiskManager::finishHelperInstallation(std::optional<bool> installed,
                                           const std::optional<std::string>& failure) {
    if (!installed) {
        setHelperBusy(false);
        helperTask_ = {};
        applySystemStatus(std::nullopt);
        runQueuedRefresh();
        return;
    }
    if (failure) {
        applySystemStatus(installed);
        setHelperBusy(false);
        helperTask_ = {};
        // A scan launch clears the message, so a refresh that waited for the
        // installation runs first; otherwise the user would never see why
        // the installation failed.
        runQueuedRefresh();
        setLastError(failure);
        return;
    }
    applySystemStatus(installed);
    setHelperBusy(false);
    helperTask_ = {};
    TW_LOG("DiskManager.installHelper completed helperInstalled=" + boolText(*installed));
    postNotification("Helper ready", "Passwordless EFI mount/unmount is available.");
    refresh();
}

} // namespace tesselwick::manager
