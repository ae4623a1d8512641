#include "ui/ESPCard.h"

#include "ui/AppTheme.h"
#include "ui/ByteFormat.h"
#include "ui/Icons.h"
#include "ui/Styles.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QTextDocument>
#include <QVBoxLayout>

namespace tesselwick::ui {

namespace {

const QString kSeparator = QStringLiteral(" \u2022 ");

QString css(const QColor& color) {
    return color.name(QColor::HexArgb);
}

QString span(const QString& text, const QColor& color) {
    return QStringLiteral("<span style=\"color:%1\">%2</span>")
        .arg(css(color), text.toHtmlEscaped());
}

QLabel* textLabel(const QString& html, const QFont& font, const QColor& color) {
    auto* label = new QLabel;
    label->setTextFormat(Qt::RichText);
    label->setText(html);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("color:%1;background:transparent").arg(css(color)));
    return label;
}

// The volume's symbol in its 34-point tile.
class VolumeIcon : public QWidget {
public:
    explicit VolumeIcon(bool mounted) : mounted_(mounted) { setFixedSize(34, 34); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(mounted_ ? AppTheme::successFill() : AppTheme::iconFill());
        painter.drawRoundedRect(QRectF(rect()), 8, 8);
        const QPixmap icon = symbolPixmap(
            mounted_ ? QStringLiteral("externaldrive.fill") : QStringLiteral("externaldrive"), 22,
            mounted_ ? AppTheme::systemGreen() : AppTheme::textSecondary(), devicePixelRatioF(),
            1.1);
        painter.drawPixmap(QPointF(6, 6), icon);
    }

private:
    bool mounted_;
};

} // namespace

QString sizeShown(const discovery::ESPVolume& volume) {
    return formatFileSize(volume.parentSizeBytes >= 1 ? volume.parentSizeBytes : volume.sizeBytes);
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

ESPCard::ESPCard(ESPCardInputs inputs, std::function<void()> mountAction,
                 std::function<void()> openAction, QWidget* parent)
    : QWidget(parent), inputs_(std::move(inputs)), mountAction_(std::move(mountAction)),
      openAction_(std::move(openAction)) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    rebuild();
}

void ESPCard::setInputs(ESPCardInputs inputs, std::function<void()> mountAction,
                        std::function<void()> openAction) {
    mountAction_ = std::move(mountAction);
    openAction_ = std::move(openAction);
    if (inputs == inputs_) {
        return;
    }
    inputs_ = std::move(inputs);
    rebuild();
}

void ESPCard::rebuild() {
    delete content_;
    lines_.clear();
    content_ = new QWidget(this);
    content_->setAttribute(Qt::WA_TranslucentBackground);
    layout()->addWidget(content_);

    const auto& volume = inputs_.volume;
    const bool mounted = volume.mountPoint.has_value();
    const bool details = inputs_.showsDetails;

    auto* row = new QHBoxLayout(content_);
    row->setSpacing(10);
    row->setContentsMargins(10, details ? 9 : 7, 10, details ? 9 : 7);
    row->addWidget(new VolumeIcon(mounted), 0, Qt::AlignVCenter);

    auto* column = new QVBoxLayout;
    column->setSpacing(1);
    const QColor white(Qt::white);

    // Long disk names end in an ellipsis rather than pushing the buttons away.
    const QFont nameFont = uiFont(11, QFont::Bold);
    const QString name = QFontMetrics(nameFont).elidedText(
        QString::fromStdString(volume.parentName), Qt::ElideRight, details ? 300 : 200);
    QFont identifierFont = monospacedFont(8, QFont::DemiBold);
    auto* first = textLabel(
        span(name, white) + QStringLiteral("&nbsp;&nbsp;") +
            QStringLiteral("<span style=\"color:%1;font-family:'%2';font-size:8px\">%3</span>")
                .arg(css(AppTheme::textMuted()), identifierFont.family(),
                     QString::fromStdString(volume.parentIdentifier).toHtmlEscaped()),
        nameFont, white);
    column->addWidget(first);
    lines_.append(first);

    auto* second = textLabel(span(sizeShown(volume), AppTheme::textSecondary()) + kSeparator +
                                 span(kindText(volume), AppTheme::textSecondary()) + kSeparator +
                                 span(QString::fromStdString(volume.hostFilesystemDescription()),
                                      filesystemColor(volume)),
                             uiFont(9, QFont::DemiBold), AppTheme::textSecondary());
    column->addWidget(second);
    lines_.append(second);

    const auto partitionName = volume.displayPartitionName();
    if (details && inputs_.showsPartitionName && partitionName) {
        auto* third = textLabel(
            span(QStringLiteral("EFI Partition"), AppTheme::textMuted()) + kSeparator +
                span(QString::fromStdString(*partitionName), white) + kSeparator +
                span(QString::fromStdString(volume.diskIdentifier), AppTheme::textMuted()),
            uiFont(8, QFont::DemiBold), AppTheme::textMuted());
        column->addWidget(third);
        lines_.append(third);
    }
    if (details && volume.isDiskImage && volume.imagePath) {
        const QString file = QFileInfo(QString::fromStdString(*volume.imagePath)).fileName();
        auto* fourth =
            textLabel(file.toHtmlEscaped(), uiFont(9, QFont::Medium), AppTheme::textSecondary());
        auto* imageRow = new QHBoxLayout;
        imageRow->setSpacing(4);
        auto* icon = new QLabel;
        icon->setPixmap(symbolPixmap(QStringLiteral("doc.richtext"), 10, AppTheme::textSecondary(),
                                     devicePixelRatioF()));
        imageRow->addWidget(icon);
        imageRow->addWidget(fourth);
        imageRow->addStretch(1);
        column->addLayout(imageRow);
        lines_.append(fourth);
    }
    row->addLayout(column);
    row->addStretch(1);

    mountButton_ = nullptr;
    openButton_ = nullptr;
    busyIndicator_ = nullptr;
    if (inputs_.isBusy) {
        busyIndicator_ = new BusyIndicator(QSize(30, 34));
        auto* slot = new QWidget;
        slot->setFixedSize(30, 34);
        busyIndicator_->setParent(slot);
        busyIndicator_->setFixedSize(16, 16);
        busyIndicator_->move(7, 9);
        row->addWidget(slot, 0, Qt::AlignVCenter);
    } else if (mounted) {
        openButton_ = new StyledButton(StyledButton::Style::small);
        openButton_->setSymbol(QStringLiteral("folder.fill"), 14, 1.1);
        openButton_->setToolTip(QStringLiteral("Open mounted EFI"));
        openButton_->setFixedSize(30, 30);
        connect(openButton_, &QAbstractButton::clicked, this, [this] {
            if (openAction_) {
                openAction_();
            }
        });
        row->addWidget(openButton_, 0, Qt::AlignVCenter);
    }

    mountButton_ = new StyledButton(StyledButton::Style::pill);
    mountButton_->setActive(mounted);
    mountButton_->setText(mounted ? QStringLiteral("Unmount") : QStringLiteral("Mount"));
    mountButton_->setSymbol(mounted ? QStringLiteral("eject.fill")
                                    : QStringLiteral("arrow.down.circle.fill"),
                            11, 1.25);
    mountButton_->setEnabled(!inputs_.isBusy && !inputs_.mountDisabled);
    mountButton_->setFixedSize(mountButton_->sizeHint());
    connect(mountButton_, &QAbstractButton::clicked, this, [this] {
        if (mountAction_) {
            mountAction_();
        }
    });
    row->addWidget(mountButton_, 0, Qt::AlignVCenter);
    content_->show();
}

QStringList ESPCard::textLines() const {
    QStringList out;
    for (const QLabel* label : lines_) {
        QTextDocument document;
        document.setHtml(label->text());
        out.append(document.toPlainText().replace(QChar(0xA0), QLatin1Char(' ')));
    }
    return out;
}

void ESPCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(AppTheme::cardBorder(), 1));
    painter.setBrush(AppTheme::cardFill());
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}

} // namespace tesselwick::ui
