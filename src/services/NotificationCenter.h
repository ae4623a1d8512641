#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tesselwick::services {

enum class NotificationAuthorizationStatus {
    notDetermined,
    denied,
    authorized,
    provisional,
    ephemeral,
};

struct NotificationRequest {
    std::string identifier;
    std::string title;
    std::string body;
};

// The platform's user notification centre for this application. Every call
// returns at once; completions may run on any thread.
class NotificationCenter {
public:
    virtual ~NotificationCenter() = default;
    virtual void
    getNotificationSettings(std::function<void(NotificationAuthorizationStatus)> completion) = 0;
    // Asks for permission to show alerts (no sound, no badge).
    virtual void requestAuthorization(
        std::function<void(bool granted, std::optional<std::string> error)> completion) = 0;
    // Shows the notification at once. The completion receives an error text on failure.
    virtual void add(NotificationRequest request,
                     std::function<void(std::optional<std::string> error)> completion) = 0;
};

} // namespace tesselwick::services
