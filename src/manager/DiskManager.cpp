#include "manager/DiskManager.h"

#include "diagnostics/Diagnostics.h"
#include "support/Errors.h"

#include <algorithm>
#include <exception>
#include <future>
#include <limits>
#include <stdexcept>
#include <utility>

namespace tesselwick::manager {

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
        !dependencies.volumes || !dependencies.loginItemService) {
        throw std::invalid_argument("DiskManager needs a main queue, a clock, a volume source "
                                    "and a login item service");
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

// Whether the helper is usable, asked on a task of its own; cancelled or
// failed counts as not usable.
std::pair<TaskHandle, std::future<bool>>
startHelperStatusQuery(const std::function<TaskHandle(std::function<void()>)>& startTask,
                       std::shared_ptr<HelperService> helper) {
    auto status = std::make_shared<std::promise<bool>>();
    std::future<bool> result = status->get_future();
    TaskHandle child;
    try {
        child = startTask([status, helper] {
            bool installed = false;
            try {
                installed = helper ? helper->isInstalled() : false;
            } catch (...) {
            }
            status->set_value(installed);
        });
    } catch (const std::exception& error) {
        TW_LOG(std::string("DiskManager.refresh helper status not asked: ") + error.what());
        status->set_value(false);
    }
    return {std::move(child), std::move(result)};
}

} // namespace

void DiskManager::releaseAndWait(std::shared_ptr<DiskManager>& manager, Seconds limit) {
    if (!manager) {
        return;
    }
    const std::vector<TaskHandle> running = manager->workers_;
    manager.reset();
    for (const TaskHandle& task : running) {
        if (task) {
            task.waitFinished(limit);
        }
    }
}

std::shared_ptr<DiskManager> DiskManager::create(DiskManagerDependencies dependencies) {
    return std::make_shared<DiskManager>(Passkey{}, checked(std::move(dependencies)));
}

DiskManager::DiskManager(Passkey, DiskManagerDependencies dependencies)
    : deps_(std::move(dependencies)), mainQueue_(*deps_.mainQueue), clock_(*deps_.clock),
      loginItem_(*deps_.loginItemService) {
    helperInstalled_ = cachedHelperInstalled();
    launchAtLoginEnabled_ = loginItem_.isEnabled();
    TW_LOG("DiskManager.init helperInstalled=" + boolText(helperInstalled_) +
           " launchAtLogin=" + boolText(launchAtLoginEnabled_));
}

DiskManager::~DiskManager() {
    TW_LOG("DiskManager.deinit");
    pendingAutoRefresh_.cancel();
    pendingAutoRefresh_ = {};
    for (const TaskHandle& worker : workers_) {
        worker.cancel();
    }
    operationTasks_.clear();
    for (auto& [diskID, reveal] : pendingRevealTasks_) {
        reveal.cancel();
    }
    pendingRevealTasks_.clear();
    revealTokens_.clear();
    diskWatcher_.reset();
}

DiskManager::ObserverId DiskManager::addObserver(Observer observer) {
    observers_.emplace(++nextObserverId_, std::move(observer));
    return nextObserverId_;
}

DiskManager::ObserverId DiskManager::addOperationObserver(OperationObserver observer) {
    operationObservers_.emplace(++nextObserverId_, std::move(observer));
    return nextObserverId_;
}

void DiskManager::removeObserver(ObserverId id) {
    observers_.erase(id);
    operationObservers_.erase(id);
}

void DiskManager::willChange(Field field) {
    // A copy: an observer may remove itself or another one.
    const auto observers = observers_;
    for (const auto& [id, observer] : observers) {
        observer(field);
    }
}

bool DiskManager::hasPendingWork() const {
    return isLoading_ || refreshQueued_ || static_cast<bool>(pendingAutoRefresh_) ||
           static_cast<bool>(helperTask_) || helperBusy_ || !busyDiskIDs_.empty() ||
           !operationTasks_.empty() || !pendingRevealTasks_.empty();
}

bool DiskManager::cachedHelperInstalled() const {
    if (!deps_.helper) {
        return false;
    }
    return deps_.helper->cachedStatus().value_or(false);
}

void DiskManager::start() {
    TW_LOG("DiskManager.start didStart=" + boolText(didStart_));
    if (didStart_) {
        TW_LOG("DiskManager.start ignored: already started");
        return;
    }
    didStart_ = true;
    startAutoRefresh();
    requestScan();
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
            manager->scheduleSilentRefresh(kAutoRefreshDelay);
        }
    });
}

void DiskManager::scheduleSilentRefresh(Seconds delay) {
    delay = std::max(delay, Seconds::zero());
    pendingCacheInvalidation_ = true;
    pendingAutoRefresh_.cancel();
    const std::uint64_t generation = ++autoRefreshGeneration_;
    std::weak_ptr<DiskManager> weak = weak_from_this();
    pendingAutoRefresh_ = mainQueue_.postAfter(delay, [weak, generation] {
        auto manager = weak.lock();
        if (!manager || manager->autoRefreshGeneration_ != generation) {
            return;
        }
        manager->pendingAutoRefresh_ = {};
        manager->requestScan();
    });
}

void DiskManager::refresh() {
    setLastError(std::nullopt);
    requestScan();
}

// A failure message stays until the user dismisses it or asks for something
// else: the refreshes that follow a failure by themselves must not take it
// away before it was read.
void DiskManager::requestScan() {
    TW_LOG("DiskManager.refresh entered loading=" + boolText(isLoading_) +
           " helperBusy=" + boolText(helperBusy_) + " busyDisks=" + quotedList(busyDiskIDs_) +
           " queued=" + boolText(refreshQueued_));
    deps_.volumes->invalidateExpired();
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
        deps_.volumes->invalidateAll();
        pendingCacheInvalidation_ = false;
    }
    const std::uint64_t generation = ++refreshGeneration_;
    setIsLoading(true);
    applySystemStatus(std::nullopt);
    TW_LOG("DiskManager.refresh launching generation=" + std::to_string(generation));
    launchScan(generation);
}

void DiskManager::launchScan(std::uint64_t generation) {
    std::weak_ptr<DiskManager> weak = weak_from_this();
    MainQueue& queue = mainQueue_;
    std::shared_ptr<VolumeSource> source = deps_.volumes;
    std::shared_ptr<HelperService> helper = deps_.helper;
    auto startTask = deps_.startTask;
    // The handle replaces an earlier one without cancelling it: an earlier scan
    // still running was already cancelled or is stale by generation.
    try {
        refreshTask_ = startWorker([weak, &queue, source, helper, startTask, generation] {
            scanOnWorker(weak, queue, source, helper, startTask, generation);
        });
    } catch (const std::exception& error) {
        TW_LOG(std::string("DiskManager.refresh could not start: ") + error.what());
        setIsLoading(false);
        setLastError(std::string("The disks could not be read: ") + error.what());
    }
}

TaskHandle DiskManager::startWorker(std::function<void()> body) {
    std::erase_if(workers_, [](const TaskHandle& worker) { return worker.isFinished(); });
    TaskHandle worker = deps_.startTask(std::move(body));
    workers_.push_back(worker);
    return worker;
}

void DiskManager::scanOnWorker(const std::weak_ptr<DiskManager>& weak, MainQueue& queue,
                               const std::shared_ptr<VolumeSource>& source,
                               const std::shared_ptr<HelperService>& helper,
                               const StartTask& startTask, std::uint64_t generation) {
    const std::string g = std::to_string(generation);
    TW_LOG("DiskManager.refresh detached task started generation=" + g);
    const auto finishCancelled = [&] {
        queue.post([weak, generation] {
            if (auto manager = weak.lock()) {
                manager->finishCancelledRefresh(generation);
            }
        });
    };
    // True (and the cancellation handed back) once this task was cancelled.
    const auto stoppedByCancel = [&] {
        if (!task::isCancelled()) {
            return false;
        }
        finishCancelled();
        return true;
    };

    // The helper status query runs beside the scan as a child task that
    // is cancelled with this one.
    auto query = startHelperStatusQuery(startTask, helper);
    const TaskHandle child = query.first;
    std::future<bool>& helperResult = query.second;
    const auto cancelChild = task::onCancel([child] { child.cancel(); });
    // Whichever way the scan ends, the query beside it has ended too: whoever
    // waits for this task waits for both.
    struct Joined {
        TaskHandle child;
        ~Joined() {
            if (child) {
                child.cancel();
                child.waitFinished(Seconds(std::numeric_limits<double>::infinity()));
            }
        }
    } const joined{child};

    std::vector<ESPVolume> volumes;
    std::vector<discovery::DiskReport> disks;
    std::optional<std::string> failure;
    try {
        volumes = source->loadESPVolumes(&disks);
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
        if (stoppedByCancel()) {
            return;
        }
        const bool installed = helperResult.get();
        if (stoppedByCancel()) {
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
    if (stoppedByCancel()) {
        return;
    }
    const bool installed = helperResult.get();
    TW_LOG("DiskManager.refresh helper status completed generation=" + g +
           " installed=" + boolText(installed));
    if (stoppedByCancel()) {
        return;
    }
    queue.post([weak, generation, volumes = std::move(volumes), disks = std::move(disks),
                installed]() mutable {
        auto manager = weak.lock();
        if (!manager) {
            TW_LOG("DiskManager.refresh main update ignored stale generation=" +
                   std::to_string(generation));
            return;
        }
        manager->applyResult(generation, std::move(volumes), std::move(disks), installed);
    });
}

void DiskManager::applyResult(std::uint64_t generation, std::vector<ESPVolume> volumes,
                              std::vector<discovery::DiskReport> disks, bool helperStatus) {
    if (refreshGeneration_ != generation) {
        TW_LOG("DiskManager.refresh main update ignored stale generation=" +
               std::to_string(generation));
        return;
    }
    TW_LOG("DiskManager.refresh applying result generation=" + std::to_string(generation) +
           " count=" + std::to_string(volumes.size()));
    setVolumes(std::move(volumes));
    setDiskReports(std::move(disks));
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
        requestScan();
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

void DiskManager::setDiskReports(std::vector<discovery::DiskReport> disks) {
    if (disks != diskReports_) {
        willChange(Field::diskReports);
        diskReports_ = std::move(disks);
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
