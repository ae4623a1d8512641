#include "app/PopoverPlacement.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace tesselwick::app {

QPoint popoverOrigin(const QRect& anchor, const QSize& popover, const QRect& available) {
    constexpr int kGap = 2;
    int x = anchor.x() + anchor.width() / 2 - popover.width() / 2;
    int y = anchor.bottom() + 1 + kGap;
    const bool roomBelow = y + popover.height() <= available.bottom() + 1;
    const bool roomAbove = anchor.top() - kGap - popover.height() >= available.top();
    if (!roomBelow && roomAbove) {
        y = anchor.top() - kGap - popover.height();
    }
    // Clamp right and bottom first so that a popover larger than the screen
    // keeps its top-left corner visible.
    x = std::max(std::min(x, available.right() + 1 - popover.width()), available.left());
    y = std::max(std::min(y, available.bottom() + 1 - popover.height()), available.top());
    return {x, y};
}

namespace {

// Relative luminance and contrast ratio as the web's accessibility guidelines
// define them.
double luminance(const QColor& color) {
    const auto linear = [](float channel) {
        return channel <= 0.03928F ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = color.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) +
           0.0722 * linear(rgb.blueF());
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// What a symbol on a panel needs to be made out.
constexpr double kLegibleContrast = 3.0;

} // namespace

QColor statusIconTint(const QColor& trayBackground, const QColor& paletteText) {
    if (!trayBackground.isValid() || contrast(paletteText, trayBackground) >= kLegibleContrast) {
        return paletteText;
    }
    const QColor black(Qt::black);
    const QColor white(Qt::white);
    return contrast(black, trayBackground) >= contrast(white, trayBackground) ? black : white;
}

int statusIconSide(double barThickness) {
    return std::max(15, static_cast<int>(std::floor(barThickness - 5)));
}

QRectF aspectFitRect(QSizeF source, QSizeF canvas) {
    if (source.width() <= 0 || source.height() <= 0) {
        source = canvas;
    }
    const double scale =
        std::min(canvas.width() / source.width(), canvas.height() / source.height());
    const QSizeF scaled = source * scale;
    return {
        QPointF((canvas.width() - scaled.width()) * 0.5, (canvas.height() - scaled.height()) * 0.5),
        scaled};
}

QImage aspectFitImage(const QImage* source, QSize canvas) {
    QImage image(canvas, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (source == nullptr || source->isNull()) {
        return image;
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawImage(aspectFitRect(QSizeF(source->size()), QSizeF(canvas)), *source);
    return image;
}

} // namespace tesselwick::app
