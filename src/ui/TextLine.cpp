#include "ui/TextLine.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace tesselwick::ui {

namespace {

double advance(const TextLine::Run& run) {
    return QFontMetricsF(run.font).horizontalAdvance(run.text);
}

double totalAdvance(const QList<TextLine::Run>& runs) {
    double total = 0;
    for (const auto& run : runs) {
        total += advance(run);
    }
    return total;
}

} // namespace

TextLine::TextLine(QWidget* parent) : QWidget(parent) {
    // The layout decides the width; the line fits itself into it.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    setAttribute(Qt::WA_TranslucentBackground);
}

void TextLine::setRuns(QList<Run> runs) {
    runs_ = std::move(runs);
    layout_ = {};
    updateGeometry();
    update();
}

QString TextLine::text() const {
    QString out;
    for (const auto& run : runs_) {
        out += run.text;
    }
    return out;
}

QString TextLine::shownText() const {
    QString out;
    for (const auto& run : layoutFor(size()).runs) {
        out += run.text;
    }
    return out;
}

QSize TextLine::sizeHint() const {
    int height = 0;
    for (const auto& run : runs_) {
        height = std::max(height, QFontMetrics(run.font).height());
    }
    return {static_cast<int>(std::ceil(totalAdvance(runs_))), height};
}

QSize TextLine::minimumSizeHint() const {
    return {0, sizeHint().height()};
}

QList<TextLine::Run> TextLine::fitted(double width) const {
    QList<Run> runs = runs_;
    double total = totalAdvance(runs);
    if (total <= width) {
        return runs;
    }
    for (auto& run : runs) {
        if (run.elide == Qt::ElideNone) {
            continue;
        }
        const double others = total - advance(run);
        run.text =
            QFontMetricsF(run.font).elidedText(run.text, run.elide, std::max(0.0, width - others));
        total = others + advance(run);
        if (total <= width) {
            return runs;
        }
    }
    // The others alone are too wide: cut at the end.
    double used = 0;
    for (qsizetype i = 0; i < runs.size(); ++i) {
        const double room = width - used;
        if (advance(runs[i]) > room) {
            runs[i].text = QFontMetricsF(runs[i].font)
                               .elidedText(runs[i].text, Qt::ElideRight, std::max(0.0, room));
            runs.resize(i + 1);
            break;
        }
        used += advance(runs[i]);
    }
    return runs;
}

const TextLine::Layout& TextLine::layoutFor(QSize size) const {
    if (layout_.size == size && size.isValid()) {
        return layout_;
    }
    layout_ = {size, fitted(size.width()), {}, {}};
    double ascent = 0;
    double descent = 0;
    for (const auto& run : layout_.runs) {
        const QFontMetricsF metrics(run.font);
        ascent = std::max(ascent, metrics.ascent());
        descent = std::max(descent, metrics.descent());
    }
    const double baseline = (size.height() - ascent - descent) / 2 + ascent;
    double x = 0;
    for (const auto& run : layout_.runs) {
        QStaticText text(run.text);
        text.setTextFormat(Qt::PlainText);
        text.prepare(QTransform(), run.font);
        layout_.texts.append(text);
        layout_.origins.append(QPointF(x, baseline - QFontMetricsF(run.font).ascent()));
        x += advance(run);
    }
    return layout_;
}

void TextLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const Layout& layout = layoutFor(size());
    for (qsizetype i = 0; i < layout.runs.size(); ++i) {
        painter.setFont(layout.runs[i].font);
        painter.setPen(layout.runs[i].color);
        painter.drawStaticText(layout.origins[i], layout.texts[i]);
    }
}

} // namespace tesselwick::ui
