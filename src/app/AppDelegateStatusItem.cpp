// The application delegate's status item: the icon and its tint, the menus,
// and the window the popover becomes on a desktop without a system tray.

#include "app/AppDelegate.h"

#include "app/PopoverPlacement.h"
#include "diagnostics/Diagnostics.h"
#include "manager/DiskManager.h"
#include "ui/Icons.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QTimer>

#include <iostream>
#include <sstream>

namespace tesselwick::app {

namespace {

// The panel thickness the icon is drawn for when the desktop gives no geometry.
constexpr double kDefaultBarThickness = 22;
// How often to look for the icon's place in a tray that is docking it.
constexpr int kDockingPollMs = 250;
constexpr int kDockingAttempts = 20;

std::string sizeText(QSizeF size) {
    std::ostringstream out;
    out << "(" << size.width() << ", " << size.height() << ")";
    return out.str();
}

} // namespace

void AppDelegate::configureStatusItem() {
    TW_LOG("configureStatusItem begin");
    statusItem_ = std::make_unique<QSystemTrayIcon>();
    statusItem_->setObjectName(QStringLiteral("com.vornaby.Tesselwick.statusItem"));
    const bool trayAvailable = deps_.trayAvailable();
    if (!trayAvailable) {
        // Configured anyway: the icon docks as soon as a tray appears.
        TW_LOG("configureStatusItem ERROR status item button is nil");
    }
    statusItem_->setToolTip(QStringLiteral("Tesselwick"));
    connect(statusItem_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // The second of two quick clicks arrives as a double click; it
                // is a click all the same and withdraws or closes the first.
                // A right click opens the menu instead.
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    emit statusItemClicked();
                    togglePopover(QStringLiteral("QSystemTrayIcon"));
                }
            });
    updateStatusBarIcon();
    statusItem_->show();
    TW_LOG("configureStatusItem button configured action=togglePopover sendAction=leftMouseUp");
    if (trayAvailable) {
        watchForDocking(kDockingAttempts);
    } else {
        QTimer::singleShot(deps_.trayGraceMs, this, [this] { checkForTray(); });
    }
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
    qApp->installEventFilter(this);
}

// A tray tells where the icon sits only once it has docked it, and only then
// can its panel be seen: the icon is drawn again for that panel when it has.
void AppDelegate::watchForDocking(int attemptsLeft) {
    if (!statusItem_ || attemptsLeft <= 0) {
        return;
    }
    if (!statusItem_->geometry().isEmpty()) {
        updateStatusBarIcon();
        // Qt's window for a docked icon has no public name but its class.
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (qstrcmp(window->metaObject()->className(), "QSystemTrayIconSys") == 0 &&
                window != trayIconWindow_) {
                trayIconWindow_ = window;
                window->installEventFilter(this);
            }
        }
        awaitingTrayPaint_ = trayIconWindow_ != nullptr;
        return;
    }
    QTimer::singleShot(kDockingPollMs, this,
                       [this, attemptsLeft] { watchForDocking(attemptsLeft - 1); });
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
    // X11 trays draw the pixels as they are, so the icon gets a colour that
    // stands out on the tray; desktops that honour the mask flag tint it
    // themselves.
    const QColor tint =
        statusIconTint(trayBackground(), QGuiApplication::palette().color(QPalette::WindowText));
    {
        QPainter painter(&fitted);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(fitted.rect(), tint);
    }
    fitted.setDevicePixelRatio(ratio);
    QIcon icon(QPixmap::fromImage(fitted));
    icon.setIsMask(true);
    statusItem_->setIcon(icon);
    iconSide_ = side;
    iconTint_ = tint;
    TW_LOG("updateStatusBarIcon applied side=" + std::to_string(side) +
           " sourceSize=" + sizeText(QSizeF(source.size())) + " tint=" + tint.name().toStdString());
}

// The tray's colour behind the icon, where it can be read: the corners of the
// icon's place on an X screen, which the drive shape leaves clear. Invalid
// elsewhere, and before the tray has placed the icon.
QColor AppDelegate::trayBackground() const {
    const QRect geometry = statusItem_->geometry();
    if (QGuiApplication::platformName() != QLatin1String("xcb") || geometry.isEmpty()) {
        return {};
    }
    QScreen* screen = QGuiApplication::screenAt(geometry.center());
    if (screen == nullptr) {
        return {};
    }
    const QRect local = geometry.translated(-screen->geometry().topLeft());
    const QImage shot =
        screen->grabWindow(0, local.x(), local.y(), local.width(), local.height()).toImage();
    if (shot.width() < 2 || shot.height() < 2) {
        return {};
    }
    const int right = shot.width() - 1;
    const int bottom = shot.height() - 1;
    int red = 0;
    int green = 0;
    int blue = 0;
    for (const QPoint corner :
         {QPoint(0, 0), QPoint(right, 0), QPoint(0, bottom), QPoint(right, bottom)}) {
        const QColor color = shot.pixelColor(corner);
        red += color.red();
        green += color.green();
        blue += color.blue();
    }
    return {red / 4, green / 4, blue / 4};
}

// Still no tray some time after launch: the popover becomes a window, so the
// program can be used anyway, and says so once.
void AppDelegate::checkForTray() {
    if (terminated_ || !statusItem_) {
        return;
    }
    if (deps_.trayAvailable()) {
        if (isWindowMode()) {
            leaveWindowMode();
        } else {
            watchForDocking(kDockingAttempts);
        }
        return;
    }
    if (!isWindowMode()) {
        enterWindowMode();
    }
    QTimer::singleShot(deps_.trayGraceMs, this, [this] { checkForTray(); });
}

void AppDelegate::enterWindowMode() {
    TW_LOG("no system tray: showing the popover as a window");
    std::ostream& err = deps_.err != nullptr ? *deps_.err : std::cerr;
    err << "tesselwick: no system tray on this desktop; Tesselwick opens as a window and moves "
           "to the tray when one appears\n";
    err.flush();
    pendingPopoverPresentation_.reset();
    ++popoverPresentationGeneration_;
    popover_->hide();
    popover_->setWindowMode(true);
    const QSize size = content_->preferredSize().toSize();
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(QPoint(), size);
    popover_->setFixedSize(size);
    popover_->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
    popover_->show();
}

void AppDelegate::leaveWindowMode() {
    TW_LOG("system tray appeared: the popover moves to the status icon");
    popover_->hide();
    popover_->setWindowMode(false);
    // Shown again, the icon docks in the tray that has appeared.
    statusItem_->hide();
    statusItem_->show();
    watchForDocking(kDockingAttempts);
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
    addRemoveHelperItem(appMenu, [this] { confirmHelperRemoval(); });
    QAction* quit = appMenu->addAction(QStringLiteral("Quit Tesselwick"), this,
                                       [this] { applicationShouldTerminate(); });
    quit->setMenuRole(QAction::QuitRole);
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    QMenu* help = menuBar->addMenu(QStringLiteral("Help"));
    help->addAction(QStringLiteral("Tesselwick Help"), this, [this] { showHelp(); })
        ->setShortcut(QKeySequence(QStringLiteral("Ctrl+?")));
#else
    // Without a global menu bar, the menu's items are the status icon's
    // context menu (a right click) and keys of the popover; About is also the
    // header's info button.
    const auto later = [this](void (AppDelegate::*action)()) {
        return [this, action] {
            dismissPopover();
            // After the menu or the popover has gone, so the window shows alone.
            QMetaObject::invokeMethod(this, action, Qt::QueuedConnection);
        };
    };
    statusMenu_ = std::make_unique<QMenu>();
    statusMenu_->setTitle(QStringLiteral("Tesselwick"));
    // Named like the app's other windows, for window lists and tools.
    statusMenu_->setWindowTitle(QStringLiteral("Tesselwick"));
    statusMenu_->addAction(QStringLiteral("Tesselwick Help"), this, later(&AppDelegate::showHelp));
    statusMenu_->addAction(QStringLiteral("About Tesselwick"), this,
                           later(&AppDelegate::showAbout));
    addRemoveHelperItem(statusMenu_.get(), later(&AppDelegate::confirmHelperRemoval));
    statusMenu_->addSeparator();
    statusMenu_->addAction(QStringLiteral("Quit Tesselwick"), this,
                           [this] { applicationShouldTerminate(); });
    if (statusItem_) {
        statusItem_->setContextMenu(statusMenu_.get());
    }
    auto* quit = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Q")), popover_.get());
    connect(quit, &QShortcut::activated, this, [this] { applicationShouldTerminate(); });
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), popover_.get());
    connect(help, &QShortcut::activated, this, later(&AppDelegate::showHelp));
#endif
    if (diskManager_) {
        // Observers hear of a change just before it is made: read it a turn later.
        helperObserver_ = diskManager_->addObserver([this](manager::DiskManager::Field field) {
            if (field == manager::DiskManager::Field::helperInstalled ||
                field == manager::DiskManager::Field::helperBusy) {
                QMetaObject::invokeMethod(
                    this, [this] { syncRemoveHelperItems(); }, Qt::QueuedConnection);
            }
        });
    }
    syncRemoveHelperItems();
    TW_LOG("configureMainMenu");
}

// Shown only while the helper is installed; not offered while it is being
// installed or removed.
void AppDelegate::addRemoveHelperItem(QMenu* menu, std::function<void()> action) {
    removeHelperItems_.append(
        menu->addAction(QStringLiteral("Remove Helper\u2026"), this, std::move(action)));
}

void AppDelegate::syncRemoveHelperItems() {
    const bool installed = diskManager_ && diskManager_->helperInstalled();
    const bool busy = diskManager_ && diskManager_->helperBusy();
    for (const QPointer<QAction>& item : std::as_const(removeHelperItems_)) {
        if (item) {
            item->setVisible(installed);
            item->setEnabled(!busy);
        }
    }
}

} // namespace tesselwick::app
