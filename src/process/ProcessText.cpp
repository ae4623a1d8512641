#include "process/ProcessRunner.h"

#include "support/ExitCodes.h"
#include "support/Text.h"
#include "support/Utf8.h"

namespace tesselwick::process {

namespace {
constexpr const char* kEllipsis = "\xE2\x80\xA6"; // U+2026
} // namespace

std::string commandDescription(const std::string& executablePath,
                               const std::vector<std::string>& arguments) {
    std::string out = executablePath;
    for (const auto& argument : arguments) {
        std::string shown = argument;
        for (char& c : shown) {
            if (c == '\n') {
                c = ' ';
            }
        }
        // Counted in characters, so a long name is never cut inside one.
        shown = utf8::toValid(shown);
        if (utf8::length(shown) > kDescriptionArgumentLimit) {
            shown = utf8::prefix(shown, kDescriptionArgumentLimit) + kEllipsis;
        }
        out += ' ';
        out += shown;
    }
    return out;
}

std::string limitedProcessText(std::string_view bytes, std::size_t byteLimit) {
    if (bytes.empty()) {
        return {};
    }
    const bool cut = bytes.size() > byteLimit;
    std::string shown = text::trim(utf8::toValid(cut ? bytes.substr(0, byteLimit) : bytes));
    if (cut && !shown.empty()) {
        shown += kEllipsis;
    }
    return shown;
}

std::string processFailureMessage(std::string_view standardOutput, std::string_view standardError,
                                  bool standardErrorWasTruncated) {
    std::string errorText = limitedProcessText(standardError, kFailureStreamByteLimit);
    if (standardErrorWasTruncated && !errorText.empty() && !text::endsWith(errorText, kEllipsis)) {
        errorText += kEllipsis;
    }
    const std::string outputText = limitedProcessText(standardOutput, kFailureStreamByteLimit);

    std::string message = errorText;
    if (!outputText.empty()) {
        if (!message.empty()) {
            message += '\n';
        }
        message += outputText;
    }
    if (utf8::length(message) > kFailureMessageLimit) {
        message = utf8::prefix(message, kFailureMessageLimit) + kEllipsis;
    }
    return message;
}

std::optional<DomainError> exitOutcome(const ProcessOutputSnapshot& output,
                                       std::optional<int> confirmedStatus,
                                       const std::string& description) {
    if (!confirmedStatus) {
        return commandError(exitcode::kIOError,
                            "Command exit status could not be confirmed: " + description);
    }
    const int status = *confirmedStatus;
    if (status == 0) {
        if (output.standardOutputHadReadError || output.standardErrorHadReadError) {
            return commandError(exitcode::kIOError,
                                "Could not read complete command output: " + description);
        }
        if (output.standardOutputWasTruncated || output.standardErrorWasTruncated) {
            const char* which = !output.standardErrorWasTruncated ? "standard output"
                                : !output.standardOutputWasTruncated
                                    ? "standard error"
                                    : "standard output and standard error";
            return commandError(exitcode::kTemporaryFailure,
                                std::string("Command ") + which +
                                    " exceeded its safety limit: " + description);
        }
        return std::nullopt;
    }
    std::string message = processFailureMessage(output.standardOutput, output.standardError,
                                                output.standardErrorWasTruncated);
    if (message.empty()) {
        message = "Command failed with status " + std::to_string(status) + ".";
    }
    return commandError(status, std::move(message));
}

std::optional<DomainError> stopOutcome(StopReason reason, const std::string& description,
                                       bool childGone, bool readersClosed) {
    switch (reason) {
    case StopReason::cancelledWhileRunning:
        if (childGone && readersClosed) {
            return std::nullopt;
        }
        return commandError(exitcode::kIOError,
                            "Cancelled command could not be confirmed terminated: " + description);
    case StopReason::timedOut:
        if (childGone && readersClosed) {
            return commandError(exitcode::kTimedOut, "Command timed out: " + description);
        }
        return commandError(exitcode::kIOError,
                            "Timed-out command could not be confirmed terminated: " + description);
    case StopReason::cancelledWhileDraining:
        // The child has already exited here; only the readers matter.
        if (readersClosed) {
            return std::nullopt;
        }
        return commandError(exitcode::kIOError,
                            "Cancelled command readers could not be closed and drained: " +
                                description);
    case StopReason::drainTimedOut:
        if (readersClosed) {
            return commandError(exitcode::kNotDrained,
                                "Command output read timed out: " + description);
        }
        return commandError(exitcode::kIOError,
                            "Timed-out command readers could not be closed and drained: " +
                                description);
    }
    return commandError(exitcode::kIOError,
                        "Command stopped for an unknown reason: " + description);
}

} // namespace tesselwick::process
