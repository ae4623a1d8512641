#pragma once

#include <QColor>

// The popover's palette. Every view draws with these names so the look stays in
// one place; the values are sRGB.
namespace tesselwick::ui::AppTheme {

inline QColor rgb(double r, double g, double b, double alpha = 1.0) {
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b),
                            static_cast<float>(alpha));
}
inline QColor white(double alpha) {
    return rgb(1, 1, 1, alpha);
}

inline QColor background() {
    return rgb(0.038, 0.041, 0.05);
}
inline QColor headerFill() {
    return rgb(0.086, 0.093, 0.112);
}
inline QColor footerFill() {
    return rgb(0.058, 0.063, 0.076);
}
inline QColor cardFill() {
    return rgb(0.067, 0.073, 0.088);
}
inline QColor accentBlue() {
    return rgb(0.34, 0.62, 1.0);
}
inline QColor textSecondary() {
    return rgb(0.74, 0.77, 0.84);
}
inline QColor textMuted() {
    return rgb(0.5, 0.53, 0.62);
}
inline QColor actionBlue() {
    return rgb(0.18, 0.45, 0.92);
}
inline QColor actionBluePressed() {
    return rgb(0.13, 0.34, 0.72);
}
inline QColor actionRed() {
    return rgb(0.72, 0.1, 0.16);
}
inline QColor actionRedPressed() {
    return rgb(0.56, 0.07, 0.12);
}
inline QColor border() {
    return white(0.1);
}
inline QColor cardBorder() {
    return white(0.075);
}
inline QColor buttonStroke() {
    return white(0.18);
}
inline QColor iconFill() {
    return white(0.055);
}
inline QColor toolbarButtonFill() {
    return white(0.075);
}
inline QColor toolbarButtonPressed() {
    return white(0.13);
}
inline QColor softShadow() {
    return rgb(0, 0, 0, 0.18);
}

// The system colours of a dark appearance, which the cards' filesystem tints and
// the mounted state use.
inline QColor systemGreen() {
    return rgb(0.19, 0.82, 0.35);
}
inline QColor systemRed() {
    return rgb(1.0, 0.27, 0.23);
}
inline QColor systemOrange() {
    return rgb(1.0, 0.62, 0.04);
}
inline QColor systemPurple() {
    return rgb(0.75, 0.35, 0.95);
}
inline QColor successFill() {
    QColor color = systemGreen();
    color.setAlphaF(0.1F);
    return color;
}

} // namespace tesselwick::ui::AppTheme
