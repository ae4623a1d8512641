#include "PrivateMountNamespace.h"

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>

namespace tesselwick::testsupport {

namespace {

std::string enterPrivateMountNamespace() {
    // Done during static initialisation, while the process has one thread:
    // /proc/self/mountinfo follows the main thread's namespace.
    if (::unshare(CLONE_NEWNS) != 0) {
        return std::string("unshare(CLONE_NEWNS) not permitted: ") + std::strerror(errno);
    }
    // Nothing mounted here may propagate back to the machine.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making / private failed: ") + std::strerror(errno);
    }
    return {};
}

const std::string failureAtStart = enterPrivateMountNamespace();

} // namespace

const std::string& privateMountNamespaceFailure() {
    return failureAtStart;
}

} // namespace tesselwick::testsupport
