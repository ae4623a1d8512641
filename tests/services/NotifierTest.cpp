#include "services/Notifier.h"
#include "platform/fake/FakeNotificationCenter.h"

#include <gtest/gtest.h>

#include <set>

using namespace tesselwick;
using services::NotificationAuthorizationState;
using services::NotificationAuthorizationStatus;
using services::Notifier;

namespace {

// "tesselwick." and a canonical version 4 UUID in upper-case hexadecimal.
bool isIdentifier(const std::string& text) {
    const std::string prefix = "tesselwick.";
    if (text.size() != prefix.size() + 36 || text.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::string uuid = text.substr(prefix.size());
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = uuid[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return uuid[14] == '4' && std::string("89AB").find(uuid[19]) != std::string::npos;
}

struct NotifierFixture : ::testing::Test {
    platform::fake::FakeNotificationCenter center;
    NotificationAuthorizationState state; // fresh per test, not the process-wide one
    std::vector<std::string> systemLog;
    Notifier notifier{center, state,
                      [this](const std::string& line) { systemLog.push_back(line); }};

    std::vector<std::string> deliveredTitles() const {
        std::vector<std::string> titles;
        for (const auto& request : center.delivered()) {
            titles.push_back(request.title + "|" + request.body);
        }
        return titles;
    }
};

} // namespace

TEST_F(NotifierFixture, UndecidedPostsShareOneRequestAndDeliverInOrderOnGrant) {
    notifier.notify("EFI mounted", "one");
    notifier.notify("EFI unmounted", "two");
    notifier.notify("Helper ready", "three");
    EXPECT_EQ(center.authorizationRequests(), 1);
    EXPECT_TRUE(center.delivered().empty());
    center.answerAuthorization(true);
    EXPECT_EQ(deliveredTitles(), (std::vector<std::string>{"EFI mounted|one", "EFI unmounted|two",
                                                           "Helper ready|three"}));
    EXPECT_TRUE(systemLog.empty());
}

TEST_F(NotifierFixture, RefusalDropsEveryWaitingPostAndLaterPostsAskAgain) {
    notifier.notify("EFI mounted", "one");
    notifier.notify("EFI mounted", "two");
    center.answerAuthorization(false);
    EXPECT_TRUE(center.delivered().empty());
    // Still undecided after the answer: a new request, not a stale "in flight".
    notifier.notify("EFI mounted", "three");
    EXPECT_EQ(center.authorizationRequests(), 2);
    center.answerAuthorization(true);
    EXPECT_EQ(deliveredTitles(), std::vector<std::string>{"EFI mounted|three"});
}

TEST_F(NotifierFixture, AuthorizationErrorIsLoggedOnceAndDropsWaitingPosts) {
    notifier.notify("EFI mounted", "one");
    notifier.notify("EFI mounted", "two");
    center.answerAuthorization(false, "The operation couldn’t be completed.");
    EXPECT_TRUE(center.delivered().empty());
    EXPECT_EQ(systemLog, std::vector<std::string>{"Tesselwick notification authorization failed: "
                                                  "The operation couldn’t be completed."});
}

TEST_F(NotifierFixture, StatusDecidesWithoutAsking) {
    struct Case {
        NotificationAuthorizationStatus status;
        bool delivered;
    };
    const Case cases[] = {
        {NotificationAuthorizationStatus::authorized, true},  // shown at once
        {NotificationAuthorizationStatus::provisional, true}, // shown quietly, still delivered
        {NotificationAuthorizationStatus::denied, false},     // dropped without a message
        {NotificationAuthorizationStatus::ephemeral, false},  // not a status we deliver under
    };
    for (const Case& c : cases) {
        platform::fake::FakeNotificationCenter fresh;
        fresh.setStatus(c.status);
        Notifier local(fresh, state,
                       [this](const std::string& line) { systemLog.push_back(line); });
        local.notify("EFI mounted", "body");
        EXPECT_EQ(fresh.delivered().size(), c.delivered ? 1u : 0u) << static_cast<int>(c.status);
        EXPECT_EQ(fresh.authorizationRequests(), 0);
    }
    EXPECT_TRUE(systemLog.empty());
}

TEST_F(NotifierFixture, IdenticalPostsGetDistinctIdentifiers) {
    center.setStatus(NotificationAuthorizationStatus::authorized);
    for (int i = 0; i < 50; ++i) {
        notifier.notify("EFI mounted", "same");
    }
    std::set<std::string> identifiers;
    for (const auto& request : center.delivered()) {
        EXPECT_TRUE(isIdentifier(request.identifier)) << request.identifier;
        identifiers.insert(request.identifier);
    }
    EXPECT_EQ(identifiers.size(), 50u);
}

TEST_F(NotifierFixture, DeliveryErrorGoesToSystemLog) {
    center.setStatus(NotificationAuthorizationStatus::authorized);
    center.setDeliveryError("Notifications are not allowed for this application");
    notifier.notify("EFI mounted", "body");
    EXPECT_EQ(systemLog, std::vector<std::string>{"Tesselwick notification delivery failed: "
                                                  "Notifications are not allowed for this "
                                                  "application"});
}

TEST_F(NotifierFixture, CompletionMayPostAgainWithoutDeadlock) {
    // A completion posting from inside the answer: the state's lock is not held.
    platform::fake::FakeNotificationCenter reentrant;
    Notifier local(reentrant, state, nullptr);
    local.notify("EFI mounted", "first");
    state.enqueue([&](bool granted) {
        if (granted) {
            local.notify("EFI mounted", "from completion");
        }
    });
    reentrant.answerAuthorization(true);
    EXPECT_EQ(reentrant.delivered().size(), 1u);
    EXPECT_EQ(reentrant.authorizationRequests(), 2); // the re-post found nothing in flight
}
