// macOS: one kqueue per run watches both read ends (EVFILT_READ), the child's
// exit (EVFILT_PROC / NOTE_EXIT) and cancellation (EVFILT_USER); spawning
// closes every descriptor not set up by the file actions through the
// POSIX_SPAWN_CLOEXEC_DEFAULT flag.
//
// Written from Apple's kqueue(2)/kevent(2), posix_spawn(2),
// posix_spawnattr_setflags(3) and posix_spawn_file_actions_addclose(3)
// documentation; it cannot be compiled on our Linux machines, so keep it small
// and keep the runner's rules in ProcessRunner.cpp, where the Linux build
// tests them. Facts relied on:
// - Registering EVFILT_PROC for a process that has already exited (a zombie
//   included) fails with ESRCH: that reads as "ended".
// - A failed change is returned in the event list with EV_ERROR and the error
//   number in `data` when the list has room, and kevent returns at once.
// - Closing a descriptor removes its knotes, so a finished reader needs no
//   EV_DELETE; re-adding a knote that exists only updates it.
// - The pid stays ours until waitpid, so kill() by pid cannot reach another
//   process.
#include "process/ChildWatch.h"

#include <cerrno>
#include <csignal>
#include <cstdint>

#include <fcntl.h>
#include <sys/event.h>
#include <sys/time.h>
#include <unistd.h>

namespace tesselwick::process::detail {

namespace {

constexpr std::uintptr_t kCancellationIdent = 1;

// Registers changes only (no events wanted), retrying an interrupted call.
int applyChange(int queue, const struct kevent& change) {
    int result;
    do {
        result = kevent(queue, &change, 1, nullptr, 0, nullptr);
    } while (result < 0 && errno == EINTR);
    return result;
}

bool setDescriptorFlag(int fd, int flag) {
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags | flag) == 0;
}

} // namespace

Pipe makePipe([[maybe_unused]] bool largeCapacity) {
    // There is no pipe2 here, so close-on-exec is set right after creation.
    // Our own spawns close everything by default, so the short window only
    // matters to code elsewhere in the process that forks.
    int fds[2];
    if (pipe(fds) != 0) {
        throw posixError(errno, "Could not create a command pipe");
    }
    Pipe pipe{FileDescriptor(moveAboveStdio(fds[0])), FileDescriptor(moveAboveStdio(fds[1]))};
    if (!pipe.read.isOpen() || !pipe.write.isOpen()) {
        throw posixError(errno, "Could not create a command pipe");
    }
    if (!setDescriptorFlag(pipe.read.fd(), FD_CLOEXEC) ||
        !setDescriptorFlag(pipe.write.fd(), FD_CLOEXEC)) {
        throw posixError(errno, "Could not configure a command pipe");
    }
    // Pipes grow on demand here; there is no capacity to ask for.
    // Only the parent's end is non-blocking; the child's stays blocking.
    const int flags = fcntl(pipe.read.fd(), F_GETFL);
    if (flags < 0 || fcntl(pipe.read.fd(), F_SETFL, flags | O_NONBLOCK) != 0) {
        throw posixError(errno, "Could not configure a command pipe");
    }
    return pipe;
}

int closeOthersInChild(posix_spawn_file_actions_t& /*actions*/, short& flags) {
    // Only descriptors created by the file actions (0-2) reach the child.
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
    return 0;
}

ExitHandle::ExitHandle(pid_t pid) : pid_(pid), handle_(kqueue()) {
    if (!handle_.isOpen()) {
        openError_ = errno;
        return;
    }
    struct kevent change;
    EV_SET(&change, static_cast<std::uintptr_t>(pid), EVFILT_PROC, EV_ADD | EV_CLEAR, NOTE_EXIT, 0,
           nullptr);
    if (applyChange(handle_.fd(), change) != 0) {
        if (errno == ESRCH) {
            ended_ = true;
        } else {
            openError_ = errno;
        }
    }
}

bool ExitHandle::waitEnded(Clock::time_point deadline) {
    while (!ended_) {
        const WaitTimeout timeout(deadline);
        struct kevent event;
        const int ready = kevent(handle_.fd(), nullptr, 0, &event, 1, timeout.get());
        if (ready > 0) {
            ended_ = true;
        } else if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool ExitHandle::signal(int signo) const {
    return kill(pid_, signo) == 0;
}

EventLoop::EventLoop() : handle_(kqueue()) {
    if (!handle_.isOpen()) {
        throw posixError(errno, "Could not create a cancellation handle");
    }
    struct kevent change;
    EV_SET(&change, kCancellationIdent, EVFILT_USER, EV_ADD | EV_CLEAR, 0, 0, nullptr);
    if (applyChange(handle_.fd(), change) != 0) {
        throw posixError(errno, "Could not create a cancellation handle");
    }
    registration_ = task::onCancel([queue = handle_.fd()] {
        struct kevent trigger;
        EV_SET(&trigger, kCancellationIdent, EVFILT_USER, 0, NOTE_TRIGGER, 0, nullptr);
        applyChange(queue, trigger);
    });
}

EventLoop::~EventLoop() = default;

WaitResult EventLoop::wait(ExitHandle* exit, int outputFd, int errorFd,
                           Clock::time_point deadline) {
    // The watched set shrinks as readers finish and the child exits; adding
    // in the same call as the wait keeps it one system call.
    // EV_SET is a macro: no side effects in its arguments.
    struct kevent changes[3];
    int changeCount = 0;
    const auto add = [&](std::uintptr_t ident, std::int16_t filter, std::uint16_t flags,
                         std::uint32_t notes) {
        EV_SET(&changes[changeCount], ident, filter, flags, notes, 0, nullptr);
        ++changeCount;
    };
    if (exit) {
        add(static_cast<std::uintptr_t>(exit->pid()), EVFILT_PROC, EV_ADD | EV_CLEAR, NOTE_EXIT);
    }
    if (outputFd >= 0) {
        add(static_cast<std::uintptr_t>(outputFd), EVFILT_READ, EV_ADD, 0);
    }
    if (errorFd >= 0) {
        add(static_cast<std::uintptr_t>(errorFd), EVFILT_READ, EV_ADD, 0);
    }

    WaitResult result;
    struct kevent events[4];
    const WaitTimeout timeout(deadline);
    const int ready = kevent(handle_.fd(), changes, changeCount, events, 4, timeout.get());
    if (ready < 0) {
        result.failed = errno != EINTR;
        return result;
    }
    for (int i = 0; i < ready; ++i) {
        const struct kevent& event = events[i];
        if ((event.flags & EV_ERROR) != 0) {
            if (event.filter == EVFILT_PROC && event.data == ESRCH) {
                result.exited = true; // ended before it could be watched
            } else if (event.data != 0) {
                result.failed = true;
            }
            continue;
        }
        if (event.filter == EVFILT_USER) {
            result.cancelled = true;
        } else if (event.filter == EVFILT_PROC) {
            result.exited = true;
        } else if (event.filter == EVFILT_READ) {
            const int fd = static_cast<int>(event.ident);
            result.outputReadable = result.outputReadable || fd == outputFd;
            result.errorReadable = result.errorReadable || fd == errorFd;
        }
    }
    return result;
}

} // namespace tesselwick::process::detail
