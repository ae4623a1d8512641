#include "doubles/ManualClock.h"
#include "discovery/DiskCaches.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <thread>

using namespace tesselwick;
using namespace tesselwick::discovery;

namespace {
PlistDictionary dict(const std::string& marker) {
    return {{"Marker", marker}};
}
} // namespace

// Two threads load the same identifier at once: both run the loader, only the one
// that started last may store, the other gets the cancellation error.
TEST(DiskInfoCacheConcurrency, TwoConcurrentLoadsOfOneIdentifier) {
    ManualClock clock;
    DiskInfoCache cache(clock);
    std::promise<void> firstStarted;
    std::promise<void> secondDone;
    std::shared_future<void> secondDoneFuture = secondDone.get_future().share();

    auto first = std::async(std::launch::async, [&] {
        return cache.value("disk0s1", [&] {
            firstStarted.set_value();
            secondDoneFuture.wait(); // still running when the newer load finishes
            return dict("first");
        });
    });
    firstStarted.get_future().wait();
    cache.invalidate(); // never waits for a loader that runs on another thread
    auto second = std::async(std::launch::async,
                             [&] { return cache.value("disk0s1", [] { return dict("second"); }); });
    EXPECT_EQ(second.get(), dict("second"));
    secondDone.set_value();
    EXPECT_THROW(first.get(), CancellationError);
    EXPECT_EQ(cache.value("disk0s1", [] { return dict("unused"); }), dict("second"));
}

// Many readers, loaders and invalidations at once: every call ends in the right value
// or a cancellation, the capacity holds, and nothing races (run under tsan in CI).
TEST(DiskInfoCacheConcurrency, StressKeepsTheInvariants) {
    ManualClock clock;
    DiskInfoCache infoCache(clock);
    DiskImageMapCache imageCache(clock);
    constexpr int kThreads = 6;
    constexpr int kIterations = 400;
    std::latch start(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kIterations; ++i) {
                const std::string id = "disk" + std::to_string((t * 31 + i) % 80);
                try {
                    const PlistDictionary value = infoCache.value(id, [&] { return dict(id); });
                    EXPECT_EQ(value, dict(id));
                    imageCache.value([] { return DiskImageMap{{"disk9", "/x.dmg"}}; });
                } catch (const CancellationError&) {
                }
                if (i % 50 == t) {
                    imageCache.invalidate();
                    infoCache.invalidate();
                }
                if (i % 7 == 0) {
                    clock.advance(0.5);
                    infoCache.invalidateExpired();
                }
            }
        });
    }
    start.arrive_and_wait();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_LE(infoCache.entryCount(), DiskInfoCache::maximumEntries);
}
