#include "services/Notifier.h"

#include "support/NoDestructor.h"

#include <array>
#include <cstdio>
#include <random>

namespace tesselwick::services {

NotificationAuthorizationState& NotificationAuthorizationState::shared() {
    static NoDestructor<NotificationAuthorizationState> instance;
    return *instance;
}

bool NotificationAuthorizationState::enqueue(Completion completion) {
    std::lock_guard guard(lock_);
    pendingCompletions_.push_back(std::move(completion));
    const bool mustRequest = !requestInFlight_;
    requestInFlight_ = true;
    return mustRequest;
}

std::vector<NotificationAuthorizationState::Completion>
NotificationAuthorizationState::takeCompletions() {
    std::lock_guard guard(lock_);
    requestInFlight_ = false;
    std::vector<Completion> taken;
    taken.swap(pendingCompletions_);
    return taken;
}

Notifier::Notifier(NotificationCenter& center, NotificationAuthorizationState& state,
                   SystemLogWriter systemLog)
    : center_(center), state_(state), systemLog_(std::move(systemLog)) {}

namespace {

// What a completion needs after the call that started it has returned. The
// centre and the state are process-wide; the Notifier object itself may be gone.
struct PostingContext {
    NotificationCenter* center;
    NotificationAuthorizationState* state;
    SystemLogWriter systemLog;
};

void deliverWith(const PostingContext& context, const std::string& title, const std::string& body) {
    NotificationRequest request{Notifier::makeIdentifier(), title, body};
    context.center->add(std::move(request),
                        [log = context.systemLog](std::optional<std::string> error) {
                            if (error && log) {
                                log("Tesselwick notification delivery failed: " + *error);
                            }
                        });
}

void handleAuthorizationAnswer(const PostingContext& context, bool granted,
                               const std::optional<std::string>& error) {
    if (error && context.systemLog) {
        context.systemLog("Tesselwick notification authorization failed: " + *error);
    }
    // Completions run outside the lock so that one may post again.
    for (auto& completion : context.state->takeCompletions()) {
        completion(granted);
    }
}

} // namespace

void Notifier::notify(const std::string& title, const std::string& body) {
    PostingContext context{&center_, &state_, systemLog_};
    center_.getNotificationSettings([context, title, body](NotificationAuthorizationStatus status) {
        switch (status) {
        case NotificationAuthorizationStatus::authorized:
        case NotificationAuthorizationStatus::provisional:
            deliverWith(context, title, body);
            return;
        case NotificationAuthorizationStatus::notDetermined: {
            const bool mustRequest = context.state->enqueue([context, title, body](bool granted) {
                if (granted) {
                    deliverWith(context, title, body);
                }
            });
            if (mustRequest) {
                context.center->requestAuthorization(
                    [context](bool granted, std::optional<std::string> error) {
                        handleAuthorizationAnswer(context, granted, error);
                    });
            }
            return;
        }
        case NotificationAuthorizationStatus::denied:
        case NotificationAuthorizationStatus::ephemeral:
            return;
        }
    });
}

void Notifier::requestAuthorizationOnce(bool granted, const std::optional<std::string>& error) {
    handleAuthorizationAnswer(PostingContext{&center_, &state_, systemLog_}, granted, error);
}

void Notifier::deliver(const std::string& title, const std::string& body) {
    deliverWith(PostingContext{&center_, &state_, systemLog_}, title, body);
}

std::string Notifier::makeIdentifier() {
    // A version 4 UUID from the system's entropy source.
    thread_local std::mt19937_64 generator{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    std::array<unsigned char, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        const std::uint64_t value = generator();
        for (std::size_t j = 0; j < 8; ++j) {
            bytes[i + j] = static_cast<unsigned char>(value >> (8 * j));
        }
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return std::string(kIdentifierPrefix) + text;
}

} // namespace tesselwick::services
