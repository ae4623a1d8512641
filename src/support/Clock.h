#pragma once

#include "support/Duration.h"

namespace tesselwick {

// Time since boot. Injected wherever ages or windows are measured so
// tests can drive time by hand.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Seconds uptime() const = 0;
};

// The boot-time clock of the running system (keeps counting across sleep).
class SystemClock final : public Clock {
public:
    Seconds uptime() const override;
};

// The process-wide system clock, the production default.
Clock& systemClock();

} // namespace tesselwick
