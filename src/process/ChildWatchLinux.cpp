// Linux: pidfd for the child's exit and its signals, eventfd for cancellation,
// ppoll over all of them.
#include "process/ChildWatch.h"

#include <array>
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tesselwick::process::detail {

namespace {

// Standard output carries the tools' data (up to 16 MiB); standard error
// stays at the system's default, which keeps the user's pipe budget small.
constexpr int kStandardOutputPipeCapacity = 1 << 20;

} // namespace

Pipe makePipe(bool largeCapacity) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw posixError(errno, "Could not create a command pipe");
    }
    Pipe pipe{FileDescriptor(moveAboveStdio(fds[0])), FileDescriptor(moveAboveStdio(fds[1]))};
    if (!pipe.read.isOpen() || !pipe.write.isOpen()) {
        throw posixError(errno, "Could not create a command pipe");
    }
    // A larger pipe lets a verbose child write ahead of the poll loop with
    // fewer round trips; the default size still works when this is refused.
    if (largeCapacity) {
        fcntl(pipe.write.fd(), F_SETPIPE_SZ, kStandardOutputPipeCapacity);
    }
    // Only the parent's end is non-blocking; the child's stays blocking.
    const int flags = fcntl(pipe.read.fd(), F_GETFL);
    if (flags < 0 || fcntl(pipe.read.fd(), F_SETFL, flags | O_NONBLOCK) != 0) {
        throw posixError(errno, "Could not configure a command pipe");
    }
    return pipe;
}

int closeOthersInChild(posix_spawn_file_actions_t& actions, short& /*flags*/) {
    return posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

ExitHandle::ExitHandle(pid_t pid)
    : pid_(pid), handle_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {
    if (!handle_.isOpen()) {
        openError_ = errno;
    }
}

bool ExitHandle::waitEnded(Clock::time_point deadline) {
    if (ended_) {
        return true;
    }
    pollfd fd{handle_.fd(), POLLIN, 0};
    while (true) {
        const WaitTimeout timeout(deadline);
        const int ready = ppoll(&fd, 1, timeout.get(), nullptr);
        if (ready > 0) {
            ended_ = true;
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

bool ExitHandle::signal(int signo) const {
    return syscall(SYS_pidfd_send_signal, handle_.fd(), signo, nullptr, 0) == 0;
}

EventLoop::EventLoop() : handle_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!handle_.isOpen()) {
        throw posixError(errno, "Could not create a cancellation handle");
    }
    registration_ = task::onCancel([fd = handle_.fd()] {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
    });
}

EventLoop::~EventLoop() = default;

WaitResult EventLoop::wait(ExitHandle* exit, int outputFd, int errorFd,
                           Clock::time_point deadline) {
    std::array<pollfd, 4> fds{};
    nfds_t count = 0;
    fds[count++] = {handle_.fd(), POLLIN, 0};
    const nfds_t exitSlot = exit ? count : 0;
    if (exit) {
        fds[count++] = {exit->fd(), POLLIN, 0};
    }
    const nfds_t outputSlot = outputFd >= 0 ? count : 0;
    if (outputFd >= 0) {
        fds[count++] = {outputFd, POLLIN, 0};
    }
    const nfds_t errorSlot = errorFd >= 0 ? count : 0;
    if (errorFd >= 0) {
        fds[count++] = {errorFd, POLLIN, 0};
    }

    WaitResult result;
    const WaitTimeout timeout(deadline);
    const int ready = ppoll(fds.data(), count, timeout.get(), nullptr);
    if (ready < 0) {
        result.failed = errno != EINTR;
        return result;
    }
    if (ready == 0) {
        return result;
    }
    result.cancelled = fds[0].revents != 0;
    result.exited = exitSlot != 0 && fds[exitSlot].revents != 0;
    result.outputReadable = outputSlot != 0 && fds[outputSlot].revents != 0;
    result.errorReadable = errorSlot != 0 && fds[errorSlot].revents != 0;
    return result;
}

} // namespace tesselwick::process::detail
