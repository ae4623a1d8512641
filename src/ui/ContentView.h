#pragma once

#include "discovery/DiskReport.h"
#include "discovery/ESPVolume.h"
#include "ui/ESPCard.h"
#include "ui/ErrorAlert.h"
#include "ui/PopoverState.h"

#include <QAbstractButton>
#include <QLabel>
#include <QSizeF>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QScrollArea;
class QSpacerItem;
class QStackedWidget;
class QVBoxLayout;

namespace tesselwick::manager {
class DiskManager;
}

namespace tesselwick::ui {

class HeaderIcon;
class StyledButton;
class TextLine;
class SwitchButton;

// Everything inside the popover: header, the body in one of its three states,
// the footer with the helper row and the login switch, and the error alert. It
// reads the manager's published state, computes its own preferred size, and
// asks for everything beyond reading and refreshing the manager through its
// signals. Its widgets are made once; a change of state or mode updates them
// in place.
// For the empty list's "Why?": one line per disk without an ESP and its reason.
QString whyNoESPText(const std::vector<discovery::DiskReport>& disks);

class ContentView : public QWidget {
    Q_OBJECT
public:
    enum class BodyState { loading, empty, list };

    ContentView(std::shared_ptr<manager::DiskManager> diskManager, PopoverState& popoverState,
                std::function<void(QSizeF)> onPreferredSizeChange, QWidget* parent = nullptr);
    ~ContentView() override;

    bool isExpanded() const { return isExpanded_; }
    void setExpanded(bool expanded);

    QSizeF preferredSize() const;
    double bodyAreaHeight() const;
    std::set<std::string> duplicatedParentIdentifiers() const;
    void notifyPreferredSizeChange();
    std::optional<QSizeF> lastReportedPreferredSize() const { return lastReportedPreferredSize_; }

    // Brings the view up to date with the manager now. Changes are otherwise
    // applied once per turn of the event loop, after the manager's observers
    // have heard of them.
    void sync();

    BodyState bodyState() const { return bodyState_; }
    const std::vector<ESPCard*>& cards() const { return cards_; }
    QWidget* header() const { return header_; }
    QWidget* body() const { return body_; }
    QWidget* footer() const { return footer_; }
    QScrollArea* list() const { return scrollArea_; }
    StyledButton* helperButton() const { return helperButton_; }
    StyledButton* whyButton() const { return whyButton_; }
    QLabel* helperLabel() const { return helperLabel_; }
    StyledButton* refreshButton() const { return refreshButton_; }
    StyledButton* sizeButton() const { return sizeButton_; }
    QAbstractButton* aboutButton() const { return aboutButton_; }
    QAbstractButton* quitButton() const { return quitButton_; }
    QAbstractButton* donateButton() const { return donateButton_; }
    SwitchButton* loginSwitch() const { return loginSwitch_; }
    ErrorAlert* errorAlert() const { return errorAlert_; }

signals:
    void toggleRequested(const tesselwick::discovery::ESPVolume& volume);
    void openRequested(const tesselwick::discovery::ESPVolume& volume);
    void installHelperRequested();
    void donateRequested();
    void aboutRequested();
    void quitRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildBody();
    QWidget* buildFooter();
    void applyMode();
    void scheduleSync();
    void syncCards();
    void syncFooter();
    void syncError();
    void showWhyNoESP();
    std::size_t shownVolumeCount() const;

    std::shared_ptr<manager::DiskManager> diskManager_;
    std::uint64_t observer_ = 0;
    PopoverState& popoverState_;
    std::function<void(QSizeF)> onPreferredSizeChange_;
    bool isExpanded_ = false;
    std::optional<QSizeF> lastReportedPreferredSize_;
    std::optional<std::pair<std::size_t, bool>> lastCountAndCompletion_;
    bool syncScheduled_ = false;

    QVBoxLayout* stack_ = nullptr;
    QWidget* header_ = nullptr;
    QVBoxLayout* headerTitles_ = nullptr;
    HeaderIcon* headerIcon_ = nullptr;
    TextLine* title_ = nullptr;
    TextLine* subtitle_ = nullptr;
    QSpacerItem* aboveDivider_ = nullptr;
    QWidget* divider_ = nullptr;
    QSpacerItem* belowDivider_ = nullptr;
    QWidget* body_ = nullptr;
    QSpacerItem* footerGap_ = nullptr;
    QWidget* footer_ = nullptr;
    QStackedWidget* bodyPages_ = nullptr;
    QScrollArea* scrollArea_ = nullptr;
    QVBoxLayout* cardColumn_ = nullptr;
    std::vector<ESPCard*> cards_;
    BodyState bodyState_ = BodyState::loading;

    StyledButton* refreshButton_ = nullptr;
    StyledButton* sizeButton_ = nullptr;
    QAbstractButton* aboutButton_ = nullptr;
    QAbstractButton* quitButton_ = nullptr;
    QAbstractButton* donateButton_ = nullptr;
    StyledButton* helperButton_ = nullptr;
    StyledButton* whyButton_ = nullptr;
    bool showingReasons_ = false; // the alert shows the disks' reasons, not an error
    QLabel* helperIcon_ = nullptr;
    QLabel* helperLabel_ = nullptr;
    SwitchButton* loginSwitch_ = nullptr;
    QWidget* opensInBrowser_ = nullptr;
    ErrorAlert* errorAlert_ = nullptr;
};

} // namespace tesselwick::ui
