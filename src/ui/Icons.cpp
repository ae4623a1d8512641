#include "ui/Icons.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

#include <array>

namespace tesselwick::ui {

namespace {

struct SymbolFile {
    const char* symbol;
    const char* file;
    bool filled; // the set's outline shape, filled
};

// One row per symbol the interface uses.
constexpr std::array<SymbolFile, 17> kSymbols{{
    {"externaldrive", "hard-drive", false},
    {"externaldrive.fill", "hard-drive", false},
    {"doc.richtext", "file-text", false},
    {"folder.fill", "folder-open", false},
    {"eject.fill", "eject", false},
    {"arrow.down.circle", "circle-arrow-down", false},
    {"arrow.down.circle.fill", "circle-arrow-down", false},
    {"arrow.clockwise", "rotate-cw", false},
    {"heart.fill", "heart", true},
    {"arrow.up.left.and.arrow.down.right", "maximize-2", false},
    {"arrow.down.right.and.arrow.up.left", "minimize-2", false},
    {"info.circle", "info", false},
    {"info.circle.fill", "info", false},
    {"xmark", "x", false},
    {"checkmark.circle.fill", "circle-check", false},
    {"power.circle", "power", false},
    {"folder.badge.plus", "folder-plus", false},
}};

const SymbolFile* find(const QString& symbol) {
    for (const auto& entry : kSymbols) {
        if (symbol == QLatin1String(entry.symbol)) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

QString symbolResource(const QString& symbol) {
    const SymbolFile* entry = find(symbol);
    return entry == nullptr
               ? QString()
               : QStringLiteral(":/icons/lucide/%1.svg").arg(QLatin1String(entry->file));
}

QPixmap symbolPixmap(const QString& symbol, int side, const QColor& color, qreal devicePixelRatio,
                     double weight) {
    const SymbolFile* entry = find(symbol);
    QFile file(symbolResource(symbol));
    if (entry == nullptr || !file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QByteArray svg = file.readAll();
    // The set strokes in `currentColor`; drawing in opaque black and tinting the
    // coverage afterwards keeps the colour's own opacity exact.
    svg.replace("currentColor", "#000000");
    svg.replace("stroke-width=\"2\"",
                QByteArray("stroke-width=\"") + QByteArray::number(2.0 * weight, 'f', 2) + "\"");
    if (entry->filled) {
        svg.replace("fill=\"none\"", "fill=\"#000000\"");
    }
    QSvgRenderer renderer(svg);
    const int pixels = qRound(side * devicePixelRatio);
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, pixels, pixels));
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
    }
    image.setDevicePixelRatio(devicePixelRatio);
    return QPixmap::fromImage(std::move(image));
}

QImage bundleImage(const QString& name, QSize size) {
    QFile file(QStringLiteral(":/icons/%1.svg").arg(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QSvgRenderer renderer(file.readAll());
    if (!renderer.isValid()) {
        return {};
    }
    if (!size.isValid()) {
        size = renderer.defaultSize();
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return image;
}

} // namespace tesselwick::ui
