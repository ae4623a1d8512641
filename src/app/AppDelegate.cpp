#include "app/AppDelegate.h"

#include "app/PopoverPlacement.h"
#include "diagnostics/Diagnostics.h"
#include "manager/DiskManager.h"
#include "ui/AppTheme.h"
#include "ui/Icons.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
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

// The panel thickness the icon is drawn for when the desktop gives no geometry.
constexpr double kDefaultBarThickness = 22;

} // namespace

PopoverWindow::PopoverWindow() : QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_NoMouseReplay);
    setWindowTitle(QStringLiteral("Tesselwick"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void PopoverWindow::showEvent(QShowEvent*) {
    emit willShow();
    emit didShow();
}

void PopoverWindow::hideEvent(QHideEvent*) {
    emit willClose();
    emit didClose();
}

AppDelegate::AppDelegate(AppDelegateDependencies dependencies)
    : deps_(std::move(dependencies)), popoverState_(*deps_.settings) {
    popover_ = std::make_unique<PopoverWindow>();
    if (!deps_.quit) {
        deps_.quit = [] { QCoreApplication::quit(); };
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
    diskManager_->start();
    TW_LOG("applicationDidFinishLaunching complete statusItem=" + flag(statusItem_ != nullptr) +
           " popoverController=" + flag(content_ != nullptr));
}

void AppDelegate::configureStatusItem() {
    TW_LOG("configureStatusItem begin");
    statusItem_ = std::make_unique<QSystemTrayIcon>();
    statusItem_->setObjectName(QStringLiteral("com.vornaby.Tesselwick.statusItem"));
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // Configured anyway: the icon docks as soon as a tray appears.
        TW_LOG("configureStatusItem ERROR status item button is nil");
    }
    statusItem_->setToolTip(QStringLiteral("Tesselwick"));
    // No context menu: a click must never open a menu instead of the popover.
    connect(statusItem_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // The second of two quick clicks arrives as a double click; it
                // is a click all the same and withdraws or closes the first.
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    emit statusItemClicked();
                    togglePopover(QStringLiteral("QSystemTrayIcon"));
                }
            });
    updateStatusBarIcon();
    statusItem_->show();
    TW_LOG("configureStatusItem button configured action=togglePopover sendAction=leftMouseUp");
    auto refreshIcon = [self = QPointer<AppDelegate>(this)] {
        QMetaObject::invokeMethod(
            self,
            [self] {
                if (self) {
                    self->updateStatusBarIcon();
                }
            },
            Qt::QueuedConnection);
    };
    auto* application = qGuiApp;
    screenObserver_.append(connect(application, &QGuiApplication::screenAdded, this, refreshIcon));
    screenObserver_.append(
        connect(application, &QGuiApplication::screenRemoved, this, refreshIcon));
    screenObserver_.append(
        connect(application, &QGuiApplication::primaryScreenChanged, this, refreshIcon));
    for (QScreen* screen : QGuiApplication::screens()) {
        screenObserver_.append(connect(screen, &QScreen::geometryChanged, this, refreshIcon));
        screenObserver_.append(
            connect(screen, &QScreen::logicalDotsPerInchChanged, this, refreshIcon));
    }
}

void AppDelegate::updateStatusBarIcon() {
    if (!statusItem_) {
        TW_LOG("updateStatusBarIcon skipped: status button missing");
        return;
    }
    QImage source = ui::bundleImage(QStringLiteral("MenuBarDriveTemplate"), QSize());
    if (source.isNull()) {
        source =
            ui::symbolPixmap(QStringLiteral("arrow.down.circle"), 36, Qt::black, 1.0).toImage();
    }
    const QRect geometry = statusItem_->geometry();
    const double thickness = geometry.height() > 0 ? geometry.height() : kDefaultBarThickness;
    const int side = statusIconSide(thickness);
    const qreal ratio = qGuiApp->devicePixelRatio();
    const QSize pixels(qRound(side * ratio), qRound(side * ratio));
    QImage fitted = aspectFitImage(&source, pixels);
    // X11 trays draw the pixels as they are, so give them the panel's text colour;
    // desktops that honour the mask flag tint it themselves.
    {
        QPainter painter(&fitted);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(fitted.rect(), QGuiApplication::palette().color(QPalette::WindowText));
    }
    fitted.setDevicePixelRatio(ratio);
    QIcon icon(QPixmap::fromImage(fitted));
    icon.setIsMask(true);
    statusItem_->setIcon(icon);
    iconSide_ = side;
    TW_LOG("updateStatusBarIcon applied side=" + std::to_string(side) +
           " sourceSize=" + sizeText(QSizeF(source.size())));
}

void AppDelegate::configurePopover() {
    TW_LOG("configurePopover begin");
    const QSizeF restored = popoverState_.restoredPreferredSize();
    ui::ContentActions actions = deps_.diskActions(diskManager_);
    actions.openDonationPage = [this] {
        popover_->close();
        QMetaObject::invokeMethod(
            this, [this] { deps_.windows->openDonationPage(); }, Qt::QueuedConnection);
    };
    actions.showAbout = [this] {
        popover_->close();
        QMetaObject::invokeMethod(
            this, [this] { showAbout(); }, Qt::QueuedConnection);
    };
    actions.quit = [this] { applicationShouldTerminate(); };
    content_ = std::make_unique<ui::ContentView>(
        diskManager_, popoverState_, std::move(actions),
        [self = QPointer<AppDelegate>(this)](QSizeF size) {
            if (!self) {
                return;
            }
            TW_LOG("popover preferred size callback size=" + sizeText(size));
            self->popoverState_.storePreferredSize(size);
            if (QSizeF(self->popover_->size()) != size) {
                self->popover_->resize(size.toSize());
            }
        },
        popover_.get());
    popover_->layout()->addWidget(content_.get());
    popover_->resize(restored.toSize());

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

void AppDelegate::configureMainMenu() {
#if defined(Q_OS_MACOS)
    // The application menu and the Help menu of the global menu bar.
    auto* menuBar = new QMenuBar(nullptr);
    QMenu* appMenu = menuBar->addMenu(QStringLiteral("Tesselwick"));
    QAction* about =
        appMenu->addAction(QStringLiteral("About Tesselwick"), this, [this] { showAbout(); });
    about->setMenuRole(QAction::AboutRole);
    appMenu->addSeparator();
    QAction* quit = appMenu->addAction(QStringLiteral("Quit Tesselwick"), this,
                                       [this] { applicationShouldTerminate(); });
    quit->setMenuRole(QAction::QuitRole);
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    QMenu* help = menuBar->addMenu(QStringLiteral("Help"));
    help->addAction(QStringLiteral("Tesselwick Help"), this, [this] { showHelp(); })
        ->setShortcut(QKeySequence(QStringLiteral("Ctrl+?")));
#else
    // Without a global menu bar, the menu's actions are keys of the popover; About
    // is also the header's info button.
    auto* quit = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Q")), popover_.get());
    connect(quit, &QShortcut::activated, this, [this] { applicationShouldTerminate(); });
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), popover_.get());
    connect(help, &QShortcut::activated, this, [this] {
        popover_->close();
        QMetaObject::invokeMethod(
            this, [this] { showHelp(); }, Qt::QueuedConnection);
    });
#endif
    TW_LOG("configureMainMenu");
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == content_.get() && event->type() == QEvent::Paint && awaitingFirstPaint_) {
        awaitingFirstPaint_ = false;
        // After the paint itself, so a listener sees the painted frame.
        QMetaObject::invokeMethod(this, &AppDelegate::popoverPresented, Qt::QueuedConnection);
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
    QRect anchor = statusItem_->geometry();
    if (anchor.isEmpty()) {
        anchor = QRect(QCursor::pos(), QSize(1, 1));
    }
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    const QSize size = content_->preferredSize().toSize();
    popover_->resize(size);
    popover_->move(popoverOrigin(anchor, size, screen->availableGeometry()));
    awaitingFirstPaint_ = true;
    popover_->show();
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
    popover_->disconnect(this);
    if (popover_->isVisible()) {
        popover_->close();
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
