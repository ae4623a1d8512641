#include "process/ProcessRunner.h"

#include "diagnostics/Diagnostics.h"
#include "process/ChildWatch.h"
#include "process/CommandRunner.h"
#include "support/ExitCodes.h"
#include "support/FileDescriptor.h"
#include "support/Task.h"
#include "support/Text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tesselwick::process {

using detail::Clock;
using detail::posixError;

namespace detail {

DomainError posixError(int error, const std::string& context) {
    return DomainError("NSPOSIXErrorDomain", error, context + ": " + std::strerror(error));
}

int moveAboveStdio(int fd) {
    if (fd > 2) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

} // namespace detail

namespace {

// `span` from now, saturating instead of overflowing for huge time-outs.
Clock::time_point deadlineAfter(Seconds span) {
    const Clock::time_point now = Clock::now();
    const Seconds room = Seconds(Clock::time_point::max() - now) / 2;
    if (span >= room) {
        return Clock::time_point::max();
    }
    return now + std::chrono::duration_cast<Clock::duration>(span);
}

// ---------------------------------------------------------------------------
// The child

// A started child with its exit handle. It is always reaped: normally by the
// runner, and if the runner had to give up on a child it could not confirm
// ended, by a small waiter that outlives the call.
class ChildProcess {
public:
    // `exit` must have opened (openError() == 0), or failed with ESRCH: the
    // child has then already ended and been reaped by someone else, and is
    // never signalled (its pid may belong to another process by now).
    explicit ChildProcess(detail::ExitHandle& exit) : exit_(exit) {
        reaped_ = exit_.openError() == ESRCH;
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    ~ChildProcess() {
        if (reaped_) {
            return;
        }
        if (hasExited()) {
            reap();
            return;
        }
        // Reached when the runner gave up on the child (the error says so)
        // or unwound past it: make sure it ends, and reap it without
        // blocking the caller.
        signal(SIGKILL);
        std::thread([pid = exit_.pid()] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }

    detail::ExitHandle& exitHandle() { return exit_; }

    // Non-blocking: whether the child has ended (and then reaps it).
    bool hasExited() {
        if (reaped_) {
            return true;
        }
        return waitExit(Clock::now());
    }

    // Waits until the child ends or the deadline passes.
    bool waitExit(Clock::time_point deadline) {
        if (reaped_) {
            return true;
        }
        if (exit_.waitEnded(deadline)) {
            reap();
            return true;
        }
        return false;
    }

    bool signal(int signo) const { return exit_.signal(signo); }

    // The exit status; for a child ended by a signal, the signal's number.
    // Empty when the child was reaped elsewhere (SIGCHLD ignored, or
    // SA_NOCLDWAIT): nothing then tells how it ended.
    std::optional<int> status() const { return status_; }

    void reap() {
        if (reaped_) {
            return;
        }
        int raw = 0;
        pid_t result;
        do {
            result = waitpid(exit_.pid(), &raw, 0);
        } while (result < 0 && errno == EINTR);
        reaped_ = true;
        if (result == exit_.pid()) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? WTERMSIG(raw) : raw;
        }
    }

private:
    detail::ExitHandle& exit_;
    bool reaped_ = false;
    std::optional<int> status_;
};

// Polite termination first, then the kill signal; true when the child is
// confirmed gone.
bool terminateProcess(ChildProcess& child) {
    if (child.hasExited()) {
        return true;
    }
    child.signal(SIGTERM);
    if (child.waitExit(deadlineAfter(kTerminateGrace))) {
        return true;
    }
    if (!child.signal(SIGKILL) && !child.hasExited()) {
        return false;
    }
    return child.waitExit(deadlineAfter(kKillWait));
}

// ---------------------------------------------------------------------------
// Output capture

// One stream's read end and what was kept of it. Reading stops at end of
// data, a read error or when the runner closes the read end; bytes beyond the
// limit are read and dropped so the child never blocks on a full pipe.
class PipeReader {
public:
    static constexpr int kChunksPerWake = 16;

    PipeReader(FileDescriptor handle, std::size_t limit)
        : handle_(std::move(handle)), limit_(limit) {}

    bool finished() const { return !handle_.isOpen(); }
    int fd() const { return handle_.fd(); }

    // Reads what the pipe holds after the poll loop saw it ready, in chunks,
    // up to a bound so the other stream and cancellation are not starved.
    void readAvailable(std::array<char, kReadChunkSize>& scratch) {
        for (int chunk = 0; chunk < kChunksPerWake; ++chunk) {
            const ssize_t count = ::read(handle_.fd(), scratch.data(), scratch.size());
            if (count > 0) {
                keep(std::string_view(scratch.data(), static_cast<std::size_t>(count)));
                if (static_cast<std::size_t>(count) < scratch.size()) {
                    return; // drained for now
                }
                continue;
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0 && errno == EAGAIN) {
                return;
            }
            hadReadError_ = hadReadError_ || count < 0;
            finish();
            return;
        }
    }

    // Ends reading; false when the read end did not close cleanly.
    bool finish() {
        const bool closed = handle_.close();
        hadReadError_ = hadReadError_ || !closed;
        return closed;
    }

    std::string& bytes() { return bytes_; }
    bool wasTruncated() const { return wasTruncated_; }
    bool hadReadError() const { return hadReadError_; }

private:
    void keep(std::string_view chunk) {
        const std::size_t room = limit_ - bytes_.size();
        const std::size_t taken = std::min(room, chunk.size());
        if (taken > 0) {
            if (bytes_.capacity() < bytes_.size() + taken) {
                // A small first reservation keeps trivial commands cheap; past
                // it, one reservation of the whole limit avoids the doubling
                // copies that would briefly hold twice the data.
                bytes_.reserve(bytes_.capacity() == 0 ? std::min(limit_, kInitialReservation)
                                                      : limit_);
            }
            bytes_.append(chunk.substr(0, taken));
        }
        if (chunk.size() > room) {
            wasTruncated_ = true;
        }
    }

    FileDescriptor handle_;
    std::size_t limit_;
    std::string bytes_;
    bool wasTruncated_ = false;
    bool hadReadError_ = false;
};

struct SpawnFileActions {
    posix_spawn_file_actions_t actions;
    SpawnFileActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

} // namespace

int detail::spawnChild(const std::string& executablePath, const std::vector<std::string>& arguments,
                       int stdoutWrite, int stderrWrite, pid_t& pid) {
    SpawnFileActions files;
    int rc = posix_spawn_file_actions_adddup2(&files.actions, stdoutWrite, STDOUT_FILENO);
    if (rc == 0) {
        rc = posix_spawn_file_actions_adddup2(&files.actions, stderrWrite, STDERR_FILENO);
    }
    if (rc == 0) {
        rc = posix_spawn_file_actions_addopen(&files.actions, STDIN_FILENO, "/dev/null", O_RDONLY,
                                              0);
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (rc == 0) {
        rc = detail::closeOthersInChild(files.actions, flags);
    }
    if (rc != 0) {
        return rc;
    }

    SpawnAttributes attributes;
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes.attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes.attributes, &signals);
    posix_spawnattr_setflags(&attributes.attributes, flags);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executablePath.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return posix_spawn(&pid, executablePath.c_str(), &files.actions, &attributes.attributes,
                       argv.data(), environ);
}

void restoreDefaultChildSignal() {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    sigaction(SIGCHLD, &defaults, nullptr);
}

namespace {

// Every step is attempted (the list is evaluated in full) before judging.
bool allSucceeded(std::initializer_list<bool> steps) {
    return std::all_of(steps.begin(), steps.end(), [](bool ok) { return ok; });
}

[[noreturn]] void throwStop(StopReason reason, const std::string& description, bool childGone,
                            bool readersClosed) {
    if (auto error = stopOutcome(reason, description, childGone, readersClosed)) {
        throw *error;
    }
    throw CancellationError();
}

} // namespace

std::string runProcessData(const std::string& executablePath,
                           const std::vector<std::string>& arguments, Seconds timeout) {
    const std::string description = commandDescription(executablePath, arguments);
    const Clock::time_point started = Clock::now();
    TW_LOG("Process start timeout=" + text::formatDouble(timeout.count()) +
           "s command=" + description);

    task::checkCancellation();
    if (!std::isfinite(timeout.count()) || !(timeout > Seconds::zero())) {
        throw commandError(exitcode::kUsage,
                           "Invalid command timeout: " + text::formatDouble(timeout.count()));
    }

    detail::EventLoop events;
    detail::Pipe standardOutput = detail::makePipe(true);
    detail::Pipe standardError = detail::makePipe(false);

    pid_t pid = 0;
    const int spawnError = detail::spawnChild(executablePath, arguments, standardOutput.write.fd(),
                                              standardError.write.fd(), pid);
    if (spawnError != 0) {
        const bool closedAll =
            allSucceeded({standardOutput.read.close(), standardError.read.close(),
                          standardOutput.write.close(), standardError.write.close()});
        DomainError launchError = posixError(spawnError, "Could not launch " + executablePath);
        if (closedAll) {
            throw launchError;
        }
        throw commandError(exitcode::kIOError,
                           "The command could not start and one or more pipe handles could not "
                           "be closed: " +
                               description + ".",
                           std::make_exception_ptr(launchError));
    }

    detail::ExitHandle exitHandle(pid);
    if (const int error = exitHandle.openError(); error != 0 && error != ESRCH) {
        // Without an exit handle the child cannot be watched: end it now.
        kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        throw posixError(error, "Could not watch " + executablePath);
    }
    ChildProcess child(exitHandle);

    const bool stdoutWriteClosed = standardOutput.write.close();
    const bool stderrWriteClosed = standardError.write.close();
    if (!stdoutWriteClosed || !stderrWriteClosed) {
        const bool childGone = terminateProcess(child);
        const bool readersClosed =
            allSucceeded({standardOutput.read.close(), standardError.read.close()});
        std::string message = "Could not close the parent command pipes: " + description + ".";
        if (!childGone) {
            message += " The launched command could not be confirmed terminated.";
        }
        if (!readersClosed) {
            message += " One or more command reader handles could not be closed.";
        }
        throw commandError(exitcode::kIOError, std::move(message));
    }

    PipeReader outputReader(std::move(standardOutput.read), kStandardOutputLimit);
    PipeReader errorReader(std::move(standardError.read), kStandardErrorLimit);
    const auto closeReaders = [&] {
        return allSucceeded({outputReader.finish(), errorReader.finish()});
    };

    std::array<char, kReadChunkSize> scratch;
    const Clock::time_point deadline = deadlineAfter(timeout);
    bool exited = child.hasExited();
    bool draining = false;
    Clock::time_point drainDeadline{};

    // One loop watches both read ends, the exit handle and the cancellation
    // wake against one absolute deadline: first the command's own, then,
    // once the child has exited, the drain window.
    while (true) {
        if (exited && outputReader.finished() && errorReader.finished()) {
            break;
        }
        if (task::isCancelled()) {
            if (!exited) {
                const bool childGone = terminateProcess(child);
                throwStop(StopReason::cancelledWhileRunning, description, childGone,
                          closeReaders());
            }
            throwStop(StopReason::cancelledWhileDraining, description, true, closeReaders());
        }
        if (!exited && Clock::now() >= deadline) {
            // The exit may have raced the deadline; such a child counts as
            // exited normally.
            if (child.hasExited()) {
                exited = true;
            } else {
                const bool childGone = terminateProcess(child);
                throwStop(StopReason::timedOut, description, childGone, closeReaders());
            }
        }
        if (exited && !draining) {
            draining = true;
            drainDeadline = deadlineAfter(kDrainWindow);
            continue;
        }
        if (draining && Clock::now() >= drainDeadline) {
            // A grandchild still holds the pipes: stop reading. Closing a read
            // end ends its reading at once, so only the close itself can fail.
            throwStop(StopReason::drainTimedOut, description, true, closeReaders());
        }

        const detail::WaitResult ready =
            events.wait(exited ? nullptr : &child.exitHandle(), outputReader.fd(), errorReader.fd(),
                        draining ? drainDeadline : deadline);
        if (ready.failed) {
            // Cannot wait any more: treat it like running out of time.
            if (!exited) {
                const bool childGone = terminateProcess(child);
                throwStop(StopReason::timedOut, description, childGone, closeReaders());
            }
            throwStop(StopReason::drainTimedOut, description, true, closeReaders());
        }
        if (ready.outputReadable) {
            outputReader.readAvailable(scratch);
        }
        if (ready.errorReadable) {
            errorReader.readAvailable(scratch);
        }
        if (ready.exited) {
            child.reap();
            exited = true;
        }
    }

    ProcessOutputSnapshot output;
    output.standardOutput = std::move(outputReader.bytes());
    output.standardError = std::move(errorReader.bytes());
    output.standardOutputWasTruncated = outputReader.wasTruncated();
    output.standardErrorWasTruncated = errorReader.wasTruncated();
    output.standardOutputHadReadError = outputReader.hadReadError();
    output.standardErrorHadReadError = errorReader.hadReadError();

    const std::optional<int> status = child.status();
    if (auto error = exitOutcome(output, status, description)) {
        throw *error;
    }
    TW_LOG([&] {
        const double elapsed =
            static_cast<double>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started)
                    .count()) /
            1e9;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", elapsed);
        return "Process success status=" + std::to_string(*status) +
               " bytes=" + std::to_string(output.standardOutput.size()) + " elapsed=" + seconds +
               "s command=" + description;
    }());
    return std::move(output.standardOutput);
}

CommandRunner systemCommandRunner() {
    return [](const std::string& executablePath, const std::vector<std::string>& arguments,
              Seconds timeout) { return runProcessData(executablePath, arguments, timeout); };
}

} // namespace tesselwick::process
