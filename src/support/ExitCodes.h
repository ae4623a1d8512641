#pragma once

#include <sysexits.h>

// The codes of command errors and the command line's exit statuses: the
// sysexits(3) names, which the root scripts use as numbers too, and the two
// the process runner adds for a command it had to stop.
namespace tesselwick::exitcode {

// A request or argument of the wrong form.
inline constexpr int kUsage = EX_USAGE;
// Data read from a tool, or the target it describes, is not what it must be.
inline constexpr int kDataError = EX_DATAERR;
inline constexpr int kIOError = EX_IOERR;
// Worth trying again later: something else holds what was needed.
inline constexpr int kTemporaryFailure = EX_TEMPFAIL;
// The command ran past its time-out and was stopped.
inline constexpr int kTimedOut = 124;
// The command ended (or was stopped) but its output did not finish draining.
inline constexpr int kNotDrained = 125;

} // namespace tesselwick::exitcode
