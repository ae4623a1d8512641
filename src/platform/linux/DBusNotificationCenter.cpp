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

struct MessageRelease {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageRelease>;

class Error {
public:
    Error() { dbus_error_init(&error_); }
    ~Error() { dbus_error_free(&error_); }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    DBusError* get() { return &error_; }
    bool isSet() const { return dbus_error_is_set(&error_) != 0; }
    std::string text() const {
        return isSet() && error_.message != nullptr ? error_.message : "D-Bus call failed";
    }

private:
    DBusError error_;
};

// libdbus refuses strings that are not UTF-8; a volume name read from a disk
// may be anything, so invalid bytes become U+FFFD.
std::string validUtf8(std::string_view text) {
    std::string checked(text);
    if (dbus_validate_utf8(checked.c_str(), nullptr) && checked.find('\0') == std::string::npos) {
        return checked;
    }
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte < 0x80           ? 1
                             : (byte >> 5) == 0x6  ? 2
                             : (byte >> 4) == 0xE  ? 3
                             : (byte >> 3) == 0x1E ? 4
                                                   : 0;
        if (length != 0 && byte != 0 && i + length <= text.size()) {
            const std::string piece(text.substr(i, length));
            if (dbus_validate_utf8(piece.c_str(), nullptr)) {
                out += piece;
                i += length;
                continue;
            }
        }
        out += "\xEF\xBF\xBD";
        ++i;
    }
    return out;
}

bool appendString(DBusMessageIter* iter, const std::string& value) {
    const char* text = value.c_str();
    return dbus_message_iter_append_basic(iter, DBUS_TYPE_STRING, &text) != 0;
}

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

// The worker's private bus connection, made on first use and remade after the
// bus went away.
class DBusNotificationCenter::Connection {
public:
    explicit Connection(const std::optional<std::string>& address) : address_(address) {}
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    DBusConnection* get() {
        if (connection_ != nullptr && !dbus_connection_get_is_connected(connection_)) {
            close();
        }
        if (connection_ == nullptr) {
            open();
        }
        return connection_;
    }

    // Sends `message` and waits for the reply; null with `error` set on failure.
    Message call(DBusMessage* message, Error& error) {
        DBusConnection* connection = get();
        if (connection == nullptr) {
            dbus_set_error_const(error.get(), DBUS_ERROR_NO_SERVER, "No session bus.");
            return nullptr;
        }
        Message reply(dbus_connection_send_with_reply_and_block(
            connection, message, kCallTimeoutMilliseconds, error.get()));
        // We never dispatch, so drop what the bus sent us meanwhile (NameAcquired).
        while (DBusMessage* stray = dbus_connection_pop_message(connection)) {
            dbus_message_unref(stray);
        }
        return reply;
    }

    bool serverReadsMarkup() {
        if (!capabilitiesKnown_) {
            Message request(
                dbus_message_new_method_call(kService, kPath, kInterface, "GetCapabilities"));
            Error error;
            Message reply = request ? call(request.get(), error) : nullptr;
            char** capabilities = nullptr;
            int count = 0;
            if (reply &&
                dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_ARRAY, DBUS_TYPE_STRING,
                                      &capabilities, &count, DBUS_TYPE_INVALID)) {
                for (int i = 0; i < count; ++i) {
                    readsMarkup_ =
                        readsMarkup_ || std::string_view(capabilities[i]) == "body-markup";
                }
                dbus_free_string_array(capabilities);
                capabilitiesKnown_ = true;
            } else {
                // Unknown: escaping is the safe reading.
                return true;
            }
        }
        return readsMarkup_;
    }

private:
    void open() {
        Error error;
        DBusConnection* connection = nullptr;
        if (address_) {
            connection = dbus_connection_open_private(address_->c_str(), error.get());
            if (connection != nullptr && !dbus_bus_register(connection, error.get())) {
                dbus_connection_close(connection);
                dbus_connection_unref(connection);
                connection = nullptr;
            }
        } else {
            connection = dbus_bus_get_private(DBUS_BUS_SESSION, error.get());
        }
        if (connection == nullptr) {
            TW_LOG("DBusNotificationCenter no session bus: " + error.text());
            return;
        }
        dbus_connection_set_exit_on_disconnect(connection, FALSE);
        connection_ = connection;
        capabilitiesKnown_ = false;
        readsMarkup_ = false;
    }

    void close() {
        if (connection_ != nullptr) {
            dbus_connection_close(connection_);
            dbus_connection_unref(connection_);
            connection_ = nullptr;
        }
    }

    std::optional<std::string> address_;
    DBusConnection* connection_ = nullptr;
    bool capabilitiesKnown_ = false;
    bool readsMarkup_ = false;
};

DBusNotificationCenter::DBusNotificationCenter(std::optional<std::string> busAddress,
                                               std::string applicationName)
    : busAddress_(std::move(busAddress)), applicationName_(std::move(applicationName)) {
    dbus_threads_init_default();
    worker_ = std::thread([this] { run(); });
}

DBusNotificationCenter::~DBusNotificationCenter() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void DBusNotificationCenter::enqueue(std::function<void(Connection&)> job) {
    {
        std::lock_guard guard(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void DBusNotificationCenter::run() {
    Connection connection(busAddress_);
    for (;;) {
        std::function<void(Connection&)> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_) {
                // Fire and forget: what is still queued at shutdown is dropped.
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job(connection);
    }
}

void DBusNotificationCenter::getNotificationSettings(
    std::function<void(NotificationAuthorizationStatus)> completion) {
    enqueue([completion = std::move(completion)](Connection& connection) {
        // The service answers Peer.Ping once it runs (the bus starts it on
        // demand when it is activatable); no answer means nobody shows them.
        Message ping(dbus_message_new_method_call(kService, kPath, DBUS_INTERFACE_PEER, "Ping"));
        Error error;
        Message reply = ping ? connection.call(ping.get(), error) : nullptr;
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
    enqueue([completion = std::move(completion)](Connection&) { completion(true, std::nullopt); });
}

void DBusNotificationCenter::add(services::NotificationRequest request,
                                 std::function<void(std::optional<std::string>)> completion) {
    enqueue([this, request = std::move(request),
             completion = std::move(completion)](Connection& connection) {
        Message call(dbus_message_new_method_call(kService, kPath, kInterface, "Notify"));
        if (!call) {
            completion("Out of memory.");
            return;
        }
        const std::string appName = validUtf8(applicationName_);
        const std::string summary = validUtf8(request.title);
        std::string body = validUtf8(request.body);
        if (connection.serverReadsMarkup()) {
            body = escapeNotificationMarkup(body);
        }
        const std::string identifier = validUtf8(request.identifier);
        const dbus_uint32_t replacesID = 0;
        const dbus_int32_t expireTimeout = -1;
        DBusMessageIter args, actions, hints, entry, variant;
        dbus_message_iter_init_append(call.get(), &args);
        bool ok = appendString(&args, appName) &&
                  dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &replacesID) &&
                  appendString(&args, "") && appendString(&args, summary) &&
                  appendString(&args, body);
        ok = ok && dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &actions) &&
             dbus_message_iter_close_container(&args, &actions);
        // Our identifier travels as a vendor hint; the server assigns its own number.
        ok = ok && dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &hints) &&
             dbus_message_iter_open_container(&hints, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) &&
             appendString(&entry, "x-tesselwick-identifier") &&
             dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "s", &variant) &&
             appendString(&variant, identifier) &&
             dbus_message_iter_close_container(&entry, &variant) &&
             dbus_message_iter_close_container(&hints, &entry) &&
             dbus_message_iter_close_container(&args, &hints);
        ok = ok && dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &expireTimeout);
        if (!ok) {
            completion("Out of memory.");
            return;
        }
        Error error;
        Message reply = connection.call(call.get(), error);
        if (!reply) {
            completion(error.text());
            return;
        }
        completion(std::nullopt);
    });
}

} // namespace tesselwick::platform::linux_
