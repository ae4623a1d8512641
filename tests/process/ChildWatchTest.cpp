// The runner's system layer on its own, so the same contract is checked by
// whichever implementation the platform compiles (pidfd/ppoll or kqueue).
#include "process/ChildWatch.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

using namespace tesselwick;
using namespace tesselwick::process::detail;
using namespace std::chrono_literals;

namespace {

Clock::time_point in(std::chrono::milliseconds delay) {
    return Clock::now() + delay;
}

// A child running /bin/sh -c `script` with throwaway pipes.
struct Child {
    explicit Child(const std::string& script) {
        Pipe output = makePipe(false);
        Pipe error = makePipe(false);
        const int rc =
            spawnChild("/bin/sh", {"-c", script}, output.write.fd(), error.write.fd(), pid);
        if (rc != 0) {
            throw std::runtime_error("spawn failed");
        }
    }
    ~Child() {
        if (!reaped) {
            kill(pid, SIGKILL);
            reap();
        }
    }
    int reap() {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        reaped = true;
        return status;
    }
    pid_t pid = 0;
    bool reaped = false;
};

TEST(EventLoop, ReportsExactlyWhatIsReady) {
    struct Case {
        const char* name;
        bool writeOutput; // a byte waits in the output pipe
        bool closeError;  // the error pipe's writer is gone (end of data)
    };
    const Case cases[] = {
        {"nothing ready: the past deadline returns empty-handed", false, false},
        {"data on one pipe marks only that pipe", true, false},
        {"end of data counts as readable", false, true},
        {"both at once", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EventLoop loop;
        Pipe output = makePipe(true);
        Pipe error = makePipe(false);
        if (c.writeOutput) {
            ASSERT_EQ(::write(output.write.fd(), "x", 1), 1);
        }
        if (c.closeError) {
            error.write.close();
        }
        const WaitResult result =
            loop.wait(nullptr, output.read.fd(), error.read.fd(), Clock::now() - 1ms);
        EXPECT_FALSE(result.failed);
        EXPECT_FALSE(result.cancelled);
        EXPECT_FALSE(result.exited);
        EXPECT_EQ(result.outputReadable, c.writeOutput);
        EXPECT_EQ(result.errorReadable, c.closeError);
    }
}

TEST(EventLoop, DeadlineEndsAnIdleWait) {
    EventLoop loop;
    Pipe output = makePipe(false);
    const auto started = Clock::now();
    const WaitResult result = loop.wait(nullptr, output.read.fd(), -1, in(100ms));
    EXPECT_GE(Clock::now() - started, 100ms);
    EXPECT_FALSE(result.failed || result.cancelled || result.outputReadable);
}

TEST(EventLoop, CancellationFromAnotherThreadWakesTheWait) {
    const TaskHandle handle = TaskHandle::makeUnstarted();
    task::CurrentTaskScope scope(handle);
    EventLoop loop;
    Pipe output = makePipe(false);
    std::thread canceller([&] {
        std::this_thread::sleep_for(50ms);
        handle.cancel();
    });
    const auto started = Clock::now();
    // A broken wake would sit out the whole deadline and fail below.
    const WaitResult result = loop.wait(nullptr, output.read.fd(), -1, in(10s));
    canceller.join();
    EXPECT_TRUE(result.cancelled);
    EXPECT_LT(Clock::now() - started, 5s);
}

TEST(ExitHandle, SeesTheChildEndWithoutReapingIt) {
    struct Case {
        const char* name;
        bool endBeforeWatching; // already a zombie when the handle opens
    };
    const Case cases[] = {
        {"exit while watched", false},
        {"exit before the handle opened", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Child child("exit 3");
        if (c.endBeforeWatching) {
            siginfo_t info{};
            ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT), 0);
        }
        ExitHandle exit(child.pid);
        ASSERT_EQ(exit.openError(), 0);
        EventLoop loop;
        WaitResult result;
        for (int i = 0; i < 100 && !result.exited && !result.failed; ++i) {
            result = loop.wait(&exit, -1, -1, in(10s));
        }
        EXPECT_TRUE(result.exited);
        EXPECT_FALSE(result.failed);
        EXPECT_TRUE(exit.waitEnded(Clock::now()));
        // Still ours to reap, with its status intact.
        const int status = child.reap();
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 3);
    }
}

TEST(ExitHandle, SignalsReachTheChildAndTheWaitHonoursItsDeadline) {
    Child child("exec sleep 30");
    ExitHandle exit(child.pid);
    ASSERT_EQ(exit.openError(), 0);
    EXPECT_FALSE(exit.waitEnded(in(50ms)));
    ASSERT_TRUE(exit.signal(SIGKILL));
    EXPECT_TRUE(exit.waitEnded(in(10s)));
    const int status = child.reap();
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

} // namespace
