#include "process/ProcessRunner.h"
#include "process/ProcessTestSupport.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fstream>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace tesselwick;
using namespace tesselwick::process;
using namespace tesselwick::testing;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSh = "/bin/sh";
const std::string kEllipsis = "\xE2\x80\xA6";

std::string sh(const std::string& script, double timeout = 10.0) {
    return runProcessData(kSh, {"-c", script}, timeout);
}

std::optional<DomainError> shError(const std::string& script, double timeout = 10.0) {
    return domainErrorOf([&] { sh(script, timeout); });
}

std::string describe(const std::string& script) {
    return commandDescription(kSh, {"-c", script});
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every case must leave the process as it found it.
class ProcessRunner : public ::testing::Test {
protected:
    void SetUp() override {
        descriptors_ = openDescriptorCount();
        children_ = childProcessCount();
    }
    void TearDown() override {
        EXPECT_EQ(openDescriptorCount(), descriptors_);
        EXPECT_EQ(childProcessCount(), children_);
    }

private:
    int descriptors_ = 0;
    int children_ = 0;
};

} // namespace

TEST_F(ProcessRunner, RefusesBadTimeOutsBeforeStarting) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double timeout;
        std::string shown;
    } cases[] = {
        {0.0, "0.0"},                          // zero
        {-1.0, "-1.0"},                        // negative
        {-0.0, "-0.0"},                        // negative zero is not greater than zero
        {inf, "inf"},                          // infinite
        {-inf, "-inf"}, {std::nan(""), "nan"}, // not a number
    };
    TemporaryDirectory directory;
    const auto marker = directory.path() / "started";
    for (const auto& c : cases) {
        const auto error =
            domainErrorOf([&] { runProcessData("/usr/bin/touch", {marker.string()}, c.timeout); });
        ASSERT_TRUE(error.has_value()) << c.shown;
        EXPECT_EQ(error->code(), 64);
        EXPECT_EQ(error->message(), "Invalid command timeout: " + c.shown);
    }
    EXPECT_FALSE(std::filesystem::exists(marker)); // nothing was started

    // A tiny positive time-out is accepted: the command starts and times out.
    const auto tiny = domainErrorOf([&] { runProcessData("/bin/sleep", {"5"}, 1e-9); });
    ASSERT_TRUE(tiny.has_value());
    EXPECT_EQ(tiny->code(), 124);
    EXPECT_EQ(tiny->message(), "Command timed out: /bin/sleep 5");
}

TEST_F(ProcessRunner, ReturnsStandardOutputAndKeepsStdioPrivate) {
    EXPECT_EQ(runProcessData("/bin/echo", {"hello", "world"}, 10.0), "hello world\n");
    EXPECT_EQ(runProcessData("/bin/true", {}, 10.0), "");
    // Binary output comes back byte for byte.
    EXPECT_EQ(sh("printf 'a\\000b\\377'"), std::string("a\0b\xFF", 4));
    // Standard input is /dev/null, so a reader of it ends at once.
    EXPECT_EQ(runProcessData("/bin/cat", {}, 10.0), "");
    // The environment is inherited.
    ASSERT_EQ(setenv("TESSELWICK_RUNNER_PROBE", "probe-value", 1), 0);
    EXPECT_EQ(sh("printf %s \"$TESSELWICK_RUNNER_PROBE\""), "probe-value");
    unsetenv("TESSELWICK_RUNNER_PROBE");
}

TEST_F(ProcessRunner, LeaksNoDescriptorIntoTheChild) {
    // Even a descriptor the parent left inheritable stays out of the child.
    const int inheritable = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 0);
    EXPECT_EQ(sh("ls /proc/$$/fd"), "0\n1\n2\n");
    EXPECT_EQ(sh("readlink /proc/$$/fd/0"), "/dev/null\n");
    ::close(inheritable);
}

TEST_F(ProcessRunner, ResetsSignalStateInTheChild) {
    // An ignored SIGTERM and a blocked SIGUSR1 in the parent must not reach
    // the child, or a time-out could never end it politely.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGTERM, &ignore, &previous), 0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigset_t previousMask;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);

    const std::string status = sh("grep -E '^Sig(Blk|Ign):' /proc/$$/status | cut -f2");

    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    sigaction(SIGTERM, &previous, nullptr);
    // glibc keeps its two internal signals ignored in the child; nothing else.
    const auto masks = text::split(text::trim(status), '\n');
    ASSERT_EQ(masks.size(), 2u) << status;
    EXPECT_EQ(std::stoull(masks[0], nullptr, 16), 0u);
    EXPECT_EQ(std::stoull(masks[1], nullptr, 16) &
                  ((1ull << (SIGTERM - 1)) | (1ull << (SIGUSR1 - 1))),
              0u);
}

TEST_F(ProcessRunner, FailureStatusAndMessage) {
    struct Case {
        std::string script;
        std::int64_t code;
        std::string message;
    } cases[] = {
        // silent failure: the status alone
        {"exit 3", 3, "Command failed with status 3."},
        // standard error first, then standard output, each trimmed
        {"printf '  out  \\n'; printf '\\n err \\n' >&2; exit 2", 2, "err\nout"},
        // only standard output
        {"echo listing; exit 1", 1, "listing"},
        // an error text cut at 4,096 bytes ends with one ellipsis
        {"head -c 5000 /dev/zero | tr '\\0' e >&2; exit 5", 5, std::string(4000, 'e') + kEllipsis},
        // killed by a signal: the signal's number is the code
        {"kill -9 $$", 9, "Command failed with status 9."},
    };
    for (const auto& c : cases) {
        const auto error = shError(c.script);
        ASSERT_TRUE(error.has_value()) << c.script;
        EXPECT_EQ(error->domain(), "Tesselwick");
        EXPECT_EQ(error->code(), c.code) << c.script;
        EXPECT_EQ(error->message(), c.message) << c.script;
    }
}

TEST_F(ProcessRunner, OutputLimits) {
    // Exactly the standard-output limit: returned whole.
    const std::string exact = sh("head -c 16777216 /dev/zero");
    EXPECT_EQ(exact.size(), kStandardOutputLimit);
    EXPECT_EQ(exact.find_first_not_of('\0'), std::string::npos);

    // 20 MiB and status 0: over the limit, and read to the end so the child
    // never blocks on a full pipe.
    const std::string flood = "head -c 20971520 /dev/zero";
    auto error = shError(flood);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code(), 75);
    EXPECT_EQ(error->message(),
              "Command standard output exceeded its safety limit: " + describe(flood));

    // Both streams over their limits.
    const std::string both = "head -c 17000000 /dev/zero; head -c 1100000 /dev/zero >&2";
    error = shError(both);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message(),
              "Command standard output and standard error exceeded its safety limit: " +
                  describe(both));

    // Only standard error over its 1 MiB limit.
    const std::string errors = "head -c 1048577 /dev/zero >&2";
    error = shError(errors);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->message(),
              "Command standard error exceeded its safety limit: " + describe(errors));

    // 20 MiB and status 1: the status wins; the message is built from at
    // most 4,096 bytes of each stream and cut at 4,000 characters.
    error = shError("head -c 20971520 /dev/zero | tr '\\0' o; echo oops >&2; exit 1");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code(), 1);
    EXPECT_EQ(error->message(), "oops\n" + std::string(3995, 'o') + kEllipsis);
}

TEST_F(ProcessRunner, LaunchFailureIsThePlatformError) {
    const auto error = domainErrorOf([] { runProcessData("/nonexistent/tool", {"x"}, 5.0); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code(), ENOENT);
    EXPECT_NE(error->message().find("/nonexistent/tool"), std::string::npos);

    TemporaryDirectory directory;
    const auto plain = directory.path() / "not-executable";
    std::ofstream(plain) << "#!/bin/sh\n";
    const auto denied = domainErrorOf([&] { runProcessData(plain.string(), {}, 5.0); });
    ASSERT_TRUE(denied.has_value());
    if (geteuid() != 0) {
        EXPECT_EQ(denied->code(), EACCES);
    }
}

TEST_F(ProcessRunner, TimeOutEndsTheChild) {
    struct Case {
        std::string script;
        double minimum; // seconds the ladder must take at least
    } cases[] = {
        // a child that ends on the polite request
        {"exec sleep 30", 0.2},
        // a child that ignores it is killed after the 0.5 s grace
        {"trap '' TERM; exec sleep 30", 0.2 + kTerminateGraceSeconds},
    };
    for (const auto& c : cases) {
        const auto start = Clock::now();
        const auto error = shError(c.script, 0.2);
        const double elapsed = secondsSince(start);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->code(), 124);
        EXPECT_EQ(error->message(), "Command timed out: " + describe(c.script));
        EXPECT_GE(elapsed, c.minimum);
        EXPECT_LT(elapsed, c.minimum + 0.5);
    }
}

TEST_F(ProcessRunner, GrandchildHoldingThePipesMissesTheDrainWindow) {
    TemporaryDirectory directory;
    const auto pidFile = directory.path() / "grandchild";
    const std::string script = "sleep 30 & echo $! > " + pidFile.string() + "; echo partial";
    const auto start = Clock::now();
    const auto error = shError(script);
    const double elapsed = secondsSince(start);

    pid_t grandchild = 0;
    std::ifstream(pidFile) >> grandchild;
    ASSERT_GT(grandchild, 0);
    kill(grandchild, SIGKILL);

    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code(), 125);
    EXPECT_EQ(error->message(), "Command output read timed out: " + describe(script));
    EXPECT_GE(elapsed, kDrainWindowSeconds);
    EXPECT_LT(elapsed, kDrainWindowSeconds + 1.0);

    // A grandchild that lets go within the window changes nothing.
    EXPECT_EQ(sh("(sleep 0.3; echo late) & echo early"), "early\nlate\n");
}

TEST_F(ProcessRunner, ExitStatusReapedElsewhereIsNeverSuccess) {
    // With SIGCHLD ignored (or SA_NOCLDWAIT) the kernel reaps children itself
    // and their status is lost; a child that exits at once may even be gone
    // before it can be watched.
    struct Case {
        void (*handler)(int);
        int flags;
        const char* name;
    } dispositions[] = {
        {SIG_IGN, 0, "ignored"},              // inherited as ignored
        {SIG_DFL, SA_NOCLDWAIT, "nocldwait"}, // default, but no zombies
    };
    for (const auto& c : dispositions) {
        struct sigaction reaping {};
        reaping.sa_handler = c.handler;
        reaping.sa_flags = c.flags;
        struct sigaction previous {};
        ASSERT_EQ(sigaction(SIGCHLD, &reaping, &previous), 0);
        std::vector<DomainError> errors;
        for (const char* script : {"echo listing; exit 0", "exit 1", "echo out; exit 65"}) {
            if (auto error = shError(script)) {
                errors.push_back(*error);
            }
        }
        for (int i = 0; i < 20; ++i) {
            if (auto error = domainErrorOf([] { runProcessData("/bin/true", {}, 10.0); })) {
                errors.push_back(*error);
            }
        }
        sigaction(SIGCHLD, &previous, nullptr);
        ASSERT_EQ(errors.size(), 23u) << c.name;
        for (const auto& error : errors) {
            EXPECT_EQ(error.domain(), "Tesselwick") << c.name;
            EXPECT_EQ(error.code(), 74) << c.name;
            EXPECT_EQ(error.message().rfind("Command exit status could not be confirmed: /bin/", 0),
                      0u)
                << c.name << ": " << error.message();
        }
    }
}
