#include "ui/ContentView.h"

#include "diagnostics/Diagnostics.h"
#include "manager/DiskManager.h"
#include "ui/AppTheme.h"
#include "ui/Icons.h"
#include "ui/Styles.h"
#include "ui/TextLine.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStringList>
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
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    setTextColor(*label, color);
    return label;
}

// One line of text that keeps its whole width; shaped once, not per paint.
TextLine* fixedLine(const QString& text, const QFont& font, const QColor& color) {
    auto* line = new TextLine;
    line->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    line->setRuns({{text, font, color}});
    return line;
}

QLabel* symbolLabel(const QString& symbol, int side, const QColor& color, double weight = 1.0) {
    auto* label = new QLabel;
    label->setPixmap(symbolPixmap(symbol, side, color, label->devicePixelRatioF(), weight));
    label->setFixedSize(side, side);
    return label;
}

StyledButton* glassButton(const QString& symbol, double side, const QString& toolTip) {
    auto* button = new StyledButton(StyledButton::Style::roundGlass);
    button->setSymbol(symbol, side, 1.25);
    button->setToolTip(toolTip);
    button->setFixedSize(31, 31);
    return button;
}

int px(double points) {
    return static_cast<int>(std::lround(points));
}

} // namespace

QString whyNoESPText(const std::vector<discovery::DiskReport>& disks) {
    QStringList lines;
    for (const discovery::DiskReport& disk : disks) {
        if (!disk.reason) {
            continue;
        }
        // The kind once: "APFS container: its ESP is on disk0" names it already.
        QStringList place;
        if (disk.name != disk.id) {
            place << QString::fromStdString(disk.name);
        }
        const std::string kind(discovery::kindName(disk.kind));
        if (disk.kind != discovery::DiskReport::Kind::unknown && !disk.reason->starts_with(kind)) {
            place << QString::fromStdString(kind);
        }
        QString line = QString::fromStdString(disk.id);
        if (!place.isEmpty()) {
            line += QStringLiteral(" (") + place.join(QStringLiteral(", ")) + QLatin1Char(')');
        }
        lines << line + QStringLiteral(": ") + QString::fromStdString(*disk.reason);
    }
    if (lines.isEmpty()) {
        return QStringLiteral("The last scan saw no disks.");
    }
    return QStringLiteral("No EFI System Partition was found. What the last scan saw:\n\n") +
           lines.join(QLatin1Char('\n'));
}

ContentView::ContentView(std::shared_ptr<manager::DiskManager> diskManager,
                         PopoverState& popoverState,
                         std::function<void(QSizeF)> onPreferredSizeChange, QWidget* parent)
    : QWidget(parent), diskManager_(std::move(diskManager)), popoverState_(popoverState),
      onPreferredSizeChange_(std::move(onPreferredSizeChange)),
      isExpanded_(popoverState_.isExpanded()) {
    stack_ = new QVBoxLayout(this);
    stack_->setSpacing(0);
    header_ = buildHeader();
    stack_->addWidget(header_);
    const auto space = [this] {
        auto* spacer = new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
        stack_->addSpacerItem(spacer);
        return spacer;
    };
    aboveDivider_ = space();
    // The divider's line is drawn with the background (paintEvent).
    divider_ = new QWidget;
    divider_->setFixedHeight(1);
    stack_->addWidget(divider_);
    belowDivider_ = space();
    body_ = buildBody();
    stack_->addWidget(body_);
    footerGap_ = space();
    footer_ = buildFooter();
    stack_->addWidget(footer_);
    errorAlert_ = new ErrorAlert(this);
    connect(errorAlert_, &ErrorAlert::dismissed, this, [this] {
        showingReasons_ = false;
        diskManager_->dismissError();
    });
    applyMode();
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
    applyMode();
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

QWidget* ContentView::buildHeader() {
    auto* panel = new Panel(AppTheme::headerFill(), 14);
    auto* row = new QHBoxLayout(panel);
    row->setSpacing(8);
    headerIcon_ = new HeaderIcon(px(PopoverState::kCompact.headerIconSide));
    row->addWidget(headerIcon_);

    headerTitles_ = new QVBoxLayout;
    headerTitles_->setSpacing(1);
    headerTitles_->addStretch(1);
    title_ = fixedLine(QStringLiteral("Tesselwick"), uiFont(15, QFont::Bold), Qt::white);
    headerTitles_->addWidget(title_);
    subtitle_ = fixedLine(QStringLiteral("Mount and manage EFI partitions"),
                          uiFont(9, QFont::DemiBold), AppTheme::textSecondary());
    headerTitles_->addWidget(subtitle_);
    headerTitles_->addStretch(1);
    row->addLayout(headerTitles_);
    row->addStretch(1);

    refreshButton_ =
        glassButton(QStringLiteral("arrow.clockwise"), 12, QStringLiteral("Refresh disks"));
    connect(refreshButton_, &QAbstractButton::clicked, this, [this] { diskManager_->refresh(); });
    row->addWidget(refreshButton_);

    auto* donate = new HeartButton;
    donate->setToolTip(QStringLiteral("Support Tesselwick via PayPal"));
    donate->setAccessibleName(QStringLiteral("PayPal"));
    connect(donate, &QAbstractButton::clicked, this, &ContentView::donateRequested);
    donateButton_ = donate;
    row->addWidget(donate);

    sizeButton_ = glassButton(QString(), 10, QString());
    connect(sizeButton_, &QAbstractButton::clicked, this, [this] { setExpanded(!isExpanded_); });
    row->addWidget(sizeButton_);

    aboutButton_ =
        glassButton(QStringLiteral("info.circle"), 11, QStringLiteral("About Tesselwick"));
    connect(aboutButton_, &QAbstractButton::clicked, this, &ContentView::aboutRequested);
    row->addWidget(aboutButton_);

    quitButton_ = glassButton(QStringLiteral("xmark"), 11, QStringLiteral("Quit"));
    connect(quitButton_, &QAbstractButton::clicked, this, [this] {
        TW_LOG("Popover Quit button pressed");
        emit quitRequested();
    });
    row->addWidget(quitButton_);
    return panel;
}

QWidget* ContentView::buildBody() {
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
    whyButton_ = new StyledButton(StyledButton::Style::miniCapsule);
    whyButton_->setTint(AppTheme::accentBlue());
    whyButton_->setText(QStringLiteral("Why?"));
    whyButton_->setFixedSize(whyButton_->sizeHint());
    whyButton_->setToolTip(QStringLiteral("What the last scan saw on each disk"));
    connect(whyButton_, &QAbstractButton::clicked, this, &ContentView::showWhyNoESP);
    emptyColumn->addSpacing(4);
    emptyColumn->addWidget(whyButton_, 0, Qt::AlignHCenter);
    emptyColumn->addStretch(1);
    bodyPages_->addWidget(empty);

    scrollArea_ = new QScrollArea;
    scrollArea_->setFrameShape(QFrame::NoFrame);
    scrollArea_->setWidgetResizable(true);
    scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Only the scroll bar is styled: a style sheet higher up would reach every
    // card and its tool tips.
    scrollArea_->verticalScrollBar()->setStyleSheet(QStringLiteral(
        "QScrollBar:vertical{background:transparent;width:6px;margin:2px 0}"
        "QScrollBar::handle:vertical{background:rgba(255,255,255,60);border-radius:3px;"
        "min-height:24px}"
        "QScrollBar::add-line,QScrollBar::sub-line{height:0}"
        "QScrollBar::add-page,QScrollBar::sub-page{background:transparent}"));
    auto* column = new QWidget;
    cardColumn_ = new QVBoxLayout(column);
    cardColumn_->addStretch(1);
    scrollArea_->setWidget(column);
    // Both are filled by default; the popover's background shows through.
    column->setAutoFillBackground(false);
    scrollArea_->viewport()->setAutoFillBackground(false);
    bodyPages_->addWidget(scrollArea_);
    return body;
}

QWidget* ContentView::buildFooter() {
    auto* panel = new Panel(AppTheme::footerFill(), 12);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(10, 9, 10, 9);
    column->setSpacing(10);
    // The footer's height is fixed; what it holds sits in its middle.
    column->addStretch(1);

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
    connect(helperButton_, &QAbstractButton::clicked, this, &ContentView::installHelperRequested);
    helperRow->addWidget(helperButton_, 0, Qt::AlignVCenter);
    column->addLayout(helperRow);

    auto* loginRow = new QHBoxLayout;
    loginRow->setSpacing(6);
    const QString loginTip = QStringLiteral("Launch Tesselwick automatically when you log in.");
    auto* power = symbolLabel(QStringLiteral("power.circle"), 12, Qt::white, 1.25);
    power->setToolTip(loginTip);
    loginRow->addWidget(power);
    auto* loginText =
        fixedLine(QStringLiteral("Start with macOS"), uiFont(11, QFont::DemiBold), Qt::white);
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
    opensInBrowser_ = new QWidget;
    auto* opens = new QHBoxLayout(opensInBrowser_);
    opens->setContentsMargins(0, 0, 0, 0);
    opens->setSpacing(6);
    opens->addWidget(
        symbolLabel(QStringLiteral("folder.badge.plus"), 12, AppTheme::textSecondary()));
    opens->addWidget(fixedLine(QStringLiteral("Mounted EFI opens automatically in Finder"),
                               uiFont(10, QFont::DemiBold), AppTheme::textSecondary()));
    loginRow->addWidget(opensInBrowser_);
    column->addLayout(loginRow);
    column->addStretch(1);
    return panel;
}

// Everything that differs between compact and expanded, taken from the one set
// of metrics the size rules also read.
void ContentView::applyMode() {
    const bool expanded = isExpanded_;
    const PopoverState::Mode& m = PopoverState::mode(expanded);
    const int padding = px(m.padding);
    stack_->setContentsMargins(padding, padding, padding, padding);
    // The divider's line is one point; the rest of its block goes above and below.
    const int above = px(m.dividerBlock - 1) / 2;
    aboveDivider_->changeSize(0, above, QSizePolicy::Minimum, QSizePolicy::Fixed);
    belowDivider_->changeSize(0, px(m.dividerBlock - 1) - above, QSizePolicy::Minimum,
                              QSizePolicy::Fixed);
    footerGap_->changeSize(0, px(m.footerGap), QSizePolicy::Minimum, QSizePolicy::Fixed);
    stack_->invalidate();

    header_->setFixedHeight(px(m.headerHeight));
    const int inset = px(m.headerInset);
    header_->layout()->setContentsMargins(inset, inset, inset, inset);
    headerIcon_->setSide(px(m.headerIconSide));
    title_->setRuns(
        {{QStringLiteral("Tesselwick"), uiFont(expanded ? 17 : 15, QFont::Bold), Qt::white}});
    subtitle_->setRuns({{QStringLiteral("Mount and manage EFI partitions"),
                         uiFont(expanded ? 10 : 9, QFont::DemiBold), AppTheme::textSecondary()}});
    sizeButton_->setSymbol(expanded ? QStringLiteral("arrow.down.right.and.arrow.up.left")
                                    : QStringLiteral("arrow.up.left.and.arrow.down.right"),
                           10, 1.25);
    sizeButton_->setToolTip(expanded ? QStringLiteral("Compact view")
                                     : QStringLiteral("Expand view"));

    const int listPadding = px(m.listPadding / 2);
    cardColumn_->setContentsMargins(2, listPadding, 2, listPadding);
    cardColumn_->setSpacing(px(m.rowGap));
    for (ESPCard* card : cards_) {
        card->setFixedHeight(px(m.rowHeight));
    }

    footer_->setFixedHeight(px(m.footerHeight));
    opensInBrowser_->setVisible(expanded);
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

    const QSize size = preferredSize().toSize();
    const PopoverState::Mode& m = PopoverState::mode(isExpanded_);
    body_->setFixedSize(size.width() - 2 * px(m.padding),
                        px(PopoverState::bodyHeightIn(isExpanded_, size.height())));
    setFixedSize(size);

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
    const int rowHeight = px(PopoverState::mode(isExpanded_).rowHeight);
    while (cards_.size() > volumes.size()) {
        ESPCard* card = cards_.back();
        cards_.pop_back();
        cardColumn_->removeWidget(card);
        card->hide();
        card->deleteLater();
    }
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        const auto& volume = volumes[i];
        ESPCardInputs inputs{volume, manager.busyDiskIDs().contains(volume.id),
                             manager.helperBusy(), duplicated.contains(volume.parentIdentifier),
                             isExpanded_};
        if (i < cards_.size()) {
            cards_[i]->setInputs(std::move(inputs));
            continue;
        }
        auto* card = new ESPCard(std::move(inputs));
        card->setFixedHeight(rowHeight);
        connect(card, &ESPCard::mountRequested, this,
                [this, card] { emit toggleRequested(card->inputs().volume); });
        connect(card, &ESPCard::openRequested, this,
                [this, card] { emit openRequested(card->inputs().volume); });
        // Before the trailing stretch.
        cardColumn_->insertWidget(static_cast<int>(i), card);
        // A layout shows a new child of a visible parent only a turn later.
        card->show();
        cards_.push_back(card);
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
        // The reasons stay until dismissed, whatever the next scan brings.
        if (!showingReasons_) {
            errorAlert_->hide();
        }
        return;
    }
    showingReasons_ = false;
    const QString message = QString::fromStdString(*error);
    if (errorAlert_->isVisibleTo(this) && errorAlert_->message() == message) {
        return;
    }
    TW_LOG("ContentView error alert presented length=" + std::to_string(message.size()));
    errorAlert_->present(message);
}

// The last scan's word on each disk, in the in-popover alert.
void ContentView::showWhyNoESP() {
    if (diskManager_->lastError()) {
        return; // the alert already shows why the scan itself failed
    }
    TW_LOG("ContentView why-no-ESP alert presented");
    showingReasons_ = true;
    errorAlert_->present(whyNoESPText(diskManager_->diskReports()));
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
    painter.fillRect(divider_->geometry(), AppTheme::border());
    // The header's soft shadow falls below it, over the space before the
    // divider, in a few translucent steps.
    QColor shade = AppTheme::softShadow();
    shade.setAlphaF(shade.alphaF() / 4);
    const QRectF header = header_->geometry();
    for (int step = 4; step >= 1; --step) {
        paintRoundedRect(painter, header.topLeft() + QPointF(-step / 2.0, step),
                         header.size() + QSizeF(step, 0), 14, shade, Qt::transparent);
    }
}

} // namespace tesselwick::ui
