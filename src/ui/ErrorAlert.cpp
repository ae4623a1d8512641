#include "ui/ErrorAlert.h"

#include "ui/AppTheme.h"
#include "ui/Styles.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>

namespace tesselwick::ui {

namespace {

constexpr int kMargin = 20;        // between the popover's edge and the panel
constexpr int kPanelWidth = 400;   // at most; less when the popover is narrower
constexpr int kPanelPadding = 16;  // inside the panel, left and right
constexpr int kPanelVertical = 14; // inside the panel, above and below
constexpr int kSpacing = 10;

} // namespace

ErrorAlert::ErrorAlert(QWidget* parent) : QWidget(parent) {
    panel_ = new Panel(AppTheme::headerFill(), 12, this);
    auto* column = new QVBoxLayout(panel_);
    column->setContentsMargins(kPanelPadding, kPanelVertical, kPanelPadding, kPanelVertical);
    column->setSpacing(kSpacing);
    title_ = new QLabel(QStringLiteral("Tesselwick"));
    title_->setFont(uiFont(13, QFont::Bold));
    setTextColor(*title_, Qt::white);
    column->addWidget(title_, 0, Qt::AlignHCenter);

    // Plain text, never rich text: the message quotes tool output verbatim.
    message_ = new QPlainTextEdit;
    message_->setReadOnly(true);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    message_->setFrameShape(QFrame::NoFrame);
    message_->setFont(uiFont(11, QFont::Normal));
    message_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    message_->setContextMenuPolicy(Qt::DefaultContextMenu);
    message_->document()->setDocumentMargin(0);
    message_->setStyleSheet(
        QStringLiteral("QPlainTextEdit{background:transparent;color:%1;"
                       "selection-background-color:%2}"
                       "QScrollBar:vertical{background:transparent;width:6px}"
                       "QScrollBar::handle:vertical{background:rgba(255,255,255,60);"
                       "border-radius:3px;min-height:24px}"
                       "QScrollBar::add-line,QScrollBar::sub-line{height:0}"
                       "QScrollBar::add-page,QScrollBar::sub-page{background:transparent}")
            .arg(AppTheme::textSecondary().name(), AppTheme::actionBlue().name()));
    message_->viewport()->setAutoFillBackground(false);
    column->addWidget(message_);

    ok_ = new StyledButton(StyledButton::Style::pill);
    ok_->setText(QStringLiteral("OK"));
    ok_->setFixedSize(80, ok_->sizeHint().height());
    column->addWidget(ok_, 0, Qt::AlignHCenter);
    connect(ok_, &QAbstractButton::clicked, this, &ErrorAlert::dismiss);
    parent->installEventFilter(this);
    hide();
}

QAbstractButton* ErrorAlert::okButton() const {
    return ok_;
}

QString ErrorAlert::message() const {
    return message_->toPlainText();
}

void ErrorAlert::present(const QString& message) {
    if (message != message_->toPlainText()) {
        message_->setPlainText(message);
    }
    fitToParent();
    raise();
    show();
    message_->setFocus(Qt::OtherFocusReason);
}

void ErrorAlert::dismiss() {
    hide();
    emit dismissed();
}

void ErrorAlert::fitToParent() {
    if (parentWidget() == nullptr) {
        return;
    }
    const QRect area = parentWidget()->rect();
    setGeometry(area);
    const int panelWidth = std::min(kPanelWidth, area.width() - 2 * kMargin);
    const int textWidth = panelWidth - 2 * kPanelPadding;
    // The whole message when it fits, else as much as the popover leaves; the
    // rest scrolls.
    const QRect needed =
        QFontMetrics(message_->font())
            .boundingRect(
                QRect(0, 0, textWidth - message_->verticalScrollBar()->sizeHint().width(), 100000),
                Qt::TextWordWrap, message_->toPlainText());
    const int chrome =
        2 * kPanelVertical + 2 * kSpacing + title_->sizeHint().height() + ok_->height();
    const int room = area.height() - 2 * kMargin - chrome;
    message_->setFixedHeight(std::max(24, std::min(needed.height() + 4, room)));
    panel_->setFixedWidth(panelWidth);
    panel_->adjustSize();
    panel_->move((area.width() - panel_->width()) / 2, (area.height() - panel_->height()) / 2);
}

bool ErrorAlert::eventFilter(QObject* watched, QEvent* event) {
    // The popover changed size under the alert.
    if (watched == parentWidget() && event->type() == QEvent::Resize &&
        isVisibleTo(parentWidget())) {
        fitToParent();
    }
    return false;
}

void ErrorAlert::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        // Escape would otherwise close the whole popover.
        event->accept();
        dismiss();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void ErrorAlert::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 140));
}

} // namespace tesselwick::ui
