#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tesselwick::app {

// `tesselwick helper status|install|uninstall|show-installer|show-uninstaller`; `arguments` are the
// words after "helper". Returns the process exit status.
int runHelperCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err);

} // namespace tesselwick::app
