#pragma once

#include <chrono>

namespace tesselwick {

// Every time span in the program: time-outs, delays, ages and the clock's
// reading. Fractional seconds, because the rules are written that way
// (0.45 s, 0.18 s) and must not round.
using Seconds = std::chrono::duration<double>;

using namespace std::chrono_literals;

} // namespace tesselwick
