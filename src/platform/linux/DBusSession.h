#pragma once

#include "support/Duration.h"

#include <dbus/dbus.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace tesselwick::platform::linux_ {

struct DBusMessageRelease {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using DBusMessagePtr = std::unique_ptr<DBusMessage, DBusMessageRelease>;

class DBusErrorText {
public:
    DBusErrorText() { dbus_error_init(&error_); }
    ~DBusErrorText() { dbus_error_free(&error_); }
    DBusErrorText(const DBusErrorText&) = delete;
    DBusErrorText& operator=(const DBusErrorText&) = delete;
    DBusError* get() { return &error_; }
    bool isSet() const { return dbus_error_is_set(&error_) != 0; }
    std::string text() const {
        return isSet() && error_.message != nullptr ? error_.message : "D-Bus call failed";
    }

private:
    DBusError error_;
};

// libdbus refuses strings that are not UTF-8; names read from a disk may be
// anything, so each byte outside a well-formed sequence, and each NUL, becomes
// U+FFFD.
std::string validDBusUtf8(std::string_view text);
bool appendDBusString(DBusMessageIter* iter, const std::string& value);

// A private session-bus connection, made on first use and remade after the
// bus went away. Used only on its worker's thread.
class DBusSessionConnection {
public:
    explicit DBusSessionConnection(std::optional<std::string> address)
        : address_(std::move(address)) {}
    ~DBusSessionConnection() { close(); }
    DBusSessionConnection(const DBusSessionConnection&) = delete;
    DBusSessionConnection& operator=(const DBusSessionConnection&) = delete;

    DBusConnection* get();
    // Sends `message` and waits for the reply; null with `error` set on failure.
    DBusMessagePtr call(DBusMessage* message, DBusErrorText& error, int timeoutMilliseconds);
    // The same for a call whose reply carries nothing we read: none on success,
    // otherwise why not. `built` false means the message could not be built.
    std::optional<std::string> callForOutcome(DBusMessage* message, bool built,
                                              int timeoutMilliseconds);
    // Changes each time a new connection is made, so per-connection facts
    // learned from the peer can be forgotten.
    std::uint64_t generation() const { return generation_; }

private:
    void open();
    void close();

    std::optional<std::string> address_;
    DBusConnection* connection_ = nullptr;
    std::uint64_t generation_ = 0;
};

// One worker thread that owns a session-bus connection and runs queued jobs in
// order, sleeping while there are none, so that no caller ever waits for the bus.
class DBusSessionWorker {
public:
    using Job = std::function<void(DBusSessionConnection&)>;

    // `busAddress` overrides the session bus (tests use a private bus).
    explicit DBusSessionWorker(std::optional<std::string> busAddress);
    // Jobs still queued are dropped.
    ~DBusSessionWorker();
    DBusSessionWorker(const DBusSessionWorker&) = delete;
    DBusSessionWorker& operator=(const DBusSessionWorker&) = delete;

    void enqueue(Job job);
    // Waits until every job queued so far, and those they queued, has run;
    // false when the time ran out first. For short-lived processes that must
    // not drop what they asked for.
    bool waitUntilIdle(Seconds timeout);

private:
    void run();

    std::optional<std::string> busAddress_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace tesselwick::platform::linux_
