#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QStaticText>
#include <QString>
#include <QWidget>

class QPainter;

namespace tesselwick::ui {

// The platform's UI font at a size in logical pixels. The design's sizes are
// points of a 72-dpi logical grid, which is what Qt's device-independent pixels
// are, so pixel sizes keep text and layout in the designed proportion.
QFont uiFont(double size, QFont::Weight weight);
QFont monospacedFont(double size, QFont::Weight weight);
// Sets the colour a label or another widget draws its text in, through its
// palette: a style sheet would also reach the widget's tool tips.
void setTextColor(QWidget& widget, const QColor& color);

// A rounded rectangle filling `size` at `origin`, outlined with a one-point
// `stroke` (none when transparent). Each shape is rasterized once per size,
// colours and pixel ratio and then copied: antialiasing a shape the size of a
// card costs far more than the copy, and Qt hands large fills to worker threads.
void paintRoundedRect(QPainter& painter, QPointF origin, QSizeF size, double radius,
                      const QColor& fill, const QColor& stroke);

// A filled rounded rectangle with a hairline outline: the header, the footer
// and the alert.
class Panel : public QWidget {
    Q_OBJECT
public:
    Panel(QColor fill, double radius, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_;
    double radius_;
};

// The four button styles of the popover, drawn by one widget.
class StyledButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Style {
        roundGlass,  // 31 x 31 circle, header buttons
        small,       // 30 x 30 circle, a card's open button
        pill,        // capsule, red when active, blue when not: the mount button
        miniCapsule, // capsule with tinted text: the helper button
    };
    StyledButton(Style style, QWidget* parent = nullptr);

    void setSymbol(const QString& symbol, double side, double weight = 1.0);
    void setActive(bool active);
    void setTint(const QColor& tint);
    Style style() const { return style_; }
    bool isActive() const { return active_; }
    QString symbol() const { return symbol_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // What the style fills the shape with, in the current state.
    QColor fillColor() const;
    double disabledOpacity() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Style style_;
    QString symbol_;
    double symbolSide_ = 12;
    double symbolWeight_ = 1.0;
    bool active_ = false;
    QColor tint_;
    QString labelText_;
    QStaticText label_;
};

// The donation button's label: a white heart in a blue circle.
class HeartButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit HeartButton(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {31, 31}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The header mark in a rounded square; a still image.
class HeaderIcon : public QWidget {
    Q_OBJECT
public:
    explicit HeaderIcon(int side, QWidget* parent = nullptr);
    void setSide(int side);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int side_;
    QImage mark_; // rendered once per device pixel ratio
};

// A small spinning indicator for work in progress; it only animates while shown.
class BusyIndicator : public QWidget {
    Q_OBJECT
public:
    explicit BusyIndicator(QSize size, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    int timerId_ = 0;
    int step_ = 0;
};

// An on/off switch.
class SwitchButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit SwitchButton(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {32, 18}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace tesselwick::ui
