#pragma once

#include "services/NotificationCenter.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tesselwick::platform::linux_ {

// Notifications through the desktop's notification service on the session
// bus (org.freedesktop.Notifications). There is no permission step: a
// reachable service counts as authorized, an unreachable one (no bus, no
// service) as denied, so notifications are dropped silently.
//
// The bus is used from one worker thread of its own that sleeps until work is
// queued, so no caller ever waits for the bus; completions run on that thread.
class DBusNotificationCenter final : public services::NotificationCenter {
public:
    static constexpr int kCallTimeoutMilliseconds = 2000;

    // `busAddress` overrides the session bus (tests use a private bus).
    explicit DBusNotificationCenter(std::optional<std::string> busAddress = std::nullopt,
                                    std::string applicationName = "Tesselwick");
    ~DBusNotificationCenter() override;
    DBusNotificationCenter(const DBusNotificationCenter&) = delete;
    DBusNotificationCenter& operator=(const DBusNotificationCenter&) = delete;

    void getNotificationSettings(
        std::function<void(services::NotificationAuthorizationStatus)> completion) override;
    void
    requestAuthorization(std::function<void(bool, std::optional<std::string>)> completion) override;
    void add(services::NotificationRequest request,
             std::function<void(std::optional<std::string>)> completion) override;

private:
    class Connection;
    void enqueue(std::function<void(Connection&)> job);
    void run();

    std::optional<std::string> busAddress_;
    std::string applicationName_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void(Connection&)>> jobs_;
    bool stopping_ = false;
    std::thread worker_;
};

// Text safe for a server that reads the body as markup.
std::string escapeNotificationMarkup(std::string_view text);

} // namespace tesselwick::platform::linux_
