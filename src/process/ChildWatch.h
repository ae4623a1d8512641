#pragma once

// The few operating-system facilities the command runner needs, kept apart so
// the runner's own rules (caps, deadlines, drain window, terminate-then-kill,
// outcomes) exist once. ChildWatchLinux.cpp and ChildWatchMac.cpp implement
// this header; CMake compiles exactly one of them. Internal to src/process.

#include "support/Errors.h"
#include "support/FileDescriptor.h"
#include "support/Task.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/types.h>

namespace tesselwick::process::detail {

using Clock = std::chrono::steady_clock;

// Remaining time to `deadline` for a system wait; `get()` is nullptr for no
// limit. The pointer is computed on use, so copies of the value stay valid.
class WaitTimeout {
public:
    explicit WaitTimeout(Clock::time_point deadline) {
        if (deadline == Clock::time_point::max()) {
            return;
        }
        const auto remaining = std::max(Clock::duration::zero(), deadline - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining).count();
        value_.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        value_.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        limited_ = true;
    }
    const timespec* get() const { return limited_ ? &value_ : nullptr; }

private:
    timespec value_{};
    bool limited_ = false;
};

// Shared by both systems (ProcessRunner.cpp).
DomainError posixError(int error, const std::string& context);
// Moves a new descriptor to 3 or above (closing the original), so the child's
// file actions can never clobber a pipe end that sits at 0-2 when the parent
// runs without standard streams. -1 with errno on failure.
int moveAboveStdio(int fd);

// Both ends close-on-exec and above descriptors 0-2; only the read end is
// non-blocking. `largeCapacity` asks for a bigger buffer where the system
// allows it (the default size still works when refused).
struct Pipe {
    FileDescriptor read;
    FileDescriptor write;
};
Pipe makePipe(bool largeCapacity);

// Starts the child with standard input from /dev/null, both output pipes, no
// other inherited descriptor, and the default signal mask and dispositions
// (ProcessRunner.cpp). Returns 0 and sets `pid`, or the spawn error number.
int spawnChild(const std::string& executablePath, const std::vector<std::string>& arguments,
               int stdoutWrite, int stderrWrite, pid_t& pid);

// The system's part of spawnChild: makes every descriptor the file actions do
// not set up (0-2) closed in the child, through the actions or the spawn
// flags. Returns 0 or an error number.
int closeOthersInChild(posix_spawn_file_actions_t& actions, short& flags);

// A handle that becomes ready when one child ends. The child is not reaped by
// it: the pid stays ours until waitpid, so signalling it by pid or handle
// cannot reach another process.
class ExitHandle {
public:
    explicit ExitHandle(pid_t pid);

    // Non-zero (an error number) when the child cannot be watched; the caller
    // then still has to end and reap it. ESRCH: the child has already ended
    // and was reaped elsewhere (SIGCHLD ignored); its pid must not be
    // signalled, and its status is lost.
    int openError() const { return openError_; }
    pid_t pid() const { return pid_; }
    int fd() const { return handle_.fd(); }

    // Waits until the child has ended or the deadline passes; true when it has
    // ended. A deadline in the past makes this a non-blocking check.
    bool waitEnded(Clock::time_point deadline);

    bool signal(int signo) const;

private:
    pid_t pid_;
    FileDescriptor handle_;
    int openError_ = 0;
    bool ended_ = false;
};

// What one wait of the runner's loop saw.
struct WaitResult {
    bool failed = false; // the wait itself failed (not interrupted): stop waiting
    bool cancelled = false;
    bool exited = false;
    bool outputReadable = false; // readable, at end of data, or in error
    bool errorReadable = false;
};

// One multiplexer per run: the calling task's cancellation wakes it at once.
class EventLoop {
public:
    EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;
    ~EventLoop();

    // One blocking wait on the cancellation wake, the child's exit (when
    // `exit` is given), and the read ends that are >= 0, until `deadline`
    // (Clock::time_point::max() for none). An interrupted wait returns with
    // nothing seen; the caller re-checks its state and waits again.
    WaitResult wait(ExitHandle* exit, int outputFd, int errorFd, Clock::time_point deadline);

private:
    FileDescriptor handle_;
    // Declared after the descriptor: it is unregistered (waiting for a
    // callback in flight) before the descriptor closes.
    task::CancelRegistration registration_;
};

} // namespace tesselwick::process::detail
