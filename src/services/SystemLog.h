#pragma once

#include <functional>
#include <string>

namespace tesselwick::services {

// Where failures of the background services themselves are reported; they
// never reach the user's alert.
using SystemLogWriter = std::function<void(const std::string& message)>;

// The platform's system log (syslog). Thread-safe.
void writeSystemLog(const std::string& message);

} // namespace tesselwick::services
