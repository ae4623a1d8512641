#include "platform/linux/DBusNotificationCenter.h"
#include "services/Notifier.h"

#include <gtest/gtest.h>

#include <dbus/dbus.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <future>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tesselwick;
using platform::linux_::DBusNotificationCenter;
using services::NotificationAuthorizationStatus;

namespace {

// A private message bus for one test, started with the system's dbus-daemon.
class PrivateBus {
public:
    PrivateBus() {
        FILE* out = ::popen("dbus-daemon --session --fork --nosyslog --print-address=1 "
                            "--print-pid=1 2>/dev/null",
                            "r");
        if (out == nullptr) {
            return;
        }
        char line[512];
        if (std::fgets(line, sizeof line, out) != nullptr) {
            address_ = line;
            while (!address_.empty() && address_.back() == '\n') {
                address_.pop_back();
            }
        }
        if (std::fgets(line, sizeof line, out) != nullptr) {
            pid_ = std::atoi(line);
        }
        ::pclose(out);
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
        }
    }
    bool started() const { return !address_.empty() && pid_ > 0; }
    const std::string& address() const { return address_; }

private:
    std::string address_;
    pid_t pid_ = -1;
};

// The desktop's notification service as far as we use it: owns the name,
// answers Ping (libdbus does that), GetCapabilities and Notify.
class TestNotificationService {
public:
    struct Received {
        std::string summary;
        std::string body;
        std::string identifier;
    };

    explicit TestNotificationService(const std::string& address) {
        DBusError error;
        dbus_error_init(&error);
        connection_ = dbus_connection_open_private(address.c_str(), &error);
        if (connection_ != nullptr && dbus_bus_register(connection_, &error) &&
            dbus_bus_request_name(connection_, "org.freedesktop.Notifications",
                                  DBUS_NAME_FLAG_DO_NOT_QUEUE,
                                  &error) == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
            thread_ = std::thread([this] { serve(); });
        }
        dbus_error_free(&error);
    }
    ~TestNotificationService() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (connection_ != nullptr) {
            dbus_connection_close(connection_);
            dbus_connection_unref(connection_);
        }
    }
    bool running() const { return thread_.joinable(); }

    bool waitForCount(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return received_.size() >= count; });
    }
    std::vector<Received> received() {
        std::lock_guard guard(mutex_);
        return received_;
    }

private:
    void serve() {
        // Test-only loop; a short read timeout lets the destructor stop it.
        while (!stop_ && dbus_connection_read_write(connection_, 50)) {
            while (DBusMessage* message = dbus_connection_pop_message(connection_)) {
                handle(message);
                dbus_message_unref(message);
            }
        }
    }

    void handle(DBusMessage* message) {
        const char* iface = "org.freedesktop.Notifications";
        DBusMessage* reply = nullptr;
        if (dbus_message_is_method_call(message, "org.freedesktop.DBus.Peer", "Ping")) {
            reply = dbus_message_new_method_return(message);
        } else if (dbus_message_is_method_call(message, iface, "GetCapabilities")) {
            reply = dbus_message_new_method_return(message);
            const char* caps[] = {"body", "body-markup"};
            const char** capsPointer = caps;
            dbus_message_append_args(reply, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &capsPointer, 2,
                                     DBUS_TYPE_INVALID);
        } else if (dbus_message_is_method_call(message, iface, "Notify")) {
            Received got;
            DBusMessageIter args;
            dbus_message_iter_init(message, &args);
            for (int index = 0; dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_INVALID;
                 ++index, dbus_message_iter_next(&args)) {
                if ((index == 3 || index == 4) &&
                    dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_STRING) {
                    const char* text = nullptr;
                    dbus_message_iter_get_basic(&args, &text);
                    (index == 3 ? got.summary : got.body) = text;
                } else if (index == 6) {
                    DBusMessageIter hints, entry, variant;
                    dbus_message_iter_recurse(&args, &hints);
                    while (dbus_message_iter_get_arg_type(&hints) == DBUS_TYPE_DICT_ENTRY) {
                        dbus_message_iter_recurse(&hints, &entry);
                        const char* key = nullptr;
                        dbus_message_iter_get_basic(&entry, &key);
                        dbus_message_iter_next(&entry);
                        dbus_message_iter_recurse(&entry, &variant);
                        if (std::string(key) == "x-tesselwick-identifier" &&
                            dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_STRING) {
                            const char* value = nullptr;
                            dbus_message_iter_get_basic(&variant, &value);
                            got.identifier = value;
                        }
                        dbus_message_iter_next(&hints);
                    }
                }
            }
            reply = dbus_message_new_method_return(message);
            const dbus_uint32_t id = ++nextID_;
            dbus_message_append_args(reply, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID);
            {
                std::lock_guard guard(mutex_);
                received_.push_back(got);
            }
            changed_.notify_all();
        }
        if (reply != nullptr) {
            dbus_connection_send(connection_, reply, nullptr);
            dbus_connection_flush(connection_);
            dbus_message_unref(reply);
        }
    }

    DBusConnection* connection_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Received> received_;
    dbus_uint32_t nextID_ = 0;
};

NotificationAuthorizationStatus settingsOf(DBusNotificationCenter& center) {
    std::promise<NotificationAuthorizationStatus> answer;
    center.getNotificationSettings(
        [&](NotificationAuthorizationStatus status) { answer.set_value(status); });
    return answer.get_future().get();
}

} // namespace

TEST(DBusNotificationCenter, DeliversToTheDesktopService) {
    PrivateBus bus;
    if (!bus.started()) {
        GTEST_SKIP() << "dbus-daemon could not be started";
    }
    TestNotificationService service(bus.address());
    ASSERT_TRUE(service.running());
    DBusNotificationCenter center(bus.address());
    EXPECT_EQ(settingsOf(center), NotificationAuthorizationStatus::authorized);

    // Through the Notifier, as the application posts: markup-reading servers
    // get the body escaped, and bytes that are not UTF-8 do not break the call.
    services::NotificationAuthorizationState state;
    std::vector<std::string> systemLog;
    services::Notifier notifier(center, state,
                                [&](const std::string& line) { systemLog.push_back(line); });
    notifier.notify("EFI mounted", "EFI <disk2s1> & more");
    notifier.notify("EFI unmounted", std::string("bad \xff byte"));
    ASSERT_TRUE(service.waitForCount(2));
    const auto received = service.received();
    EXPECT_EQ(received[0].summary, "EFI mounted");
    EXPECT_EQ(received[0].body, "EFI &lt;disk2s1&gt; &amp; more");
    EXPECT_EQ(received[1].body, "bad \xEF\xBF\xBD byte");
    EXPECT_EQ(received[0].identifier.rfind("tesselwick.", 0), 0u);
    EXPECT_NE(received[0].identifier, received[1].identifier);
    EXPECT_TRUE(systemLog.empty());
}

TEST(DBusNotificationCenter, NoServiceMeansNotificationsAreDropped) {
    PrivateBus bus;
    // With a bus but nobody owning the name, and with no bus at all.
    const std::string addresses[] = {bus.started() ? bus.address() : std::string(),
                                     "unix:path=/nonexistent/tesselwick-test-bus"};
    for (const std::string& address : addresses) {
        if (address.empty()) {
            continue;
        }
        DBusNotificationCenter center(address);
        EXPECT_EQ(settingsOf(center), NotificationAuthorizationStatus::denied) << address;
        std::promise<std::optional<std::string>> delivered;
        center.add({"tesselwick.x", "EFI mounted", "body"},
                   [&](std::optional<std::string> error) { delivered.set_value(error); });
        // Reported to the caller as a failure, never as delivered.
        EXPECT_TRUE(delivered.get_future().get().has_value()) << address;
    }
}
