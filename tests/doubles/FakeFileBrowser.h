#pragma once

#include "services/FileBrowser.h"

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tesselwick::platform::fake {

// A file browser whose folders and answer the test sets; it remembers what it
// was asked to show and answers at once, on the caller's thread.
class FakeFileBrowser final : public services::FileBrowser {
public:
    std::set<std::string> directories;
    std::optional<std::string> openError;

    bool isDirectory(const std::string& path) const override { return directories.contains(path); }
    void openFolder(const std::string& path, Completion completion) override {
        {
            std::lock_guard guard(lock_);
            opened_.push_back(path);
        }
        completion(openError);
    }
    std::vector<std::string> opened() const {
        std::lock_guard guard(lock_);
        return opened_;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> opened_;
};

} // namespace tesselwick::platform::fake
