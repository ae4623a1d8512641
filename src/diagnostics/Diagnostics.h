#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

namespace tesselwick {

// The process-wide diagnostic log. Off unless TESSELWICK_DIAGNOSTICS is exactly
// "1"; when off a call costs one flag test and the message is never built.
class TesselwickDiagnostics {
public:
    static TesselwickDiagnostics& shared();

    bool enabled() const noexcept { return enabled_; }

    // `message` is a callable returning something convertible to std::string;
    // it is only called when the log is on.
    template <typename MessageFn>
    void log(MessageFn&& message,
             std::source_location site = std::source_location::current()) noexcept {
        if (!enabled_) {
            return;
        }
        try {
            logRecord(std::string(message()), site);
        } catch (...) {
            // The log never fails towards its caller.
        }
    }

    void startSession();
    void flush();
    void finishSession(std::string_view reason);

    // Labels of a call site as they appear in a record.
    static std::string fileLabel(std::string_view path);
    static std::string functionLabel(std::string_view prettyFunction);

private:
    explicit TesselwickDiagnostics(bool enabled);
    void logRecord(std::string message, const std::source_location& site);

    const bool enabled_;
    mutable std::mutex lock_;
    bool sessionStarted_ = false;
};

} // namespace tesselwick

// Logs one diagnostic line; the arguments form the message and are evaluated
// only when the log is on: TW_LOG("DiskManager.refresh launching generation=" + n)
#define TW_LOG(...)                                                                        \
    ::tesselwick::TesselwickDiagnostics::shared().log([&]() { return std::string(__VA_ARGS__); })
