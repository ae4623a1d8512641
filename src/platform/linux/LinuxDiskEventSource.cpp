#include "platform/linux/LinuxDiskEventSource.h"

#include "diagnostics/Diagnostics.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tesselwick::platform::linux_ {

using services::DiskEvent;

namespace {

// The kernel's own uevent multicast group (udev rebroadcasts on another one).
constexpr unsigned kKernelUeventGroup = 1;

std::string decodeMountInfoField(std::string_view field) {
    // Blanks, tabs, newlines and backslashes appear as three-digit octal escapes.
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                            (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

bool readWholeFile(int fd, std::string& out) {
    out.clear();
    if (::lseek(fd, 0, SEEK_SET) < 0) {
        return false;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

} // namespace

std::optional<DiskEvent> parseKernelUevent(std::string_view datagram) {
    // The header is "ACTION@DEVPATH"; anything else (libudev's own format)
    // is not from the kernel.
    const std::size_t headerEnd = datagram.find('\0');
    const std::string_view header = datagram.substr(0, headerEnd);
    if (header.find('@') == std::string_view::npos || headerEnd == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view action, subsystem, devtype;
    std::size_t pos = headerEnd + 1;
    while (pos < datagram.size()) {
        std::size_t end = datagram.find('\0', pos);
        if (end == std::string_view::npos) {
            end = datagram.size();
        }
        const std::string_view entry = datagram.substr(pos, end - pos);
        const std::size_t eq = entry.find('=');
        if (eq != std::string_view::npos) {
            const std::string_view key = entry.substr(0, eq);
            const std::string_view value = entry.substr(eq + 1);
            if (key == "ACTION") {
                action = value;
            } else if (key == "SUBSYSTEM") {
                subsystem = value;
            } else if (key == "DEVTYPE") {
                devtype = value;
            }
        }
        pos = end + 1;
    }
    if (subsystem != "block" || (devtype != "disk" && devtype != "partition")) {
        return std::nullopt;
    }
    if (action == "add") {
        return DiskEvent::diskAppeared;
    }
    if (action == "remove") {
        return DiskEvent::diskDisappeared;
    }
    return std::nullopt;
}

MountTable parseMountInfo(std::string_view text) {
    MountTable table;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        // "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT ..."
        std::string_view fields[5];
        std::size_t start = 0;
        int count = 0;
        while (count < 5 && start < line.size()) {
            std::size_t blank = line.find(' ', start);
            if (blank == std::string_view::npos) {
                blank = line.size();
            }
            fields[count++] = line.substr(start, blank - start);
            start = blank + 1;
        }
        if (count < 5 || fields[0].empty()) {
            continue;
        }
        int id = 0;
        bool numeric = true;
        for (char c : fields[0]) {
            if (c < '0' || c > '9' || id > 100000000) {
                numeric = false;
                break;
            }
            id = id * 10 + (c - '0');
        }
        if (numeric) {
            table[id] = decodeMountInfoField(fields[4]);
        }
    }
    return table;
}

std::vector<DiskEvent> diffMountTables(const MountTable& before, const MountTable& after) {
    std::vector<DiskEvent> events;
    for (const auto& [id, mountPoint] : after) {
        const auto old = before.find(id);
        if (old == before.end()) {
            events.push_back(DiskEvent::volumeMounted);
        } else if (old->second != mountPoint) {
            events.push_back(DiskEvent::volumeRenamed);
        }
    }
    for (const auto& [id, mountPoint] : before) {
        if (!after.contains(id)) {
            events.push_back(DiskEvent::volumeUnmounted);
        }
    }
    return events;
}

std::unique_ptr<LinuxDiskEventSource> LinuxDiskEventSource::create(services::DiskEventSink sink,
                                                                   Options options) {
    auto source = std::make_unique<LinuxDiskEventSource>(Passkey{}, std::move(sink));
    if (options.watchBlockDevices) {
        FileDescriptor socketFd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                         NETLINK_KOBJECT_UEVENT));
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = kKernelUeventGroup;
        if (socketFd.isOpen() &&
            ::bind(socketFd.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            source->uevents_ = std::move(socketFd);
        } else {
            TW_LOG("LinuxDiskEventSource uevent socket unavailable errno=" + std::to_string(errno));
        }
    }
    FileDescriptor mountInfo(::open(options.mountInfoPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (mountInfo.isOpen()) {
        source->mountInfo_ = std::move(mountInfo);
        std::string text;
        if (readWholeFile(source->mountInfo_.fd(), text)) {
            source->mounts_ = parseMountInfo(text);
        }
    }
    source->stop_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!source->stop_.isOpen() || (!source->uevents_.isOpen() && !source->mountInfo_.isOpen())) {
        // Nothing to wait for: no thread at all.
        source->uevents_.reset();
        source->mountInfo_.reset();
        return source;
    }
    source->thread_ = std::thread([raw = source.get()] { raw->run(); });
    return source;
}

services::DiskEventSourceFactory LinuxDiskEventSource::factory(Options options) {
    return [options](services::DiskEventSink sink) -> std::unique_ptr<services::DiskEventSource> {
        return create(std::move(sink), options);
    };
}

LinuxDiskEventSource::~LinuxDiskEventSource() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (::write(stop_.fd(), &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
}

void LinuxDiskEventSource::run() {
    for (;;) {
        pollfd fds[3] = {
            {stop_.fd(), POLLIN, 0},
            {uevents_.fd(), POLLIN, 0},
            {mountInfo_.fd(), POLLPRI, 0},
        };
        // A negative descriptor is ignored by poll(), so a missing source costs nothing.
        const int ready = ::poll(fds, 3, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            TW_LOG("LinuxDiskEventSource poll failed errno=" + std::to_string(errno));
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (fds[1].revents != 0) {
            readUevents();
        }
        if (fds[2].revents & (POLLPRI | POLLERR)) {
            readMountTable();
        }
    }
}

void LinuxDiskEventSource::readUevents() {
    char buffer[8192];
    for (;;) {
        sockaddr_nl sender{};
        iovec io{buffer, sizeof buffer};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(uevents_.fd(), &message, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == ENOBUFS) {
                // Events were lost while we were busy; the set of disks may have
                // changed in either direction.
                sink_(DiskEvent::diskDisappeared);
                continue;
            }
            return; // EAGAIN: drained.
        }
        // Only the kernel (port 0) speaks for the devices; anything else could be forged.
        if (sender.nl_pid != 0 || (message.msg_flags & MSG_TRUNC) != 0) {
            continue;
        }
        if (auto event = parseKernelUevent(std::string_view(buffer, static_cast<std::size_t>(n)))) {
            sink_(*event);
        }
    }
}

void LinuxDiskEventSource::readMountTable() {
    std::string text;
    if (!readWholeFile(mountInfo_.fd(), text)) {
        return;
    }
    MountTable now = parseMountInfo(text);
    const std::vector<DiskEvent> events = diffMountTables(mounts_, now);
    for (DiskEvent event : events) {
        sink_(event);
    }
    if (events.empty()) {
        // The kernel saw a change that left no trace by the time we read the
        // table (a mount and unmount in quick succession, or a remount):
        // still worth a look.
        sink_(DiskEvent::volumeRenamed);
    }
    mounts_ = std::move(now);
}

} // namespace tesselwick::platform::linux_
