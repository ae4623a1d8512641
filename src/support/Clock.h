#pragma once

namespace tesselwick {

// Time since boot in seconds. Injected wherever ages or windows are measured so
// tests can drive time by hand.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double uptime() const = 0;
};

// The boot-time clock of the running system (keeps counting across sleep).
class SystemClock final : public Clock {
public:
    double uptime() const override;
};

// The process-wide system clock, the production default.
Clock& systemClock();

} // namespace tesselwick
