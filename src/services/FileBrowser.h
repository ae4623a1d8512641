#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tesselwick::services {

// The desktop's file browser, as far as the manager uses it: whether a path is
// a folder, and showing a folder to the user.
class FileBrowser {
public:
    using Completion = std::function<void(std::optional<std::string> error)>;

    virtual ~FileBrowser() = default;

    // True when `path` exists and is a directory (symbolic links followed).
    virtual bool isDirectory(const std::string& path) const;
    // Asks the file browser to show the folder and come to the front. Returns
    // at once; the completion runs once, on any thread, with a readable error
    // description when the folder could not be shown.
    virtual void openFolder(const std::string& path, Completion completion) = 0;
};

// Used where the system has no file browser to talk to: every request fails
// with a message that says so.
class UnavailableFileBrowser final : public FileBrowser {
public:
    void openFolder(const std::string& path, Completion completion) override;
};

} // namespace tesselwick::services
