#pragma once

#include <QString>
#include <QWidget>

class QAbstractButton;
class QLabel;
class QPlainTextEdit;

namespace tesselwick::ui {

class StyledButton;

// The in-popover alert for the manager's last error. It covers the popover;
// the message is plain text that can be selected and copied, and scrolls
// inside the alert when it does not fit. OK, Return and Escape dismiss it.
class ErrorAlert : public QWidget {
    Q_OBJECT
public:
    explicit ErrorAlert(QWidget* parent);
    // Shows `message`, sized to the parent's current size.
    void present(const QString& message);
    QString message() const;
    QAbstractButton* okButton() const;
    QPlainTextEdit* messageView() const { return message_; }

signals:
    void dismissed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void dismiss();
    void fitToParent();

    QWidget* panel_;
    QLabel* title_;
    QPlainTextEdit* message_;
    StyledButton* ok_;
};

} // namespace tesselwick::ui
