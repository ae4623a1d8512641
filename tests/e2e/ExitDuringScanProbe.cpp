// Quits while a scan is still running, the way the app's teardown leaves it:
// the scan's task is cancelled but not waited for. Started inside the sandbox
// with a diskutil that announces its first whole-disk query on the FIFO named
// by argv[1] and then ignores SIGTERM, so the runner is in its
// terminate-then-kill steps while the process exits.
//
// The exit handler below is registered before anything else exists, so it
// runs after every static destructor; it lets the scan finish there. Any
// process-wide instance the scan still uses must therefore outlive static
// destruction: under the address sanitizer a destroyed one fails this run.
#include "manager/CoreServices.h"
#include "support/NoDestructor.h"
#include "support/Task.h"

#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

tesselwick::NoDestructor<tesselwick::TaskHandle> scan;

void letTheScanFinish() {
    if (!scan->waitFinished(tesselwick::Seconds(10))) {
        std::fputs("the scan did not finish\n", stderr);
        std::_Exit(3);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::atexit(letTheScanFinish) != 0) {
        return 64;
    }
    // The task holds the scan's services: nothing it uses is destroyed at exit.
    *scan =
        tesselwick::startDetachedTask([source = tesselwick::manager::makeCoreServices().volumes] {
            try {
                source->loadESPVolumes(nullptr);
            } catch (...) {
            }
        });
    // Until diskutil is running the query; bounded in case the scan never
    // gets there.
    const int reached = ::open(argv[1], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    pollfd ready{reached, POLLIN, 0};
    const bool announced = reached >= 0 && ::poll(&ready, 1, 20'000) == 1;
    if (reached >= 0) {
        ::close(reached);
    }
    if (!announced) {
        return 65;
    }
    scan->cancel();
    return 0;
}
