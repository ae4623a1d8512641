#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tesselwick {

// Where a record was written: file path, line and the compiler's full
// function signature (as __PRETTY_FUNCTION__ spells it).
struct CallSite {
    const char* file;
    std::uint_least32_t line;
    const char* function;
};

// The process-wide diagnostic log. Off unless TESSELWICK_DIAGNOSTICS is exactly
// "1"; when off a call costs one flag test and the message is never built.
// When on, every record is appended to the log file, synchronised to disk at
// once (so the last records before a crash survive) and mirrored to the
// system log.
class TesselwickDiagnostics {
public:
    // Receives each complete system-log line ("TesselwickDebug ...").
    using SystemLog = std::function<void(const std::string& line)>;

    static constexpr std::uintmax_t kRotationThreshold = 8'388'608;
    static constexpr const char* kCurrentLogName = "Tesselwick-Debug.log";
    static constexpr const char* kPreviousLogName = "Tesselwick-Debug.previous.log";

    // The one instance, configured from the process environment and writing to
    // ~/Library/Logs/Tesselwick and syslog(3). Created on first use, never
    // destroyed.
    static TesselwickDiagnostics& shared();

    // A log of its own (for tests and tools): `installsProcessHandlers`
    // decides whether startSession() takes over the process's terminate and
    // exit handlers, which only the shared instance should.
    TesselwickDiagnostics(bool enabled, std::filesystem::path logDirectory, SystemLog systemLog,
                          bool installsProcessHandlers = false);
    ~TesselwickDiagnostics();
    TesselwickDiagnostics(const TesselwickDiagnostics&) = delete;
    TesselwickDiagnostics& operator=(const TesselwickDiagnostics&) = delete;

    bool enabled() const noexcept { return enabled_; }

    // `message` is a callable returning something convertible to std::string;
    // it is only called when the log is on.
    template <typename MessageFn> void log(MessageFn&& message, CallSite site) noexcept {
        if (!enabled_) {
            return;
        }
        try {
            logRecord(std::string(message()), site);
        } catch (...) {
            // The log never fails towards its caller.
        }
    }

    // The same with the caller's own site. Where the library lacks
    // std::source_location (Clang 14 with libstdc++), only the function's bare
    // name is known; TW_LOG passes the full signature on every compiler.
#if defined(__cpp_lib_source_location)
    template <typename MessageFn>
    void log(MessageFn&& message,
             std::source_location site = std::source_location::current()) noexcept {
        log(std::forward<MessageFn>(message),
            CallSite{site.file_name(), site.line(), site.function_name()});
    }
#else
    template <typename MessageFn>
    void log(MessageFn&& message, const char* file = __builtin_FILE(),
             std::uint_least32_t line = __builtin_LINE(),
             const char* function = __builtin_FUNCTION()) noexcept {
        log(std::forward<MessageFn>(message), CallSite{file, line, function});
    }
#endif

    void startSession();
    void flush();
    void finishSession(std::string_view reason);

    // Writes the record of an exception nobody caught, then flushes.
    void logUncaughtException(const std::string& name, const std::string& reason,
                              const std::vector<std::string>& callStack, CallSite site);

    std::filesystem::path defaultLogURL() const;
    std::optional<std::filesystem::path> activeLogURL() const;

    // The process-wide handlers that startSession() installs on the shared
    // instance. The terminate handler records the exception, flushes and then
    // lets the previous handler end the process as before.
    static void tesselwickUncaughtExceptionHandler();
    static void tesselwickAtExitHandler();

    // Whether a value of TESSELWICK_DIAGNOSTICS turns the log on (null: unset).
    static bool isEnabledValue(const char* value);
    // ~/Library/Logs/Tesselwick of the current user.
    static std::filesystem::path defaultLogDirectory();

    // Pieces of a record.
    static std::string fileLabel(std::string_view path);
    static std::string functionLabel(std::string_view prettyFunction);
    static std::string timestamp(std::chrono::system_clock::time_point instant);
    // The type name (demangled) and reason of a thrown object; the reason is
    // "no reason" when it has none.
    static std::pair<std::string, std::string> describeException(const std::exception_ptr& error);

private:
    void logRecord(std::string message, const CallSite& site);
    void prepareLogFileLocked();
    void writeLocked(const std::string& record);
    void closeFileLocked();

    const bool enabled_;
    const bool installsProcessHandlers_;
    const std::filesystem::path logDirectory_;
    const SystemLog systemLog_;

    mutable std::mutex lock_;
    int fileHandle_ = -1;
    std::optional<std::filesystem::path> activeLogURL_;
    bool sessionStarted_ = false;

    std::terminate_handler previousTerminateHandler_ = nullptr;
};

} // namespace tesselwick

// The call site of the code that expands it.
#define TW_CALL_SITE (::tesselwick::CallSite{__FILE__, __LINE__, __PRETTY_FUNCTION__})

// Logs one diagnostic line; the arguments form the message and are evaluated
// only when the log is on: TW_LOG("DiskManager.refresh launching generation=" + n)
#define TW_LOG(...)                                                                                \
    ::tesselwick::TesselwickDiagnostics::shared().log([&]() { return std::string(__VA_ARGS__); },  \
                                                      TW_CALL_SITE)
