// Mount and unmount, the reveal of a freshly mounted volume, opening it, and
// the helper's installation: the requests that run privileged work.

#include "manager/DiskManager.h"

#include "diagnostics/Diagnostics.h"
#include "discovery/Classification.h"
#include "helper/ESPHelper.h"
#include "support/Errors.h"

#include <algorithm>
#include <exception>

namespace tesselwick::manager {

using discovery::DiskOperation;
using discovery::ESPVolume;

namespace {

std::string boolText(bool value) {
    return value ? "true" : "false";
}

} // namespace

void DiskManager::toggle(const ESPVolume& volume) {
    performOperation(volume, volume.mountPoint ? DiskOperation::unmount : DiskOperation::mount);
}

bool DiskManager::performOperation(const ESPVolume& volume, DiskOperation operation) {
    const std::string diskID = volume.diskIdentifier;
    setLastError(std::nullopt);
    if (helperTask_ || helperBusy_ || busyDiskIDs_.contains(diskID)) {
        return false;
    }
    cancelReveal(diskID);
    cancelActiveRefreshForDiskOperation();
    insertBusyDisk(diskID);

    const bool expectedMounted = operation == DiskOperation::mount;
    std::weak_ptr<DiskManager> weak = weak_from_this();
    MainQueue& queue = mainQueue_;
    // Copies, so the worker never reaches into a manager that is gone.
    std::shared_ptr<OperationService> operations = deps_.operations;
    std::shared_ptr<VolumeSource> source = deps_.volumes;
    std::shared_ptr<HelperService> helper = deps_.helper;
    std::function<void()> body = [=, &queue] {
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
            if (!operations) {
                throw commandError(1, "Unable to " +
                                          std::string(discovery::operationName(operation)) +
                                          " EFI partition " + diskID + ".");
            }
            operations->run(operation, discovery::PartitionId::validated(diskID));
            source->invalidateAll();
            refreshed = operations->refreshedVolume(volume, expectedMounted);
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
        const std::optional<bool> helperStatus =
            helper ? helper->cachedStatus() : std::optional<bool>{};
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
    };
    try {
        operationTasks_[diskID] = startWorker(std::move(body));
    } catch (const std::exception& error) {
        TW_LOG("DiskManager.operation could not start disk=" + diskID + " error=" + error.what());
        eraseBusyDisk(diskID);
        setLastError("Unable to " + std::string(discovery::operationName(operation)) +
                     " EFI partition " + diskID + ". " + error.what());
        return false;
    }
    return true;
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
        operationFinished(diskID);
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
    if (!pendingRevealTasks_.contains(diskID)) {
        operationFinished(diskID);
    }
}

void DiskManager::operationFinished(const std::string& diskIdentifier) {
    const auto observers = operationObservers_;
    for (const auto& [id, observer] : observers) {
        observer(diskIdentifier);
    }
}

void DiskManager::postNotification(const std::string& title, const std::string& body) {
    if (deps_.notify) {
        deps_.notify(title, body);
    }
}

void DiskManager::finishCancelledOperation(const std::string& diskIdentifier) {
    operationTasks_.erase(diskIdentifier);
    eraseBusyDisk(diskIdentifier);
    applySystemStatus(std::nullopt);
    if (busyDiskIDs_.empty()) {
        runQueuedRefresh();
    }
    operationFinished(diskIdentifier);
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
        revealTokens_.erase(diskIdentifier);
        operationFinished(diskIdentifier);
        return;
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
        if (shown != manager->volumes_.end() && shown->mountPoint && volume.mountPoint &&
            *shown->mountPoint == *volume.mountPoint) {
            manager->openMounted(*shown, false);
        }
        manager->operationFinished(diskID);
    });
}

void DiskManager::openMounted(const ESPVolume& volume, bool reportFailure) {
    if (reportFailure) {
        setLastError(std::nullopt);
    }
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

// Helper installation and removal.

void DiskManager::installHelper() {
    startHelperChange(true);
}

void DiskManager::uninstallHelper() {
    startHelperChange(false);
}

void DiskManager::startHelperChange(bool installing) {
    const std::string intent = installing ? "installHelper" : "uninstallHelper";
    TW_LOG("DiskManager." + intent + " requested loading=" + boolText(isLoading_) + " helperBusy=" +
           boolText(helperBusy_) + " activeOperations=" + std::to_string(operationTasks_.size()));
    if (helperTask_ || isLoading_ || !operationTasks_.empty() || !busyDiskIDs_.empty()) {
        return;
    }
    setHelperBusy(true);
    setLastError(std::nullopt);

    std::weak_ptr<DiskManager> weak = weak_from_this();
    MainQueue& queue = mainQueue_;
    std::shared_ptr<HelperService> helper = deps_.helper;
    std::function<void()> body = [weak, &queue, helper, installing, intent] {
        const auto finish = [&](std::optional<bool> installed, std::optional<std::string> failure) {
            queue.post([weak, installing, installed, failure] {
                if (auto manager = weak.lock()) {
                    manager->finishHelperInstallation(installing, installed, failure);
                }
            });
        };
        const auto cancelled = [&] { finish(std::nullopt, std::nullopt); };
        std::optional<std::string> failure;
        try {
            if (!helper) {
                throw ESPHelper::helperError(installing ? "The helper cannot be installed here."
                                                        : "The helper cannot be removed here.");
            }
            if (installing) {
                helper->install();
            } else {
                helper->uninstall();
            }
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
            installed = helper && helper->isInstalled();
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
            TW_LOG("DiskManager." + intent + " failed error=" + *failure +
                   " helperInstalled=" + boolText(installed));
        }
        finish(installed, failure);
    };
    try {
        helperTask_ = startWorker(std::move(body));
    } catch (const std::exception& error) {
        TW_LOG("DiskManager." + intent + " could not start error=" + error.what());
        setHelperBusy(false);
        setLastError(std::string(installing ? "The helper could not be installed: "
                                            : "The helper could not be removed: ") +
                     error.what());
    }
}

// `installed` is none when the installation was cancelled.
void DiskManager::finishHelperInstallation(bool installing, std::optional<bool> installed,
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
        setLastError(failure);
        runQueuedRefresh();
        return;
    }
    applySystemStatus(installed);
    setHelperBusy(false);
    helperTask_ = {};
    TW_LOG(std::string("DiskManager.") + (installing ? "installHelper" : "uninstallHelper") +
           " completed helperInstalled=" + boolText(*installed));
    if (installing) {
        postNotification("Helper ready", "Passwordless EFI mount/unmount is available.");
    }
    requestScan();
}

} // namespace tesselwick::manager
