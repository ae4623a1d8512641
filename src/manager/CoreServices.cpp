#include "manager/CoreServices.h"

#include "discovery/DiskCaches.h"
#include "discovery/VolumeScan.h"
#include "helper/ESPHelper.h"
#include "operations/EFIOperations.h"
#include "process/CommandRunner.h"

namespace tesselwick::manager {
namespace {

// What the three services share for as long as any of them lives: one runner
// and the caches every scan, operation and probe reads through.
struct SharedState {
    process::CommandRunner runner;
    discovery::DiskInfoCache diskInfo;
    discovery::DiskImageMapCache diskImages;
    std::shared_ptr<ESPHelperStatusCache> helperStatus = std::make_shared<ESPHelperStatusCache>();
};

class ScanVolumeSource final : public VolumeSource {
public:
    explicit ScanVolumeSource(std::shared_ptr<SharedState> state) : state_(std::move(state)) {}
    std::vector<discovery::ESPVolume>
    loadESPVolumes(std::vector<discovery::DiskReport>* disks) override {
        return discovery::VolumeScanner(state_->runner, state_->diskInfo, state_->diskImages,
                                        discovery::VolumeScanner::defaultLookupConcurrency)
            .loadESPVolumes(disks);
    }
    void invalidateExpired() override { state_->diskInfo.invalidateExpired(); }
    void invalidateAll() override {
        state_->diskImages.invalidate();
        state_->diskInfo.invalidate();
    }

private:
    std::shared_ptr<SharedState> state_;
};

class PrivilegedHelper final : public HelperService {
public:
    explicit PrivilegedHelper(std::shared_ptr<SharedState> state) : state_(std::move(state)) {}
    std::optional<bool> cachedStatus() const override {
        return state_->helperStatus->cachedValue();
    }
    bool isInstalled() override {
        return ESPHelper::isInstalled(*state_->helperStatus, state_->runner);
    }
    void install() override { ESPHelper::install(*state_->helperStatus, state_->runner); }
    void uninstall() override { ESPHelper::uninstall(*state_->helperStatus, state_->runner); }

private:
    std::shared_ptr<SharedState> state_;
};

operations::EFIOperationServices operationServices(const std::shared_ptr<SharedState>& state) {
    operations::EFIOperationServices services;
    services.runner = state->runner;
    services.cachedHelperStatus = [state] { return state->helperStatus->cachedValue(); };
    services.invalidateHelperStatus = [state] { state->helperStatus->invalidate(); };
    services.helperIsInstalled = [state] {
        return ESPHelper::isInstalled(*state->helperStatus, state->runner);
    };
    services.runHelper = [state](discovery::DiskOperation operation,
                                 const discovery::PartitionId& partition) {
        ESPHelper::run(operation, partition, *state->helperStatus, state->runner);
    };
    return services;
}

class MountRoutes final : public OperationService {
public:
    explicit MountRoutes(const std::shared_ptr<SharedState>& state)
        : operations_(operationServices(state)) {}
    void run(discovery::DiskOperation operation, const discovery::PartitionId& partition) override {
        operations_.runEFICommand(operation, partition);
    }
    discovery::ESPVolume refreshedVolume(const discovery::ESPVolume& volume,
                                         bool expectedMounted) override {
        return operations_.refreshedOperationVolume(volume, expectedMounted);
    }

private:
    const operations::EFIOperations operations_;
};

} // namespace

CoreServices makeCoreServices(process::CommandRunner runner) {
    auto state = std::make_shared<SharedState>();
    state->runner = std::move(runner);
    return {std::make_shared<ScanVolumeSource>(state), std::make_shared<PrivilegedHelper>(state),
            std::make_shared<MountRoutes>(state), state->helperStatus};
}

} // namespace tesselwick::manager
