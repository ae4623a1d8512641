#include "doubles/ManualClock.h"
#include "discovery/DiskCaches.h"

#include <gtest/gtest.h>

using namespace tesselwick;
using namespace tesselwick::discovery;

// What the two disk caches add to the timed cache: their times to live and the
// disk-information cache's capacity.
TEST(DiskCaches, TimesToLiveAndCapacity) {
    ManualClock clock(0);
    DiskInfoCache info(clock);
    DiskImageMapCache images(clock);
    int runs = 0;
    const auto infoLoad = [&] { return PlistDictionary{{"Run", std::to_string(++runs)}}; };
    const auto imageLoad = [&] { return DiskImageMap{{"disk4", std::to_string(++runs)}}; };
    for (int i = 0; i < 65; ++i) {
        info.value("disk" + std::to_string(i), infoLoad);
    }
    EXPECT_EQ(info.entryCount(), 64u);
    images.value(imageLoad);
    clock.set(2.999); // the disk information is fresh
    EXPECT_EQ(info.value("disk64", infoLoad), (PlistDictionary{{"Run", "65"}}));
    clock.set(3.0); // the disk information is stale, the image map still fresh
    EXPECT_EQ(info.value("disk64", infoLoad), (PlistDictionary{{"Run", "67"}}));
    EXPECT_EQ(images.value(imageLoad).at("disk4"), "66");
    clock.set(5.0);
    EXPECT_EQ(images.value(imageLoad).at("disk4"), "68");
}
