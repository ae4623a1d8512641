#pragma once

namespace tesselwick {

// Owns one descriptor and closes it exactly once, remembering whether that one
// real close succeeded: every cleanup path may ask it to close, and the answer
// must not change with the number of callers. Not thread-safe; one owner at a
// time uses it.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor();

    int fd() const noexcept { return fd_; }
    bool isOpen() const noexcept { return fd_ >= 0; }

    // True when the descriptor is (or was) closed successfully.
    bool close() noexcept;
    // Closes the one held, whatever that gives, and takes `fd` instead.
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
    bool closeSucceeded_ = true;
};

} // namespace tesselwick
