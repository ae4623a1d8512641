#include "discovery/DiskCaches.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

using namespace tesselwick;
using namespace tesselwick::discovery;

namespace {

PlistDictionary dict(const std::string& marker) {
    return {{"Marker", marker}};
}

// A loader that counts its runs and answers a fixed dictionary.
struct CountingLoader {
    int runs = 0;
    std::string marker = "v";
    DiskInfoCache::Loader get() {
        return [this] {
            ++runs;
            return dict(marker + std::to_string(runs));
        };
    }
};

} // namespace

TEST(DiskInfoCache, FreshForLessThanThreeSeconds) {
    ManualClock clock(100.0);
    DiskInfoCache cache(clock);
    CountingLoader loader;
    EXPECT_EQ(cache.value("disk0s1", loader.get()), dict("v1"));
    clock.advance(2.999);
    EXPECT_EQ(cache.value("disk0s1", loader.get()), dict("v1"));
    EXPECT_EQ(loader.runs, 1);
    clock.set(103.0); // exactly 3.0 seconds old: stale
    EXPECT_EQ(cache.value("disk0s1", loader.get()), dict("v2"));
    EXPECT_EQ(loader.runs, 2);
}

TEST(DiskInfoCache, AgeCountsFromTheEndOfTheLoad) {
    ManualClock clock(100.0);
    DiskInfoCache cache(clock);
    int runs = 0;
    auto slow = [&] {
        ++runs;
        clock.advance(2.0); // the tool took two seconds
        return dict("slow");
    };
    cache.value("disk0", slow);
    clock.advance(2.5); // 4.5 s after the request, 2.5 s after the store
    cache.value("disk0", slow);
    EXPECT_EQ(runs, 1);
}

TEST(DiskInfoCache, InvalidateDropsEveryFreshEntry) {
    ManualClock clock;
    DiskInfoCache cache(clock);
    CountingLoader loader;
    cache.value("disk0", loader.get());
    cache.value("disk0s1", loader.get());
    cache.invalidate(); // a mount changed what diskutil would say
    EXPECT_EQ(cache.entryCount(), 0u);
    // Both are read again at once, not served from before the change.
    EXPECT_EQ(cache.value("disk0s1", loader.get()), dict("v3"));
    EXPECT_EQ(cache.value("disk0", loader.get()), dict("v4"));
}

TEST(DiskInfoCache, InvalidationDuringALoadDropsItsResult) {
    ManualClock clock;
    DiskInfoCache cache(clock);
    auto interrupted = [&] {
        cache.invalidate(); // a mount finished while diskutil was running
        return dict("old");
    };
    EXPECT_THROW(cache.value("disk0s1", interrupted), CancellationError);
    EXPECT_FALSE(cache.contains("disk0s1"));
    EXPECT_EQ(cache.loadsInFlight(), 0u);
    CountingLoader loader;
    EXPECT_EQ(cache.value("disk0s1", loader.get()), dict("v1"));
    EXPECT_EQ(loader.runs, 1);
}

TEST(DiskInfoCache, ANewerLoadOfTheSameIdentifierWins) {
    ManualClock clock;
    DiskInfoCache cache(clock);
    // The first load is overtaken by a second one that starts and finishes while
    // the first is still running.
    auto first = [&] {
        EXPECT_EQ(cache.value("disk0s1", [] { return dict("second"); }), dict("second"));
        return dict("first");
    };
    EXPECT_THROW(cache.value("disk0s1", first), CancellationError);
    EXPECT_EQ(cache.value("disk0s1", [] { return dict("third"); }), dict("second"));
    // A load of another identifier does not disturb it.
    auto other = [&] {
        cache.value("disk1s1", [] { return dict("other"); });
        return dict("mine");
    };
    clock.advance(10);
    EXPECT_EQ(cache.value("disk0s1", other), dict("mine"));
}

TEST(DiskInfoCache, FailuresAreNotCachedAndLeaveNoSerial) {
    ManualClock clock;
    DiskInfoCache cache(clock);
    int runs = 0;
    auto failing = [&]() -> PlistDictionary {
        ++runs;
        throw commandError(1, "diskutil failed");
    };
    EXPECT_THROW(cache.value("disk0s1", failing), DomainError);
    EXPECT_EQ(cache.loadsInFlight(), 0u);
    EXPECT_THROW(cache.value("disk0s1", failing), DomainError);
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(cache.entryCount(), 0u);

    // A failure keeps an older, stale entry out of service but in place.
    cache.value("disk0s2", [] { return dict("old"); });
    clock.advance(5);
    EXPECT_THROW(cache.value("disk0s2", failing), DomainError);
    EXPECT_TRUE(cache.contains("disk0s2"));
    EXPECT_EQ(cache.value("disk0s2", [] { return dict("new"); }), dict("new"));
}

TEST(DiskInfoCache, The65thIdentifierEvictsTheOldest) {
    ManualClock clock(0);
    DiskInfoCache cache(clock);
    for (int i = 0; i < 64; ++i) {
        clock.set(i * 0.01);
        cache.value("disk" + std::to_string(i), [&] { return dict(std::to_string(i)); });
    }
    EXPECT_EQ(cache.entryCount(), 64u);
    // Refreshing one that is present evicts nothing (disk0 is stale by now).
    clock.set(3.5);
    cache.value("disk0", [] { return dict("again"); });
    EXPECT_EQ(cache.entryCount(), 64u);
    EXPECT_TRUE(cache.contains("disk1"));
    // A new identifier evicts exactly the one stored longest ago: disk1 now.
    cache.value("disk64", [] { return dict("64"); });
    EXPECT_EQ(cache.entryCount(), 64u);
    EXPECT_FALSE(cache.contains("disk1"));
    EXPECT_TRUE(cache.contains("disk0"));
    EXPECT_TRUE(cache.contains("disk2"));
    EXPECT_TRUE(cache.contains("disk64"));
}

TEST(DiskInfoCache, InvalidateExpiredKeepsOnlyFreshEntries) {
    ManualClock clock(0);
    DiskInfoCache cache(clock);
    cache.value("old", [] { return dict("o"); });
    clock.set(3.0);
    cache.value("new", [] { return dict("n"); });
    clock.set(4.0); // entries are 4 s and 1 s old
    // A load in flight is unaffected by dropping expired entries.
    EXPECT_EQ(cache.value("loading",
                          [&] {
                              cache.invalidateExpired();
                              return dict("l");
                          }),
              dict("l"));
    EXPECT_FALSE(cache.contains("old"));
    EXPECT_TRUE(cache.contains("new"));
    EXPECT_TRUE(cache.contains("loading"));
}

TEST(DiskImageMapCache, FirstCallLoadsThenServesForFiveSeconds) {
    ManualClock clock(0); // even at uptime 0 nothing is "fresh" before the first load
    DiskImageMapCache cache(clock);
    int runs = 0;
    auto empty = [&] {
        ++runs;
        return DiskImageMap{};
    };
    EXPECT_TRUE(cache.value(empty).empty());
    clock.set(4.999);
    EXPECT_TRUE(cache.value(empty).empty()); // an empty map is a stored answer
    EXPECT_EQ(runs, 1);
    clock.set(5.0);
    cache.value(empty);
    EXPECT_EQ(runs, 2);
    cache.invalidate();
    cache.value(empty);
    EXPECT_EQ(runs, 3);
}

TEST(DiskImageMapCache, SupersededAndFailedLoads) {
    ManualClock clock;
    DiskImageMapCache cache(clock);
    EXPECT_THROW(cache.value([&] {
        cache.invalidate();
        return DiskImageMap{{"disk4", "/a.dmg"}};
    }),
                 CancellationError);
    // A newer load that finishes first wins; the older is cancelled.
    EXPECT_THROW(cache.value([&] {
        cache.value([] { return DiskImageMap{{"disk5", "/new.dmg"}}; });
        return DiskImageMap{{"disk5", "/old.dmg"}};
    }),
                 CancellationError);
    EXPECT_EQ(cache.value([] { return DiskImageMap{}; }), (DiskImageMap{{"disk5", "/new.dmg"}}));
    // A failure passes through; the stale map is not served afterwards.
    clock.advance(6);
    EXPECT_THROW(cache.value([]() -> DiskImageMap { throw commandError(1, "hdiutil failed"); }),
                 DomainError);
    EXPECT_EQ(cache.value([] {
        return DiskImageMap{{"disk6", "/x.dmg"}};
    }),
              (DiskImageMap{{"disk6", "/x.dmg"}}));
}
