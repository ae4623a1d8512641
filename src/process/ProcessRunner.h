#pragma once

#include "support/Duration.h"
#include "support/Errors.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesselwick::process {

// Runs one command-line tool as a child process and returns the retained bytes
// of its standard output. Blocking; observes the calling task's cancellation.
// Throws a DomainError (domain "Tesselwick") or CancellationError.
std::string runProcessData(const std::string& executablePath,
                           const std::vector<std::string>& arguments, Seconds timeout);

// Gives SIGCHLD its default disposition (no SA_NOCLDWAIT), so the kernel
// keeps every ended child for the runner to collect its status. A program
// may inherit it ignored; call once at start, before any thread runs.
void restoreDefaultChildSignal();

// The one-line text of a command used in every runner message and log line.
std::string commandDescription(const std::string& executablePath,
                               const std::vector<std::string>& arguments);

// Limits and waits of one command.
inline constexpr std::size_t kStandardOutputLimit = 16'777'216;
inline constexpr std::size_t kStandardErrorLimit = 1'048'576;
inline constexpr std::size_t kReadChunkSize = 65'536;
inline constexpr std::size_t kInitialReservation = 262'144;
inline constexpr Seconds kDrainWindow{3.0};
inline constexpr Seconds kTerminateGrace{0.5};
inline constexpr Seconds kKillWait{1.0};
inline constexpr std::size_t kDescriptionArgumentLimit = 160;
inline constexpr std::size_t kFailureStreamByteLimit = 4'096;
inline constexpr std::size_t kFailureMessageLimit = 4'000;

// What one command left behind in its two pipes.
struct ProcessOutputSnapshot {
    std::string standardOutput;
    std::string standardError;
    bool standardOutputWasTruncated = false;
    bool standardErrorWasTruncated = false;
    bool standardOutputHadReadError = false;
    bool standardErrorHadReadError = false;
};

// Captured bytes as a short display text: at most `byteLimit` bytes, decoded
// leniently, trimmed, with "…" when bytes were left out.
std::string limitedProcessText(std::string_view bytes, std::size_t byteLimit);

// The message of a command that ended with a non-zero status: standard error
// first, then standard output; empty when both are empty.
std::string processFailureMessage(std::string_view standardOutput, std::string_view standardError,
                                  bool standardErrorWasTruncated);

// How a command that exited is judged; nullopt means success (the standard
// output is the result). An empty `status` (the exit was seen but its status
// could not be collected) is never a success.
std::optional<DomainError> exitOutcome(const ProcessOutputSnapshot& output,
                                       std::optional<int> status, const std::string& description);

// Why the runner gave up on a command before judging its result.
enum class StopReason {
    cancelledWhileRunning,
    timedOut,
    cancelledWhileDraining,
    drainTimedOut,
};

// The error for a command the runner stopped. `childGone`: the child was
// confirmed ended; `readersClosed`: both read ends were closed and their
// reading finished. nullopt means the cancellation error is thrown.
std::optional<DomainError> stopOutcome(StopReason reason, const std::string& description,
                                       bool childGone, bool readersClosed);

} // namespace tesselwick::process
