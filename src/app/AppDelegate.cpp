#include "app/AppDelegate.h"

#include "app/PopoverPlacement.h"
#include "diagnostics/Diagnostics.h"
#include "helper/HelperScripts.h"
#include "manager/DiskManager.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>

#include <execinfo.h>

#include <cstdlib>
#include <memory>
#include <sstream>

namespace tesselwick::app {

namespace {

std::string flag(bool value) {
    return value ? "true" : "false";
}

std::string sizeText(QSizeF size) {
    std::ostringstream out;
    out << "(" << size.width() << ", " << size.height() << ")";
    return out.str();
}

std::string rectText(QRect rect) {
    std::ostringstream out;
    out << "(" << rect.x() << ", " << rect.y() << ", " << rect.width() << ", " << rect.height()
        << ")";
    return out.str();
}

std::string callStack() {
    void* frames[64];
    const int count = backtrace(frames, 64);
    std::string text;
    if (count <= 0) {
        return text;
    }
    const std::unique_ptr<char*, decltype(&std::free)> names(backtrace_symbols(frames, count),
                                                             &std::free);
    for (int i = 0; names && i < count; ++i) {
        if (i > 0) {
            text += '\n';
        }
        text += names.get()[i];
    }
    return text;
}

constexpr Seconds kWorkerLimit{5.0};

} // namespace

PopoverWindow::PopoverWindow() : QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_NoMouseReplay);
    setWindowTitle(QStringLiteral("Tesselwick"));
    // The content has a fixed size; the delegate sizes and places the window,
    // in one step, so the layout must not hold it to an older size.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetNoConstraint);
}

void PopoverWindow::setWindowMode(bool windowMode) {
    if (windowMode == windowMode_) {
        return;
    }
    windowMode_ = windowMode;
    setWindowFlags(windowMode ? Qt::Window : Qt::Popup | Qt::FramelessWindowHint);
    setWindowTitle(QStringLiteral("Tesselwick"));
    if (!windowMode) {
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
}

void PopoverWindow::showEvent(QShowEvent*) {
    emit willShow();
    emit didShow();
}

void PopoverWindow::hideEvent(QHideEvent*) {
    emit willClose();
    emit didClose();
}

void PopoverWindow::closeEvent(QCloseEvent* event) {
    if (windowMode_) {
        QWidget::closeEvent(event);
        emit closedAsWindow();
        return;
    }
    if (quitting_) {
        // A window that refuses to close would stop the quit.
        QWidget::closeEvent(event);
        return;
    }
    // Closing would destroy the native window and the next click would build
    // it again; hidden, the popover opens at once.
    event->ignore();
    hide();
}

AppDelegate::AppDelegate(AppDelegateDependencies dependencies)
    : deps_(std::move(dependencies)), popoverState_(*deps_.settings) {
    popover_ = std::make_unique<PopoverWindow>();
    if (!deps_.quit) {
        deps_.quit = [] { QCoreApplication::quit(); };
    }
    if (!deps_.trayAvailable) {
        deps_.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    }
}

AppDelegate::~AppDelegate() {
    applicationWillTerminate();
}

void AppDelegate::applicationWillFinishLaunching() {
    TesselwickDiagnostics::shared().startSession();
    TW_LOG("applicationWillFinishLaunching");
}

void AppDelegate::applicationDidFinishLaunching() {
    TW_LOG("applicationDidFinishLaunching begin");
    diskManager_ = deps_.makeDiskManager();
    configureStatusItem();
    configurePopover();
    configureMainMenu();
    // Once the first scan is in, after the icon's first paint and with the
    // cards there, so that neither the icon nor the scan waits for it.
    warmUpObserver_ = diskManager_->addObserver([this](manager::DiskManager::Field field) {
        if (field == manager::DiskManager::Field::hasCompletedInitialScan) {
            diskManager_->removeObserver(warmUpObserver_);
            warmUpObserver_ = 0;
            QTimer::singleShot(0, this, [this] { warmPopover(); });
        }
    });
    diskManager_->start();
    TW_LOG("applicationDidFinishLaunching complete statusItem=" + flag(statusItem_ != nullptr) +
           " popoverController=" + flag(content_ != nullptr));
}

void AppDelegate::configurePopover() {
    TW_LOG("configurePopover begin");
    const QSizeF restored = popoverState_.restoredPreferredSize();
    content_ = std::make_unique<ui::ContentView>(
        diskManager_, popoverState_,
        [self = QPointer<AppDelegate>(this)](QSizeF size) {
            if (!self) {
                return;
            }
            TW_LOG("popover preferred size callback size=" + sizeText(size));
            self->popoverState_.storePreferredSize(size);
            if (QSizeF(self->popover_->size()) != size) {
                self->placePopover(size.toSize());
            }
        },
        popover_.get());
    connectContent();
    popover_->layout()->addWidget(content_.get());
    popover_->resize(restored.toSize());
    connect(popover_.get(), &PopoverWindow::closedAsWindow, this,
            [this] { applicationShouldTerminate(); });

    connect(popover_.get(), &PopoverWindow::willShow, this, [this] {
        TW_LOG("popoverWillShow contentSize=" + sizeText(QSizeF(popover_->size())));
    });
    connect(popover_.get(), &PopoverWindow::didShow, this, [this] {
        TW_LOG("popoverDidShow isShown=" + flag(isPopoverShown()) + " window=true key=" +
               flag(popover_->isActiveWindow()) + " visible=" + flag(popover_->isVisible()));
    });
    connect(popover_.get(), &PopoverWindow::willClose, this, [] {
        // Asked as the popover goes, while it still counts as shown.
        TW_LOG("popoverShouldClose isShown=true currentEvent=nil");
        TW_LOG("popoverWillClose currentEvent=nil");
    });
    connect(popover_.get(), &PopoverWindow::didClose, this, [this] {
        TW_LOG("popoverDidClose currentEvent=nil");
        storePopoverSize();
    });
    content_->installEventFilter(this);
    TW_LOG("configurePopover complete restoredSize=" + sizeText(restored) + " behavior=transient");
}

// The first click would otherwise pay for the native window and for the
// first paint's shaped text and rendered symbols; done once while the app
// starts, that click is as quick as every later one.
void AppDelegate::warmPopover() {
    if (!content_) {
        return;
    }
    popover_->winId();
    content_->layout()->activate();
    content_->grab();
}

// What the popover asks for beyond the manager's state: the disk actions go to
// the manager, the rest to the application's windows and its quit.
void AppDelegate::connectContent() {
    std::weak_ptr<manager::DiskManager> weak = diskManager_;
    ui::ContentView* content = content_.get();
    connect(content, &ui::ContentView::toggleRequested, this,
            [weak](const discovery::ESPVolume& volume) {
                if (auto manager = weak.lock()) {
                    manager->toggle(volume);
                }
            });
    connect(content, &ui::ContentView::openRequested, this,
            [weak](const discovery::ESPVolume& volume) {
                if (auto manager = weak.lock()) {
                    manager->openMounted(volume, true);
                }
            });
    connect(content, &ui::ContentView::installHelperRequested, this, [weak] {
        if (auto manager = weak.lock()) {
            manager->installHelper();
        }
    });
    // The windows open after the popover has gone, so each shows alone.
    connect(content, &ui::ContentView::donateRequested, this, [this] {
        dismissPopover();
        QMetaObject::invokeMethod(
            this, [this] { deps_.windows->openDonationPage(); }, Qt::QueuedConnection);
    });
    connect(content, &ui::ContentView::aboutRequested, this, [this] {
        dismissPopover();
        QMetaObject::invokeMethod(this, &AppDelegate::showAbout, Qt::QueuedConnection);
    });
    connect(content, &ui::ContentView::quitRequested, this,
            [this] { applicationShouldTerminate(); });
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == content_.get() && event->type() == QEvent::Paint && awaitingFirstPaint_) {
        awaitingFirstPaint_ = false;
        // After the paint itself, so a listener sees the painted frame.
        QMetaObject::invokeMethod(this, &AppDelegate::popoverPresented, Qt::QueuedConnection);
    }
    if (watched == qApp && event->type() == QEvent::Quit) {
        popover_->setQuitting();
    }
    if (watched == qApp && (event->type() == QEvent::ApplicationPaletteChange ||
                            event->type() == QEvent::ThemeChange)) {
        // The panel may have changed with the theme: read it again.
        QMetaObject::invokeMethod(this, &AppDelegate::updateStatusBarIcon, Qt::QueuedConnection);
    }
    if (watched == trayIconWindow_ && event->type() == QEvent::Paint && awaitingTrayPaint_) {
        awaitingTrayPaint_ = false;
        // Only once the icon's window is on screen can the panel behind it be read.
        QMetaObject::invokeMethod(this, &AppDelegate::updateStatusBarIcon, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

bool AppDelegate::isPopoverShown() const {
    return popover_ && popover_->isVisible();
}

void AppDelegate::togglePopover(const QString& sender) {
    TW_LOG("togglePopover entered sender=" + sender.toStdString() + " event=nil isShown=" +
           flag(isPopoverShown()) + " pending=" + flag(hasPendingPresentation()));
    if (!statusItem_) {
        TW_LOG("togglePopover aborted: status button missing");
        return;
    }
    if (pendingPopoverPresentation_) {
        TW_LOG("togglePopover cancelling pending presentation");
        ++popoverPresentationGeneration_;
        pendingPopoverPresentation_->cancelled = true;
        pendingPopoverPresentation_.reset();
        return;
    }
    if (isPopoverShown()) {
        TW_LOG("togglePopover closing visible popover");
        popover_->close();
        return;
    }
    const std::uint64_t generation = ++popoverPresentationGeneration_;
    TW_LOG("togglePopover scheduling presentation generation=" + std::to_string(generation));
    auto task = std::make_shared<PresentationTask>();
    pendingPopoverPresentation_ = task;
    // One turn of the event loop, so the click that asked is fully handled first.
    QMetaObject::invokeMethod(
        this,
        [self = QPointer<AppDelegate>(this), task, generation,
         button = QPointer<QSystemTrayIcon>(statusItem_.get())] {
            TW_LOG("popover presentation task started generation=" + std::to_string(generation));
            if (!self) {
                TW_LOG("popover presentation task aborted: AppDelegate released");
                return;
            }
            self->runPresentation(task, generation, button);
        },
        Qt::QueuedConnection);
}

void AppDelegate::clearPendingIfCurrent(std::uint64_t generation) {
    if (popoverPresentationGeneration_ == generation) {
        pendingPopoverPresentation_.reset();
    }
}

void AppDelegate::runPresentation(const std::shared_ptr<PresentationTask>& task,
                                  std::uint64_t generation,
                                  const QPointer<QSystemTrayIcon>& button) {
    if (task->cancelled) {
        TW_LOG("popover presentation task cancelled generation=" + std::to_string(generation));
        clearPendingIfCurrent(generation);
        return;
    }
    if (popoverPresentationGeneration_ != generation) {
        TW_LOG("popover presentation task stale generation=" + std::to_string(generation) +
               " current=" + std::to_string(popoverPresentationGeneration_));
        return;
    }
    if (!button) {
        TW_LOG("popover presentation task aborted: button released");
        clearPendingIfCurrent(generation);
        return;
    }
    if (button.data() != statusItem_.get()) {
        TW_LOG("popover presentation task aborted: status button changed");
        clearPendingIfCurrent(generation);
        return;
    }
    if (isPopoverShown()) {
        TW_LOG("popover presentation task aborted: popover already shown");
        clearPendingIfCurrent(generation);
        return;
    }
    TW_LOG("popover.show about to execute bounds=" + rectText(button->geometry()) +
           " contentSize=" + sizeText(QSizeF(popover_->size())));
    showPopover();
    TW_LOG("popover.show returned isShown=" + flag(isPopoverShown()) +
           " window=true visible=" + flag(popover_->isVisible()));
    popover_->activateWindow();
    TW_LOG("popover window makeKey returned key=" + flag(popover_->isActiveWindow()));
    clearPendingIfCurrent(generation);
}

void AppDelegate::showPopover() {
    anchor_ = statusItem_->geometry();
    if (anchor_.isEmpty()) {
        anchor_ = QRect(QCursor::pos(), QSize(1, 1));
    }
    placePopover(content_->preferredSize().toSize());
    awaitingFirstPaint_ = true;
    popover_->show();
}

// Every size change while shown goes through here, so the popover never grows
// off the screen: expanding under a tray at the right edge moves it left.
void AppDelegate::placePopover(QSize size) {
    if (isWindowMode()) {
        popover_->setFixedSize(size);
        return;
    }
    if (!popover_->isVisible() && anchor_.isEmpty()) {
        popover_->resize(size);
        return;
    }
    const QRect icon = statusItem_ ? statusItem_->geometry() : QRect();
    const QRect anchor = icon.isEmpty() ? anchor_ : icon;
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    popover_->setGeometry(QRect(popoverOrigin(anchor, size, screen->availableGeometry()), size));
    if (popover_->isVisible()) {
        // Drawn at the new size now rather than a turn of the event loop
        // later: the display server takes the resize before the picture.
        popover_->repaint();
    }
}

void AppDelegate::dismissPopover() {
    if (!isWindowMode()) {
        popover_->close();
    }
}

void AppDelegate::storePopoverSize() {
    if (content_ != nullptr) {
        popoverState_.storePreferredSize(QSizeF(popover_->size()));
    }
}

void AppDelegate::showAbout() {
    deps_.windows->showAbout();
}
void AppDelegate::showHelp() {
    deps_.windows->showHelp();
}

void AppDelegate::confirmHelperRemoval() {
    TW_LOG("Remove Helper chosen");
    if (!deps_.windows->confirmHelperRemoval(
            {QString::fromUtf8(helper::kHelperPath), QString::fromUtf8(helper::kSudoersPath)})) {
        TW_LOG("Remove Helper cancelled");
        return;
    }
    if (diskManager_) {
        diskManager_->uninstallHelper();
    }
}

void AppDelegate::applicationShouldTerminate() {
    TW_LOG("applicationShouldTerminate requested\nCall stack:\n" + callStack());
    TesselwickDiagnostics::shared().flush();
    deps_.quit();
}

void AppDelegate::applicationWillTerminate() {
    if (terminated_) {
        return;
    }
    terminated_ = true;
    TW_LOG("applicationWillTerminate begin popoverShown=" + flag(isPopoverShown()));
    ++popoverPresentationGeneration_;
    if (pendingPopoverPresentation_) {
        pendingPopoverPresentation_->cancelled = true;
        pendingPopoverPresentation_.reset();
    }
    storePopoverSize();
    for (const auto& connection : screenObserver_) {
        disconnect(connection);
    }
    screenObserver_.clear();
    qApp->removeEventFilter(this);
    popover_->disconnect(this);
    if (popover_->isVisible()) {
        popover_->close();
    }
    if (diskManager_ && warmUpObserver_ != 0) {
        diskManager_->removeObserver(warmUpObserver_);
        warmUpObserver_ = 0;
    }
    if (diskManager_ && helperObserver_ != 0) {
        diskManager_->removeObserver(helperObserver_);
        helperObserver_ = 0;
    }
    content_.reset();
    manager::DiskManager::releaseAndWait(diskManager_, kWorkerLimit);
    if (statusItem_) {
        statusItem_->hide();
        statusItem_.reset();
    }
    deps_.settings->sync();
    TesselwickDiagnostics::shared().finishSession("applicationWillTerminate complete");
}

} // namespace tesselwick::app
