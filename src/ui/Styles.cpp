#include "ui/Styles.h"

#include "ui/AppTheme.h"
#include "ui/Icons.h"

#include <QFontDatabase>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QTimerEvent>

namespace tesselwick::ui {

QFont uiFont(double size, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(qRound(size));
    font.setWeight(weight);
    return font;
}

QFont monospacedFont(double size, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(qRound(size));
    font.setWeight(weight);
    return font;
}

namespace {

struct ShapeKey {
    QSizeF size;
    double radius;
    QRgb fill;
    QRgb stroke;
    qreal devicePixelRatio;
    bool operator==(const ShapeKey&) const = default;
};

size_t qHash(const ShapeKey& key, size_t seed = 0) {
    return qHashMulti(seed, key.size.width(), key.size.height(), key.radius, key.fill, key.stroke,
                      key.devicePixelRatio);
}

// GUI thread only, like every pixmap; a handful of sizes and colours.
QHash<ShapeKey, QPixmap>& shapeCache() {
    static QHash<ShapeKey, QPixmap> cache;
    return cache;
}

constexpr qsizetype kShapeCacheLimit = 256;

QPixmap renderRoundedRect(QSizeF size, double radius, const QColor& fill, const QColor& stroke,
                          qreal ratio) {
    QPixmap shape((size * ratio).toSize());
    shape.setDevicePixelRatio(ratio);
    shape.fill(Qt::transparent);
    QPainter render(&shape);
    render.setRenderHint(QPainter::Antialiasing);
    render.setPen(stroke.alpha() > 0 ? QPen(stroke, 1) : QPen(Qt::NoPen));
    render.setBrush(fill);
    const double inset = stroke.alpha() > 0 ? 0.5 : 0;
    render.drawRoundedRect(QRectF(QPointF(), size).adjusted(inset, inset, -inset, -inset), radius,
                           radius);
    return shape;
}

} // namespace

void paintRoundedRect(QPainter& painter, QPointF origin, QSizeF size, double radius,
                      const QColor& fill, const QColor& stroke) {
    const qreal ratio = painter.device()->devicePixelRatioF();
    const ShapeKey key{size, radius, fill.rgba(), stroke.rgba(), ratio};
    auto& cache = shapeCache();
    auto found = cache.constFind(key);
    if (found == cache.constEnd()) {
        if (cache.size() >= kShapeCacheLimit) {
            cache.clear();
        }
        found = cache.insert(key, renderRoundedRect(size, radius, fill, stroke, ratio));
    }
    painter.drawPixmap(origin, *found);
}

Panel::Panel(QColor fill, double radius, QWidget* parent)
    : QWidget(parent), fill_(std::move(fill)), radius_(radius) {}

void Panel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintRoundedRect(painter, QPointF(), size(), radius_, fill_, AppTheme::border());
}

void setTextColor(QWidget& widget, const QColor& color) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget.setPalette(palette);
}

StyledButton::StyledButton(Style style, QWidget* parent) : QAbstractButton(parent), style_(style) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    switch (style_) {
    case Style::roundGlass:
    case Style::small:
        setFont(uiFont(11, QFont::Bold));
        break;
    case Style::pill:
    case Style::miniCapsule:
        setFont(uiFont(10, QFont::Bold));
        break;
    }
    tint_ = Qt::white;
}

void StyledButton::setSymbol(const QString& symbol, double side, double weight) {
    symbol_ = symbol;
    symbolSide_ = side;
    symbolWeight_ = weight;
    updateGeometry();
    update();
}

void StyledButton::setActive(bool active) {
    active_ = active;
    update();
}

void StyledButton::setTint(const QColor& tint) {
    tint_ = tint;
    update();
}

QSize StyledButton::sizeHint() const {
    switch (style_) {
    case Style::roundGlass:
        return {31, 31};
    case Style::small:
        return {30, 30};
    case Style::pill:
    case Style::miniCapsule: {
        const QFontMetrics metrics(font());
        const int horizontal = style_ == Style::pill ? 10 : 8;
        const int vertical = style_ == Style::pill ? 5 : 4;
        int width = metrics.horizontalAdvance(text());
        if (!symbol_.isEmpty()) {
            width += qRound(symbolSide_) + 4;
        }
        const int height = std::max(metrics.height(), qRound(symbolSide_));
        return {width + 2 * horizontal, height + 2 * vertical};
    }
    }
    return {};
}

QColor StyledButton::fillColor() const {
    const bool pressed = isDown();
    if (style_ == Style::pill) {
        if (active_) {
            return pressed ? AppTheme::actionRedPressed() : AppTheme::actionRed();
        }
        return pressed ? AppTheme::actionBluePressed() : AppTheme::actionBlue();
    }
    return pressed ? AppTheme::toolbarButtonPressed() : AppTheme::toolbarButtonFill();
}

double StyledButton::disabledOpacity() const {
    return style_ == Style::roundGlass || style_ == Style::small ? 0.42 : 0.45;
}

void StyledButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) {
        painter.setOpacity(disabledOpacity());
    }
    paintRoundedRect(painter, QPointF(), size(), std::min(width(), height()) / 2.0, fillColor(),
                     style_ == Style::pill ? AppTheme::buttonStroke() : AppTheme::border());

    const QColor labelColor = style_ == Style::miniCapsule ? tint_ : QColor(Qt::white);
    const QPixmap icon = symbol_.isEmpty() ? QPixmap()
                                           : symbolPixmap(symbol_, qRound(symbolSide_), labelColor,
                                                          devicePixelRatioF(), symbolWeight_);
    // The label is shaped once per text, not on every paint.
    if (labelText_ != text() || label_.text() != text()) {
        labelText_ = text();
        label_ = QStaticText(labelText_);
        label_.setTextFormat(Qt::PlainText);
        label_.prepare(QTransform(), font());
    }
    const int textWidth = text().isEmpty() ? 0 : qCeil(label_.size().width());
    const int iconSide = icon.isNull() ? 0 : qRound(symbolSide_);
    const int gap = iconSide > 0 && textWidth > 0 ? 4 : 0;
    const double contentWidth = iconSide + gap + textWidth;
    double x = (width() - contentWidth) / 2.0;
    if (!icon.isNull()) {
        painter.drawPixmap(QPointF(x, (height() - iconSide) / 2.0), icon);
        x += iconSide + gap;
    }
    if (textWidth > 0) {
        painter.setPen(labelColor);
        painter.setFont(font());
        painter.drawStaticText(QPointF(x, (height() - label_.size().height()) / 2.0), label_);
    }
}

HeartButton::HeartButton(QWidget* parent) : QAbstractButton(parent) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(31, 31);
}

void HeartButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintRoundedRect(painter, QPointF(), size(), width() / 2.0, AppTheme::actionBlue(),
                     AppTheme::buttonStroke());
    const QPixmap heart =
        symbolPixmap(QStringLiteral("heart.fill"), 13, Qt::white, devicePixelRatioF(), 1.25);
    painter.drawPixmap(QPointF((width() - 13) / 2.0, (height() - 13) / 2.0 + 0.5), heart);
}

HeaderIcon::HeaderIcon(int side, QWidget* parent) : QWidget(parent), side_(side) {
    setFixedSize(side, side);
}

void HeaderIcon::setSide(int side) {
    if (side != side_) {
        side_ = side;
        mark_ = {};
        setFixedSize(side, side);
    }
}

void HeaderIcon::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    paintRoundedRect(painter, QPointF(), size(), 10, AppTheme::iconFill(), AppTheme::border());
    const int inner = side_ - 10;
    const qreal ratio = devicePixelRatioF();
    if (mark_.isNull() || mark_.devicePixelRatio() != ratio) {
        mark_ = bundleImage(QStringLiteral("VornabyHeaderIcon"),
                            QSize(qRound(inner * ratio), qRound(inner * ratio)));
        mark_.setDevicePixelRatio(ratio);
    }
    if (mark_.isNull()) {
        // Without our mark, the application's own icon stands in.
        const QPixmap fallback = windowIcon().pixmap(inner, inner);
        painter.drawPixmap(QRectF(5, 5, inner, inner), fallback, fallback.rect());
        return;
    }
    painter.drawImage(QRectF(5, 5, inner, inner), mark_);
}

BusyIndicator::BusyIndicator(QSize size, QWidget* parent) : QWidget(parent) {
    setFixedSize(size);
}

void BusyIndicator::showEvent(QShowEvent*) {
    if (timerId_ == 0) {
        timerId_ = startTimer(80);
    }
}

void BusyIndicator::hideEvent(QHideEvent*) {
    if (timerId_ != 0) {
        killTimer(timerId_);
        timerId_ = 0;
    }
}

void BusyIndicator::timerEvent(QTimerEvent* event) {
    if (event->timerId() == timerId_) {
        step_ = (step_ + 1) % 12;
        update();
    }
}

void BusyIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const double radius = std::min(width(), height()) / 2.0 - 1;
    for (int i = 0; i < 12; ++i) {
        QColor color = AppTheme::textSecondary();
        color.setAlphaF(static_cast<float>(0.2 + 0.8 * ((i + 12 - step_) % 12) / 11.0));
        painter.setPen(QPen(color, 1.6, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -radius * 0.5), QPointF(0, -radius));
        painter.rotate(30);
    }
}

SwitchButton::SwitchButton(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFixedSize(32, 18);
}

void SwitchButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) {
        painter.setOpacity(0.45);
    }
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(AppTheme::border(), 1));
    painter.setBrush(isChecked() ? AppTheme::actionBlue() : AppTheme::toolbarButtonPressed());
    painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
    const double knob = track.height() - 4;
    const double x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
}

} // namespace tesselwick::ui
