#pragma once

#include <QColor>
#include <QFont>
#include <QList>
#include <QPointF>
#include <QStaticText>
#include <QString>
#include <QWidget>

namespace tesselwick::ui {

// One line of text in runs of their own font and colour, drawn left to right on
// a shared baseline. When the width the layout gives it is too small, the run
// marked to give way is shortened with an ellipsis first, and whatever still
// does not fit is cut at the end; the line never asks for more room than it has.
class TextLine : public QWidget {
    Q_OBJECT
public:
    struct Run {
        QString text;
        QFont font;
        QColor color;
        // How this run gives way; Qt::ElideNone keeps it whole while another can.
        Qt::TextElideMode elide = Qt::ElideNone;
    };

    explicit TextLine(QWidget* parent = nullptr);

    void setRuns(QList<Run> runs);
    // Every run as plain text, whatever the width.
    QString text() const;
    // The text as drawn at the current width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The runs as drawn at one size, kept until the size or the runs change:
    // shaping text costs more than drawing it.
    struct Layout {
        QSize size;
        QList<Run> runs;
        QList<QStaticText> texts;
        QList<QPointF> origins;
    };
    // The runs as they fit into `width`: shortened, cut or dropped.
    QList<Run> fitted(double width) const;
    const Layout& layoutFor(QSize size) const;

    QList<Run> runs_;
    mutable Layout layout_;
};

} // namespace tesselwick::ui
