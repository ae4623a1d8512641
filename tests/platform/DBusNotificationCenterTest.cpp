#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/DBusSession.h"

#include <gtest/gtest.h>

#include <future>

using namespace tesselwick;
using platform::linux_::DBusNotificationCenter;
using services::NotificationAuthorizationStatus;

TEST(DBusNotificationCenter, NoBusMeansNotificationsAreRefused) {
    DBusNotificationCenter center("unix:path=/nonexistent/tesselwick-test-bus");
    std::promise<NotificationAuthorizationStatus> settings;
    center.getNotificationSettings(
        [&](NotificationAuthorizationStatus status) { settings.set_value(status); });
    EXPECT_EQ(settings.get_future().get(), NotificationAuthorizationStatus::denied);
    std::promise<std::optional<std::string>> delivered;
    center.add({"tesselwick.x", "EFI mounted", "body"},
               [&](std::optional<std::string> error) { delivered.set_value(error); });
    // Reported to the caller as a failure, never as delivered.
    EXPECT_TRUE(delivered.get_future().get().has_value());
}

TEST(DBusNotificationCenter, EachByteTheBusWouldRefuseBecomesOneReplacement) {
    const std::string r = "\xEF\xBF\xBD";
    // A NUL, a cut sequence byte by byte, then a well-formed one.
    EXPECT_EQ(platform::linux_::validDBusUtf8(std::string("a\0\xE2\x82\xC3\xA9", 6)),
              "a" + r + r + r + "\xC3\xA9");
}
