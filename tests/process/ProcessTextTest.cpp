#include "process/FileHandleCloser.h"
#include "process/ProcessRunner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace tesselwick;
using namespace tesselwick::process;

namespace {
const std::string kEllipsis = "\xE2\x80\xA6";
}

TEST(CommandDescription, OneLineWithLongArgumentsCut) {
    const std::string a160(160, 'a');
    const std::string b200(200, 'b');
    const std::string e161 = std::string(159, 'x') + "\xC3\xA9\xC3\xA9"; // 161 characters
    struct Case {
        std::vector<std::string> arguments;
        std::string expected;
    } cases[] = {
        // no arguments: the path alone
        {{}, "/usr/sbin/diskutil"},
        // line feeds become spaces, nothing is quoted
        {{"info", "a\nb\n", "x y"}, "/usr/sbin/diskutil info a b  x y"},
        // exactly 160 characters stay whole
        {{a160}, "/usr/sbin/diskutil " + a160},
        // 200 characters: the first 160 and one ellipsis
        {{b200}, "/usr/sbin/diskutil " + std::string(160, 'b') + kEllipsis},
        // counted in characters: a two-byte character is never split
        {{e161}, "/usr/sbin/diskutil " + std::string(159, 'x') + "\xC3\xA9" + kEllipsis},
        // empty arguments keep their separators
        {{"", "list"}, "/usr/sbin/diskutil  list"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(commandDescription("/usr/sbin/diskutil", c.arguments), c.expected);
    }
}

TEST(LimitedProcessText, TrimsDecodesAndMarksCuts) {
    struct Case {
        std::string bytes;
        std::size_t limit;
        std::string expected;
    } cases[] = {
        // empty stays empty
        {"", 10, ""},
        // white space and line breaks trimmed at both ends
        {"\n  disk0s1 \r\n", 100, "disk0s1"},
        // exactly at the limit: no mark
        {"abcd", 4, "abcd"},
        // cut: first bytes and one ellipsis
        {"abcdef", 4, "abcd" + kEllipsis},
        // cut inside a two-byte character: replacement character
        {"ab\xC3\xA9", 3, "ab\xEF\xBF\xBD" + kEllipsis},
        // invalid bytes replaced, not dropped
        {"a\xFF"
         "b",
         10,
         "a\xEF\xBF\xBD"
         "b"},
        // only white space before the cut: empty, and no lone ellipsis
        {"   xyz", 3, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(limitedProcessText(c.bytes, c.limit), c.expected) << c.bytes;
    }
}

TEST(ProcessFailureMessage, ErrorFirstOneEllipsisAndOverallLimit) {
    const std::string e5000(5000, 'e');
    struct Case {
        std::string standardOutput;
        std::string standardError;
        bool truncated;
        std::string expected;
    } cases[] = {
        // both empty: empty (the runner then reports the status)
        {"", "", false, ""},
        // standard error before standard output, each trimmed, one line feed
        {"  out \n", "\n err  ", false, "err\nout"},
        // only standard output
        {"out", " \n", false, "out"},
        // a truncated error stream is marked
        {"", "short", true, "short" + kEllipsis},
        // cut at 4,096 bytes and truncated: still one ellipsis; the whole is
        // then cut at 4,000 characters
        {"", e5000, true, std::string(4000, 'e') + kEllipsis},
        // 3,000 + 1 + 3,000 characters: cut at 4,000
        {std::string(3000, 'o'), std::string(3000, 'e'), false,
         std::string(3000, 'e') + "\n" + std::string(999, 'o') + kEllipsis},
        // exactly 4,000 characters: unchanged
        {"", std::string(4000, 'e'), false, std::string(4000, 'e')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(processFailureMessage(c.standardOutput, c.standardError, c.truncated),
                  c.expected);
    }
}

TEST(ExitOutcome, JudgedInOrder) {
    const std::string d = "/bin/tool arg";
    const auto outcome = [&](int status, bool outTrunc, bool errTrunc, bool outErr, bool errErr) {
        ProcessOutputSnapshot s;
        s.standardOutputWasTruncated = outTrunc;
        s.standardErrorWasTruncated = errTrunc;
        s.standardOutputHadReadError = outErr;
        s.standardErrorHadReadError = errErr;
        return exitOutcome(s, status, d);
    };
    struct Case {
        std::optional<DomainError> got;
        std::int64_t code; // 0: success
        std::string message;
    } cases[] = {
        // clean exit 0: success
        {outcome(0, false, false, false, false), 0, ""},
        // a read error wins over truncation (pipes never fail on demand, so
        // only here)
        {outcome(0, true, false, false, true), 74, "Could not read complete command output: " + d},
        {outcome(0, false, false, true, false), 74, "Could not read complete command output: " + d},
        // non-zero status: the status is the code, read errors and truncation aside
        {outcome(3, true, true, true, true), 3, "Command failed with status 3."},
    };
    for (const auto& c : cases) {
        if (c.code == 0) {
            EXPECT_FALSE(c.got.has_value());
            continue;
        }
        ASSERT_TRUE(c.got.has_value()) << c.message;
        EXPECT_EQ(c.got->domain(), "Tesselwick");
        EXPECT_EQ(c.got->code(), c.code);
        EXPECT_EQ(c.got->message(), c.message);
    }
}

TEST(StopOutcome, CleanupDecidesBetweenTheErrorAndCode74) {
    const std::string d = "/bin/sleep 10";
    struct Case {
        StopReason reason;
        bool childGone;
        bool readersClosed;
        std::int64_t code; // 0: the cancellation error
        std::string message;
    } cases[] = {
        // cancelled while running
        {StopReason::cancelledWhileRunning, true, true, 0, ""},
        {StopReason::cancelledWhileRunning, false, true, 74,
         "Cancelled command could not be confirmed terminated: " + d},
        {StopReason::cancelledWhileRunning, true, false, 74,
         "Cancelled command could not be confirmed terminated: " + d},
        // time-out
        {StopReason::timedOut, true, true, 124, "Command timed out: " + d},
        {StopReason::timedOut, false, true, 74,
         "Timed-out command could not be confirmed terminated: " + d},
        {StopReason::timedOut, true, false, 74,
         "Timed-out command could not be confirmed terminated: " + d},
        // cancelled while draining after the exit
        {StopReason::cancelledWhileDraining, true, true, 0, ""},
        {StopReason::cancelledWhileDraining, true, false, 74,
         "Cancelled command readers could not be closed and drained: " + d},
        // drain window missed (a grandchild holds the pipes)
        {StopReason::drainTimedOut, true, true, 125, "Command output read timed out: " + d},
        {StopReason::drainTimedOut, true, false, 74,
         "Timed-out command readers could not be closed and drained: " + d},
    };
    for (const auto& c : cases) {
        const auto got = stopOutcome(c.reason, d, c.childGone, c.readersClosed);
        if (c.code == 0) {
            EXPECT_FALSE(got.has_value());
            continue;
        }
        ASSERT_TRUE(got.has_value()) << c.message;
        EXPECT_EQ(got->code(), c.code);
        EXPECT_EQ(got->message(), c.message);
    }
}

TEST(FileHandleCloser, ClosesOnceAndRemembersTheResult) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    FileHandleCloser reader(fds[0]);
    EXPECT_TRUE(reader.close());
    EXPECT_FALSE(reader.isOpen());
    EXPECT_TRUE(reader.close()); // the recorded result, no second close
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);

    // A descriptor closed behind the closer's back: the one real close fails
    // and every later call reports that failure.
    FileHandleCloser writer(fds[1]);
    ASSERT_EQ(::close(fds[1]), 0);
    EXPECT_FALSE(writer.close());
    EXPECT_FALSE(writer.close());
}
