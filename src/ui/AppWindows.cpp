#include "ui/AppWindows.h"

#include "support/BuildInfo.h"
#include "ui/Icons.h"

#include <QDesktopServices>
#include <QPainter>
#include <QPushButton>
#include <QStringList>

namespace tesselwick::ui {

namespace {

QPixmap headerPixmap() {
    const QImage image = bundleImage(QStringLiteral("VornabyHeaderIcon"), QSize(64, 64));
    if (image.isNull()) {
        return {};
    }
    // The mark is white line art; the alert shows it on a dark tile.
    QImage tile(64, 64, QImage::Format_ARGB32_Premultiplied);
    tile.fill(QColor(22, 24, 29));
    QPainter painter(&tile);
    painter.drawImage(QRect(8, 8, 48, 48), image);
    painter.end();
    return QPixmap::fromImage(tile);
}

} // namespace

AppMetadata AppMetadata::build() {
    AppMetadata metadata;
    metadata.authorCredit = QString::fromUtf8(build::kAuthorCredit);
    metadata.supportEmail = QString::fromUtf8(build::kSupportEmail);
    metadata.donateAddress = QString::fromUtf8(build::kDonateURL);
    const QString version = QString::fromUtf8(build::kVersion);
    if (!version.isEmpty()) {
        metadata.bundleVersion = version;
    }
    return metadata;
}

QString AppMetadata::displayVersion() const {
    return bundleVersion && !bundleVersion->isEmpty() ? *bundleVersion : QStringLiteral("4.7");
}

std::optional<QUrl> AppMetadata::donateURL() const {
    const QUrl url(donateAddress, QUrl::StrictMode);
    if (donateAddress.trimmed().isEmpty() || !url.isValid() || url.isRelative() ||
        url.host().isEmpty()) {
        return std::nullopt;
    }
    return url;
}

std::optional<QUrl> AppMetadata::supportMailURL() const {
    const QString address = supportEmail.trimmed();
    // One @ with something on both sides and no blanks is as much as a mail
    // program needs to start a message.
    const int at = address.indexOf(QLatin1Char('@'));
    if (address.isEmpty() || at <= 0 || at != address.lastIndexOf(QLatin1Char('@')) ||
        at == address.size() - 1 || address.contains(QLatin1Char(' '))) {
        return std::nullopt;
    }
    const QUrl url(QStringLiteral("mailto:") + address, QUrl::StrictMode);
    return url.isValid() ? std::optional<QUrl>(url) : std::nullopt;
}

QString helpText() {
    return QStringList{
        QStringLiteral("Tesselwick is a macOS menu bar app for finding EFI System Partitions on "
                       "internal disks, external USB devices, and mounted disk images."),
        QString(),
        QStringLiteral("Main actions:"),
        QStringLiteral("\u2022 Refresh scans the current disk list again."),
        QStringLiteral("\u2022 Mount mounts the selected EFI partition."),
        QStringLiteral("\u2022 Unmount safely unmounts a mounted EFI partition."),
        QStringLiteral("\u2022 Open reveals a mounted EFI partition in Finder."),
        QStringLiteral(
            "\u2022 Start with macOS registers or unregisters Tesselwick as a login item "
            "through Apple's ServiceManagement API."),
        QStringLiteral("\u2022 Quit and Command-Q close Tesselwick completely."),
        QString(),
        QStringLiteral("Privacy and safety:"),
        QStringLiteral("Tesselwick does not collect, upload, sell, or store user data. It does not "
                       "contact update servers. The PayPal and Email buttons only open the "
                       "selected external link in macOS."),
        QString(),
        QStringLiteral("Optional helper:"),
        QStringLiteral(
            "The helper is optional and is installed only after user approval through a macOS "
            "administrator prompt. It creates a local zsh helper at "
            "/Library/PrivilegedHelperTools/com.vornaby.harbortide.helper and a sudoers rule at "
            "/etc/sudoers.d/vornaby-harbortide so mount/unmount can run without repeated password "
            "prompts. Without the helper, macOS asks for administrator authorization only when "
            "required."),
        QString(),
        QStringLiteral("Credits:"),
        // What this program is really built on; the tools it calls are as named.
        QStringLiteral("Tesselwick uses Qt and the system services of the platform it runs on. "
                       "It calls Apple system tools diskutil, hdiutil, osascript, and sudo for "
                       "disk detection and authorized mount operations."),
    }
        .join(QLatin1Char('\n'));
}

QString aboutText(const AppMetadata& metadata) {
    return QStringList{
        QStringLiteral("EFI partition mounter for macOS."),
        QString(),
        QStringLiteral("\u00AE ") + metadata.authorCredit,
        metadata.supportEmail,
        QStringLiteral("Version ") + metadata.displayVersion(),
        QString(),
        QStringLiteral("Credits: Tesselwick uses Apple system tools diskutil, hdiutil, osascript, "
                       "sudo, DiskArbitration, ServiceManagement, UserNotifications, AppKit, and "
                       "SwiftUI. The optional helper is a local zsh script installed only after "
                       "user approval."),
    }
        .join(QLatin1Char('\n'));
}

AppWindows::AppWindows(AppMetadata metadata, ModalRunner runModal, UrlOpener openUrl)
    : metadata_(std::move(metadata)), runModal_(std::move(runModal)), openUrl_(std::move(openUrl)) {
    if (!runModal_) {
        runModal_ = [](QMessageBox& box) { box.exec(); };
    }
    if (!openUrl_) {
        openUrl_ = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    }
}

void AppWindows::showHelp() {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Tesselwick Help"), helpText(),
                    QMessageBox::Ok);
    box.setIconPixmap(headerPixmap());
    runModal_(box);
}

void AppWindows::showAbout() {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Tesselwick"), aboutText(metadata_),
                    QMessageBox::NoButton);
    box.setIconPixmap(headerPixmap());
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    QPushButton* email = box.addButton(QStringLiteral("Email"), QMessageBox::ActionRole);
    QPushButton* donate = box.addButton(QStringLiteral("PayPal"), QMessageBox::ActionRole);
    box.setDefaultButton(ok);
    runModal_(box);
    // The links open after the About window has gone, so a failure shows alone.
    if (box.clickedButton() == email) {
        openEmailComposer();
    } else if (box.clickedButton() == donate) {
        openDonationPage();
    }
}

void AppWindows::openEmailComposer() {
    const auto url = metadata_.supportMailURL();
    if (!url) {
        showExternalOpenFailure(QString::fromUtf8(kInvalidEmail));
        return;
    }
    if (!openUrl_(*url)) {
        showExternalOpenFailure(QString::fromUtf8(kEmailFailed));
    }
}

void AppWindows::openDonationPage() {
    const auto url = metadata_.donateURL();
    if (!url) {
        showExternalOpenFailure(QString::fromUtf8(kInvalidDonation));
        return;
    }
    if (!openUrl_(*url)) {
        showExternalOpenFailure(QString::fromUtf8(kDonationFailed));
    }
}

bool AppWindows::confirmHelperRemoval(const QStringList& files) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Remove Helper"),
                    QStringLiteral("Remove the passwordless helper?"), QMessageBox::NoButton);
    box.setInformativeText(
        QStringLiteral("These files will be removed:\n%1\n\nAfterwards, macOS asks for "
                       "administrator authorization to mount or unmount an EFI partition.")
            .arg(files.join(QLatin1Char('\n'))));
    QPushButton* remove = box.addButton(QStringLiteral("Remove"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(remove);
    box.setEscapeButton(cancel);
    runModal_(box);
    return box.clickedButton() == remove;
}

void AppWindows::showExternalOpenFailure(const QString& message) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Tesselwick"), message, QMessageBox::Ok);
    runModal_(box);
}

} // namespace tesselwick::ui
