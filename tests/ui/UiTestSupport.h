#pragma once

#include "manager/ManagerHarness.h"

#include <QSettings>
#include <QTemporaryDir>

namespace uitest {

using managertest::ESPVolume;

inline ESPVolume volume(const std::string& id, const std::string& host = "APFS",
                        bool mounted = false) {
    ESPVolume v = managertest::volume(id, mounted ? std::optional<std::string>("/Volumes/EFI")
                                                  : std::nullopt);
    v.hostFilesystem = host;
    return v;
}

// The manager over scripted fakes, and user settings in a scratch file.
struct ManagerHarness : managertest::ManagerHarness {
    QTemporaryDir scratch;
    QSettings settings{scratch.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat};

    ManagerHarness() { create(); }
    ~ManagerHarness() { tearDown(); }
    // One complete scan that finds `volumes`.
    void scan(std::vector<ESPVolume> volumes) { scanOnce(std::move(volumes)); }
};

} // namespace uitest
