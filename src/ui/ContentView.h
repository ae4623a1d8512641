#pragma once

#include "discovery/ESPVolume.h"
#include "ui/ESPCard.h"
#include "ui/PopoverState.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
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
class QStackedWidget;
class QVBoxLayout;

namespace tesselwick::manager {
class DiskManager;
}

namespace tesselwick::ui {

class StyledButton;
class SwitchButton;

// What the popover's buttons do beyond reading and refreshing the manager. The
// application supplies them: the disk actions go to the manager, the rest to the
// application's windows and its quit.
struct ContentActions {
    std::function<void(const discovery::ESPVolume&)> toggle;
    std::function<void(const discovery::ESPVolume&)> openMounted;
    std::function<void()> installHelper;
    std::function<void()> openDonationPage;
    std::function<void()> showAbout;
    std::function<void()> quit;
};

// The in-popover alert that shows the manager's last error; dismissing it
// clears the error.
class ErrorAlert : public QWidget {
    Q_OBJECT
public:
    explicit ErrorAlert(QWidget* parent);
    void present(const QString& message);
    QString message() const { return message_->text(); }
    QAbstractButton* okButton() const;

signals:
    void dismissed();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* message_;
    StyledButton* ok_;
};

// Everything inside the popover: header, the body in one of its three states,
// the footer with the helper row and the login switch, and the error alert. It
// reads the manager's published state and computes its own preferred size.
class ContentView : public QWidget {
    Q_OBJECT
public:
    enum class BodyState { loading, empty, list };

    ContentView(std::shared_ptr<manager::DiskManager> diskManager, PopoverState& popoverState,
                ContentActions actions, std::function<void(QSizeF)> onPreferredSizeChange,
                QWidget* parent = nullptr);
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
    StyledButton* helperButton() const { return helperButton_; }
    QLabel* helperLabel() const { return helperLabel_; }
    StyledButton* refreshButton() const { return refreshButton_; }
    StyledButton* sizeButton() const { return sizeButton_; }
    QAbstractButton* aboutButton() const { return aboutButton_; }
    QAbstractButton* quitButton() const { return quitButton_; }
    QAbstractButton* donateButton() const { return donateButton_; }
    SwitchButton* loginSwitch() const { return loginSwitch_; }
    ErrorAlert* errorAlert() const { return errorAlert_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void build();
    QWidget* buildHeader();
    QWidget* buildBody();
    QWidget* buildFooter();
    void scheduleSync();
    void syncCards();
    void syncFooter();
    void syncError();
    std::size_t shownVolumeCount() const;

    std::shared_ptr<manager::DiskManager> diskManager_;
    std::uint64_t observer_ = 0;
    PopoverState& popoverState_;
    ContentActions actions_;
    std::function<void(QSizeF)> onPreferredSizeChange_;
    bool isExpanded_ = false;
    std::optional<QSizeF> lastReportedPreferredSize_;
    std::optional<std::pair<std::size_t, bool>> lastCountAndCompletion_;
    bool syncScheduled_ = false;

    QVBoxLayout* stack_ = nullptr;
    QWidget* header_ = nullptr;
    QWidget* divider_ = nullptr;
    QWidget* body_ = nullptr;
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
    QLabel* helperIcon_ = nullptr;
    QLabel* helperLabel_ = nullptr;
    SwitchButton* loginSwitch_ = nullptr;
    ErrorAlert* errorAlert_ = nullptr;
};

} // namespace tesselwick::ui
