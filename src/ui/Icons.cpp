#include "ui/Icons.h"

#include <QFile>
#include <QHash>
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

namespace {

QPixmap renderSymbol(const SymbolFile& entry, const QString& resource, int side,
                     const QColor& color, qreal devicePixelRatio, double weight) {
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QByteArray svg = file.readAll();
    // The set strokes in `currentColor`; drawing in opaque black and tinting the
    // coverage afterwards keeps the colour's own opacity exact.
    svg.replace("currentColor", "#000000");
    svg.replace("stroke-width=\"2\"",
                QByteArray("stroke-width=\"") + QByteArray::number(2.0 * weight, 'f', 2) + "\"");
    if (entry.filled) {
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

struct SymbolKey {
    QString symbol;
    int side;
    QRgb color;
    qreal devicePixelRatio;
    double weight;
    bool operator==(const SymbolKey&) const = default;
};

size_t qHash(const SymbolKey& key, size_t seed = 0) {
    return qHashMulti(seed, key.symbol, key.side, key.color, key.devicePixelRatio, key.weight);
}

// Rendering an SVG costs far more than a paint may; the popover draws the
// same few symbols in a few sizes and colours, so each is rendered once. GUI
// thread only, like every pixmap.
QHash<SymbolKey, QPixmap>& symbolCache() {
    static QHash<SymbolKey, QPixmap> cache;
    return cache;
}

constexpr qsizetype kSymbolCacheLimit = 512;

} // namespace

QPixmap symbolPixmap(const QString& symbol, int side, const QColor& color, qreal devicePixelRatio,
                     double weight) {
    const SymbolFile* entry = find(symbol);
    if (entry == nullptr) {
        return {};
    }
    const SymbolKey key{symbol, side, color.rgba(), devicePixelRatio, weight};
    auto& cache = symbolCache();
    if (const auto found = cache.constFind(key); found != cache.constEnd()) {
        return *found;
    }
    if (cache.size() >= kSymbolCacheLimit) {
        cache.clear();
    }
    const QPixmap pixmap =
        renderSymbol(*entry, symbolResource(symbol), side, color, devicePixelRatio, weight);
    cache.insert(key, pixmap);
    return pixmap;
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
