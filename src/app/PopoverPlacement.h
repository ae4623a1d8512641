#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QRectF>
#include <QSize>

namespace tesselwick::app {

// Where the popover's top-left corner goes: centred under the status item, or
// above it when the item sits at the bottom of the screen, and always inside the
// screen's available area. `anchor` is the item's geometry, or a 1 x 1 rectangle
// at the pointer when the desktop tells no geometry.
QPoint popoverOrigin(const QRect& anchor, const QSize& popover, const QRect& available);

// The colour the status icon is drawn in on an X tray: the palette's text
// colour, unless the tray's background is known and that colour does not stand
// out against it; then black or white, whichever stands out more.
QColor statusIconTint(const QColor& trayBackground, const QColor& paletteText);

// The status icon's side for a menu bar (panel) of the given thickness.
int statusIconSide(double barThickness);

// Where a source of `source` size lands when fitted, centred, into `canvas`;
// a source without a positive width or height counts as the canvas size.
QRectF aspectFitRect(QSizeF source, QSizeF canvas);
// The source drawn into a transparent canvas-size image at that place; an empty
// transparent canvas without a source.
QImage aspectFitImage(const QImage* source, QSize canvas);

} // namespace tesselwick::app
