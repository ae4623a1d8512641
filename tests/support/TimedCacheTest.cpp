#include "support/TimedCache.h"
#include "doubles/ManualClock.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

#include <functional>
#include <latch>
#include <thread>

using namespace tesselwick;

namespace {

using Cache = TimedCache<std::string, std::string>;

enum class Outcome { stored, overtaken, failed };

} // namespace

TEST(TimedCache, WhatALoadStoresDependsOnWhatHappenedWhileItRan) {
    const struct {
        std::function<void(Cache&)> meanwhile; // runs inside the load of "k"
        Outcome outcome;
        std::optional<std::string> after; // what "k" then holds
    } cases[] = {
        // nothing: the load's value is stored
        {[](Cache&) {}, Outcome::stored, "load"},
        // an invalidation (a mount): the load is void
        {[](Cache& c) { c.invalidate(); }, Outcome::overtaken, std::nullopt},
        // an invalidation, then a newer load: only the newer one stores
        {[](Cache& c) {
             c.invalidate();
             c.value("k", [] { return std::string("newer"); });
         },
         Outcome::overtaken, "newer"},
        // a newer load of the same key finished first: it wins
        {[](Cache& c) { c.value("k", [] { return std::string("newer"); }); }, Outcome::overtaken,
         "newer"},
        // a newer load that failed still overtook this one
        {[](Cache& c) {
             EXPECT_THROW(c.value("k", []() -> std::string { throw commandError(1, "x"); }),
                          DomainError);
         },
         Outcome::overtaken, std::nullopt},
        // an answer stored from outside (an installation) wins
        {[](Cache& c) { c.storeFromOutside("k", "outside"); }, Outcome::overtaken, "outside"},
        // another key's load and expiry sweeps leave this load alone
        {[](Cache& c) {
             c.value("other", [] { return std::string("x"); });
             c.invalidateExpired();
         },
         Outcome::stored, "load"},
        // the tool failed: the error passes on and nothing is stored
        {[](Cache&) { throw commandError(1, "diskutil failed"); }, Outcome::failed, std::nullopt},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        ManualClock clock;
        Cache cache(clock, Seconds(3.0));
        const auto load = [&] {
            cases[i].meanwhile(cache);
            return std::string("load");
        };
        Outcome outcome = Outcome::stored;
        try {
            EXPECT_EQ(cache.value("k", load), "load") << i;
        } catch (const CancellationError&) {
            outcome = Outcome::overtaken;
        } catch (const DomainError&) {
            outcome = Outcome::failed;
        }
        EXPECT_EQ(outcome, cases[i].outcome) << i;
        EXPECT_EQ(cache.freshValue("k"), cases[i].after) << i;
        // Nothing is left in flight: the next load stores.
        clock.advance(10);
        EXPECT_EQ(cache.value("k", [] { return std::string("next"); }), "next") << i;
    }
}

TEST(TimedCache, FreshForTheTimeToLiveCountedFromTheEndOfTheLoad) {
    const struct {
        double age; // after the load ended
        bool fresh;
    } cases[] = {
        {2.999, true}, {3.0, false}, // exactly the time to live: stale
    };
    for (const auto& c : cases) {
        ManualClock clock(100.0);
        Cache cache(clock, Seconds(3.0));
        EXPECT_FALSE(cache.freshValue("k")); // nothing before the first load, even at 0
        int runs = 0;
        const auto load = [&] {
            clock.advance(2.0); // the tool took two seconds
            return std::to_string(++runs);
        };
        cache.value("k", load);
        clock.set(102.0 + c.age);
        EXPECT_EQ(cache.value("k", load), c.fresh ? "1" : "2") << c.age;
        // A stale value is still the cached one, until an invalidation drops it.
        EXPECT_TRUE(cache.cachedValue("k"));
        cache.invalidate();
        EXPECT_FALSE(cache.cachedValue("k"));
    }
}

TEST(TimedCache, ANewKeyBeyondCapacityEvictsTheOneStoredLongestAgo) {
    ManualClock clock(0);
    Cache cache(clock, Seconds(3.0), 3);
    for (const char* key : {"c", "b", "a"}) {
        clock.advance(1);
        cache.value(key, [] { return std::string("v"); });
    }
    // Reloading a present key evicts nothing ("c" is stale by now).
    clock.set(4.5);
    EXPECT_EQ(cache.value("c", [] { return std::string("again"); }), "again");
    EXPECT_EQ(cache.entryCount(), 3u);
    cache.value("d", [] { return std::string("v"); });
    EXPECT_FALSE(cache.contains("b")); // the oldest now, though not the first by key
    EXPECT_TRUE(cache.contains("a") && cache.contains("c") && cache.contains("d"));
    // Dropping expired entries keeps the fresh ones.
    clock.set(6.1);
    cache.invalidateExpired();
    EXPECT_EQ(cache.entryCount(), 2u);
    EXPECT_TRUE(cache.contains("c") && cache.contains("d"));
}

// Many readers, loaders and invalidations at once: every call ends in its own
// key's value or a cancellation, and the capacity holds (run under tsan in CI).
TEST(TimedCacheConcurrency, StressKeepsTheInvariants) {
    ManualClock clock;
    Cache cache(clock, Seconds(3.0), 64);
    constexpr int kThreads = 6;
    constexpr int kIterations = 400;
    std::latch start(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kIterations; ++i) {
                const std::string key = std::to_string((t * 31 + i) % 80);
                try {
                    EXPECT_EQ(cache.value(key, [&] { return key; }), key);
                } catch (const CancellationError&) {
                }
                if (i % 50 == t) {
                    cache.invalidate();
                }
                if (i % 7 == 0) {
                    clock.advance(0.5);
                    cache.invalidateExpired();
                }
            }
        });
    }
    start.arrive_and_wait();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_LE(cache.entryCount(), 64u);
}
