#include "platform/linux/DBusNotificationCenter.h"

#include "diagnostics/Diagnostics.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace tesselwick::platform::linux_ {

using services::NotificationAuthorizationStatus;

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

} // namespace

std::string escapeNotificationMarkup(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out.push_back(c);
            break;
        }
    }
    return out;
}

DBusNotificationCenter::DBusNotificationCenter(std::optional<std::string> busAddress,
                                               std::string applicationName)
    : applicationName_(std::move(applicationName)), worker_(std::move(busAddress)) {}

DBusNotificationCenter::~DBusNotificationCenter() = default;

bool DBusNotificationCenter::serverReadsMarkup(DBusSessionConnection& connection) {
    if (capabilitiesGeneration_ != connection.generation()) {
        DBusMessagePtr request(
            dbus_message_new_method_call(kService, kPath, kInterface, "GetCapabilities"));
        DBusErrorText error;
        DBusMessagePtr reply =
            request ? connection.call(request.get(), error, kCallTimeoutMilliseconds) : nullptr;
        char** capabilities = nullptr;
        int count = 0;
        if (!reply ||
            !dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_ARRAY, DBUS_TYPE_STRING,
                                   &capabilities, &count, DBUS_TYPE_INVALID)) {
            // Unknown: escaping is the safe reading.
            return true;
        }
        readsMarkup_ = false;
        for (int i = 0; i < count; ++i) {
            readsMarkup_ = readsMarkup_ || std::string_view(capabilities[i]) == "body-markup";
        }
        dbus_free_string_array(capabilities);
        capabilitiesGeneration_ = connection.generation();
    }
    return readsMarkup_;
}

void DBusNotificationCenter::getNotificationSettings(
    std::function<void(NotificationAuthorizationStatus)> completion) {
    worker_.enqueue([completion = std::move(completion)](DBusSessionConnection& connection) {
        // The service answers Peer.Ping once it runs (the bus starts it on
        // demand when it is activatable); no answer means nobody shows them.
        DBusMessagePtr ping(
            dbus_message_new_method_call(kService, kPath, DBUS_INTERFACE_PEER, "Ping"));
        DBusErrorText error;
        DBusMessagePtr reply =
            ping ? connection.call(ping.get(), error, kCallTimeoutMilliseconds) : nullptr;
        if (!reply) {
            TW_LOG("DBusNotificationCenter service unreachable: " + error.text());
        }
        completion(reply ? NotificationAuthorizationStatus::authorized
                         : NotificationAuthorizationStatus::denied);
    });
}

void DBusNotificationCenter::requestAuthorization(
    std::function<void(bool, std::optional<std::string>)> completion) {
    // Nothing to ask: the desktop service shows whatever reaches it.
    worker_.enqueue([completion = std::move(completion)](DBusSessionConnection&) {
        completion(true, std::nullopt);
    });
}

void DBusNotificationCenter::add(services::NotificationRequest request,
                                 std::function<void(std::optional<std::string>)> completion) {
    worker_.enqueue([this, request = std::move(request),
                     completion = std::move(completion)](DBusSessionConnection& connection) {
        DBusMessagePtr call(dbus_message_new_method_call(kService, kPath, kInterface, "Notify"));
        if (!call) {
            completion("Out of memory.");
            return;
        }
        const std::string appName = validDBusUtf8(applicationName_);
        const std::string summary = validDBusUtf8(request.title);
        std::string body = validDBusUtf8(request.body);
        if (serverReadsMarkup(connection)) {
            body = escapeNotificationMarkup(body);
        }
        const std::string identifier = validDBusUtf8(request.identifier);
        const dbus_uint32_t replacesID = 0;
        const dbus_int32_t expireTimeout = -1;
        DBusMessageIter args, actions, hints, entry, variant;
        dbus_message_iter_init_append(call.get(), &args);
        bool ok = appendDBusString(&args, appName) &&
                  dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &replacesID) &&
                  appendDBusString(&args, "") && appendDBusString(&args, summary) &&
                  appendDBusString(&args, body);
        ok = ok && dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &actions) &&
             dbus_message_iter_close_container(&args, &actions);
        // Our identifier travels as a vendor hint; the server assigns its own number.
        ok = ok && dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &hints) &&
             dbus_message_iter_open_container(&hints, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) &&
             appendDBusString(&entry, "x-tesselwick-identifier") &&
             dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "s", &variant) &&
             appendDBusString(&variant, identifier) &&
             dbus_message_iter_close_container(&entry, &variant) &&
             dbus_message_iter_close_container(&hints, &entry) &&
             dbus_message_iter_close_container(&args, &hints);
        ok = ok && dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &expireTimeout);
        completion(connection.callForOutcome(call.get(), ok, kCallTimeoutMilliseconds));
    });
}

} // namespace tesselwick::platform::linux_
