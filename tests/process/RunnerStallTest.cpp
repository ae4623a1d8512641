// The runner against children that stall with a full pipe, signals arriving while
// it waits, and standard error that comes late from a background child.

#include "process/ProcessRunner.h"
#include "process/ProcessTestSupport.h"
#include "support/Task.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <future>
#include <thread>

#include <pthread.h>
#include <sys/stat.h>

using namespace tesselwick;
using namespace tesselwick::process;
using namespace tesselwick::testing;
using Clock = std::chrono::steady_clock;

namespace {

// Generous on purpose: each case would otherwise wait for a 30-second sleep.
constexpr double kReturnBound = 10.0;

struct Outcome {
    std::string output;
    std::optional<DomainError> error;
    bool cancelled = false;
    double seconds = 0;
};

Outcome run(const TaskHandle& handle, const std::string& script, double timeout) {
    task::CurrentTaskScope scope(handle);
    Outcome outcome;
    const auto start = Clock::now();
    try {
        outcome.output = runProcessData("/bin/sh", {"-c", script}, timeout);
    } catch (const CancellationError&) {
        outcome.cancelled = true;
    } catch (const DomainError& error) {
        outcome.error = error;
    }
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return outcome;
}

// A named pipe the child writes one line to when it reaches a given point; the
// test blocks on it instead of guessing with sleeps.
class Rendezvous {
public:
    explicit Rendezvous(const TemporaryDirectory& directory)
        : path_((directory.path() / "reached").string()) {
        EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0);
    }
    // Shell text that marks the point in the child.
    std::string mark() const { return "echo >" + path_; }
    // Returns once the child reached the point.
    void wait() const {
        std::ifstream fifo(path_);
        std::string line;
        std::getline(fifo, line);
    }

private:
    std::string path_;
};

class RunnerStall : public ::testing::Test {
protected:
    void SetUp() override {
        std::thread([] {}).join();
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

void ignoreSignal(int) {}

} // namespace

TEST_F(RunnerStall, FullPipeThenSilenceStillEndsOnTimeOutAndCancellation) {
    const std::string fill = std::to_string(kReadChunkSize); // one pipe buffer on Linux
    const struct {
        const char* name;
        std::string writer;
    } writers[] = {
        // exactly one buffer on standard output, then nothing
        {"stdout", "head -c " + fill + " /dev/zero"},
        // exactly one buffer on standard error, then nothing
        {"stderr", "head -c " + fill + " /dev/zero >&2"},
        // one byte more than a buffer, so the writer may block in write()
        {"stdout+1", "head -c " + std::to_string(kReadChunkSize + 1) + " /dev/zero"},
    };
    for (const auto& w : writers) {
        SCOPED_TRACE(w.name);
        const Outcome timedOut =
            run(TaskHandle::makeUnstarted(), w.writer + "; exec sleep 30", 0.3);
        ASSERT_TRUE(timedOut.error.has_value());
        EXPECT_EQ(timedOut.error->code(), 124) << timedOut.error->message();
        EXPECT_LT(timedOut.seconds, kReturnBound);

        TemporaryDirectory directory;
        const Rendezvous filled(directory);
        const TaskHandle handle = TaskHandle::makeUnstarted();
        auto running = std::async(std::launch::async, [&] {
            return run(handle, w.writer + "; " + filled.mark() + "; exec sleep 30", 30.0);
        });
        filled.wait();
        handle.cancel();
        const Outcome cancelled = running.get();
        EXPECT_TRUE(cancelled.cancelled) << (cancelled.error ? cancelled.error->message() : "");
        EXPECT_LT(cancelled.seconds, kReturnBound);
    }
}

TEST_F(RunnerStall, SignalsDuringTheWaitLoseNothing) {
    // A handler without SA_RESTART, so a signal really interrupts the wait.
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    TemporaryDirectory directory;
    const Rendezvous waiting(directory);
    std::promise<pthread_t> runner;
    std::thread worker;
    Outcome outcome;
    worker = std::thread([&] {
        runner.set_value(pthread_self());
        outcome = run(TaskHandle::makeUnstarted(),
                      "echo first; " + waiting.mark() + "; sleep 0.5; echo second", 10.0);
    });
    const pthread_t thread = runner.get_future().get();
    waiting.wait();
    for (int i = 0; i < 20; ++i) {
        pthread_kill(thread, SIGUSR1);
    }
    worker.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_FALSE(outcome.error.has_value()) << outcome.error->message();
    EXPECT_EQ(outcome.output, "first\nsecond\n");
}

TEST_F(RunnerStall, LateStandardErrorFromABackgroundChildIsInTheFailure) {
    // The command fails at once; its background child writes the reason within
    // the drain window, after the command itself has exited.
    const Outcome outcome =
        run(TaskHandle::makeUnstarted(),
            "(sleep 0.3; echo 'disk0s1 is busy' >&2) & echo early; exit 3", 10.0);
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code(), 3);
    EXPECT_EQ(outcome.error->message(), "disk0s1 is busy\nearly");
}
