#pragma once

#include "platform/linux/DBusSession.h"
#include "services/FileBrowser.h"

#include <optional>
#include <string>

namespace tesselwick::platform::linux_ {

// Shows folders through the desktop's file manager on the session bus
// (org.freedesktop.FileManager1.ShowFolders), which opens a window on the
// folder and raises it. Without a bus or a file manager the request fails
// with the bus's own description.
class DBusFileBrowser final : public services::FileBrowser {
public:
    static constexpr int kCallTimeoutMilliseconds = 5000;

    // `busAddress` overrides the session bus (tests use a private bus).
    explicit DBusFileBrowser(std::optional<std::string> busAddress = std::nullopt);

    void openFolder(const std::string& path, Completion completion) override;
    bool waitUntilIdle(Seconds timeout) { return worker_.waitUntilIdle(timeout); }

private:
    DBusSessionWorker worker_;
};

// "file://" and the path with every byte outside the unreserved set and "/"
// percent-encoded.
std::string fileURL(const std::string& path);

} // namespace tesselwick::platform::linux_
