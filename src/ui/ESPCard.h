#pragma once

#include "discovery/ESPVolume.h"

#include <QColor>
#include <QString>
#include <QWidget>

#include <functional>

class QLabel;

namespace tesselwick::ui {

class StyledButton;

// What a card shows. Two cards with equal inputs look the same; the actions are
// not part of it.
struct ESPCardInputs {
    discovery::ESPVolume volume;
    bool isBusy = false;
    bool mountDisabled = false;
    bool showsPartitionName = false;
    bool showsDetails = false;
    bool operator==(const ESPCardInputs&) const = default;
};

// Derived values of a volume as a card shows them.
QString sizeShown(const discovery::ESPVolume& volume);
QString kindText(const discovery::ESPVolume& volume);
QColor filesystemColor(const discovery::ESPVolume& volume);

// One ESP as a row of the popover's list.
class ESPCard : public QWidget {
    Q_OBJECT
public:
    ESPCard(ESPCardInputs inputs, std::function<void()> mountAction,
            std::function<void()> openAction, QWidget* parent = nullptr);

    const ESPCardInputs& inputs() const { return inputs_; }
    // Rebuilds the card's content only when the inputs differ from the shown ones;
    // the actions are replaced either way.
    void setInputs(ESPCardInputs inputs, std::function<void()> mountAction,
                   std::function<void()> openAction);

    // The shown lines of text, top to bottom, as plain text (for tests and the
    // accessibility description).
    QStringList textLines() const;
    StyledButton* mountButton() const { return mountButton_; }
    StyledButton* openButton() const { return openButton_; }
    QWidget* busyIndicator() const { return busyIndicator_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void rebuild();

    ESPCardInputs inputs_;
    std::function<void()> mountAction_;
    std::function<void()> openAction_;
    QWidget* content_ = nullptr;
    QList<QLabel*> lines_;
    StyledButton* mountButton_ = nullptr;
    StyledButton* openButton_ = nullptr;
    QWidget* busyIndicator_ = nullptr;
};

} // namespace tesselwick::ui
