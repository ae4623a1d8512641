#include "ui/ESPCard.h"

#include "discovery/VolumeFormat.h"
#include "ui/AppTheme.h"
#include "ui/Icons.h"
#include "ui/Styles.h"
#include "ui/TextLine.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QVBoxLayout>

namespace tesselwick::ui {

namespace {

const QString kSeparator = QStringLiteral(" \u2022 ");

// The volume's symbol in its 34-point tile.
class VolumeIcon : public QWidget {
public:
    VolumeIcon() { setFixedSize(34, 34); }
    void setMounted(bool mounted) {
        if (mounted != mounted_) {
            mounted_ = mounted;
            update();
        }
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        paintRoundedRect(painter, QPointF(), size(), 8,
                         mounted_ ? AppTheme::successFill() : AppTheme::iconFill(),
                         Qt::transparent);
        const QPixmap icon = symbolPixmap(
            mounted_ ? QStringLiteral("externaldrive.fill") : QStringLiteral("externaldrive"), 22,
            mounted_ ? AppTheme::systemGreen() : AppTheme::textSecondary(), devicePixelRatioF(),
            1.1);
        painter.drawPixmap(QPointF(6, 6), icon);
    }

private:
    bool mounted_ = false;
};

} // namespace

QString sizeShown(const discovery::ESPVolume& volume) {
    return QString::fromStdString(discovery::formatFileSize(
        volume.parentSizeBytes >= 1 ? volume.parentSizeBytes : volume.sizeBytes,
        QLocale().decimalPoint().toStdString()));
}

QString kindText(const discovery::ESPVolume& volume) {
    if (volume.isDiskImage) {
        return QStringLiteral("Disk Image");
    }
    return volume.isInternal ? QStringLiteral("Internal") : QStringLiteral("External");
}

QColor filesystemColor(const discovery::ESPVolume& volume) {
    const QString host = QString::fromStdString(volume.hostFilesystemDescription()).toLower();
    // exFAT before FAT32: its name contains "fat" too.
    if (host.contains(QLatin1String("exfat"))) {
        return AppTheme::systemRed();
    }
    if (host.contains(QLatin1String("ntfs")) || host.contains(QLatin1String("windows"))) {
        return AppTheme::textSecondary();
    }
    if (host.contains(QLatin1String("apfs")) || host.contains(QLatin1String("hfs"))) {
        return AppTheme::systemGreen();
    }
    if (host.contains(QLatin1String("fat32"))) {
        return AppTheme::systemOrange();
    }
    if (host.contains(QLatin1String("ext")) || host.contains(QLatin1String("linux"))) {
        return AppTheme::systemPurple();
    }
    return AppTheme::textSecondary();
}

QStringList cardToolTipLines(const discovery::ESPVolume& volume) {
    QStringList lines{QString::fromStdString(volume.diskIdentifier)};
    if (const auto name = volume.displayPartitionName()) {
        lines.append(QString::fromStdString(*name));
    }
    lines.append(volume.mountPoint ? QString::fromStdString(*volume.mountPoint)
                                   : QStringLiteral("Not mounted"));
    if (volume.isDiskImage && volume.imagePath) {
        lines.append(QString::fromStdString(*volume.imagePath));
    }
    return lines;
}

ESPCard::ESPCard(ESPCardInputs inputs, QWidget* parent)
    : QWidget(parent), inputs_(std::move(inputs)) {
    auto* row = new QHBoxLayout(this);
    row->setSpacing(10);
    // The row's height is fixed by the list; the content is centred in it.
    row->setContentsMargins(10, 0, 10, 0);
    icon_ = new VolumeIcon;
    row->addWidget(icon_, 0, Qt::AlignVCenter);

    auto* column = new QVBoxLayout;
    column->setSpacing(1);
    column->addStretch(1);
    nameLine_ = new TextLine;
    factsLine_ = new TextLine;
    partitionLine_ = new TextLine;
    column->addWidget(nameLine_);
    column->addWidget(factsLine_);
    column->addWidget(partitionLine_);
    imageRow_ = new QWidget;
    auto* imageLayout = new QHBoxLayout(imageRow_);
    imageLayout->setContentsMargins(0, 0, 0, 0);
    imageLayout->setSpacing(4);
    auto* document = new QLabel;
    document->setPixmap(symbolPixmap(QStringLiteral("doc.richtext"), 10, AppTheme::textSecondary(),
                                     devicePixelRatioF()));
    imageLayout->addWidget(document);
    imageLine_ = new TextLine;
    imageLayout->addWidget(imageLine_, 1);
    column->addWidget(imageRow_);
    column->addStretch(1);
    // The text takes what the icon and the buttons leave, and no more.
    row->addLayout(column, 1);

    busySlot_ = new QWidget;
    busySlot_->setFixedSize(30, 34);
    auto* busy = new BusyIndicator(QSize(16, 16), busySlot_);
    busy->move(7, 9);
    row->addWidget(busySlot_, 0, Qt::AlignVCenter);

    openButton_ = new StyledButton(StyledButton::Style::small);
    openButton_->setSymbol(QStringLiteral("folder.fill"), 14, 1.1);
    openButton_->setToolTip(QStringLiteral("Open mounted EFI"));
    openButton_->setFixedSize(30, 30);
    connect(openButton_, &QAbstractButton::clicked, this, &ESPCard::openRequested);
    row->addWidget(openButton_, 0, Qt::AlignVCenter);

    mountButton_ = new StyledButton(StyledButton::Style::pill);
    connect(mountButton_, &QAbstractButton::clicked, this, &ESPCard::mountRequested);
    row->addWidget(mountButton_, 0, Qt::AlignVCenter);
    apply();
}

void ESPCard::setInputs(ESPCardInputs inputs) {
    if (inputs == inputs_) {
        return;
    }
    inputs_ = std::move(inputs);
    apply();
}

void ESPCard::apply() {
    const auto& volume = inputs_.volume;
    const bool mounted = volume.mountPoint.has_value();
    const bool details = inputs_.showsDetails;
    const QColor white(Qt::white);
    static_cast<VolumeIcon*>(icon_)->setMounted(mounted);

    nameLine_->setRuns({
        {QString::fromStdString(volume.parentName), uiFont(11, QFont::Bold), white, Qt::ElideRight},
        {QStringLiteral("  "), uiFont(11, QFont::Bold), white},
        {QString::fromStdString(volume.parentIdentifier), monospacedFont(8, QFont::DemiBold),
         AppTheme::textMuted()},
    });
    const QFont facts = uiFont(9, QFont::DemiBold);
    factsLine_->setRuns({
        {sizeShown(volume), facts, AppTheme::textSecondary()},
        {kSeparator, facts, AppTheme::textSecondary()},
        {kindText(volume), facts, AppTheme::textSecondary()},
        {kSeparator, facts, AppTheme::textSecondary()},
        {QString::fromStdString(volume.hostFilesystemDescription()), facts, filesystemColor(volume),
         Qt::ElideRight},
    });
    const auto partitionName = volume.displayPartitionName();
    const bool showsPartition = details && inputs_.showsPartitionName && partitionName;
    if (showsPartition) {
        const QFont small = uiFont(8, QFont::DemiBold);
        partitionLine_->setRuns({
            {QStringLiteral("EFI Partition"), small, AppTheme::textMuted()},
            {kSeparator, small, AppTheme::textMuted()},
            {QString::fromStdString(*partitionName), small, white, Qt::ElideRight},
            {kSeparator, small, AppTheme::textMuted()},
            {QString::fromStdString(volume.diskIdentifier), small, AppTheme::textMuted()},
        });
    }
    partitionLine_->setVisible(showsPartition);
    const bool showsImage = details && volume.isDiskImage && volume.imagePath;
    if (showsImage) {
        // The middle gives way, so a long name keeps its extension.
        imageLine_->setRuns(
            {{QFileInfo(QString::fromStdString(*volume.imagePath)).fileName(),
              uiFont(9, QFont::Medium), AppTheme::textSecondary(), Qt::ElideMiddle}});
    }
    imageRow_->setVisible(showsImage);
    setToolTip(Qt::convertFromPlainText(cardToolTipLines(volume).join('\n'), Qt::WhiteSpaceNoWrap));

    busySlot_->setVisible(inputs_.isBusy);
    openButton_->setVisible(!inputs_.isBusy && mounted);
    mountButton_->setActive(mounted);
    mountButton_->setText(mounted ? QStringLiteral("Unmount") : QStringLiteral("Mount"));
    mountButton_->setSymbol(mounted ? QStringLiteral("eject.fill")
                                    : QStringLiteral("arrow.down.circle.fill"),
                            11, 1.25);
    mountButton_->setEnabled(!inputs_.isBusy && !inputs_.mountDisabled);
    mountButton_->setFixedSize(mountButton_->sizeHint());
}

QList<const TextLine*> ESPCard::visibleLines() const {
    QList<const TextLine*> lines;
    for (const TextLine* line : {nameLine_, factsLine_, partitionLine_, imageLine_}) {
        if (line->isVisibleTo(this)) {
            lines.append(line);
        }
    }
    return lines;
}

QStringList ESPCard::textLines() const {
    QStringList out;
    for (const TextLine* line : visibleLines()) {
        out.append(line->text());
    }
    return out;
}

QStringList ESPCard::shownLines() const {
    QStringList out;
    for (const TextLine* line : visibleLines()) {
        out.append(line->shownText());
    }
    return out;
}

void ESPCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintRoundedRect(painter, QPointF(), size(), 10, AppTheme::cardFill(), AppTheme::cardBorder());
}

} // namespace tesselwick::ui
