#include "manager/CoreServices.h"

#include "discovery/DiskCaches.h"
#include "discovery/VolumeScan.h"
#include "helper/ESPHelper.h"
#include "operations/EFIOperations.h"

namespace tesselwick::manager {
namespace {

class ScanVolumeSource final : public VolumeSource {
public:
    std::vector<discovery::ESPVolume> loadESPVolumes() override {
        return discovery::loadESPVolumes();
    }
    void invalidateExpired() override { discovery::DiskInfoCache::shared().invalidateExpired(); }
    void invalidateAll() override {
        discovery::DiskImageMapCache::shared().invalidate();
        discovery::DiskInfoCache::shared().invalidate();
    }
};

class PrivilegedHelper final : public HelperService {
public:
    std::optional<bool> cachedStatus() const override {
        return ESPHelper::statusCache().cachedValue();
    }
    bool isInstalled() override { return ESPHelper::isInstalled(); }
    void install() override { ESPHelper::install(); }
};

class MountRoutes final : public OperationService {
public:
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

CoreServices makeCoreServices() {
    return {std::make_shared<ScanVolumeSource>(), std::make_shared<PrivilegedHelper>(),
            std::make_shared<MountRoutes>()};
}

} // namespace tesselwick::manager
