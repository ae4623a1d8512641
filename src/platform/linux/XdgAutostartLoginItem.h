#pragma once

#include "services/LoginItemService.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace tesselwick::platform::linux_ {

// The login item as an XDG autostart entry. There is no approval step on
// Linux, so the status is never "requires approval": an entry that is present
// and not hidden is enabled, one whose program no longer exists is "not
// found", anything else is not registered.
class XdgAutostartLoginItem final : public services::LoginItemService {
public:
    static constexpr const char* kEntryFileName = "tesselwick.desktop";

    XdgAutostartLoginItem(std::filesystem::path autostartDirectory, std::string executablePath);

    // $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when that is unset or relative.
    static std::filesystem::path defaultAutostartDirectory();
    // The running program, for the entry's Exec line.
    static std::string currentExecutablePath();

    services::LoginItemStatus status() const override;
    void registerItem() override;
    void unregisterItem() override;

    std::filesystem::path entryPath() const { return directory_ / kEntryFileName; }

private:
    std::filesystem::path directory_;
    std::string executablePath_;
};

// The Exec value for one program path, quoted and escaped as desktop entries require.
std::string desktopExecValue(std::string_view program);
// The program of an Exec value (its first argument), undoing that quoting.
std::string desktopExecProgram(std::string_view execValue);

} // namespace tesselwick::platform::linux_
