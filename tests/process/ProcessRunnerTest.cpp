#include "process/ProcessRunner.h"
#include "process/ProcessTestSupport.h"
#include "support/ErrorText.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include <fcntl.h>

using namespace tesselwick;
using namespace tesselwick::process;
using namespace tesselwick::testing;

namespace {

const std::string kEllipsis = "\xE2\x80\xA6";

std::string sh(const std::string& script) {
    return runProcessData("/bin/sh", {"-c", script}, tesselwick::Seconds(10.0));
}

// "Tesselwick <code>: <message>" of the failure, or "no error".
std::string shError(const std::string& script, double timeout = 10.0) {
    return errorText([&] { runProcessData("/bin/sh", {"-c", script}, Seconds(timeout)); });
}

std::string describe(const std::string& script) {
    return commandDescription("/bin/sh", {"-c", script});
}

using ProcessRunner = RunnerLeakCheck;

std::string shown(const std::optional<DomainError>& error) {
    return error ? std::to_string(error->code()) + " " + error->message() : "none";
}

} // namespace

TEST_F(ProcessRunner, ReturnsStandardOutputAndKeepsStdioPrivate) {
    EXPECT_EQ(runProcessData("/bin/echo", {"hello", "world"}, tesselwick::Seconds(10.0)),
              "hello world\n");
    EXPECT_EQ(sh("printf 'a\\000b\\377'"), std::string("a\0b\xFF", 4));       // byte for byte
    EXPECT_EQ(runProcessData("/bin/cat", {}, tesselwick::Seconds(10.0)), ""); // stdin is /dev/null
    ASSERT_EQ(setenv("TESSELWICK_RUNNER_PROBE", "probe-value", 1), 0);
    EXPECT_EQ(sh("printf %s \"$TESSELWICK_RUNNER_PROBE\""), "probe-value"); // inherited
    unsetenv("TESSELWICK_RUNNER_PROBE");

    // Even a descriptor the parent left inheritable stays out of the child.
    const int inheritable = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 0);
    EXPECT_EQ(sh("ls /proc/$$/fd"), "0\n1\n2\n");
    ::close(inheritable);
}

TEST_F(ProcessRunner, FailuresCarryTheStatusAndTheToolsOwnWords) {
    const std::string flood = "head -c 20971520 /dev/zero";
    const std::string both = "head -c 17000000 /dev/zero; head -c 1100000 /dev/zero >&2";
    const std::string errors = "head -c 1048577 /dev/zero >&2";
    const struct {
        std::string script;
        std::int64_t code;
        std::string message;
    } cases[] = {
        // silent failure: the status alone
        {"exit 3", 3, "Command failed with status 3."},
        // standard error first, then standard output, each trimmed
        {"printf '  out  \\n'; printf '\\n err \\n' >&2; exit 2", 2, "err\nout"},
        // killed by a signal: the signal's number is the code
        {"kill -9 $$", 9, "Command failed with status 9."},
        // status 0 but over a limit: read to the end, then refused
        {flood, 75, "Command standard output exceeded its safety limit: " + describe(flood)},
        {both, 75,
         "Command standard output and standard error exceeded its safety limit: " + describe(both)},
        {errors, 75, "Command standard error exceeded its safety limit: " + describe(errors)},
        // over the limit and status 1: the status wins, the message is cut
        {flood + " | tr '\\0' o; echo oops >&2; exit 1", 1,
         "oops\n" + std::string(3995, 'o') + kEllipsis},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shError(c.script), "Tesselwick " + std::to_string(c.code) + ": " + c.message)
            << c.script;
    }
    // Exactly the standard-output limit comes back whole.
    const std::string exact = sh("head -c 16777216 /dev/zero");
    EXPECT_EQ(exact.size(), kStandardOutputLimit);
    EXPECT_EQ(exact.find_first_not_of('\0'), std::string::npos);
}

TEST_F(ProcessRunner, TimeOutEndsTheChild) {
    const std::pair<std::string, double> cases[] = {
        // a child that ends on the polite request
        {"exec sleep 30", 0.2},
        // a child that ignores it is killed after the grace period
        {"trap '' TERM; exec sleep 30", 0.2 + kTerminateGrace.count()},
    };
    for (const auto& [script, minimum] : cases) {
        const auto start = std::chrono::steady_clock::now();
        const std::string error = shError(script, 0.2);
        const double elapsed = secondsBetween(start, std::chrono::steady_clock::now());
        EXPECT_EQ(error, "Tesselwick 124: Command timed out: " + describe(script));
        EXPECT_GE(elapsed, minimum);
        EXPECT_LT(elapsed, kReturnBound);
    }
}

TEST_F(ProcessRunner, GrandchildHoldingThePipesMissesTheDrainWindow) {
    TempDir directory;
    const auto pidFile = directory.path() / "grandchild";
    const std::string script = "sleep 30 & echo $! > " + pidFile.string() + "; echo partial";
    const auto start = std::chrono::steady_clock::now();
    const std::string error = shError(script, 30.0);
    const double elapsed = secondsBetween(start, std::chrono::steady_clock::now());
    pid_t grandchild = 0;
    std::ifstream(pidFile) >> grandchild;
    ASSERT_GT(grandchild, 0);
    kill(grandchild, SIGKILL);

    EXPECT_EQ(error, "Tesselwick 125: Command output read timed out: " + describe(script));
    // The window, not the command's 30-second time-out nor the grandchild's sleep.
    EXPECT_GE(elapsed, kDrainWindow.count());
    EXPECT_LT(elapsed, kDrainWindow.count() + kReturnBound);
}

TEST_F(ProcessRunner, ExitStatusReapedElsewhereIsNeverSuccess) {
    // With SIGCHLD ignored (or SA_NOCLDWAIT) the kernel reaps children itself
    // and their status is lost; a child that exits at once may even be gone
    // before it can be watched.
    const std::pair<void (*)(int), int> dispositions[] = {
        {SIG_IGN, 0},            // inherited as ignored
        {SIG_DFL, SA_NOCLDWAIT}, // default, but no zombies
    };
    for (const auto& [handler, flags] : dispositions) {
        struct sigaction reaping {};
        reaping.sa_handler = handler;
        reaping.sa_flags = flags;
        struct sigaction previous {};
        ASSERT_EQ(sigaction(SIGCHLD, &reaping, &previous), 0);
        std::vector<std::string> errors;
        for (const char* script : {"echo listing; exit 0", "exit 1", "echo out; exit 65"}) {
            errors.push_back(shError(script));
        }
        for (int i = 0; i < 20; ++i) {
            errors.push_back(
                errorText([] { runProcessData("/bin/true", {}, tesselwick::Seconds(10.0)); }));
        }
        sigaction(SIGCHLD, &previous, nullptr);
        for (const auto& error : errors) {
            EXPECT_TRUE(error.starts_with("Tesselwick 74: Command exit status could not be "
                                          "confirmed: "))
                << flags << " " << error;
        }
    }
}

// The texts and outcomes the runner builds, on their own.

TEST(CommandDescription, OneLineWithLongArgumentsCut) {
    const std::string a160(160, 'a');
    const std::string e161 = std::string(159, 'x') + "\xC3\xA9\xC3\xA9"; // 161 characters
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, ""},                                      // the path alone
        {{"info", "a\nb\n", "x y"}, " info a b  x y"}, // line feeds become spaces, no quoting
        {{a160}, " " + a160},                          // exactly 160 characters stay whole
        {{a160 + "b"}, " " + a160 + kEllipsis},        // 161: the first 160 and one ellipsis
        // never inside a character (appended: GCC 12 reports a false -Wrestrict for " " +
        // temporary)
        {{e161}, std::string(" ").append(159, 'x').append("\xC3\xA9").append(kEllipsis)},
        {{"", "list"}, "  list"}, // empty arguments keep their separators
    };
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(commandDescription("/usr/sbin/diskutil", arguments),
                  "/usr/sbin/diskutil" + expected);
    }
}

TEST(LimitedProcessText, TrimsDecodesAndMarksCuts) {
    const struct {
        std::string bytes;
        std::size_t limit;
        std::string expected;
    } cases[] = {
        {"", 10, ""},                                    // empty stays empty
        {"\n  disk0s1 \r\n", 100, "disk0s1"},            // trimmed at both ends
        {"abcd", 4, "abcd"},                             // exactly at the limit: no mark
        {"abcdef", 4, "abcd" + kEllipsis},               // cut: first bytes and one ellipsis
        {"ab\xC3\xA9", 3, "ab\xEF\xBF\xBD" + kEllipsis}, // cut inside a character
        {"a\xFF", 10, "a\xEF\xBF\xBD"},                  // invalid bytes replaced, not dropped
        {"   xyz", 3, ""},                               // only white space kept: no lone ellipsis
    };
    for (const auto& c : cases) {
        EXPECT_EQ(limitedProcessText(c.bytes, c.limit), c.expected) << c.bytes;
    }
}

TEST(ProcessFailureMessage, ErrorFirstOneEllipsisAndOverallLimit) {
    const struct {
        std::string output;
        std::string error;
        bool truncated;
        std::string expected;
    } cases[] = {
        {"", "", false, ""},                      // nothing: the runner shows the status
        {"out", " \n", false, "out"},             // only standard output
        {"", "short", true, "short" + kEllipsis}, // a truncated error stream is marked
        {"", std::string(5000, 'e'), true, std::string(4000, 'e') + kEllipsis}, // one ellipsis
        {std::string(3000, 'o'), std::string(3000, 'e'), false,                 // cut at 4,000
         std::string(3000, 'e') + "\n" + std::string(999, 'o') + kEllipsis},
        {"", std::string(4000, 'e'), false, std::string(4000, 'e')}, // exactly 4,000: unchanged
    };
    for (const auto& c : cases) {
        EXPECT_EQ(processFailureMessage(c.output, c.error, c.truncated), c.expected);
    }
}

TEST(StopOutcome, UnconfirmedCleanupIsNeverAPlainTimeOutOrCancellation) {
    const std::string d = "/bin/sleep 10";
    const std::string cancelled = "74 Cancelled command could not be confirmed terminated: " + d;
    const std::string timedOut = "74 Timed-out command could not be confirmed terminated: " + d;
    using R = StopReason;
    const struct {
        R reason;
        bool childGone;
        bool readersClosed;
        std::string expected; // "none": the cancellation error
    } cases[] = {
        {R::cancelledWhileRunning, true, true, "none"},
        {R::cancelledWhileRunning, false, true, cancelled},
        {R::cancelledWhileRunning, true, false, cancelled},
        {R::timedOut, true, true, "124 Command timed out: " + d},
        {R::timedOut, false, true, timedOut},
        {R::timedOut, true, false, timedOut},
        {R::cancelledWhileDraining, true, true, "none"},
        {R::cancelledWhileDraining, true, false,
         "74 Cancelled command readers could not be closed and drained: " + d},
        {R::drainTimedOut, true, true, "125 Command output read timed out: " + d},
        {R::drainTimedOut, true, false,
         "74 Timed-out command readers could not be closed and drained: " + d},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shown(stopOutcome(c.reason, d, c.childGone, c.readersClosed)), c.expected);
    }
}
