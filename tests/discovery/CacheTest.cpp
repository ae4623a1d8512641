#include "doubles/ManualClock.h"
#include "discovery/DiskCaches.h"
#include "support/Errors.h"

#include <gtest/gtest.h>

using namespace tesselwick;
using namespace tesselwick::discovery;

namespace {

PlistDictionary dict(const std::string& marker) {
    return {{"Marker", marker}};
}

// A loader that answers "v1", "v2", ... one per run, like a tool whose answer changes.
struct Loader {
    int runs = 0;
    DiskInfoCache::Loader get() {
        return [this] {
            std::string marker = "v";
            marker += std::to_string(++runs);
            return dict(marker);
        };
    }
};

} // namespace

TEST(DiskInfoCache, FreshForLessThanThreeSecondsAfterTheLoadEnded) {
    ManualClock clock(100.0);
    DiskInfoCache cache(clock);
    Loader loader;
    auto slow = [&] {
        clock.advance(2.0); // the tool took two seconds
        return loader.get()();
    };
    EXPECT_EQ(cache.value("disk0s1", slow), dict("v1"));
    clock.set(104.999);
    EXPECT_EQ(cache.value("disk0s1", loader.get()), dict("v1"));
    clock.set(105.0); // exactly 3.0 seconds after the load ended: stale
    EXPECT_EQ(cache.value("disk0s1", loader.get()), dict("v2"));
}

TEST(DiskInfoCache, InvalidateDropsEveryFreshEntry) {
    ManualClock clock;
    DiskInfoCache cache(clock);
    Loader loader;
    cache.value("disk0", loader.get());
    cache.value("disk0s1", loader.get());
    cache.invalidate(); // a mount changed what diskutil would say
    // Both are read again at once, not served from before the change.
    EXPECT_EQ(cache.value("disk0s1", loader.get()), dict("v3"));
    EXPECT_EQ(cache.value("disk0", loader.get()), dict("v4"));
}

TEST(DiskInfoCache, OvertakenLoadsStoreNothing) {
    ManualClock clock;
    DiskInfoCache cache(clock);
    // A mount finished (and invalidated) while diskutil was running.
    EXPECT_THROW(cache.value("disk0s1",
                             [&] {
                                 cache.invalidate();
                                 return dict("old");
                             }),
                 CancellationError);
    EXPECT_EQ(cache.value("disk0s1", [] { return dict("new"); }), dict("new"));
    // A second load of the same identifier started and finished meanwhile: it wins.
    clock.advance(10);
    EXPECT_THROW(cache.value("disk0s1",
                             [&] {
                                 cache.value("disk0s1", [] { return dict("second"); });
                                 return dict("first");
                             }),
                 CancellationError);
    EXPECT_EQ(cache.value("disk0s1", [] { return dict("third"); }), dict("second"));
}

TEST(DiskInfoCache, FailuresAreNotCachedAndHideTheStaleEntry) {
    ManualClock clock;
    DiskInfoCache cache(clock);
    auto failing = []() -> PlistDictionary { throw commandError(1, "diskutil failed"); };
    EXPECT_THROW(cache.value("disk0s1", failing), DomainError);
    EXPECT_EQ(cache.value("disk0s1", [] { return dict("later"); }), dict("later"));
    clock.advance(5);
    EXPECT_THROW(cache.value("disk0s1", failing), DomainError);
    EXPECT_EQ(cache.value("disk0s1", [] { return dict("new"); }), dict("new"));
}

TEST(DiskInfoCache, The65thIdentifierEvictsTheOldestAndExpiredEntriesGo) {
    ManualClock clock(0);
    DiskInfoCache cache(clock);
    for (int i = 0; i < 64; ++i) {
        clock.set(i * 0.01);
        cache.value("disk" + std::to_string(i), [&] { return dict(std::to_string(i)); });
    }
    // Refreshing one that is present evicts nothing (disk0 is stale by now).
    clock.set(3.5);
    cache.value("disk0", [] { return dict("again"); });
    EXPECT_TRUE(cache.contains("disk1"));
    // A new identifier evicts exactly the one stored longest ago: disk1 now.
    cache.value("disk64", [] { return dict("64"); });
    EXPECT_FALSE(cache.contains("disk1"));
    EXPECT_TRUE(cache.contains("disk0"));
    // Dropping expired entries keeps the fresh ones and a load in flight.
    clock.set(5.0);
    cache.value("loading", [&] {
        cache.invalidateExpired();
        return dict("l");
    });
    EXPECT_EQ(cache.entryCount(), 3u);
    EXPECT_TRUE(cache.contains("disk64") && cache.contains("disk0") && cache.contains("loading"));
}

TEST(DiskImageMapCache, ServesForFiveSecondsUntilInvalidated) {
    ManualClock clock(0); // even at uptime 0 nothing is "fresh" before the first load
    DiskImageMapCache cache(clock);
    int runs = 0;
    auto load = [&] {
        std::string path = "/";
        path += std::to_string(++runs);
        path += ".dmg";
        return DiskImageMap{{"disk4", path}};
    };
    EXPECT_EQ(cache.value(load).at("disk4"), "/1.dmg");
    clock.set(4.999);
    EXPECT_EQ(cache.value(load).at("disk4"), "/1.dmg");
    clock.set(5.0);
    EXPECT_EQ(cache.value(load).at("disk4"), "/2.dmg");
    cache.invalidate(); // an image was attached
    EXPECT_EQ(cache.value(load).at("disk4"), "/3.dmg");
}
