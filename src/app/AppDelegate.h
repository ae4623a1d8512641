#pragma once

#include "ui/AppWindows.h"
#include "ui/ContentView.h"
#include "ui/PopoverState.h"

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>

class QAction;
class QMenu;
class QSettings;

namespace tesselwick::manager {
class DiskManager;
}

namespace tesselwick::app {

// The window that holds the popover's content: a frameless popup that closes
// when the user clicks anywhere else (that click is not passed on, so a click
// on the status icon while it is open only closes it). Without a system tray
// it becomes an ordinary window instead.
class PopoverWindow : public QWidget {
    Q_OBJECT
public:
    PopoverWindow();
    // An ordinary, closable window titled "Tesselwick" (true) or the popup.
    void setWindowMode(bool windowMode);
    bool isWindowMode() const { return windowMode_; }
    // The application is quitting: a close is a close, not a hide.
    void setQuitting() { quitting_ = true; }

signals:
    void willShow();
    void didShow();
    void willClose();
    void didClose();
    // The user closed the ordinary window.
    void closedAsWindow();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool windowMode_ = false;
    bool quitting_ = false;
};

struct AppDelegateDependencies {
    // Creates the one disk manager; called once at launch.
    std::function<std::shared_ptr<manager::DiskManager>()> makeDiskManager;
    QSettings* settings = nullptr;
    ui::AppWindows* windows = nullptr;
    // Ends the application's event loop; the platform's quit when not given.
    std::function<void()> quit;
    // Whether the desktop offers a system tray; the platform's answer when not given.
    std::function<bool()> trayAvailable;
    // How long to wait for a tray at launch before showing the window instead,
    // and then between looks for one.
    int trayGraceMs = 3000;
    // Where the one line about a missing tray goes; standard error when not given.
    std::ostream* err = nullptr;
};

// Start and stop of the whole system, the status item and its icon, the popover
// and its presentation. Everything runs on the GUI thread.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(AppDelegateDependencies dependencies);
    ~AppDelegate() override;

    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    // Asked by Quit; logs, flushes and ends the event loop.
    void applicationShouldTerminate();
    void applicationWillTerminate();

    void togglePopover(const QString& sender);
    void showAbout();
    void showHelp();
    // Asks to remove the helper and, once the user agrees, has the manager remove it.
    void confirmHelperRemoval();

    bool isPopoverShown() const;
    // No tray: the popover is shown as an ordinary window.
    bool isWindowMode() const { return popover_->isWindowMode(); }
    QMenu* statusMenu() const { return statusMenu_.get(); }
    bool hasPendingPresentation() const { return pendingPopoverPresentation_ != nullptr; }
    std::uint64_t popoverPresentationGeneration() const { return popoverPresentationGeneration_; }
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }
    PopoverWindow* popover() const { return popover_.get(); }
    ui::ContentView* contentView() const { return content_.get(); }
    manager::DiskManager* diskManager() const { return diskManager_.get(); }
    int statusIconSideApplied() const { return iconSide_; }
    QColor statusIconTintApplied() const { return iconTint_; }

signals:
    // A left click on the status item arrived, and the popover has been shown
    // and painted once after it (for measurements).
    void statusItemClicked();
    void popoverPresented();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct PresentationTask {
        bool cancelled = false;
    };

    void configureStatusItem();
    void updateStatusBarIcon();
    QColor trayBackground() const;
    void watchForDocking(int attemptsLeft);
    void checkForTray();
    void enterWindowMode();
    void leaveWindowMode();
    void configurePopover();
    void warmPopover();
    void configureMainMenu();
    void addRemoveHelperItem(QMenu* menu, std::function<void()> action);
    void syncRemoveHelperItems();
    void runPresentation(const std::shared_ptr<PresentationTask>& task, std::uint64_t generation,
                         const QPointer<QSystemTrayIcon>& button);
    void clearPendingIfCurrent(std::uint64_t generation);
    void showPopover();
    // Sizes the popover and places it by its anchor, inside the screen.
    void placePopover(QSize size);
    void dismissPopover();
    void connectContent();
    void storePopoverSize();

    AppDelegateDependencies deps_;
    ui::PopoverState popoverState_;
    std::unique_ptr<QSystemTrayIcon> statusItem_;
    std::unique_ptr<QMenu> statusMenu_;
    QRect anchor_; // where the popover was last opened from
    std::unique_ptr<PopoverWindow> popover_;
    // Also a child of popover_, which it must not outlive: declared after it, so it goes first.
    std::unique_ptr<ui::ContentView> content_;
    QList<QMetaObject::Connection> screenObserver_;
    std::shared_ptr<PresentationTask> pendingPopoverPresentation_;
    std::uint64_t popoverPresentationGeneration_ = 0;
    std::shared_ptr<manager::DiskManager> diskManager_;
    std::uint64_t warmUpObserver_ = 0; // the disk manager's id of the warm-up observer
    std::uint64_t helperObserver_ = 0; // keeps the "Remove Helper…" items in step
    QList<QPointer<QAction>> removeHelperItems_;
    int iconSide_ = 0;
    QColor iconTint_;
    bool terminated_ = false;
    bool awaitingFirstPaint_ = false;
    QPointer<QWidget> trayIconWindow_; // where a tray shows the icon, once docked
    bool awaitingTrayPaint_ = false;
};

} // namespace tesselwick::app
