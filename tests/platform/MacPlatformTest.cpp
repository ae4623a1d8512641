// Where the macOS build meets the system first: the command runner on kqueue
// against /bin/sh, a folder opened through the workspace (a Finder window
// appears), and the notification centre of a process outside an application
// bundle, which this test program is.
#include "platform/PlatformServices.h"
#include "process/ProcessTestSupport.h"
#include "services/NotificationCenter.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

using namespace tesselwick;
using namespace tesselwick::testing;

namespace {

constexpr double kDeliveryLimit = 30.0;

} // namespace

TEST(MacRunner, ExitStatusAndTimeOut) {
    struct Case {
        const char* script;
        double timeout;
        std::string output;
        std::int64_t code; // 0: no error
        std::string message;
    };
    const Case cases[] = {
        // the output of a child that succeeds, whole
        {"printf 'a\\nb'", 10.0, "a\nb", 0, ""},
        // a failing child with nothing to say: its status and the fixed message
        {"exit 3", 10.0, "", 3, "Command failed with status 3."},
        // standard error before standard output in the failure message
        {"echo out; echo err >&2; exit 2", 10.0, "", 2, "err\nout"},
        // a child outliving its time-out is stopped through its exit handle
        {"exec sleep 30", 0.5, "", 124, "Command timed out: /bin/sh -c exec sleep 30"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        const auto started = std::chrono::steady_clock::now();
        const RunOutcome outcome = runShellAs(TaskHandle::makeUnstarted(), c.script, c.timeout);
        EXPECT_LT(secondsBetween(started, outcome.returned), kReturnBound);
        EXPECT_FALSE(outcome.cancelled);
        EXPECT_EQ(outcome.output, c.output);
        EXPECT_EQ(outcome.error ? outcome.error->code() : 0, c.code);
        EXPECT_EQ(outcome.what(), c.message);
    }
}

TEST(MacRunner, CancellationEndsTheChild) {
    struct Case {
        const char* prelude;
    };
    const Case cases[] = {
        // a child that ends on the termination request
        {""},
        // a child that ignores it is killed
        {"trap '' TERM; "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prelude);
        TempDir directory;
        const Rendezvous running(directory);
        const TaskHandle handle = TaskHandle::makeUnstarted();
        std::thread canceller([&] {
            running.wait();
            handle.cancel();
        });
        const auto started = std::chrono::steady_clock::now();
        const RunOutcome outcome =
            runShellAs(handle, std::string(c.prelude) + running.mark() + "; exec sleep 30", 60.0);
        canceller.join();
        EXPECT_TRUE(outcome.cancelled) << outcome.what();
        EXPECT_LT(secondsBetween(started, outcome.returned), kReturnBound);
    }
}

TEST(MacPlatform, OpeningAFolderIsWaitedFor) {
    platform::PlatformServices services = platform::makePlatformServices();
    TempDir directory;
    struct Case {
        std::string path;
        bool opens;
    };
    const Case cases[] = {
        // a folder that exists is shown
        {directory.path().string(), true},
        // one that does not comes back with the workspace's error
        {(directory.path() / "missing").string(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(services.fileBrowser->isDirectory(c.path), c.opens);
        std::atomic<bool> answered{false};
        std::optional<std::string> error;
        services.fileBrowser->openFolder(c.path, [&](std::optional<std::string> failure) {
            error = std::move(failure);
            answered = true;
        });
        // The command line's `open` relies on this returning only after the answer.
        services.waitUntilDelivered(kDeliveryLimit);
        ASSERT_TRUE(answered);
        EXPECT_EQ(!error.has_value(), c.opens) << error.value_or("");
    }
}

TEST(MacPlatform, NotificationCentreOutsideABundleRefuses) {
    // Would end the process with an Objective-C exception if it asked the system.
    platform::PlatformServices services = platform::makePlatformServices();
    services::NotificationCenter& center = *services.notificationCenter;

    std::optional<services::NotificationAuthorizationStatus> status;
    center.getNotificationSettings(
        [&](services::NotificationAuthorizationStatus answer) { status = answer; });
    bool granted = true;
    std::optional<std::string> refusal;
    center.requestAuthorization([&](bool answer, std::optional<std::string> error) {
        granted = answer;
        refusal = std::move(error);
    });
    std::optional<std::string> delivery;
    center.add({"tesselwick.test", "Title", "Body"},
               [&](std::optional<std::string> error) { delivery = std::move(error); });
    services.waitUntilDelivered(kDeliveryLimit);

    EXPECT_EQ(status, services::NotificationAuthorizationStatus::denied);
    EXPECT_FALSE(granted);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_NE(refusal->find("application bundle"), std::string::npos) << *refusal;
    EXPECT_EQ(delivery, refusal);
}
