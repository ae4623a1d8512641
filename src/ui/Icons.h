#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>

namespace tesselwick::ui {

// The symbols the interface names, drawn from a small vendored set of line
// icons compiled in as resources. `weight` thickens the line the way a bolder
// symbol weight would (1 is the set's own stroke).
QPixmap symbolPixmap(const QString& symbol, int side, const QColor& color, qreal devicePixelRatio,
                     double weight = 1.0);
// The resource file behind a symbol; empty for a symbol the table does not know.
QString symbolResource(const QString& symbol);

// Our own images: the status item's mask icon and the header mark. A null image
// when the resource is missing, so callers can fall back.
QImage bundleImage(const QString& name, QSize size);

} // namespace tesselwick::ui
