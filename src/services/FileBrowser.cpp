#include "services/FileBrowser.h"

#include <filesystem>
#include <system_error>

namespace tesselwick::services {

bool FileBrowser::isDirectory(const std::string& path) const {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

void UnavailableFileBrowser::openFolder(const std::string&, Completion completion) {
    completion(std::string("No file browser is available."));
}

} // namespace tesselwick::services
