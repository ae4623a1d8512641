// Pure rules of the popover: the size rules with their persisted layout.

#include "ui/PopoverState.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <limits>

using tesselwick::ui::PopoverLayout;
using tesselwick::ui::PopoverState;

TEST(PopoverSizes, HeightsPerModeAndVolumeCount) {
    struct Case {
        bool expanded;
        std::size_t count;
        double height;
    };
    const Case cases[] = {
        {false, 0, 341},                                   // empty body
        {false, 1, 282},                                   // 229 raised to the minimum
        {false, 2, 289}, {false, 3, 349}, {false, 7, 349}, // three rows, the list scrolls
        {true, 0, 421},  {true, 1, 330},                   // 269 raised to the minimum
        {true, 2, 339},  {true, 5, 549},  {true, 9, 549},  // five rows, the list scrolls
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(PopoverState::preferredHeight(c.expanded, c.count), c.height)
            << c.expanded << " " << c.count;
    }
}

struct PopoverStateTest : ::testing::Test {
    QTemporaryDir scratch;
    QSettings settings{scratch.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat};
    PopoverState state{settings};

    void storeRaw(const QVariant& width, const QVariant& height, const QVariant& count) {
        settings.setValue(
            PopoverState::kLayoutKey,
            QVariantMap{{"width", width}, {"height", height}, {"volumeCount", count}});
    }
};

TEST_F(PopoverStateTest, SavedLayoutIsReusedOnlyWhenValidAndFittingTheMode) {
    struct Case {
        QVariant width, height, count;
        QSizeF restored;
    } cases[] = {
        {460.3, 300.0, qlonglong(0), {460.3, 300}}, // within half a point of the mode's width
        {470.0, 300.0, qlonglong(0), {460, 341}},   // width off by more than 0.5
        {460.0, 281.0, qlonglong(0), {460, 341}},   // below the compact minimum
        {470.0, 300.0, qlonglong(2), {460, 289}},   // then the saved count decides
        {true, 300.0, qlonglong(2), {460, 341}},    // a boolean is not a number
        {460.0, 300.0, 1e19, {460, 341}},           // beyond a signed 64-bit count
    };
    for (const Case& c : cases) {
        storeRaw(c.width, c.height, c.count);
        EXPECT_EQ(state.restoredPreferredSize(), c.restored) << c.width.toString().toStdString();
    }
}

TEST_F(PopoverStateTest, StoringKeepsOnlySizesOfAMode) {
    state.storePreferredLayout({460, 349}, 3);
    state.storePreferredSize({500, 400}); // matches neither width
    state.storePreferredSize({560, 601}); // above the expanded maximum
    state.storePreferredSize({std::numeric_limits<double>::quiet_NaN(), 349});
    state.storePreferredLayout({460, 300}, -1); // negative count
    EXPECT_EQ(state.savedLayout(), (PopoverLayout{460, 349, 3}));
    // A size of its own keeps the saved count, and survives a reload.
    state.storePreferredSize({560.2, 549});
    settings.sync();
    QSettings reread(settings.fileName(), QSettings::IniFormat);
    EXPECT_EQ(PopoverState(reread).savedLayout(), (PopoverLayout{560.2, 549, 3}));
}
