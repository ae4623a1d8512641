#include "platform/linux/XdgAutostartLoginItem.h"

#include "support/Errors.h"
#include "support/FileDescriptor.h"
#include "support/Text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tesselwick::platform::linux_ {

namespace {

constexpr const char* kErrorDomain = "Tesselwick.LoginItem";

DomainError loginItemError(int error, const std::string& what) {
    return DomainError(kErrorDomain, error, what + ": " + std::strerror(error));
}

// Characters that force quoting of an Exec argument.
bool isReservedExecChar(char c) {
    return std::strchr(" \t\n\"'\\><~|&;$*?#()`", c) != nullptr;
}

std::string unescapeStringValue(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            switch (next) {
            case 's':
                out.push_back(' ');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'r':
                out.push_back('\r');
                break;
            default:
                out.push_back(next);
                break;
            }
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

// The keys of the [Desktop Entry] group.
std::map<std::string, std::string> readDesktopEntry(const std::filesystem::path& path,
                                                    bool& exists) {
    std::map<std::string, std::string> keys;
    std::ifstream in(path);
    exists = in.is_open();
    std::string line;
    bool inMainGroup = false;
    while (std::getline(in, line)) {
        const std::string trimmed = text::trim(line);
        if (trimmed.empty() || trimmed[0] == '#') {
            continue;
        }
        if (trimmed[0] == '[') {
            inMainGroup = trimmed == "[Desktop Entry]";
            continue;
        }
        const std::size_t eq = trimmed.find('=');
        if (inMainGroup && eq != std::string::npos) {
            keys.emplace(text::trim(trimmed.substr(0, eq)), text::trim(trimmed.substr(eq + 1)));
        }
    }
    return keys;
}

void writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw loginItemError(errno, "Could not write the login item");
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

std::string desktopExecValue(std::string_view program) {
    std::string argument;
    bool quote = program.empty();
    for (char c : program) {
        if (c == '\n' || c == '\r') {
            // A line break would end the entry's line and let the rest become a new key.
            throw DomainError(kErrorDomain, EINVAL,
                              "The application's path cannot be used for a login item.");
        }
        quote = quote || isReservedExecChar(c);
    }
    if (quote) {
        argument.push_back('"');
        for (char c : program) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                argument.push_back('\\');
            }
            argument.push_back(c);
        }
        argument.push_back('"');
    } else {
        argument = program;
    }
    // Then the escapes of a string value, and "%" which field codes reserve.
    std::string value;
    for (char c : argument) {
        if (c == '\\') {
            value += "\\\\";
        } else if (c == '%') {
            value += "%%";
        } else if (c == '\t') {
            value += "\\t";
        } else {
            value.push_back(c);
        }
    }
    return value;
}

std::string desktopExecProgram(std::string_view execValue) {
    const std::string unescaped = unescapeStringValue(execValue);
    std::string program;
    std::size_t i = 0;
    if (!unescaped.empty() && unescaped[0] == '"') {
        for (i = 1; i < unescaped.size() && unescaped[i] != '"'; ++i) {
            if (unescaped[i] == '\\' && i + 1 < unescaped.size()) {
                ++i;
            }
            program.push_back(unescaped[i]);
        }
    } else {
        for (; i < unescaped.size() && unescaped[i] != ' ' && unescaped[i] != '\t'; ++i) {
            program.push_back(unescaped[i]);
        }
    }
    std::string out;
    for (std::size_t j = 0; j < program.size(); ++j) {
        out.push_back(program[j]);
        if (program[j] == '%' && j + 1 < program.size() && program[j + 1] == '%') {
            ++j;
        }
    }
    return out;
}

XdgAutostartLoginItem::XdgAutostartLoginItem(std::filesystem::path autostartDirectory,
                                             std::string executablePath)
    : directory_(std::move(autostartDirectory)), executablePath_(std::move(executablePath)) {}

std::filesystem::path XdgAutostartLoginItem::defaultAutostartDirectory() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && configHome[0] == '/') {
        return std::filesystem::path(configHome) / "autostart";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "/") / ".config" / "autostart";
}

std::string XdgAutostartLoginItem::currentExecutablePath() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

services::LoginItemStatus XdgAutostartLoginItem::status() const {
    bool exists = false;
    const auto keys = readDesktopEntry(entryPath(), exists);
    if (!exists) {
        return services::LoginItemStatus::notRegistered;
    }
    const auto value = [&](const std::string& key) {
        const auto it = keys.find(key);
        return it == keys.end() ? std::string() : it->second;
    };
    // Desktop sessions mark an entry the user switched off instead of deleting it.
    if (value("Hidden") == "true" || value("X-GNOME-Autostart-enabled") == "false") {
        return services::LoginItemStatus::notRegistered;
    }
    const std::string program = desktopExecProgram(value("Exec"));
    if (program.empty() || ::access(program.c_str(), X_OK) != 0) {
        return services::LoginItemStatus::notFound;
    }
    return services::LoginItemStatus::enabled;
}

void XdgAutostartLoginItem::registerItem() {
    if (executablePath_.empty() || executablePath_[0] != '/') {
        throw DomainError(kErrorDomain, ENOENT, "The application's location could not be found.");
    }
    const std::string content = "[Desktop Entry]\n"
                                "Type=Application\n"
                                "Name=Tesselwick\n"
                                "Exec=" +
                                desktopExecValue(executablePath_) +
                                "\n"
                                "Terminal=false\n"
                                "NoDisplay=true\n"
                                "X-GNOME-Autostart-enabled=true\n";
    std::error_code error;
    std::filesystem::create_directories(directory_, error);
    if (error) {
        throw loginItemError(error.value(), "Could not create " + directory_.string());
    }
    // Written beside the entry and renamed over it, so a session starting at
    // the same moment never reads half an entry.
    std::string temporary = (directory_ / ".tesselwick.desktop.XXXXXX").string();
    FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.isOpen()) {
        throw loginItemError(errno, "Could not write the login item");
    }
    try {
        writeAll(file.fd(), content);
        if (::fchmod(file.fd(), 0644) != 0 || ::fsync(file.fd()) != 0) {
            throw loginItemError(errno, "Could not write the login item");
        }
        file.reset();
        if (::rename(temporary.c_str(), entryPath().c_str()) != 0) {
            throw loginItemError(errno, "Could not write the login item");
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
}

void XdgAutostartLoginItem::unregisterItem() {
    if (::unlink(entryPath().c_str()) != 0 && errno != ENOENT) {
        throw loginItemError(errno, "Could not remove the login item");
    }
}

} // namespace tesselwick::platform::linux_
