#include "platform/linux/DBusSession.h"

#include "diagnostics/Diagnostics.h"
#include "support/Utf8.h"

#include <chrono>

namespace tesselwick::platform::linux_ {

std::string validDBusUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const utf8::Sequence sequence = utf8::firstSequence(text.substr(i));
        if (sequence.wellFormed && text[i] != '\0') {
            out.append(text.substr(i, sequence.length));
            i += sequence.length;
        } else {
            out += utf8::kReplacementCharacter;
            ++i;
        }
    }
    return out;
}

bool appendDBusString(DBusMessageIter* iter, const std::string& value) {
    const char* text = value.c_str();
    return dbus_message_iter_append_basic(iter, DBUS_TYPE_STRING, &text) != 0;
}

DBusConnection* DBusSessionConnection::get() {
    if (connection_ != nullptr && !dbus_connection_get_is_connected(connection_)) {
        close();
    }
    if (connection_ == nullptr) {
        open();
    }
    return connection_;
}

DBusMessagePtr DBusSessionConnection::call(DBusMessage* message, DBusErrorText& error,
                                           int timeoutMilliseconds) {
    DBusConnection* connection = get();
    if (connection == nullptr) {
        dbus_set_error_const(error.get(), DBUS_ERROR_NO_SERVER, "No session bus.");
        return nullptr;
    }
    DBusMessagePtr reply(dbus_connection_send_with_reply_and_block(
        connection, message, timeoutMilliseconds, error.get()));
    // We never dispatch, so drop what the bus sent us meanwhile (NameAcquired).
    while (DBusMessage* stray = dbus_connection_pop_message(connection)) {
        dbus_message_unref(stray);
    }
    return reply;
}

std::optional<std::string> DBusSessionConnection::callForOutcome(DBusMessage* message, bool built,
                                                                 int timeoutMilliseconds) {
    if (message == nullptr || !built) {
        return std::string("Out of memory.");
    }
    DBusErrorText error;
    if (!call(message, error, timeoutMilliseconds)) {
        return error.text();
    }
    return std::nullopt;
}

void DBusSessionConnection::open() {
    DBusErrorText error;
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
        TW_LOG("DBusSession no session bus: " + error.text());
        return;
    }
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    connection_ = connection;
    ++generation_;
}

void DBusSessionConnection::close() {
    if (connection_ != nullptr) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
        connection_ = nullptr;
    }
}

DBusSessionWorker::DBusSessionWorker(std::optional<std::string> busAddress)
    : busAddress_(std::move(busAddress)) {
    dbus_threads_init_default();
    worker_ = std::thread([this] { run(); });
}

DBusSessionWorker::~DBusSessionWorker() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void DBusSessionWorker::enqueue(Job job) {
    {
        std::lock_guard guard(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

bool DBusSessionWorker::waitUntilIdle(Seconds timeout) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [&] { return jobs_.empty() && !running_; });
}

void DBusSessionWorker::run() {
    DBusSessionConnection connection(busAddress_);
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            running_ = false;
            if (jobs_.empty()) {
                idle_.notify_all();
            }
            wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_) {
                // Fire and forget: what is still queued at shutdown is dropped.
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
            running_ = true;
        }
        job(connection);
    }
}

} // namespace tesselwick::platform::linux_
