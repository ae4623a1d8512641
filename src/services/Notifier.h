#pragma once

#include "services/NotificationCenter.h"
#include "services/SystemLog.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tesselwick::services {

// Makes sure at most one authorization request is outstanding however many
// notifications are posted while permission is undecided.
class NotificationAuthorizationState {
public:
    using Completion = std::function<void(bool granted)>;

    // The process-wide instance, created on first use.
    static NotificationAuthorizationState& shared();

    // Queues `completion` for the answer; true when the caller must start the
    // authorization request because none is in flight.
    bool enqueue(Completion completion);
    // Ends the request in flight and hands back the queued completions in order.
    std::vector<Completion> takeCompletions();

private:
    std::mutex lock_;
    bool requestInFlight_ = false;
    std::vector<Completion> pendingCompletions_;
};

// Posts user notifications, fire and forget: callers never wait and nothing
// reports back. Failures go to the system log only. The centre and the state
// must outlive every answer still to come (in the application both live for the
// whole process); the Notifier object itself need not.
class Notifier {
public:
    static constexpr const char* kIdentifierPrefix = "tesselwick.";

    explicit Notifier(
        NotificationCenter& center,
        NotificationAuthorizationState& state = NotificationAuthorizationState::shared(),
        SystemLogWriter systemLog = writeSystemLog);

    // Any thread; returns at once.
    void notify(const std::string& title, const std::string& body);

    // The handler of the authorization answer.
    void requestAuthorizationOnce(bool granted, const std::optional<std::string>& error);
    // Builds and hands over one notification request.
    void deliver(const std::string& title, const std::string& body);

    // "tesselwick." and a fresh random UUID in its canonical form.
    static std::string makeIdentifier();

private:
    NotificationCenter& center_;
    NotificationAuthorizationState& state_;
    SystemLogWriter systemLog_;
};

} // namespace tesselwick::services
