#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

namespace tesselwick::ui {

// Values a build supplies: who is credited, where support mail goes, and the
// donation page. Empty address fields mean none is configured.
struct AppMetadata {
    QString authorCredit;
    QString supportEmail;
    QString donateAddress;
    // The bundle's short version string, when there is one and it is text.
    std::optional<QString> bundleVersion;

    // This build's values (set at configure time).
    static AppMetadata build();

    QString displayVersion() const;
    // Absent when the configured address does not parse as an absolute URL.
    std::optional<QUrl> donateURL() const;
    // Absent when the address does not make a valid mailto: URL.
    std::optional<QUrl> supportMailURL() const;
};

QString helpText();
QString aboutText(const AppMetadata& metadata);

// The Help and About windows and the two external links. Each window blocks
// until dismissed. The modal runner and the URL opener are the platform's by
// default; tests hand in their own.
class AppWindows {
public:
    using ModalRunner = std::function<void(QMessageBox&)>;
    using UrlOpener = std::function<bool(const QUrl&)>;

    static constexpr const char* kInvalidEmail = "The support email address is invalid.";
    static constexpr const char* kEmailFailed =
        "macOS could not open the default email application.";
    static constexpr const char* kInvalidDonation = "The PayPal address is invalid.";
    static constexpr const char* kDonationFailed = "macOS could not open the PayPal page.";

    explicit AppWindows(AppMetadata metadata = AppMetadata::build(), ModalRunner runModal = {},
                        UrlOpener openUrl = {});

    void showHelp();
    void showAbout();
    void openEmailComposer();
    void openDonationPage();
    void showExternalOpenFailure(const QString& message);
    // Asks before the helper is removed, naming the files that go; true when
    // the user chose to remove them.
    bool confirmHelperRemoval(const QStringList& files);

    const AppMetadata& metadata() const { return metadata_; }

private:
    AppMetadata metadata_;
    ModalRunner runModal_;
    UrlOpener openUrl_;
};

} // namespace tesselwick::ui
