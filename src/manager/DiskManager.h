#pragma once

#include "discovery/DiskOperation.h"
#include "discovery/ESPVolume.h"
#include "discovery/PartitionId.h"
#include "manager/DiskEventSource.h"
#include "manager/DiskWatcher.h"
#include "services/FileBrowser.h"
#include "services/LaunchAtLoginController.h"
#include "services/LoginItemService.h"
#include "support/Clock.h"
#include "support/MainQueue.h"
#include "support/Task.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tesselwick::manager {

// Everything the manager works with, injected so tests can use fakes. The
// production wiring passes the real scan entry, the shared caches, the helper
// status cache, the platform's disk events and login item.
struct DiskManagerDependencies {
    // The main queue must outlive every worker task the manager starts.
    MainQueue* mainQueue = nullptr;
    const Clock* clock = nullptr;

    // The scan entry; runs on a worker task, observes its cancellation.
    std::function<std::vector<discovery::ESPVolume>()> loadESPVolumes;
    // Drops disk information older than its time to live (main thread).
    std::function<void()> invalidateExpiredDiskInfo;
    // Empty the disk-image map cache and the disk information cache (main thread).
    std::function<void()> invalidateDiskImageMap;
    std::function<void()> invalidateDiskInfo;

    // The helper status cache's stored value, without probing or a time-to-live
    // check; none when nothing has been stored yet (any thread).
    std::function<std::optional<bool>()> cachedHelperStatus;
    // Whether the helper is installed and usable; may probe (worker task).
    std::function<bool()> helperIsInstalled;

    // One mount or unmount through the routes, and the re-read of the volume
    // afterwards (worker task; see operations/EFIOperations.h).
    std::function<void(discovery::DiskOperation, const discovery::PartitionId&)> runEFICommand;
    std::function<discovery::ESPVolume(const discovery::ESPVolume&, bool expectedMounted)>
        refreshedOperationVolume;
    // Installs the helper behind the authorization prompt and proves it runs
    // (worker task; ESPHelper::install in production).
    std::function<void()> installHelper;
    // Where mounted partitions are shown; none means every request to open one
    // fails with a message.
    std::shared_ptr<services::FileBrowser> fileBrowser;

    DiskEventSourceFactory diskEventSourceFactory;
    std::shared_ptr<services::LoginItemService> loginItemService;
    // Posts a user notification, fire and forget (the application's Notifier);
    // nothing is shown when not given.
    std::function<void(const std::string& title, const std::string& body)> notify;

    // Starts a worker task; a detached worker thread each when not given.
    std::function<TaskHandle(std::function<void()>)> startTask;
};

class DiskManager;

// Drops the manager, whose teardown cancels every task it started, and waits
// up to `limitSeconds` for those workers to end, so that none of them, nor a
// child process of theirs, outlives the program.
void releaseAndWait(std::shared_ptr<DiskManager>& manager, double limitSeconds);

// Fills the scan entry, the cache calls and the helper status with the
// production ones over the process-wide caches; the main queue, the clock and
// the platform services are the application's to wire.
void useSharedCoreServices(DiskManagerDependencies& dependencies);

// The one observable model of the system: the discovered ESPs and the flags the
// interface shows. All state belongs to the main thread; scans run on worker
// tasks and hand their results back through the main queue, applied only if no
// newer scan started meanwhile. Owned through a shared_ptr so that workers and
// timers hold it weakly.
class DiskManager : public std::enable_shared_from_this<DiskManager> {
public:
    static constexpr double kAutoRefreshDelay = 0.45;
    static constexpr double kRevealDelay = 0.18;
    static constexpr double kRefreshAfterSuccess = 0.9;
    static constexpr double kRefreshAfterFailure = 0.4;

    // The published fields; observers hear of each one just before it changes.
    enum class Field {
        volumes,
        isLoading,
        lastError,
        helperInstalled,
        helperBusy,
        busyDiskIDs,
        launchAtLoginEnabled,
        hasCompletedInitialScan,
    };
    using Observer = std::function<void(Field)>;

    static std::shared_ptr<DiskManager> create(DiskManagerDependencies dependencies);
    // Teardown: cancels every task the manager owns and releases the watcher.
    ~DiskManager();
    DiskManager(const DiskManager&) = delete;
    DiskManager& operator=(const DiskManager&) = delete;

    void addObserver(Observer observer) { observers_.push_back(std::move(observer)); }

    // Published state.
    const std::vector<discovery::ESPVolume>& volumes() const { return volumes_; }
    bool isLoading() const { return isLoading_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    bool helperInstalled() const { return helperInstalled_; }
    bool helperBusy() const { return helperBusy_; }
    const std::set<std::string>& busyDiskIDs() const { return busyDiskIDs_; }
    bool launchAtLoginEnabled() const { return launchAtLoginEnabled_; }
    bool hasCompletedInitialScan() const { return hasCompletedInitialScan_; }

    void start();
    void startAutoRefresh();
    void scheduleAutoRefresh();
    void refresh();
    void applySystemStatus(std::optional<bool> helperStatus);
    void finishCancelledRefresh(std::uint64_t generation);
    void cancelActiveRefreshForDiskOperation();
    void setLaunchAtLoginEnabled(bool enabled);

    // Mounts an unmounted volume, unmounts a mounted one. Refused without a
    // message while the helper is being installed or the disk is busy.
    void toggle(const discovery::ESPVolume& volume);
    // toggle() with the operation given by the caller instead of read from the
    // volume; for the command line, which also hands in partitions that no scan
    // listed so the pipeline can refuse them.
    void performOperation(const discovery::ESPVolume& volume, discovery::DiskOperation operation);
    void finishCancelledOperation(const std::string& diskIdentifier);
    // Replaces, removes or sorts in the one volume without a full scan.
    void updateSingleVolume(const std::string& diskIdentifier,
                            const std::vector<discovery::ESPVolume>& volumes);
    // Opens the freshly mounted volume a moment later, unless a newer request
    // for the same disk came first or the volume moved meanwhile.
    void scheduleMountedVolumeReveal(const discovery::ESPVolume& volume);
    // Shows the volume's mount point in the file browser; with reportFailure
    // false every failure is silent.
    void openMounted(const discovery::ESPVolume& volume, bool reportFailure);
    // Installs the privileged helper; refused while anything else runs.
    void installHelper();

    // One delayed refresh after `delaySeconds` (negative counts as 0) that
    // first empties the disk caches; a newer one (automatic or after an
    // operation) replaces it.
    void scheduleSilentRefresh(double delaySeconds);
    void setVolumes(std::vector<discovery::ESPVolume> volumes);
    void setLastError(std::optional<std::string> message);
    void setHelperBusy(bool busy);
    void insertBusyDisk(const std::string& diskID);
    void eraseBusyDisk(const std::string& diskID);
    bool isPrivilegedWorkActive() const { return helperBusy_ || !busyDiskIDs_.empty(); }

    TaskHandle& helperTask() { return helperTask_; }
    std::map<std::string, TaskHandle>& operationTasks() { return operationTasks_; }
    std::map<std::string, TimerHandle>& pendingRevealTasks() { return pendingRevealTasks_; }
    std::map<std::string, std::uint64_t>& revealTokens() { return revealTokens_; }
    std::uint64_t& nextRevealToken() { return nextRevealToken_; }
    MainQueue& mainQueue() { return mainQueue_; }
    void postNotification(const std::string& title, const std::string& body) {
        if (deps_.notify) {
            deps_.notify(title, body);
        }
    }
    services::LaunchAtLoginController& loginItemController() { return loginItem_; }

    // Read access for the interface's diagnostics and for tests.
    bool refreshQueued() const { return refreshQueued_; }
    bool hasPendingAutoRefresh() const { return static_cast<bool>(pendingAutoRefresh_); }
    const TaskHandle& refreshTask() const { return refreshTask_; }
    std::uint64_t refreshGeneration() const { return refreshGeneration_; }
    const DiskWatcher* diskWatcher() const { return diskWatcher_.get(); }

private:
    struct Passkey {};

public:
    DiskManager(Passkey, DiskManagerDependencies dependencies);

private:
    void willChange(Field field);
    void launchScan(std::uint64_t generation);
    void applyResult(std::uint64_t generation, std::vector<discovery::ESPVolume> volumes,
                     bool helperStatus);
    void applyFailure(std::uint64_t generation, const std::string& message, bool helperStatus);
    void cancelReveal(const std::string& diskIdentifier);
    void finishOperation(const std::string& diskIdentifier, discovery::DiskOperation operation,
                         const discovery::ESPVolume& requested,
                         const std::optional<discovery::ESPVolume>& refreshed,
                         const std::optional<std::string>& failure, bool expectedMounted,
                         std::optional<bool> helperStatus);
    void finishHelperInstallation(std::optional<bool> installed,
                                  const std::optional<std::string>& failure);
    void runQueuedRefresh();
    bool cachedHelperInstalled() const;
    void setIsLoading(bool loading);
    void setLaunchAtLoginPublished(bool enabled);

    DiskManagerDependencies deps_;
    MainQueue& mainQueue_;
    const Clock& clock_;
    std::shared_ptr<services::LoginItemService> loginItemService_;
    services::LaunchAtLoginController loginItem_;
    std::vector<Observer> observers_;

    // Published.
    std::vector<discovery::ESPVolume> volumes_;
    bool isLoading_ = false;
    std::optional<std::string> lastError_;
    bool helperInstalled_ = false;
    bool helperBusy_ = false;
    std::set<std::string> busyDiskIDs_;
    bool launchAtLoginEnabled_ = false;
    bool hasCompletedInitialScan_ = false;

    std::shared_ptr<DiskWatcher> diskWatcher_;
    TimerHandle pendingAutoRefresh_;
    bool pendingCacheInvalidation_ = false;
    TaskHandle refreshTask_;
    TaskHandle helperTask_;
    std::map<std::string, TaskHandle> operationTasks_;
    std::map<std::string, TimerHandle> pendingRevealTasks_;
    std::map<std::string, std::uint64_t> revealTokens_;
    std::uint64_t nextRevealToken_ = 0;
    bool refreshQueued_ = false;
    std::uint64_t refreshGeneration_ = 0;
    bool didStart_ = false;
    std::uint64_t autoRefreshGeneration_ = 0;
};

} // namespace tesselwick::manager
