#include "process/ProcessRunner.h"
#include "process/ProcessTestSupport.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <future>
#include <random>
#include <thread>
#include <vector>

using namespace tesselwick;
using namespace tesselwick::process;
using namespace tesselwick::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

enum class Outcome { output, cancelled, error };

struct Result {
    Outcome outcome = Outcome::error;
    std::string output;
    std::int64_t code = 0;
    std::string message;
    Clock::time_point returned;
};

// Runs one command as the given task on the calling thread.
Result runAs(const TaskHandle& handle, const std::string& path,
             const std::vector<std::string>& arguments, double timeout) {
    task::CurrentTaskScope scope(handle);
    Result result;
    try {
        result.output = runProcessData(path, arguments, timeout);
        result.outcome = Outcome::output;
    } catch (const CancellationError&) {
        result.outcome = Outcome::cancelled;
    } catch (const DomainError& error) {
        result.code = error.code();
        result.message = error.message();
    }
    result.returned = Clock::now();
    return result;
}

// Runs the command on a worker thread, cancels it after `delay` and returns
// the result with the instant of the cancellation.
std::pair<Result, Clock::time_point> cancelAfter(std::chrono::milliseconds delay,
                                                 const std::string& path,
                                                 const std::vector<std::string>& arguments,
                                                 double timeout = 30.0) {
    const TaskHandle handle = TaskHandle::makeUnstarted();
    auto running =
        std::async(std::launch::async, [&] { return runAs(handle, path, arguments, timeout); });
    std::this_thread::sleep_for(delay);
    const auto cancelled = Clock::now();
    handle.cancel();
    return {running.get(), cancelled};
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

class RunnerConcurrency : public ::testing::Test {
protected:
    void SetUp() override {
        // Sanitizer runtimes start a helper thread with the first thread the
        // process creates; let that happen before taking the baseline.
        std::thread([] {}).join();
        descriptors_ = openDescriptorCount();
        children_ = childProcessCount();
        threads_ = settledThreadCount(threadCount());
    }
    void TearDown() override {
        EXPECT_EQ(openDescriptorCount(), descriptors_);
        EXPECT_EQ(childProcessCount(), children_);
        EXPECT_EQ(settledThreadCount(threads_), threads_);
    }

private:
    int descriptors_ = 0;
    int children_ = 0;
    int threads_ = 0;
};

} // namespace

TEST_F(RunnerConcurrency, AlreadyCancelledTaskStartsNothing) {
    TemporaryDirectory directory;
    const auto marker = directory.path() / "started";
    const TaskHandle handle = TaskHandle::makeUnstarted();
    handle.cancel();
    const Result result = runAs(handle, "/usr/bin/touch", {marker.string()}, 5.0);
    EXPECT_EQ(result.outcome, Outcome::cancelled);
    EXPECT_FALSE(std::filesystem::exists(marker));
    // Cancellation comes before the time-out check.
    EXPECT_EQ(runAs(handle, "/bin/true", {}, -1.0).outcome, Outcome::cancelled);
}

TEST_F(RunnerConcurrency, CancellationIsNoticedAtOnceAndEndsTheChild) {
    struct Case {
        std::vector<std::string> arguments;
        double maximum; // seconds from cancel to return
    } cases[] = {
        // a child that ends on the polite request
        {{"-c", "exec sleep 30"}, 0.25},
        // a child ignoring it is killed after the grace period
        {{"-c", "trap '' TERM; exec sleep 30"}, kTerminateGraceSeconds + 0.25},
    };
    for (const auto& c : cases) {
        const auto [result, cancelled] = cancelAfter(150ms, "/bin/sh", c.arguments);
        EXPECT_EQ(result.outcome, Outcome::cancelled) << result.message;
        EXPECT_LT(seconds(result.returned - cancelled), c.maximum);
        EXPECT_EQ(childProcessCount(), 0);
    }
}

TEST_F(RunnerConcurrency, CancellationWhileDrainingStopsWaitingForTheGrandchild) {
    TemporaryDirectory directory;
    const auto pidFile = directory.path() / "grandchild";
    const auto [result, cancelled] =
        cancelAfter(300ms, "/bin/sh", {"-c", "sleep 30 & echo $! > " + pidFile.string()});
    pid_t grandchild = 0;
    std::ifstream(pidFile) >> grandchild;
    if (grandchild > 0) {
        kill(grandchild, SIGKILL);
    }
    EXPECT_EQ(result.outcome, Outcome::cancelled) << result.message;
    EXPECT_LT(seconds(result.returned - cancelled), 0.25);
}

// Many runs of every kind leave descriptors, children and threads as they
// were; checked by the fixture around the test.
TEST_F(RunnerConcurrency, FiveThousandMixedRunsLeakNothing) {
    constexpr int kWorkers = 4;
    constexpr int kRuns = 5000;
    std::atomic<int> next{0};
    std::atomic<int> outputs{0};
    std::atomic<int> failures{0};
    std::atomic<int> timeouts{0};
    std::atomic<int> cancellations{0};
    std::atomic<int> unexpected{0};

    const auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        for (int run = next++; run < kRuns; run = next++) {
            switch (run % 10) {
            case 6: { // failure with output on both streams
                const Result r = runAs(TaskHandle::makeUnstarted(), "/bin/sh",
                                       {"-c", "echo out; echo err >&2; exit 7"}, 10.0);
                (r.code == 7 && r.message == "err\nout" ? failures : unexpected)++;
                break;
            }
            case 7: { // time-out
                const Result r = runAs(TaskHandle::makeUnstarted(), "/bin/sleep", {"10"}, 0.01);
                (r.code == 124 ? timeouts : unexpected)++;
                break;
            }
            case 8: { // cancellation at a random point of the run
                const TaskHandle handle = TaskHandle::makeUnstarted();
                std::thread canceller([&, delay = random() % 3000] {
                    std::this_thread::sleep_for(std::chrono::microseconds(delay));
                    handle.cancel();
                });
                const Result r = runAs(handle, "/bin/sleep", {"10"}, 10.0);
                canceller.join();
                (r.outcome == Outcome::cancelled ? cancellations : unexpected)++;
                break;
            }
            case 9: { // a launch failure
                const Result r = runAs(TaskHandle::makeUnstarted(), "/nonexistent", {}, 10.0);
                (r.code == ENOENT ? failures : unexpected)++;
                break;
            }
            default: { // success
                const Result r =
                    runAs(TaskHandle::makeUnstarted(), "/bin/echo", {std::to_string(run)}, 10.0);
                (r.output == std::to_string(run) + "\n" ? outputs : unexpected)++;
            }
            }
        }
    };
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) {
        threads.emplace_back(worker, 1234u + static_cast<unsigned>(w));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(outputs.load(), kRuns * 6 / 10);
    EXPECT_EQ(failures.load(), kRuns * 2 / 10);
    EXPECT_EQ(timeouts.load(), kRuns / 10);
    EXPECT_EQ(cancellations.load(), kRuns / 10);
}
