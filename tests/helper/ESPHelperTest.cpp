#include "helper/ESPHelper.h"
#include "doubles/ManualClock.h"
#include "helper/HelperScripts.h"

#include "support/Clock.h"
#include "support/ErrorText.h"
#include "support/Errors.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace tesselwick;
using discovery::DiskOperation;
using process::CommandRunner;
using tesselwick::testing::errorText;

namespace {

using Reply = std::function<std::string(const std::string& path)>;

// Records every command line (path and arguments) and answers through `reply`.
struct FakeRunner {
    std::vector<std::vector<std::string>> calls;
    Reply reply = [](const std::string&) { return std::string(); };

    CommandRunner runner() {
        return [this](const std::string& path, const std::vector<std::string>& arguments,
                      tesselwick::Seconds) {
            calls.push_back(arguments);
            calls.back().insert(calls.back().begin(), path);
            return reply(path);
        };
    }
};

Reply answer(std::string text) {
    return [text](const std::string&) { return text; };
}

Reply failWith(std::int64_t code, std::string message) {
    return
        [code, message](const std::string&) -> std::string { throw commandError(code, message); };
}

const std::string kHelper = helper::kHelperPath;

discovery::PartitionId partition(const char* text) {
    return discovery::PartitionId::validated(text);
}

} // namespace

TEST(ESPHelperProbe, TurnsEveryOutcomeIntoAMessage) {
    const std::pair<Reply, const char*> cases[] = {
        {answer(" 11\n"), "Helper version 11 is ready."}, // the expected version
        // an older helper, as installed before the root scripts last changed
        {answer("9\n"), "The helper returned version '9' instead of '11'."},
        {answer("\n"), "The helper returned no version."},       // nothing printed
        {answer("\xff\xfe"), "The helper returned no version."}, // undecodable output
        {failWith(1, "sudo: a password is required\n"), "sudo: a password is required"},
        {failWith(1, " \n"), "sudo rejected the helper without an error message."},
        {[](const std::string&) -> std::string { throw CancellationError(); },
         "The helper validation was cancelled."},
    };
    for (const auto& [reply, message] : cases) {
        FakeRunner fake;
        fake.reply = reply;
        const auto result = ESPHelper::probePasswordlessRuntime(fake.runner());
        EXPECT_EQ(result.ready, &reply == &cases[0].first) << message;
        EXPECT_EQ(result.message, message);
        EXPECT_EQ(fake.calls, (std::vector<std::vector<std::string>>{
                                  {"/usr/bin/sudo", "-n", "--", kHelper, "version"}}));
    }
}

TEST(ESPHelperIsInstalled, AnAnswerServesTwoSecondsThenTheHelperIsProbedAgain) {
    ManualClock clock(500.0);
    ESPHelperStatusCache cache(clock);
    FakeRunner fake;
    fake.reply = answer("11\n");
    EXPECT_TRUE(ESPHelper::isInstalled(cache, fake.runner()));
    clock.advance(1.999);
    fake.reply = failWith(1, "sudo: a password is required");
    EXPECT_TRUE(ESPHelper::isInstalled(cache, fake.runner()));
    EXPECT_EQ(fake.calls.size(), 1u);
    clock.advance(0.001);
    EXPECT_FALSE(ESPHelper::isInstalled(cache, fake.runner()));
    EXPECT_EQ(fake.calls.size(), 2u);
    EXPECT_EQ(cache.cachedValue(), false);
    cache.invalidate();
    EXPECT_FALSE(cache.cachedValue());
}

TEST(ESPHelperIsInstalled, NeverOverwritesAnAnswerStoredDuringItsProbe) {
    // An installation stores "installed" while the probe (which fails) runs:
    // the fresher answer is kept and returned.
    ManualClock clock;
    ESPHelperStatusCache cache(clock);
    FakeRunner fake;
    fake.reply = [&](const std::string&) -> std::string {
        cache.storeFromOutside(true);
        throw commandError(1, "sudo: a password is required");
    };
    EXPECT_TRUE(ESPHelper::isInstalled(cache, fake.runner()));
    EXPECT_EQ(cache.cachedValue(), true);
}

TEST(ESPHelperIsInstalled, CancelledProbeReturnsTheCachedValueWithoutStoring) {
    ManualClock clock;
    ESPHelperStatusCache cache(clock);
    const TaskHandle handle = TaskHandle::makeUnstarted();
    task::CurrentTaskScope scope(handle);
    FakeRunner fake;
    // The probe's own answer arrives, but after the cancellation.
    fake.reply = [&](const std::string&) {
        handle.cancel();
        return std::string(helper::kHelperVersion);
    };
    EXPECT_FALSE(ESPHelper::isInstalled(cache, fake.runner()));
    EXPECT_FALSE(cache.cachedValue());

    cache.storeFromOutside(true);
    clock.advance(3.0);
    EXPECT_TRUE(ESPHelper::isInstalled(cache, fake.runner()));
    EXPECT_EQ(cache.cachedValue(), true);
}

TEST(ESPHelperRun, TheReadyMarkerDecidesWhoseFailureItIs) {
    const std::string marker = helper::kReadyMarker;
    const std::string heading = "EFI mount failed for disk2s1.\n\n";
    const struct {
        std::int64_t code;
        std::string output; // what sudo and the helper wrote
        std::string error;
        bool storesInstalled;
    } cases[] = {
        // sudo refused: the helper never ran, the caller may fall back
        {1, "sudo: a password is required",
         "Tesselwick.Helper 1: " + heading + "sudo: a password is required", false},
        // the helper ran and diskutil failed: its lines without the marker
        {65, marker + "\nRefusing non-EFI partition: disk2s1",
         "Tesselwick.Helper.Operation 65: " + heading + "Refusing non-EFI partition: disk2s1",
         true},
        // the marker alone: the status line
        {65, marker,
         "Tesselwick.Helper.Operation 65: " + heading + "The helper command failed with status 65.",
         true},
        // a marker that is only part of a line does not count
        {1, "x" + marker, "Tesselwick.Helper 1: " + heading + "x" + marker, false},
        {0, marker, "no error", true}, // success
    };
    for (const auto& c : cases) {
        ESPHelperStatusCache cache;
        FakeRunner fake;
        fake.reply = c.code == 0 ? answer(c.output) : failWith(c.code, c.output);
        EXPECT_EQ(errorText([&] {
                      ESPHelper::run(DiskOperation::mount, partition("disk2s1"), cache,
                                     fake.runner());
                  }),
                  c.error);
        EXPECT_EQ(cache.cachedValue(), c.storesInstalled ? std::optional(true) : std::nullopt);
        EXPECT_EQ(fake.calls, (std::vector<std::vector<std::string>>{
                                  {"/usr/bin/sudo", "-n", "--", kHelper, "mount", "disk2s1"}}));
    }
    // A cancelled run passes the cancellation on and leaves the status unknown.
    ESPHelperStatusCache untouched;
    FakeRunner fake;
    fake.reply = [](const std::string&) -> std::string { throw CancellationError(); };
    EXPECT_THROW(
        ESPHelper::run(DiskOperation::mount, partition("disk4s2"), untouched, fake.runner()),
        CancellationError);
    EXPECT_FALSE(untouched.cachedValue());
}

// A failed installer's error passes on as it is: the end-to-end installation test's.
TEST(ESPHelperInstall, RunsTheInstallerThenProvesTheHelper) {
    const std::string refused = "Tesselwick.Helper 1: The helper files were installed, but macOS "
                                "did not accept passwordless helper execution.\n\n";
    const std::pair<Reply, std::string> cases[] = {
        // the new helper answers
        {answer("11\n"), "no error"},
        // the files are there but sudo -n will not run the helper
        {failWith(1, "sudo: a password is required"), refused + "sudo: a password is required"},
        // an old helper answers
        {answer("9"), refused + "The helper returned version '9' instead of '11'."},
    };
    for (const auto& c : cases) {
        const bool succeeds = &c == &cases[0];
        ESPHelperStatusCache cache;
        cache.storeFromOutside(!succeeds);
        FakeRunner fake;
        fake.reply = [&](const std::string& path) {
            return path == "/usr/bin/osascript" ? std::string("parsed OK\n") : c.first(path);
        };
        EXPECT_EQ(errorText([&] { ESPHelper::install(cache, fake.runner()); }), c.second);
        EXPECT_EQ(cache.cachedValue(), succeeds);
        ASSERT_EQ(fake.calls.size(), 2u);
        EXPECT_EQ(fake.calls[0][0], "/usr/bin/osascript");
        EXPECT_EQ(fake.calls[1][0], "/usr/bin/sudo");
    }
}
