#include "ui/ContentView.h"

#include "diagnostics/Diagnostics.h"
#include "manager/DiskManager.h"
#include "ui/AppTheme.h"
#include "ui/Icons.h"
#include "ui/Styles.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <cmath>
#include <map>
#include <sstream>

namespace tesselwick::ui {

namespace {

QString sizeText(QSizeF size) {
    std::ostringstream out;
    out << "(" << size.width() << ", " << size.height() << ")";
    return QString::fromStdString(out.str());
}

QLabel* plainLabel(const QString& text, const QFont& font, const QColor& color) {
    auto* label = new QLabel(text);
    label->setFont(font);
    label->setStyleSheet(
        QStringLiteral("color:%1;background:transparent").arg(color.name(QColor::HexArgb)));
    return label;
}

QLabel* symbolLabel(const QString& symbol, int side, const QColor& color, double weight = 1.0) {
    auto* label = new QLabel;
    label->setPixmap(symbolPixmap(symbol, side, color, label->devicePixelRatioF(), weight));
    label->setFixedSize(side, side);
    label->setStyleSheet(QStringLiteral("background:transparent"));
    return label;
}

// A panel drawn as a filled rounded rectangle with a hairline outline.
class Panel : public QWidget {
public:
    Panel(QColor fill, double radius, bool shadow)
        : fill_(std::move(fill)), radius_(radius), shadow_(shadow) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        if (shadow_) {
            // A soft shadow below the panel, stacked in a few translucent steps;
            // the layout keeps room for it under the shape.
            shape.adjust(0, 0, 0, -kShadowRoom);
            painter.setPen(Qt::NoPen);
            for (int step = 4; step >= 1; --step) {
                QColor color = AppTheme::softShadow();
                color.setAlphaF(color.alphaF() / 4);
                painter.setBrush(color);
                painter.drawRoundedRect(
                    shape.translated(0, step).adjusted(-step / 2.0, 0, step / 2.0, 0), radius_,
                    radius_);
            }
        }
        painter.setPen(QPen(AppTheme::border(), 1));
        painter.setBrush(fill_);
        painter.drawRoundedRect(shape, radius_, radius_);
    }

public:
    static constexpr int kShadowRoom = 4;

private:
    QColor fill_;
    double radius_;
    bool shadow_;
};

StyledButton* glassButton(const QString& symbol, double side, const QString& toolTip) {
    auto* button = new StyledButton(StyledButton::Style::roundGlass);
    button->setSymbol(symbol, side, 1.25);
    button->setToolTip(toolTip);
    button->setFixedSize(31, 31);
    return button;
}

} // namespace

ErrorAlert::ErrorAlert(QWidget* parent) : QWidget(parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setAlignment(Qt::AlignCenter);
    auto* panel = new Panel(AppTheme::headerFill(), 12, false);
    panel->setFixedWidth(300);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(16, 14, 16, 14);
    column->setSpacing(10);
    column->addWidget(plainLabel(QStringLiteral("Tesselwick"), uiFont(13, QFont::Bold), Qt::white),
                      0, Qt::AlignHCenter);
    message_ = plainLabel(QString(), uiFont(11, QFont::Normal), AppTheme::textSecondary());
    message_->setWordWrap(true);
    message_->setAlignment(Qt::AlignHCenter);
    column->addWidget(message_);
    ok_ = new StyledButton(StyledButton::Style::pill);
    ok_->setText(QStringLiteral("OK"));
    ok_->setFixedSize(80, ok_->sizeHint().height());
    ok_->setShortcut(Qt::Key_Escape);
    column->addWidget(ok_, 0, Qt::AlignHCenter);
    outer->addWidget(panel);
    connect(ok_, &QAbstractButton::clicked, this, [this] {
        hide();
        emit dismissed();
    });
    hide();
}

QAbstractButton* ErrorAlert::okButton() const {
    return ok_;
}

void ErrorAlert::present(const QString& message) {
    message_->setText(message);
    if (parentWidget() != nullptr) {
        setGeometry(parentWidget()->rect());
    }
    raise();
    show();
}

void ErrorAlert::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 140));
}

ContentView::ContentView(std::shared_ptr<manager::DiskManager> diskManager,
                         PopoverState& popoverState, ContentActions actions,
                         std::function<void(QSizeF)> onPreferredSizeChange, QWidget* parent)
    : QWidget(parent), diskManager_(std::move(diskManager)), popoverState_(popoverState),
      actions_(std::move(actions)), onPreferredSizeChange_(std::move(onPreferredSizeChange)),
      isExpanded_(popoverState_.isExpanded()) {
    setAttribute(Qt::WA_StyledBackground, false);
    stack_ = new QVBoxLayout(this);
    stack_->setSpacing(0);
    errorAlert_ = new ErrorAlert(this);
    connect(errorAlert_, &ErrorAlert::dismissed, this,
            [this] { diskManager_->dismissError(); });
    build();
    // The manager announces a change before it happens; reading it a turn of
    // the event loop later sees the new value, once per burst of changes.
    observer_ = diskManager_->addObserver(
        [view = QPointer<ContentView>(this)](manager::DiskManager::Field) {
            if (view) {
                view->scheduleSync();
            }
        });
    sync();
}

ContentView::~ContentView() {
    diskManager_->removeObserver(observer_);
}

void ContentView::setExpanded(bool expanded) {
    if (expanded == isExpanded_) {
        return;
    }
    isExpanded_ = expanded;
    popoverState_.setExpanded(expanded);
    build();
    sync();
    notifyPreferredSizeChange();
}

std::size_t ContentView::shownVolumeCount() const {
    if (diskManager_->hasCompletedInitialScan()) {
        return diskManager_->volumes().size();
    }
    const auto saved = popoverState_.savedLayout();
    return saved ? static_cast<std::size_t>(saved->volumeCount) : 0;
}

QSizeF ContentView::preferredSize() const {
    if (diskManager_->hasCompletedInitialScan()) {
        return {PopoverState::mode(isExpanded_).width,
                PopoverState::preferredHeight(isExpanded_, diskManager_->volumes().size())};
    }
    return PopoverState::sizeBeforeFirstScan(isExpanded_, popoverState_.savedLayout());
}

double ContentView::bodyAreaHeight() const {
    return PopoverState::bodyAreaHeight(isExpanded_, shownVolumeCount());
}

std::set<std::string> ContentView::duplicatedParentIdentifiers() const {
    std::map<std::string, int> counts;
    for (const auto& volume : diskManager_->volumes()) {
        ++counts[volume.parentIdentifier];
    }
    std::set<std::string> duplicated;
    for (const auto& [parent, count] : counts) {
        if (count > 1) {
            duplicated.insert(parent);
        }
    }
    return duplicated;
}

void ContentView::notifyPreferredSizeChange() {
    const QSizeF size = preferredSize();
    if (lastReportedPreferredSize_ && *lastReportedPreferredSize_ == size) {
        return;
    }
    lastReportedPreferredSize_ = size;
    if (diskManager_->hasCompletedInitialScan()) {
        popoverState_.storePreferredLayout(
            size, static_cast<std::int64_t>(diskManager_->volumes().size()));
    }
    if (onPreferredSizeChange_) {
        onPreferredSizeChange_(size);
    }
}

void ContentView::build() {
    const bool expanded = isExpanded_;
    const int padding = expanded ? 10 : 8;
    stack_->setContentsMargins(padding, padding, padding, padding);
    for (QWidget* old : {header_, divider_, body_, footer_}) {
        delete old;
    }
    while (QLayoutItem* item = stack_->takeAt(0)) {
        delete item;
    }
    cards_.clear();
    header_ = buildHeader();
    stack_->addWidget(header_);
    // The divider between header and body.
    stack_->addSpacing(3);
    divider_ = new QWidget;
    divider_->setFixedHeight(1);
    divider_->setStyleSheet(
        QStringLiteral("background:%1").arg(AppTheme::border().name(QColor::HexArgb)));
    stack_->addWidget(divider_);
    stack_->addSpacing(3);
    body_ = buildBody();
    stack_->addWidget(body_);
    stack_->addSpacing(8);
    footer_ = buildFooter();
    stack_->addWidget(footer_, 1);
    errorAlert_->raise();
}

QWidget* ContentView::buildHeader() {
    const bool expanded = isExpanded_;
    auto* panel = new Panel(AppTheme::headerFill(), 14, true);
    auto* row = new QHBoxLayout(panel);
    const int inner = expanded ? 12 : 10;
    row->setContentsMargins(inner, inner, inner, inner + Panel::kShadowRoom);
    row->setSpacing(8);
    row->addWidget(new HeaderIcon(expanded ? 48 : 42));

    auto* titles = new QVBoxLayout;
    titles->setSpacing(1);
    titles->addStretch(1);
    titles->addWidget(plainLabel(QStringLiteral("Tesselwick"),
                                 uiFont(expanded ? 17 : 15, QFont::Bold), Qt::white));
    titles->addWidget(plainLabel(QStringLiteral("Mount and manage EFI partitions"),
                                 uiFont(expanded ? 10 : 9, QFont::DemiBold),
                                 AppTheme::textSecondary()));
    titles->addStretch(1);
    row->addLayout(titles);
    row->addStretch(1);

    refreshButton_ =
        glassButton(QStringLiteral("arrow.clockwise"), 12, QStringLiteral("Refresh disks"));
    connect(refreshButton_, &QAbstractButton::clicked, this, [this] { diskManager_->refresh(); });
    row->addWidget(refreshButton_);

    auto* donate = new HeartButton;
    donate->setToolTip(QStringLiteral("Support Tesselwick via PayPal"));
    donate->setAccessibleName(QStringLiteral("PayPal"));
    connect(donate, &QAbstractButton::clicked, this, [this] {
        if (actions_.openDonationPage) {
            actions_.openDonationPage();
        }
    });
    donateButton_ = donate;
    row->addWidget(donate);

    sizeButton_ =
        glassButton(expanded ? QStringLiteral("arrow.down.right.and.arrow.up.left")
                             : QStringLiteral("arrow.up.left.and.arrow.down.right"),
                    10, expanded ? QStringLiteral("Compact view") : QStringLiteral("Expand view"));
    // Rebuilding deletes the button that was clicked; do it after the click.
    connect(
        sizeButton_, &QAbstractButton::clicked, this, [this] { setExpanded(!isExpanded_); },
        Qt::QueuedConnection);
    row->addWidget(sizeButton_);

    aboutButton_ =
        glassButton(QStringLiteral("info.circle"), 11, QStringLiteral("About Tesselwick"));
    connect(aboutButton_, &QAbstractButton::clicked, this, [this] {
        if (actions_.showAbout) {
            actions_.showAbout();
        }
    });
    row->addWidget(aboutButton_);

    quitButton_ = glassButton(QStringLiteral("xmark"), 11, QStringLiteral("Quit"));
    connect(quitButton_, &QAbstractButton::clicked, this, [this] {
        TW_LOG("Popover Quit button pressed");
        if (actions_.quit) {
            actions_.quit();
        }
    });
    row->addWidget(quitButton_);
    return panel;
}

QWidget* ContentView::buildBody() {
    const bool expanded = isExpanded_;
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    bodyPages_ = new QStackedWidget;
    layout->addWidget(bodyPages_);

    auto* loading = new QWidget;
    auto* loadingColumn = new QVBoxLayout(loading);
    loadingColumn->setSpacing(14);
    loadingColumn->addStretch(1);
    loadingColumn->addWidget(new BusyIndicator(QSize(18, 18)), 0, Qt::AlignHCenter);
    loadingColumn->addWidget(plainLabel(QStringLiteral("Scanning EFI partitions\u2026"),
                                        uiFont(12, QFont::DemiBold), AppTheme::textSecondary()),
                             0, Qt::AlignHCenter);
    loadingColumn->addStretch(1);
    bodyPages_->addWidget(loading);

    auto* empty = new QWidget;
    auto* emptyColumn = new QVBoxLayout(empty);
    emptyColumn->setSpacing(6);
    emptyColumn->addStretch(1);
    emptyColumn->addWidget(
        symbolLabel(QStringLiteral("externaldrive"), 50, AppTheme::textSecondary(), 0.9), 0,
        Qt::AlignHCenter);
    emptyColumn->addWidget(
        plainLabel(QStringLiteral("No EFI partitions found"), uiFont(11, QFont::Bold), Qt::white),
        0, Qt::AlignHCenter);
    emptyColumn->addWidget(
        plainLabel(QStringLiteral("Click refresh after connecting or formatting a disk."),
                   uiFont(12, QFont::Normal), AppTheme::textSecondary()),
        0, Qt::AlignHCenter);
    emptyColumn->addStretch(1);
    bodyPages_->addWidget(empty);

    scrollArea_ = new QScrollArea;
    scrollArea_->setFrameShape(QFrame::NoFrame);
    scrollArea_->setWidgetResizable(true);
    scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea_->setStyleSheet(QStringLiteral(
        "QScrollArea{background:transparent}"
        "QScrollBar:vertical{background:transparent;width:6px;margin:2px 0}"
        "QScrollBar::handle:vertical{background:rgba(255,255,255,60);border-radius:3px;"
        "min-height:24px}"
        "QScrollBar::add-line,QScrollBar::sub-line{height:0}"
        "QScrollBar::add-page,QScrollBar::sub-page{background:transparent}"));
    auto* column = new QWidget;
    column->setStyleSheet(QStringLiteral("background:transparent"));
    cardColumn_ = new QVBoxLayout(column);
    const int vertical = expanded ? 8 : 6;
    cardColumn_->setContentsMargins(2, vertical, 2, vertical);
    cardColumn_->setSpacing(9);
    cardColumn_->addStretch(1);
    scrollArea_->setWidget(column);
    scrollArea_->viewport()->setAutoFillBackground(false);
    bodyPages_->addWidget(scrollArea_);
    return body;
}

QWidget* ContentView::buildFooter() {
    const bool expanded = isExpanded_;
    auto* panel = new Panel(AppTheme::footerFill(), 12, false);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(10, 9, 10, 9);
    column->setSpacing(10);

    auto* helperRow = new QHBoxLayout;
    helperRow->setSpacing(6);
    helperIcon_ = new QLabel;
    helperIcon_->setFixedSize(12, 12);
    helperRow->addWidget(helperIcon_, 0, Qt::AlignVCenter);
    helperLabel_ = plainLabel(QString(), uiFont(10, QFont::DemiBold), AppTheme::textSecondary());
    helperLabel_->setWordWrap(true);
    helperRow->addWidget(helperLabel_, 1);
    helperButton_ = new StyledButton(StyledButton::Style::miniCapsule);
    helperButton_->setTint(AppTheme::accentBlue());
    connect(helperButton_, &QAbstractButton::clicked, this, [this] {
        if (actions_.installHelper) {
            actions_.installHelper();
        }
    });
    helperRow->addWidget(helperButton_, 0, Qt::AlignVCenter);
    column->addLayout(helperRow);

    auto* loginRow = new QHBoxLayout;
    loginRow->setSpacing(6);
    const QString loginTip = QStringLiteral("Launch Tesselwick automatically when you log in.");
    auto* power = symbolLabel(QStringLiteral("power.circle"), 12, Qt::white, 1.25);
    power->setToolTip(loginTip);
    loginRow->addWidget(power);
    auto* loginText =
        plainLabel(QStringLiteral("Start with macOS"), uiFont(11, QFont::DemiBold), Qt::white);
    loginText->setToolTip(loginTip);
    loginRow->addWidget(loginText);
    loginSwitch_ = new SwitchButton;
    loginSwitch_->setToolTip(loginTip);
    loginSwitch_->setAccessibleName(QStringLiteral("Start with macOS"));
    connect(loginSwitch_, &QAbstractButton::clicked, this, [this](bool checked) {
        diskManager_->setLaunchAtLoginEnabled(checked);
        // The manager's published value decides what the switch shows.
        scheduleSync();
    });
    loginRow->addWidget(loginSwitch_);
    loginRow->addStretch(1);
    if (expanded) {
        loginRow->addWidget(
            symbolLabel(QStringLiteral("folder.badge.plus"), 12, AppTheme::textSecondary()));
        loginRow->addWidget(plainLabel(QStringLiteral("Mounted EFI opens automatically in Finder"),
                                       uiFont(10, QFont::DemiBold), AppTheme::textSecondary()));
    }
    column->addLayout(loginRow);
    column->addStretch(1);
    return panel;
}

void ContentView::scheduleSync() {
    if (syncScheduled_) {
        return;
    }
    syncScheduled_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            syncScheduled_ = false;
            sync();
        },
        Qt::QueuedConnection);
}

void ContentView::sync() {
    const auto& manager = *diskManager_;
    const bool hasVolumes = !manager.volumes().empty();
    if (hasVolumes) {
        bodyState_ = BodyState::list;
    } else {
        bodyState_ = manager.isLoading() ? BodyState::loading : BodyState::empty;
    }
    bodyPages_->setCurrentIndex(static_cast<int>(bodyState_));
    syncCards();
    refreshButton_->setEnabled(!manager.isLoading() && !manager.helperBusy());
    syncFooter();

    const QSizeF size = preferredSize();
    body_->setFixedSize(qRound(size.width()) - 2 * stack_->contentsMargins().left(),
                        qRound(bodyAreaHeight()));
    setFixedSize(size.toSize());

    const std::pair<std::size_t, bool> countAndCompletion{manager.volumes().size(),
                                                          manager.hasCompletedInitialScan()};
    if (lastCountAndCompletion_ != countAndCompletion) {
        lastCountAndCompletion_ = countAndCompletion;
        notifyPreferredSizeChange();
    }
    syncError();
}

void ContentView::syncCards() {
    const auto& manager = *diskManager_;
    const auto& volumes = manager.volumes();
    const auto duplicated = duplicatedParentIdentifiers();
    const double rowHeight = PopoverState::mode(isExpanded_).rowHeight;
    while (cards_.size() > volumes.size()) {
        delete cards_.back();
        cards_.pop_back();
    }
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        const auto& volume = volumes[i];
        ESPCardInputs inputs{volume, manager.busyDiskIDs().contains(volume.id),
                             manager.helperBusy(), duplicated.contains(volume.parentIdentifier),
                             isExpanded_};
        auto mount = [this, volume] {
            if (actions_.toggle) {
                actions_.toggle(volume);
            }
        };
        auto open = [this, volume] {
            if (actions_.openMounted) {
                actions_.openMounted(volume);
            }
        };
        if (i < cards_.size()) {
            cards_[i]->setInputs(std::move(inputs), std::move(mount), std::move(open));
        } else {
            auto* card = new ESPCard(std::move(inputs), std::move(mount), std::move(open));
            card->setMinimumHeight(qRound(rowHeight));
            // Before the trailing stretch.
            cardColumn_->insertWidget(static_cast<int>(i), card);
            // A layout shows a new child of a visible parent only a turn later.
            card->show();
            cards_.push_back(card);
        }
    }
}

void ContentView::syncFooter() {
    const auto& manager = *diskManager_;
    const bool installed = manager.helperInstalled();
    helperIcon_->setPixmap(symbolPixmap(
        installed ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("info.circle.fill"),
        12, installed ? AppTheme::systemGreen() : AppTheme::accentBlue(), devicePixelRatioF(),
        1.2));
    helperLabel_->setText(
        installed ? QStringLiteral("Optional helper installed: mount/unmount runs without repeated "
                                   "password prompts.")
                  : QStringLiteral("Helper is optional. Without it, macOS asks for admin "
                                   "authorization when needed."));
    QString title;
    if (manager.helperBusy()) {
        title = installed ? QStringLiteral("Repairing...") : QStringLiteral("Installing...");
    } else {
        title = installed ? QStringLiteral("Repair Helper") : QStringLiteral("Install Helper");
    }
    helperButton_->setText(title);
    helperButton_->setFixedSize(helperButton_->sizeHint());
    helperButton_->setEnabled(!manager.helperBusy() && !manager.isLoading() &&
                              manager.busyDiskIDs().empty());
    loginSwitch_->setChecked(manager.launchAtLoginEnabled());
}

void ContentView::syncError() {
    const auto& error = diskManager_->lastError();
    if (!error) {
        errorAlert_->hide();
        return;
    }
    errorAlert_->present(QString::fromStdString(error.value_or("Unknown error")));
}

void ContentView::showEvent(QShowEvent*) {
    TW_LOG("ContentView.onAppear preferredSize=" + sizeText(preferredSize()).toStdString());
    diskManager_->start();
    notifyPreferredSizeChange();
    TW_LOG("ContentView.onAppear complete");
}

void ContentView::hideEvent(QHideEvent*) {
    TW_LOG("ContentView.onDisappear");
}

void ContentView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), AppTheme::background());
}

void ContentView::resizeEvent(QResizeEvent*) {
    if (errorAlert_->isVisible()) {
        errorAlert_->setGeometry(rect());
    }
}

} // namespace tesselwick::ui
