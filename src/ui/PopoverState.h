#pragma once

#include <QSizeF>

#include <cstdint>
#include <optional>

class QSettings;

namespace tesselwick::ui {

// The popover's last size and how many volumes it showed, kept so the next
// launch opens at the right size before the first scan has finished.
struct PopoverLayout {
    double width = 0;
    double height = 0;
    std::int64_t volumeCount = 0;
    bool operator==(const PopoverLayout&) const = default;
};

// The popover's size rules, and its expanded flag and layout in the user's
// settings. The rules are pure; the settings are handed in so a screenshot or a
// test never touches the user's own.
class PopoverState {
public:
    static constexpr const char* kExpandedKey = "Tesselwick.PopoverExpanded";
    static constexpr const char* kLayoutKey = "Tesselwick.PopoverLayout";

    // Every size of the popover's layout in one mode. The layouts build with
    // these numbers and the size rules add them up, so the two cannot disagree.
    struct Mode {
        double width;
        double minimumHeight;
        double maximumHeight;
        double padding;      // around the whole content, on each side
        double headerHeight; // the header panel with its inner padding
        double headerInset;  // the header's inner padding
        double headerIconSide;
        double dividerBlock; // the divider with the space above and below it
        double footerGap;    // between the body and the footer
        double footerHeight;
        double rowHeight;
        double rowGap;
        double listPadding; // above and below the cards together
        std::size_t visibleRows;
        double emptyBodyHeight;

        // Header, divider, footer and paddings: everything but the body.
        constexpr double fixedHeight() const {
            return 2 * padding + headerHeight + dividerBlock + footerGap + footerHeight;
        }
        constexpr double contentWidth() const { return width - 2 * padding; }
    };
    static constexpr Mode kCompact{460, 282, 430, 8, 62, 10, 42, 7, 8, 72, 52, 8, 12, 3, 176};
    static constexpr Mode kExpanded{560, 330, 600, 10, 72, 12, 48, 7, 8, 84, 62, 8, 16, 5, 230};
    static const Mode& mode(bool isExpanded) { return isExpanded ? kExpanded : kCompact; }

    static double bodyAreaHeight(bool isExpanded, std::size_t volumeCount);
    static double preferredHeight(bool isExpanded, std::size_t volumeCount);
    // The body as laid out in a popover of `height`: what the header, divider
    // and footer leave, so that a popover raised to its minimum height gives
    // the room to the list rather than to an empty band elsewhere.
    static double bodyHeightIn(bool isExpanded, double height);
    // The size to use before the first scan: the saved one when it still fits the
    // mode, else the mode's width and the height for the saved count.
    static QSizeF sizeBeforeFirstScan(bool isExpanded, const std::optional<PopoverLayout>& saved);

    explicit PopoverState(QSettings& settings) : settings_(settings) {}

    bool isExpanded() const;
    void setExpanded(bool expanded);

    // Absent unless width, height and count are all valid.
    std::optional<PopoverLayout> savedLayout() const;
    QSizeF restoredPreferredSize() const;
    void storePreferredSize(QSizeF size);
    void storePreferredLayout(QSizeF size, std::int64_t volumeCount);
    void storeLayout(QSizeF size, std::int64_t volumeCount);

private:
    // The mode whose width the size has, if its height is within that mode's limits.
    static const Mode* acceptedMode(QSizeF size);

    QSettings& settings_;
};

} // namespace tesselwick::ui
