#pragma once

#include "discovery/ESPVolume.h"

#include <QColor>
#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;

namespace tesselwick::ui {

class BusyIndicator;
class StyledButton;
class TextLine;

// What a card shows. Two cards with equal inputs look the same.
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
// The card's tool tip as plain lines: the partition, its name, where it is
// mounted and, for an image, the image file; enough to tell apart two ESPs of
// one disk that look alike in the compact view.
QStringList cardToolTipLines(const discovery::ESPVolume& volume);

// One ESP as a row of the popover's list. Its widgets are made once and
// updated in place when the inputs change. Every text line gives way to the
// width the row leaves it; the buttons keep their size.
class ESPCard : public QWidget {
    Q_OBJECT
public:
    explicit ESPCard(ESPCardInputs inputs, QWidget* parent = nullptr);

    const ESPCardInputs& inputs() const { return inputs_; }
    // Updates what the card shows, when the inputs differ from the shown ones.
    void setInputs(ESPCardInputs inputs);

    // The visible lines of text, top to bottom, whole (textLines) or as drawn
    // at the card's width (shownLines).
    QStringList textLines() const;
    QStringList shownLines() const;
    StyledButton* mountButton() const { return mountButton_; }
    StyledButton* openButton() const { return openButton_; }
    QWidget* busyIndicator() const { return busySlot_; }

signals:
    void mountRequested();
    void openRequested();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void apply();
    QList<const TextLine*> visibleLines() const;

    ESPCardInputs inputs_;
    QWidget* icon_ = nullptr;
    TextLine* nameLine_ = nullptr;
    TextLine* factsLine_ = nullptr;
    TextLine* partitionLine_ = nullptr;
    QWidget* imageRow_ = nullptr;
    TextLine* imageLine_ = nullptr;
    QWidget* busySlot_ = nullptr;
    StyledButton* openButton_ = nullptr;
    StyledButton* mountButton_ = nullptr;
};

} // namespace tesselwick::ui
