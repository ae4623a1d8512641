#pragma once

#include <atomic>

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

// A clock that only moves when told to. Thread-safe.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 1000.0) : now_(start) {}
    double uptime() const override { return now_.load(); }
    void set(double value) { now_.store(value); }
    void advance(double seconds) { now_.store(now_.load() + seconds); }

private:
    std::atomic<double> now_;
};

} // namespace tesselwick
