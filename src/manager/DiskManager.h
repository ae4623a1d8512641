#pragma once

#include "discovery/DiskReport.h"
#include "discovery/ESPVolume.h"
#include "manager/CoreServices.h"
#include "manager/DiskWatcher.h"
#include "services/DiskEventSource.h"
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
// production values come from the application's one composition root.
struct DiskManagerDependencies {
    // The main queue must outlive every worker task the manager starts.
    MainQueue* mainQueue = nullptr;
    const Clock* clock = nullptr;

    std::shared_ptr<VolumeSource> volumes;
    // None: the helper is never used and cannot be installed.
    std::shared_ptr<HelperService> helper;
    // None: every mount and unmount fails with a message.
    std::shared_ptr<OperationService> operations;

    // Where mounted partitions are shown; none means every request to open one
    // fails with a message.
    std::shared_ptr<services::FileBrowser> fileBrowser;
    services::DiskEventSourceFactory diskEventSourceFactory;
    std::shared_ptr<services::LoginItemService> loginItemService;
    // Posts a user notification, fire and forget; nothing is shown when not given.
    std::function<void(const std::string& title, const std::string& body)> notify;
    // Starts a worker task; a detached worker thread each when not given.
    std::function<TaskHandle(std::function<void()>)> startTask;
};

// The one observable model of the system: the discovered ESPs and the flags the
// interface shows, and the requests the interface and the command line make of
// it. All state belongs to the main thread; scans and operations run on worker
// tasks and hand their results back through the main queue, applied only if no
// newer request superseded them. Owned through a shared_ptr so that workers and
// timers hold it weakly.
class DiskManager : public std::enable_shared_from_this<DiskManager> {
public:
    static constexpr Seconds kAutoRefreshDelay{0.45};
    static constexpr Seconds kRevealDelay{0.18};
    static constexpr Seconds kRefreshAfterSuccess{0.9};
    static constexpr Seconds kRefreshAfterFailure{0.4};

    // The published fields; observers hear of each one just before it changes.
    enum class Field {
        volumes,
        diskReports,
        isLoading,
        lastError,
        helperInstalled,
        helperBusy,
        busyDiskIDs,
        launchAtLoginEnabled,
        hasCompletedInitialScan,
    };
    using Observer = std::function<void(Field)>;
    // Hears that a mount or unmount of the disk has run its course: its result
    // is published and the freshly mounted volume, if any, was handed to the
    // file browser (or the reveal was dropped).
    using OperationObserver = std::function<void(const std::string& diskIdentifier)>;
    using ObserverId = std::uint64_t;

    static std::shared_ptr<DiskManager> create(DiskManagerDependencies dependencies);
    // Drops the manager, whose teardown cancels every task it started, and
    // waits up to `limit` for those workers to end, so that none of
    // them, nor a child process of theirs, outlives the program.
    static void releaseAndWait(std::shared_ptr<DiskManager>& manager, Seconds limit);
    // Teardown: cancels every task the manager owns and releases the watcher.
    ~DiskManager();
    DiskManager(const DiskManager&) = delete;
    DiskManager& operator=(const DiskManager&) = delete;

    ObserverId addObserver(Observer observer);
    ObserverId addOperationObserver(OperationObserver observer);
    void removeObserver(ObserverId id);

    // Published state.
    const std::vector<discovery::ESPVolume>& volumes() const { return volumes_; }
    // Every whole disk the last successful scan saw, with its ESPs or why it has
    // none; a mount or unmount in between changes the volumes, not these.
    const std::vector<discovery::DiskReport>& diskReports() const { return diskReports_; }
    bool isLoading() const { return isLoading_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    bool helperInstalled() const { return helperInstalled_; }
    bool helperBusy() const { return helperBusy_; }
    const std::set<std::string>& busyDiskIDs() const { return busyDiskIDs_; }
    bool launchAtLoginEnabled() const { return launchAtLoginEnabled_; }
    bool hasCompletedInitialScan() const { return hasCompletedInitialScan_; }
    // True while a scan, an operation, a reveal, an installation or a refresh
    // is running, queued or scheduled.
    bool hasPendingWork() const;

    // Starts watching the disks and scans once; later calls only log.
    void start();
    // The user asks for one full scan now, or as soon as the work in progress
    // allows; a message the user has not dismissed goes with the request.
    void refresh();
    // Mounts an unmounted volume, unmounts a mounted one. Refused without a
    // message while the helper is being installed or the disk is busy.
    void toggle(const discovery::ESPVolume& volume);
    // toggle() with the operation given by the caller instead of read from the
    // volume; for the command line, which also hands in partitions that no
    // scan listed so the pipeline can refuse them.
    // False when refused; otherwise the operation observers hear of its end.
    bool performOperation(const discovery::ESPVolume& volume, discovery::DiskOperation operation);
    // Shows the volume's mount point in the file browser. With reportFailure
    // the user asked for it: an earlier message goes and a failure says why;
    // without it (the reveal after a mount) nothing is said either way.
    void openMounted(const discovery::ESPVolume& volume, bool reportFailure);
    // Installs the privileged helper; refused while anything else runs.
    void installHelper();
    // Removes it, as installHelper installs it; a failure is shown the same way.
    void uninstallHelper();
    void setLaunchAtLoginEnabled(bool enabled);
    // The user read the message.
    void dismissError() { setLastError(std::nullopt); }

private:
    struct Passkey {};

public:
    DiskManager(Passkey, DiskManagerDependencies dependencies);

private:
    // Refresh (DiskManager.cpp).
    void willChange(Field field);
    void startAutoRefresh();
    // A scan nobody asked for in person: it leaves the message alone.
    void requestScan();
    void scheduleSilentRefresh(Seconds delay);
    using StartTask = std::function<TaskHandle(std::function<void()>)>;
    void launchScan(std::uint64_t generation);
    // Runs `body` on a worker of its own, kept until it ends so that teardown
    // cancels and waits for it even after it was cancelled and replaced.
    // Throws what the system says when it grants no thread.
    TaskHandle startWorker(std::function<void()> body);
    // The scan's worker: the scan and the helper status beside it, the result
    // handed to the main queue unless the task was cancelled.
    static void scanOnWorker(const std::weak_ptr<DiskManager>& weak, MainQueue& queue,
                             const std::shared_ptr<VolumeSource>& source,
                             const std::shared_ptr<HelperService>& helper,
                             const StartTask& startTask, std::uint64_t generation);
    void applyResult(std::uint64_t generation, std::vector<discovery::ESPVolume> volumes,
                     std::vector<discovery::DiskReport> disks, bool helperStatus);
    void applyFailure(std::uint64_t generation, const std::string& message, bool helperStatus);
    void finishCancelledRefresh(std::uint64_t generation);
    void runQueuedRefresh();
    void cancelActiveRefreshForDiskOperation();
    void applySystemStatus(std::optional<bool> helperStatus);
    bool cachedHelperInstalled() const;
    bool isPrivilegedWorkActive() const { return helperBusy_ || !busyDiskIDs_.empty(); }
    void setVolumes(std::vector<discovery::ESPVolume> volumes);
    void setDiskReports(std::vector<discovery::DiskReport> disks);
    void setLastError(std::optional<std::string> message);
    void setIsLoading(bool loading);
    void setHelperBusy(bool busy);
    void setLaunchAtLoginPublished(bool enabled);
    void insertBusyDisk(const std::string& diskID);
    void eraseBusyDisk(const std::string& diskID);

    // Operations, reveal and installation (DiskOperations.cpp).
    void finishOperation(const std::string& diskIdentifier, discovery::DiskOperation operation,
                         const discovery::ESPVolume& requested,
                         const std::optional<discovery::ESPVolume>& refreshed,
                         const std::optional<std::string>& failure, bool expectedMounted,
                         std::optional<bool> helperStatus);
    void finishCancelledOperation(const std::string& diskIdentifier);
    void updateSingleVolume(const std::string& diskIdentifier,
                            const std::vector<discovery::ESPVolume>& volumes);
    void scheduleMountedVolumeReveal(const discovery::ESPVolume& volume);
    void cancelReveal(const std::string& diskIdentifier);
    void operationFinished(const std::string& diskIdentifier);
    // The installation's or removal's worker and its end on the main queue.
    void startHelperChange(bool installing);
    void finishHelperInstallation(bool installing, std::optional<bool> installed,
                                  const std::optional<std::string>& failure);
    void postNotification(const std::string& title, const std::string& body);

    DiskManagerDependencies deps_;
    MainQueue& mainQueue_;
    const Clock& clock_;
    services::LaunchAtLoginController loginItem_;
    std::map<ObserverId, Observer> observers_;
    std::map<ObserverId, OperationObserver> operationObservers_;
    ObserverId nextObserverId_ = 0;

    // Published.
    std::vector<discovery::ESPVolume> volumes_;
    std::vector<discovery::DiskReport> diskReports_;
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
    std::vector<TaskHandle> workers_; // every worker that may not have ended yet
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
