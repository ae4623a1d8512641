#pragma once

#include "services/NotificationCenter.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tesselwick::platform::fake {

// A notification centre that answers settings at once from `status`, keeps
// authorization requests until the test answers them, and records deliveries.
class FakeNotificationCenter final : public services::NotificationCenter {
public:
    using AuthorizationCompletion = std::function<void(bool, std::optional<std::string>)>;

    void setStatus(services::NotificationAuthorizationStatus value) {
        std::lock_guard guard(mutex_);
        status_ = value;
    }
    void setDeliveryError(std::optional<std::string> error) {
        std::lock_guard guard(mutex_);
        deliveryError_ = std::move(error);
    }

    void getNotificationSettings(
        std::function<void(services::NotificationAuthorizationStatus)> completion) override {
        services::NotificationAuthorizationStatus current;
        {
            std::lock_guard guard(mutex_);
            current = status_;
        }
        completion(current);
    }

    void requestAuthorization(AuthorizationCompletion completion) override {
        std::lock_guard guard(mutex_);
        ++authorizationRequests_;
        pendingAuthorizations_.push_back(std::move(completion));
    }

    void add(services::NotificationRequest request,
             std::function<void(std::optional<std::string>)> completion) override {
        std::optional<std::string> error;
        {
            std::lock_guard guard(mutex_);
            delivered_.push_back(request);
            error = deliveryError_;
        }
        completion(error);
    }

    // Answers every outstanding authorization request.
    void answerAuthorization(bool granted, std::optional<std::string> error = std::nullopt) {
        std::vector<AuthorizationCompletion> pending;
        {
            std::lock_guard guard(mutex_);
            pending.swap(pendingAuthorizations_);
        }
        for (auto& completion : pending) {
            completion(granted, error);
        }
    }

    int authorizationRequests() const {
        std::lock_guard guard(mutex_);
        return authorizationRequests_;
    }
    std::vector<services::NotificationRequest> delivered() const {
        std::lock_guard guard(mutex_);
        return delivered_;
    }

private:
    mutable std::mutex mutex_;
    services::NotificationAuthorizationStatus status_ =
        services::NotificationAuthorizationStatus::notDetermined;
    std::optional<std::string> deliveryError_;
    int authorizationRequests_ = 0;
    std::vector<AuthorizationCompletion> pendingAuthorizations_;
    std::vector<services::NotificationRequest> delivered_;
};

} // namespace tesselwick::platform::fake
