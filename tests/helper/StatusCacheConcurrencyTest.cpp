#include "helper/ESPHelper.h"

#include "support/Clock.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

using namespace tesselwick;

// A probe on a worker thread, held inside sudo while an installation on
// another thread stores its answer: the probe's older answer must not win.
TEST(ESPHelperStatusCacheThreads, AProbeRacingAnOutsideStoreKeepsTheStoredAnswer) {
    for (const bool outside : {true, false}) {
        ManualClock clock;
        ESPHelperStatusCache cache(clock);
        std::promise<void> probeStarted;
        std::promise<void> storeDone;
        auto storeDoneFuture = storeDone.get_future();
        const process::CommandRunner heldProbe = [&](const std::string&,
                                                     const std::vector<std::string>&, double) {
            probeStarted.set_value();
            storeDoneFuture.wait();
            return std::string(outside ? "8" : "9");
        };
        auto probe = std::async(std::launch::async,
                                [&] { return ESPHelper::isInstalled(cache, heldProbe); });
        probeStarted.get_future().wait();
        std::thread installer([&] { cache.storeFromOutside(outside); });
        installer.join();
        storeDone.set_value();
        EXPECT_EQ(probe.get(), outside);
        EXPECT_EQ(cache.cachedValue(), outside);
    }
}
