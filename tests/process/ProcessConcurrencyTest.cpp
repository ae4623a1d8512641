#include "process/ProcessRunner.h"
#include "process/ProcessTestSupport.h"
#include "support/ErrorText.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include <pthread.h>

using namespace tesselwick;
using namespace tesselwick::process;
using namespace tesselwick::testing;

// Cancellation, stalls and signals across threads: children that fill a pipe and
// go quiet, signals arriving while the runner waits, late standard error from a
// background child, and many runs at once.
namespace {

using RunnerStall = RunnerLeakCheck;
using RunnerConcurrency = RunnerLeakCheck;

void ignoreSignal(int) {}

} // namespace

TEST_F(RunnerStall, FullPipeThenSilenceStillEndsOnTimeOutAndCancellation) {
    const std::string fill = std::to_string(kReadChunkSize); // one pipe buffer on Linux
    const std::string writers[] = {
        "head -c " + fill + " /dev/zero",     // exactly one buffer on standard output
        "head -c " + fill + " /dev/zero >&2", // exactly one buffer on standard error
        "head -c " + std::to_string(kReadChunkSize + 1) + " /dev/zero", // one byte more
    };
    for (const auto& writer : writers) {
        SCOPED_TRACE(writer);
        auto start = std::chrono::steady_clock::now();
        const RunOutcome timedOut =
            runShellAs(TaskHandle::makeUnstarted(), writer + "; exec sleep 30", 0.3);
        ASSERT_TRUE(timedOut.error.has_value()) << timedOut.what();
        EXPECT_EQ(timedOut.error->code(), 124) << timedOut.what();
        EXPECT_LT(secondsBetween(start, timedOut.returned), kReturnBound);

        TempDir directory;
        const Rendezvous filled(directory);
        const TaskHandle handle = TaskHandle::makeUnstarted();
        auto running = std::async(std::launch::async, [&] {
            return runShellAs(handle, writer + "; " + filled.mark() + "; exec sleep 30", 30.0);
        });
        filled.wait();
        start = std::chrono::steady_clock::now();
        handle.cancel();
        const RunOutcome cancelled = running.get();
        EXPECT_TRUE(cancelled.cancelled) << cancelled.what();
        EXPECT_LT(secondsBetween(start, cancelled.returned), kReturnBound);
    }
}

TEST_F(RunnerStall, SignalsDuringTheWaitLoseNothing) {
    // A handler without SA_RESTART, so a signal really interrupts the wait.
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    TempDir directory;
    const Rendezvous waiting(directory);
    std::promise<pthread_t> runner;
    RunOutcome outcome;
    std::thread worker([&] {
        runner.set_value(pthread_self());
        outcome = runShellAs(TaskHandle::makeUnstarted(),
                             "echo first; " + waiting.mark() + "; sleep 0.5; echo second");
    });
    const pthread_t thread = runner.get_future().get();
    waiting.wait();
    for (int i = 0; i < 20; ++i) {
        pthread_kill(thread, SIGUSR1);
    }
    worker.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_FALSE(outcome.error.has_value()) << outcome.what();
    EXPECT_EQ(outcome.output, "first\nsecond\n");
}

TEST_F(RunnerStall, LateStandardErrorFromABackgroundChildIsInTheFailure) {
    // The command fails at once and its own standard output closes with it; the
    // background child keeps only standard error and writes the reason within
    // the drain window. A grandchild that lets go in time changes nothing either.
    const RunOutcome failed =
        runShellAs(TaskHandle::makeUnstarted(),
                   "(sleep 0.3; echo 'disk0s1 is busy' >&2) >/dev/null & echo early; exit 3");
    ASSERT_TRUE(failed.error.has_value());
    EXPECT_EQ(failed.error->code(), 3);
    EXPECT_EQ(failed.error->message(), "disk0s1 is busy\nearly");

    const RunOutcome succeeded =
        runShellAs(TaskHandle::makeUnstarted(), "(sleep 0.3; echo late) & echo early");
    EXPECT_EQ(succeeded.output, "early\nlate\n") << succeeded.what();
}

TEST_F(RunnerConcurrency, AlreadyCancelledTaskStartsNothing) {
    TempDir directory;
    const auto marker = directory.path() / "started";
    const TaskHandle handle = TaskHandle::makeUnstarted();
    handle.cancel();
    EXPECT_TRUE(runShellAs(handle, "touch " + marker.string()).cancelled);
    EXPECT_FALSE(std::filesystem::exists(marker));
    // Cancellation comes before the time-out check.
    EXPECT_TRUE(runShellAs(handle, "true", -1.0).cancelled);
}

TEST_F(RunnerConcurrency, CancellationWhileDrainingStopsWaitingForTheGrandchild) {
    // The shell exits at once; its grandchild keeps the pipes for 30 s.
    TempDir directory;
    const Rendezvous started(directory);
    const auto pidFile = directory.path() / "grandchild";
    const TaskHandle handle = TaskHandle::makeUnstarted();
    auto running = std::async(std::launch::async, [&] {
        return runShellAs(handle,
                          "sleep 30 & echo $! > " + pidFile.string() + "; " + started.mark(), 30.0);
    });
    started.wait();
    // Once the runner has reaped the shell it is draining.
    for (int i = 0; i < 1000 && childProcessCount() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto cancelled = std::chrono::steady_clock::now();
    handle.cancel();
    const RunOutcome outcome = running.get();
    pid_t grandchild = 0;
    std::ifstream(pidFile) >> grandchild;
    if (grandchild > 0) {
        kill(grandchild, SIGKILL);
    }
    EXPECT_TRUE(outcome.cancelled) << outcome.what();
    // Not the drain window's time-out either.
    EXPECT_LT(outcome.returned - cancelled, kDrainWindow);
}

// Many runs of every kind on four threads: each gives its own answer, and the
// fixture checks that descriptors, children and threads are as they were.
TEST_F(RunnerConcurrency, ThousandsOfMixedRunsLeakNothing) {
    constexpr int kRuns = 2000;
    std::atomic<int> next{0};
    std::atomic<int> unexpected{0};
    const auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        for (int run = next++; run < kRuns; run = next++) {
            const TaskHandle handle = TaskHandle::makeUnstarted();
            RunOutcome r;
            bool ok = false;
            if (run % 10 == 6) { // failure with output on both streams
                r = runShellAs(handle, "echo out; echo err >&2; exit 7");
                ok = r.error && r.error->code() == 7 && r.error->message() == "err\nout";
            } else if (run % 10 == 7) { // time-out
                r = runShellAs(handle, "exec sleep 10", 0.01);
                ok = r.error && r.error->code() == 124;
            } else if (run % 10 == 8) { // cancellation at a random point of the run
                std::thread canceller([&, delay = random() % 3000] {
                    std::this_thread::sleep_for(std::chrono::microseconds(delay));
                    handle.cancel();
                });
                ok = runShellAs(handle, "exec sleep 10").cancelled;
                canceller.join();
            } else if (run % 10 == 9) { // a launch failure
                ok = errorText([] {
                         runProcessData("/nonexistent", {}, tesselwick::Seconds(10.0));
                     }).starts_with("NSPOSIXErrorDomain " + std::to_string(ENOENT) + ": ");
            } else { // success
                ok = runProcessData("/bin/echo", {std::to_string(run)},
                                    tesselwick::Seconds(10.0)) == std::to_string(run) + "\n";
            }
            unexpected += ok ? 0 : 1;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < 4; ++w) {
        threads.emplace_back(worker, 1234u + w);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(unexpected.load(), 0);
}
