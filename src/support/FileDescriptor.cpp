#include "support/FileDescriptor.h"

#include <cerrno>
#include <utility>

#include <unistd.h>

namespace tesselwick {

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      closeSucceeded_(std::exchange(other.closeSucceeded_, true)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        closeSucceeded_ = std::exchange(other.closeSucceeded_, true);
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    close();
}

bool FileDescriptor::close() noexcept {
    if (fd_ >= 0) {
        // Linux releases the descriptor even when close reports EINTR, and a
        // retry could close a descriptor another thread has just been given.
        closeSucceeded_ = ::close(fd_) == 0 || errno == EINTR;
        fd_ = -1;
    }
    return closeSucceeded_;
}

void FileDescriptor::reset(int fd) noexcept {
    close();
    fd_ = fd;
    closeSucceeded_ = true;
}

} // namespace tesselwick
