#pragma once

#include "support/Clock.h"

#include <atomic>

namespace tesselwick {

// A clock that only moves when told to. Thread-safe.
class ManualClock final : public Clock {
public:
    // Plain numbers are seconds, for brevity in tests.
    explicit ManualClock(double start = 1000.0) : now_(start) {}
    Seconds uptime() const override { return Seconds(now_.load()); }
    void set(double value) { now_.store(value); }
    void set(Seconds value) { now_.store(value.count()); }
    void advance(double seconds) { now_.store(now_.load() + seconds); }

private:
    std::atomic<double> now_;
};

} // namespace tesselwick
