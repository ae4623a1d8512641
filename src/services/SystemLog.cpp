#include "services/SystemLog.h"

#include <syslog.h>

namespace tesselwick::services {

void writeSystemLog(const std::string& message) {
    syslog(LOG_USER | LOG_NOTICE, "%s", message.c_str());
}

} // namespace tesselwick::services
