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
        const operations::CommandRunner heldProbe = [&](const std::string&,
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

// Probes on several threads against a stream of outside writes: nothing is
// lost or torn, and every generation bump is counted.
TEST(ESPHelperStatusCacheThreads, ReadersAndWritersInterleave) {
    ManualClock clock;
    ESPHelperStatusCache cache(clock, 0.0); // always stale: every read probes
    const operations::CommandRunner probe = [](const std::string&, const std::vector<std::string>&,
                                               double) { return std::string("9"); };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                EXPECT_TRUE(ESPHelper::isInstalled(cache, probe));
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 1000; ++i) {
            cache.storeFromOutside(true);
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(cache.cachedValue(), true);
    EXPECT_EQ(cache.generation(), 1000u);
}
