#include "discovery/DiskCaches.h"

#include "support/NoDestructor.h"

namespace tesselwick::discovery {

DiskInfoCache& DiskInfoCache::shared() {
    static NoDestructor<DiskInfoCache> cache;
    return *cache;
}

DiskImageMapCache& DiskImageMapCache::shared() {
    static NoDestructor<DiskImageMapCache> cache;
    return *cache;
}

} // namespace tesselwick::discovery
