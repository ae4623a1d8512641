#include "helper/ESPHelper.h"
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
using operations::CommandRunner;
using tesselwick::testing::errorText;

namespace {

struct Call {
    std::string path;
    std::vector<std::string> arguments;
    double timeout;
};

// Records every command and answers through `reply`.
struct FakeRunner {
    std::vector<Call> calls;
    std::function<std::string(const Call&)> reply = [](const Call&) { return std::string(); };

    CommandRunner runner() {
        return [this](const std::string& path, const std::vector<std::string>& arguments,
                      double timeout) {
            calls.push_back({path, arguments, timeout});
            return reply(calls.back());
        };
    }
};

std::function<std::string(const Call&)> failWith(std::int64_t code, std::string message) {
    return [code, message](const Call&) -> std::string { throw commandError(code, message); };
}

const std::string kHelper = helper::kHelperPath;

} // namespace

TEST(ESPHelperProbe, TurnsEveryOutcomeIntoAMessage) {
    struct Case {
        std::function<std::string(const Call&)> reply;
        bool ready;
        const char* message;
    };
    const Case cases[] = {
        // the expected version, with the newline the helper prints
        {[](const Call&) { return std::string(" 9\n"); }, true, "Helper version 9 is ready."},
        // an older helper
        {[](const Call&) { return std::string("8\n"); }, false,
         "The helper returned version '8' instead of '9'."},
        // nothing printed
        {[](const Call&) { return std::string("\n"); }, false, "The helper returned no version."},
        // undecodable output counts as empty
        {[](const Call&) { return std::string("\xff\xfe"); }, false,
         "The helper returned no version."},
        // sudo refuses: its own message, trimmed
        {failWith(1, "sudo: a password is required\n"), false, "sudo: a password is required"},
        // sudo refuses silently
        {failWith(1, " \n"), false, "sudo rejected the helper without an error message."},
        // cancelled
        {[](const Call&) -> std::string { throw CancellationError(); }, false,
         "The helper validation was cancelled."},
    };
    for (const auto& c : cases) {
        FakeRunner fake;
        fake.reply = c.reply;
        const auto result = ESPHelper::probePasswordlessRuntime(fake.runner());
        EXPECT_EQ(result.ready, c.ready) << c.message;
        EXPECT_EQ(result.message, c.message);
        ASSERT_EQ(fake.calls.size(), 1u);
        EXPECT_EQ(fake.calls[0].path, "/usr/bin/sudo");
        EXPECT_EQ(fake.calls[0].arguments,
                  (std::vector<std::string>{"-n", "--", kHelper, "version"}));
        EXPECT_EQ(fake.calls[0].timeout, 3.0);
    }
}

TEST(ESPHelperStatusCache, AnswersForTwoSecondsThenGoesStale) {
    ManualClock clock(500.0);
    ESPHelperStatusCache cache(clock);
    EXPECT_FALSE(cache.freshValue());
    cache.storeFromOutside(true);
    clock.advance(1.999);
    EXPECT_EQ(cache.freshValue(), true);
    clock.advance(0.001);
    EXPECT_FALSE(cache.freshValue());
    EXPECT_EQ(cache.cachedValue(), true);
    cache.invalidate();
    EXPECT_FALSE(cache.cachedValue());
}

TEST(ESPHelperStatusCache, OnlyTheLatestProbeOfTheCurrentGenerationStores) {
    ManualClock clock;
    ESPHelperStatusCache cache(clock);
    // a later probe supersedes an earlier one
    auto first = cache.beginLoad();
    auto second = cache.beginLoad();
    EXPECT_FALSE(cache.completeLoad(first, false));
    EXPECT_TRUE(cache.completeLoad(second, true));
    EXPECT_EQ(cache.cachedValue(), true);
    // an outside write supersedes a probe in flight
    auto third = cache.beginLoad();
    cache.storeFromOutside(false);
    EXPECT_FALSE(cache.completeLoad(third, true));
    EXPECT_EQ(cache.cachedValue(), false);
    // so does an invalidation
    auto fourth = cache.beginLoad();
    cache.invalidate();
    EXPECT_FALSE(cache.completeLoad(fourth, true));
    EXPECT_FALSE(cache.cachedValue());
    // an abandoned probe cannot store afterwards
    auto fifth = cache.beginLoad();
    cache.abandonLoad(fifth);
    EXPECT_FALSE(cache.completeLoad(fifth, true));
}

TEST(ESPHelperIsInstalled, ProbesOnlyWhenTheAnswerIsStale) {
    ManualClock clock;
    ESPHelperStatusCache cache(clock);
    FakeRunner fake;
    fake.reply = [](const Call&) { return std::string("9\n"); };
    EXPECT_TRUE(ESPHelper::isInstalled(cache, fake.runner()));
    clock.advance(1.5);
    EXPECT_TRUE(ESPHelper::isInstalled(cache, fake.runner()));
    EXPECT_EQ(fake.calls.size(), 1u);
    clock.advance(0.5);
    fake.reply = failWith(1, "sudo: a password is required");
    EXPECT_FALSE(ESPHelper::isInstalled(cache, fake.runner()));
    EXPECT_EQ(fake.calls.size(), 2u);
    EXPECT_EQ(cache.cachedValue(), false);
}

TEST(ESPHelperIsInstalled, NeverOverwritesAnAnswerStoredDuringItsProbe) {
    ManualClock clock;
    ESPHelperStatusCache cache(clock);
    FakeRunner fake;
    // An installation stores "installed" while the probe (which fails) runs:
    // the fresher answer is kept and returned without a second probe.
    fake.reply = [&](const Call&) -> std::string {
        cache.storeFromOutside(true);
        throw commandError(1, "sudo: a password is required");
    };
    EXPECT_TRUE(ESPHelper::isInstalled(cache, fake.runner()));
    EXPECT_EQ(fake.calls.size(), 1u);
    EXPECT_EQ(cache.cachedValue(), true);

    // Superseded twice, with the outside answer already stale each time: two
    // probes, then the cached value, nothing stored by the probes.
    FakeRunner racing;
    ESPHelperStatusCache other(clock);
    racing.reply = [&](const Call&) {
        other.storeFromOutside(false);
        clock.advance(5.0);
        return std::string("9");
    };
    EXPECT_FALSE(ESPHelper::isInstalled(other, racing.runner()));
    EXPECT_EQ(racing.calls.size(), 2u);
    EXPECT_EQ(other.cachedValue(), false);
}

TEST(ESPHelperIsInstalled, CancelledProbeReturnsTheCachedValueWithoutStoring) {
    ManualClock clock;
    ESPHelperStatusCache cache(clock);
    const TaskHandle handle = TaskHandle::makeUnstarted();
    task::CurrentTaskScope scope(handle);
    FakeRunner fake;
    fake.reply = [&](const Call&) {
        handle.cancel();
        return std::string("9");
    };
    EXPECT_FALSE(ESPHelper::isInstalled(cache, fake.runner()));
    EXPECT_FALSE(cache.cachedValue());

    cache.storeFromOutside(true);
    clock.advance(3.0);
    EXPECT_TRUE(ESPHelper::isInstalled(cache, fake.runner()));
    EXPECT_EQ(fake.calls.size(), 2u);
}

TEST(ESPHelperRun, RefusesBadRequestsBeforeStartingSudo) {
    const std::pair<const char*, const char*> cases[] = {
        {"Mount", "Invalid helper command."},
        {"version", "Invalid helper command."},
        {"", "Invalid helper command."},
    };
    ESPHelperStatusCache cache;
    FakeRunner fake;
    for (const auto& c : cases) {
        EXPECT_EQ(errorText([&] { ESPHelper::run(c.first, "disk0s1", cache, fake.runner()); }),
                  std::string("Tesselwick.Helper 1: ") + c.second);
    }
    for (const char* disk : {"disk0", "disk0s1;id", "disk0s1 disk1s1", "../disk0s1", ""}) {
        EXPECT_EQ(errorText([&] { ESPHelper::run("mount", disk, cache, fake.runner()); }),
                  std::string("Tesselwick.Helper 1: Invalid disk identifier: ") + disk);
    }
    EXPECT_TRUE(fake.calls.empty());
}

TEST(ESPHelperRun, TheReadyMarkerDecidesWhoseFailureItIs) {
    const std::string marker = helper::kReadyMarker;
    struct Case {
        std::int64_t code;
        std::string description;
        const char* domain;
        std::string message;
        bool storesInstalled;
    };
    const Case cases[] = {
        // sudo refused: the helper never ran, caller may fall back
        {1, "sudo: a password is required", "Tesselwick.Helper",
         "EFI mount failed for disk2s1.\n\nsudo: a password is required", false},
        // the helper ran and diskutil failed: its lines without the marker
        {65, marker + "\nRefusing non-EFI partition: disk2s1", "Tesselwick.Helper.Operation",
         "EFI mount failed for disk2s1.\n\nRefusing non-EFI partition: disk2s1", true},
        // the marker alone: the status line
        {65, marker, "Tesselwick.Helper.Operation",
         "EFI mount failed for disk2s1.\n\nThe helper command failed with status 65.", true},
        // a marker that is only part of a line does not count
        {1, "x" + marker, "Tesselwick.Helper", "EFI mount failed for disk2s1.\n\nx" + marker,
         false},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        ESPHelperStatusCache cache(clock);
        const auto generation = cache.generation();
        FakeRunner fake;
        fake.reply = failWith(c.code, c.description);
        const std::int64_t code = std::string(c.domain) == "Tesselwick.Helper" ? 1 : c.code;
        EXPECT_EQ(errorText([&] { ESPHelper::run("mount", "disk2s1", cache, fake.runner()); }),
                  std::string(c.domain) + " " + std::to_string(code) + ": " + c.message);
        EXPECT_EQ(cache.cachedValue(),
                  c.storesInstalled ? std::optional<bool>(true) : std::optional<bool>());
        EXPECT_EQ(cache.generation() != generation, c.storesInstalled);
        ASSERT_EQ(fake.calls.size(), 1u);
        EXPECT_EQ(fake.calls[0].arguments,
                  (std::vector<std::string>{"-n", "--", kHelper, "mount", "disk2s1"}));
        EXPECT_EQ(fake.calls[0].timeout, 10.0);
    }
}

TEST(ESPHelperRun, SuccessStoresInstalledAndCancellationPassesThrough) {
    ESPHelperStatusCache cache;
    FakeRunner fake;
    ESPHelper::run("unmount", "disk4s2", cache, fake.runner());
    EXPECT_EQ(cache.cachedValue(), true);

    ESPHelperStatusCache untouched;
    fake.reply = [](const Call&) -> std::string { throw CancellationError(); };
    EXPECT_THROW(ESPHelper::run("mount", "disk4s2", untouched, fake.runner()), CancellationError);
    EXPECT_FALSE(untouched.cachedValue());
}

TEST(ESPHelperInstall, RunsTheInstallerThenProvesTheHelper) {
    struct Case {
        std::function<std::string(const Call&)> probeReply;
        const char* error; // empty when the install succeeds
        bool storedValue;
    };
    const Case cases[] = {
        // the new helper answers
        {[](const Call&) { return std::string("9\n"); }, "", true},
        // the files are there but sudo -n will not run the helper
        {failWith(1, "sudo: a password is required"),
         "The helper files were installed, but macOS did not accept passwordless helper "
         "execution.\n\nsudo: a password is required",
         false},
        // an old helper answers
        {[](const Call&) { return std::string("8"); },
         "The helper files were installed, but macOS did not accept passwordless helper "
         "execution.\n\nThe helper returned version '8' instead of '9'.",
         false},
    };
    for (const auto& c : cases) {
        ESPHelperStatusCache cache;
        cache.storeFromOutside(!c.storedValue);
        FakeRunner fake;
        fake.reply = [&](const Call& call) {
            return call.path == "/usr/bin/osascript" ? std::string("parsed OK\n")
                                                     : c.probeReply(call);
        };
        EXPECT_EQ(errorText([&] { ESPHelper::install(cache, fake.runner()); }),
                  *c.error ? std::string("Tesselwick.Helper 1: ") + c.error : "no error");
        EXPECT_EQ(cache.cachedValue(), c.storedValue);
        ASSERT_EQ(fake.calls.size(), 2u);
        EXPECT_EQ(fake.calls[0].path, "/usr/bin/osascript");
        EXPECT_EQ(fake.calls[0].arguments,
                  (std::vector<std::string>{
                      "-e", operations::administratorAppleScript(
                                operations::scriptTransportLine(helper::installerScript()))}));
        EXPECT_EQ(fake.calls[0].timeout, 120.0);
        EXPECT_EQ(fake.calls[1].path, "/usr/bin/sudo");
    }
}

TEST(ESPHelperInstall, AFailedInstallerPassesItsErrorOnAndLeavesTheCache) {
    ESPHelperStatusCache cache;
    cache.storeFromOutside(false);
    const auto generation = cache.generation();
    FakeRunner fake;
    fake.reply = failWith(75, "Another Tesselwick helper installation is already running");
    EXPECT_EQ(errorText([&] { ESPHelper::install(cache, fake.runner()); }),
              "Tesselwick 75: Another Tesselwick helper installation is already running");
    EXPECT_EQ(cache.generation(), generation);
    EXPECT_EQ(fake.calls.size(), 1u);
}
