#pragma once

#include "services/NotificationCenter.h"

#include "platform/linux/DBusSession.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

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

    // Waits until everything posted so far has been handed to the service.
    bool waitUntilIdle(Seconds timeout) { return worker_.waitUntilIdle(timeout); }

private:
    bool serverReadsMarkup(DBusSessionConnection& connection);

    std::string applicationName_;
    // What the service said it can do, for the connection it was asked on
    // (worker thread only).
    std::optional<std::uint64_t> capabilitiesGeneration_;
    bool readsMarkup_ = false;
    // Last, so its thread stops before the state its jobs use goes away.
    DBusSessionWorker worker_;
};

// Text safe for a server that reads the body as markup.
std::string escapeNotificationMarkup(std::string_view text);

} // namespace tesselwick::platform::linux_
