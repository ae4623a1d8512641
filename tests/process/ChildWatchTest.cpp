// The runner's system layer on its own, so the same contract is checked by
// whichever implementation the platform compiles (pidfd/ppoll or kqueue).
#include "process/ChildWatch.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <sys/wait.h>

using namespace tesselwick;
using namespace tesselwick::process::detail;
using namespace std::chrono_literals;

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
    const WaitResult result = loop.wait(nullptr, output.read.fd(), -1, Clock::now() + 10s);
    canceller.join();
    EXPECT_TRUE(result.cancelled);
    EXPECT_LT(Clock::now() - started, 5s);
}

TEST(ExitHandle, SeesTheChildEndWithoutReapingIt) {
    for (const bool endBeforeWatching : {false, true}) { // already a zombie when it opens
        SCOPED_TRACE(endBeforeWatching);
        Pipe output = makePipe(false);
        pid_t pid = 0;
        ASSERT_EQ(
            spawnChild("/bin/sh", {"-c", "exit 3"}, output.write.fd(), output.write.fd(), pid), 0);
        if (endBeforeWatching) {
            siginfo_t info{};
            ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
        }
        ExitHandle exit(pid);
        EXPECT_EQ(exit.openError(), 0);
        EventLoop loop;
        WaitResult result;
        for (int i = 0; i < 100 && !result.exited && !result.failed; ++i) {
            result = loop.wait(&exit, -1, -1, Clock::now() + 10s);
        }
        EXPECT_TRUE(result.exited && !result.failed);
        EXPECT_TRUE(exit.waitEnded(Clock::now()));
        // Still ours to reap, with its status intact.
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    }
}
