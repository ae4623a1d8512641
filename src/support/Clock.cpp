#include "support/Clock.h"

#include "support/NoDestructor.h"

#include <ctime>

namespace tesselwick {

Seconds SystemClock::uptime() const {
    timespec ts{};
#if defined(CLOCK_BOOTTIME)
    clock_gettime(CLOCK_BOOTTIME, &ts);
#else
    clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
    return Seconds(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

Clock& systemClock() {
    static NoDestructor<SystemClock> clock;
    return *clock;
}

} // namespace tesselwick
