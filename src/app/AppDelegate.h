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

class QSettings;

namespace tesselwick::manager {
class DiskManager;
}

namespace tesselwick::app {

// The frameless window that holds the popover's content. It is a popup: it
// closes when the user clicks anywhere else, and that click is not passed on, so
// a click on the status icon while it is open only closes it.
class PopoverWindow : public QWidget {
    Q_OBJECT
public:
    PopoverWindow();

signals:
    void willShow();
    void didShow();
    void willClose();
    void didClose();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
};

struct AppDelegateDependencies {
    // Creates the one disk manager; called once at launch.
    std::function<std::shared_ptr<manager::DiskManager>()> makeDiskManager;
    // The disk actions of the popover for a manager (toggle, open, helper).
    std::function<ui::ContentActions(std::weak_ptr<manager::DiskManager>)> diskActions;
    QSettings* settings = nullptr;
    ui::AppWindows* windows = nullptr;
    // Ends the application's event loop; the platform's quit when not given.
    std::function<void()> quit;
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

    bool isPopoverShown() const;
    bool hasPendingPresentation() const { return pendingPopoverPresentation_ != nullptr; }
    std::uint64_t popoverPresentationGeneration() const { return popoverPresentationGeneration_; }
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }
    PopoverWindow* popover() const { return popover_.get(); }
    ui::ContentView* contentView() const { return content_.get(); }
    manager::DiskManager* diskManager() const { return diskManager_.get(); }
    int statusIconSideApplied() const { return iconSide_; }

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
    void configurePopover();
    void configureMainMenu();
    void runPresentation(const std::shared_ptr<PresentationTask>& task, std::uint64_t generation,
                         const QPointer<QSystemTrayIcon>& button);
    void clearPendingIfCurrent(std::uint64_t generation);
    void showPopover();
    void storePopoverSize();

    AppDelegateDependencies deps_;
    ui::PopoverState popoverState_;
    std::unique_ptr<QSystemTrayIcon> statusItem_;
    std::unique_ptr<PopoverWindow> popover_;
    // Also a child of popover_, which it must not outlive: declared after it, so it goes first.
    std::unique_ptr<ui::ContentView> content_;
    QList<QMetaObject::Connection> screenObserver_;
    std::shared_ptr<PresentationTask> pendingPopoverPresentation_;
    std::uint64_t popoverPresentationGeneration_ = 0;
    std::shared_ptr<manager::DiskManager> diskManager_;
    int iconSide_ = 0;
    bool terminated_ = false;
    bool awaitingFirstPaint_ = false;
};

} // namespace tesselwick::app
