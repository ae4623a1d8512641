#include "support/Thread.h"

#if defined(__APPLE__)
#include <pthread.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace tesselwick {

bool isMainThread() {
#if defined(__APPLE__)
    return pthread_main_np() != 0;
#else
    // On Linux the main thread's thread id is the process id.
    return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
#endif
}

} // namespace tesselwick
