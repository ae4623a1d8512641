#pragma once

namespace tesselwick::process {

// Owns one descriptor and closes it exactly once, remembering whether that one
// real close succeeded. Every cleanup path of the runner asks it to close, so
// the answer must not change with the number of callers. Used by one thread at
// a time (the runner's poll loop), hence no lock.
class FileHandleCloser {
public:
    FileHandleCloser() = default;
    explicit FileHandleCloser(int fd) noexcept : fd_(fd) {}
    FileHandleCloser(const FileHandleCloser&) = delete;
    FileHandleCloser& operator=(const FileHandleCloser&) = delete;
    FileHandleCloser(FileHandleCloser&& other) noexcept;
    FileHandleCloser& operator=(FileHandleCloser&& other) noexcept;
    ~FileHandleCloser();

    int fd() const noexcept { return fd_; }
    bool isOpen() const noexcept { return fd_ >= 0; }

    // True when the descriptor is (or was) closed successfully.
    bool close() noexcept;

private:
    int fd_ = -1;
    bool closeSucceeded_ = true;
};

} // namespace tesselwick::process
