#include "platform/linux/DBusFileBrowser.h"

#include <cstdio>

namespace tesselwick::platform::linux_ {

namespace {

constexpr const char* kService = "org.freedesktop.FileManager1";
constexpr const char* kPath = "/org/freedesktop/FileManager1";
constexpr const char* kInterface = "org.freedesktop.FileManager1";

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/';
}

} // namespace

std::string fileURL(const std::string& path) {
    std::string url = "file://";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte)) {
            url.push_back(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            url += escaped;
        }
    }
    return url;
}

DBusFileBrowser::DBusFileBrowser(std::optional<std::string> busAddress)
    : worker_(std::move(busAddress)) {}

void DBusFileBrowser::openFolder(const std::string& path, Completion completion) {
    worker_.enqueue([url = fileURL(path),
                     completion = std::move(completion)](DBusSessionConnection& connection) {
        DBusMessagePtr call(
            dbus_message_new_method_call(kService, kPath, kInterface, "ShowFolders"));
        DBusMessageIter args, uris;
        bool ok = false;
        if (call) {
            dbus_message_iter_init_append(call.get(), &args);
            // No startup notification identifier: the file manager raises itself.
            ok = dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &uris) &&
                 appendDBusString(&uris, url) && dbus_message_iter_close_container(&args, &uris) &&
                 appendDBusString(&args, std::string());
        }
        completion(connection.callForOutcome(call.get(), ok, kCallTimeoutMilliseconds));
    });
}

} // namespace tesselwick::platform::linux_
