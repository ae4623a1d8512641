#include "services/Notifier.h"

#include <gtest/gtest.h>

#include <utility>

using namespace tesselwick;
using services::NotificationAuthorizationState;
using services::NotificationAuthorizationStatus;
using services::Notifier;

namespace {

// Answers settings at once from `status`, keeps authorization requests until
// the test answers them, and records deliveries as "title|body".
struct FakeCenter final : services::NotificationCenter {
    using Answer = std::function<void(bool, std::optional<std::string>)>;
    NotificationAuthorizationStatus status = NotificationAuthorizationStatus::notDetermined;
    std::optional<std::string> deliveryError;
    int authorizationRequests = 0;
    std::vector<Answer> unanswered;
    std::vector<std::string> delivered;

    void getNotificationSettings(
        std::function<void(NotificationAuthorizationStatus)> completion) override {
        completion(status);
    }
    void requestAuthorization(Answer completion) override {
        ++authorizationRequests;
        unanswered.push_back(std::move(completion));
    }
    void add(services::NotificationRequest request,
             std::function<void(std::optional<std::string>)> completion) override {
        delivered.push_back(request.title + "|" + request.body);
        completion(deliveryError);
    }
    void answerAuthorization(bool granted, std::optional<std::string> error = std::nullopt) {
        for (const Answer& answer : std::exchange(unanswered, {})) {
            answer(granted, error);
        }
    }
};

struct NotifierFixture : ::testing::Test {
    FakeCenter center;
    NotificationAuthorizationState state; // fresh per test, not the process-wide one
    std::vector<std::string> systemLog;
    Notifier notifier{center, state,
                      [this](const std::string& line) { systemLog.push_back(line); }};
};

} // namespace

TEST_F(NotifierFixture, UndecidedPostsShareOnePromptAndFollowItsAnswer) {
    notifier.notify("EFI mounted", "one");
    notifier.notify("EFI unmounted", "two");
    EXPECT_EQ(center.authorizationRequests, 1);
    center.answerAuthorization(false);
    EXPECT_TRUE(center.delivered.empty());
    // Still undecided after a refusal: a later post asks again and is delivered on a grant.
    notifier.notify("Helper ready", "three");
    notifier.notify("EFI mounted", "four");
    EXPECT_EQ(center.authorizationRequests, 2);
    center.answerAuthorization(true);
    EXPECT_EQ(center.delivered,
              (std::vector<std::string>{"Helper ready|three", "EFI mounted|four"}));
}

TEST_F(NotifierFixture, StatusDecidesWithoutAsking) {
    struct Case {
        NotificationAuthorizationStatus status;
        bool delivered;
    };
    const Case cases[] = {
        {NotificationAuthorizationStatus::authorized, true},
        {NotificationAuthorizationStatus::provisional, true}, // shown quietly, still delivered
        {NotificationAuthorizationStatus::denied, false},     // dropped without a message
        {NotificationAuthorizationStatus::ephemeral, false},
    };
    for (const Case& c : cases) {
        FakeCenter fresh;
        fresh.status = c.status;
        Notifier(fresh, state, nullptr).notify("EFI mounted", "body");
        EXPECT_EQ(fresh.delivered.size(), c.delivered ? 1u : 0u) << static_cast<int>(c.status);
        EXPECT_EQ(fresh.authorizationRequests, 0);
    }
}

TEST_F(NotifierFixture, FailuresGoToTheSystemLog) {
    notifier.notify("EFI mounted", "one");
    center.answerAuthorization(false, "The operation couldn’t be completed.");
    center.status = NotificationAuthorizationStatus::authorized;
    center.deliveryError = "Notifications are not allowed for this application";
    notifier.notify("EFI mounted", "two");
    EXPECT_EQ(systemLog,
              (std::vector<std::string>{
                  "Tesselwick notification authorization failed: The operation couldn’t be "
                  "completed.",
                  "Tesselwick notification delivery failed: Notifications are not allowed for "
                  "this application"}));
}

TEST_F(NotifierFixture, CompletionMayPostAgainWithoutDeadlock) {
    notifier.notify("EFI mounted", "first");
    state.enqueue([&](bool granted) {
        if (granted) {
            notifier.notify("EFI mounted", "from completion");
        }
    });
    center.answerAuthorization(true);
    // The re-post found no request in flight and asked again.
    EXPECT_EQ(center.delivered, std::vector<std::string>{"EFI mounted|first"});
    EXPECT_EQ(center.authorizationRequests, 2);
}
