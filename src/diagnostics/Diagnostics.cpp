#include "diagnostics/Diagnostics.h"

#include "support/BuildInfo.h"
#include "support/NoDestructor.h"
#include "support/Text.h"
#include "support/Thread.h"
#include "support/Utf8.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <new>
#include <typeinfo>

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <syslog.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace tesselwick {

namespace {

constexpr const char* kSystemLogPrefix = "TesselwickDebug ";

std::string errorText(const std::filesystem::path& path, int error) {
    return path.string() + ": " + std::strerror(error);
}

void writeToSyslog(const std::string& line) {
    syslog(LOG_NOTICE, "%s", line.c_str());
}

std::string architecture() {
#if defined(__x86_64__)
    return "x86_64";
#elif defined(__aarch64__)
    return "arm64";
#else
    return "unknown";
#endif
}

std::string executablePath() {
    std::error_code error;
#if defined(__APPLE__)
    // There is no /proc here; dyld knows the path the program was started by,
    // which may still hold links; resolved so it reads like the Linux answer.
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::string started(size, '\0');
    if (size == 0 || _NSGetExecutablePath(started.data(), &size) != 0) {
        return {};
    }
    started.resize(std::strlen(started.c_str()));
    const auto path = std::filesystem::canonical(started, error);
#else
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
#endif
    return error ? std::string() : path.string();
}

// The operating system's own human-readable name and version.
std::string operatingSystemVersion() {
    std::ifstream release("/etc/os-release");
    std::string line;
    while (std::getline(release, line)) {
        if (text::startsWith(line, "PRETTY_NAME=")) {
            std::string value = line.substr(12);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front()) {
                value = value.substr(1, value.size() - 2);
            }
            if (!value.empty()) {
                return value;
            }
        }
    }
    utsname names{};
    if (uname(&names) == 0) {
        return std::string(names.sysname) + " " + names.release;
    }
    return "unknown";
}

std::vector<std::string> callStackSymbols() {
    void* frames[128];
    const int count = backtrace(frames, 128);
    std::vector<std::string> symbols;
    if (count <= 0) {
        return symbols;
    }
    const std::unique_ptr<char*, decltype(&std::free)> names(backtrace_symbols(frames, count),
                                                             &std::free);
    if (!names) {
        return symbols;
    }
    for (int i = 0; i < count; ++i) {
        symbols.emplace_back(names.get()[i]);
    }
    return symbols;
}

std::string demangle(const char* name) {
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> readable(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    return status == 0 && readable ? std::string(readable.get()) : std::string(name);
}

// --- function labels --------------------------------------------------------

bool isOpening(char c) {
    return c == '(' || c == '<' || c == '[';
}
bool isClosing(char c) {
    return c == ')' || c == '>' || c == ']';
}

// Index of the bracket that opens the one closing at `close`, or npos.
std::size_t matchingOpen(std::string_view s, std::size_t close) {
    int depth = 0;
    for (std::size_t i = close + 1; i-- > 0;) {
        if (isClosing(s[i])) {
            ++depth;
        } else if (isOpening(s[i])) {
            if (--depth == 0) {
                return i;
            }
        }
    }
    return std::string_view::npos;
}

std::string_view trimmedView(std::string_view s) {
    while (!s.empty() && text::isSpace(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && text::isSpace(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// Drops what follows a parameter list: cv and reference qualifiers, noexcept
// and the template arguments both compilers append in brackets.
std::string_view withoutTrailers(std::string_view s) {
    while (true) {
        s = trimmedView(s);
        bool changed = false;
        for (const std::string_view suffix : {"const", "volatile", "noexcept", "&&", "&"}) {
            if (text::endsWith(s, suffix)) {
                s.remove_suffix(suffix.size());
                changed = true;
                break;
            }
        }
        if (!changed && !s.empty() && s.back() == ']') {
            const std::size_t open = matchingOpen(s, s.size() - 1);
            if (open != std::string_view::npos && open > 0 && s[open - 1] == ' ') {
                s = s.substr(0, open);
                changed = true;
            }
        }
        if (!changed) {
            return s;
        }
    }
}

std::size_t parameterCount(std::string_view parameters) {
    parameters = trimmedView(parameters);
    if (parameters.empty() || parameters == "void") {
        return 0;
    }
    std::size_t count = 1;
    int depth = 0;
    for (const char c : parameters) {
        if (isOpening(c)) {
            ++depth;
        } else if (isClosing(c)) {
            --depth;
        } else if (c == ',' && depth == 0) {
            ++count;
        }
    }
    return count;
}

// The unqualified name that ends at `end` (exclusive), without template
// arguments: "std::vector<int> ns::Type<T>::run" gives "run".
std::string unqualifiedName(std::string_view s) {
    std::size_t start = s.size();
    int depth = 0;
    while (start > 0) {
        const char c = s[start - 1];
        if (isClosing(c)) {
            ++depth;
        } else if (isOpening(c)) {
            --depth;
        } else if (depth == 0 && (c == ' ' || c == '*' || c == '&')) {
            break;
        } else if (depth == 0 && c == ':' && start >= 2 && s[start - 2] == ':') {
            break;
        }
        --start;
    }
    std::string_view name = s.substr(start);
    if (!name.empty() && name.back() == '>' && !text::startsWith(name, "operator")) {
        const std::size_t open = matchingOpen(name, name.size() - 1);
        if (open != std::string_view::npos) {
            name = name.substr(0, open);
        }
    }
    return std::string(name);
}

} // namespace

// --- construction -------------------------------------------------------------

TesselwickDiagnostics& TesselwickDiagnostics::shared() {
    // Built in static storage and never destroyed, so records logged while the
    // process exits (exit handler, other threads) still find it.
    static NoDestructor<TesselwickDiagnostics> instance(
        isEnabledValue(std::getenv("TESSELWICK_DIAGNOSTICS")), defaultLogDirectory(),
        &writeToSyslog, true);
    return *instance;
}

TesselwickDiagnostics::TesselwickDiagnostics(bool enabled, std::filesystem::path logDirectory,
                                             SystemLog systemLog, bool installsProcessHandlers)
    : enabled_(enabled), installsProcessHandlers_(installsProcessHandlers),
      logDirectory_(std::move(logDirectory)), systemLog_(std::move(systemLog)) {}

TesselwickDiagnostics::~TesselwickDiagnostics() {
    std::lock_guard guard(lock_);
    closeFileLocked();
}

bool TesselwickDiagnostics::isEnabledValue(const char* value) {
    return value != nullptr && std::strcmp(value, "1") == 0;
}

std::filesystem::path TesselwickDiagnostics::defaultLogDirectory() {
    std::filesystem::path home;
    if (const char* value = std::getenv("HOME"); value != nullptr && value[0] != '\0') {
        home = value;
    } else {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr) {
            home = found->pw_dir;
        }
    }
    return home / "Library" / "Logs" / "Tesselwick";
}

std::filesystem::path TesselwickDiagnostics::defaultLogURL() const {
    return logDirectory_ / kCurrentLogName;
}

std::optional<std::filesystem::path> TesselwickDiagnostics::activeLogURL() const {
    std::lock_guard guard(lock_);
    return activeLogURL_;
}

// --- records --------------------------------------------------------------------

std::string TesselwickDiagnostics::fileLabel(std::string_view path) {
    return "Tesselwick/" + std::filesystem::path(path).stem().string();
}

std::string TesselwickDiagnostics::functionLabel(std::string_view prettyFunction) {
    std::string_view s = withoutTrailers(prettyFunction);

    // Inside a lambda, name the function that wrote it. GCC spells the lambda
    // "outer()::<lambda(int)>", Clang "outer()::(lambda at f.cpp:1:2)::operator()(int)".
    if (!s.empty() && s.back() == '>') {
        const std::size_t open = matchingOpen(s, s.size() - 1);
        if (open != std::string_view::npos && open >= 2 &&
            text::startsWith(s.substr(open), "<lambda") && s.substr(open - 2, 2) == "::") {
            return functionLabel(s.substr(0, open - 2));
        }
    }
    for (const std::string_view marker : {"::(lambda at ", "::(anonymous class)::operator()"}) {
        if (const std::size_t lambda = s.rfind(marker); lambda != std::string_view::npos) {
            return functionLabel(s.substr(0, lambda));
        }
    }

    if (s.empty()) {
        return std::string(s);
    }
    if (s.back() != ')') {
        // Only a bare name is known: its parameters cannot be counted.
        return std::string(s) + "()";
    }
    const std::size_t open = matchingOpen(s, s.size() - 1);
    if (open == std::string_view::npos) {
        return std::string(s);
    }
    const std::size_t count = parameterCount(s.substr(open + 1, s.size() - open - 2));
    std::string label = unqualifiedName(s.substr(0, open)) + "(";
    for (std::size_t i = 0; i < count; ++i) {
        label += "_:";
    }
    return label + ")";
}

std::string TesselwickDiagnostics::timestamp(std::chrono::system_clock::time_point instant) {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(instant.time_since_epoch());
    auto seconds = duration_cast<std::chrono::seconds>(sinceEpoch);
    auto milliseconds = (sinceEpoch - seconds).count();
    if (milliseconds < 0) {
        milliseconds += 1000;
        seconds -= std::chrono::seconds(1);
    }
    const std::time_t time = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&time, &utc);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(milliseconds));
    return buffer;
}

std::pair<std::string, std::string>
TesselwickDiagnostics::describeException(const std::exception_ptr& error) {
    if (!error) {
        return {"unknown", "no reason"};
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        const char* what = exception.what();
        return {demangle(typeid(exception).name()),
                what != nullptr && what[0] != '\0' ? what : "no reason"};
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        return {type != nullptr ? demangle(type->name()) : "unknown", "no reason"};
    }
}

void TesselwickDiagnostics::logRecord(std::string message, const CallSite& site) {
    // Built before the lock: records of two threads may land out of time order.
    std::string record;
    record.reserve(message.size() + 128);
    record.append("[").append(timestamp(std::chrono::system_clock::now()));
    record.append("] [").append(isMainThread() ? "main" : "background");
    record.append("] [").append(fileLabel(site.file));
    record.append(":").append(std::to_string(site.line));
    record.append(" ").append(functionLabel(site.function));
    record.append("] ").append(utf8::toValid(message)).append("\n");
    {
        std::lock_guard guard(lock_);
        if (!sessionStarted_) {
            sessionStarted_ = true;
            prepareLogFileLocked();
        }
        writeLocked(record);
    }
    std::string_view mirrored = record;
    while (!mirrored.empty() && (mirrored.front() == '\n' || mirrored.front() == '\r')) {
        mirrored.remove_prefix(1);
    }
    while (!mirrored.empty() && (mirrored.back() == '\n' || mirrored.back() == '\r')) {
        mirrored.remove_suffix(1);
    }
    systemLog_(kSystemLogPrefix + std::string(mirrored));
}

// --- the file -------------------------------------------------------------------

void TesselwickDiagnostics::closeFileLocked() {
    if (fileHandle_ >= 0) {
        ::close(fileHandle_);
        fileHandle_ = -1;
    }
}

void TesselwickDiagnostics::prepareLogFileLocked() {
    const std::filesystem::path current = defaultLogURL();
    const auto fail = [&](const std::string& description) {
        closeFileLocked();
        activeLogURL_ = current;
        systemLog_(std::string(kSystemLogPrefix) + "could not prepare log file: " + description);
    };

    std::error_code error;
    std::filesystem::create_directories(logDirectory_, error);
    if (error) {
        return fail(logDirectory_.string() + ": " + error.message());
    }

    // Rotation happens only here, so at most once per process.
    struct stat attributes {};
    if (::stat(current.c_str(), &attributes) == 0 &&
        static_cast<std::uintmax_t>(attributes.st_size) > kRotationThreshold) {
        const std::filesystem::path previous = logDirectory_ / kPreviousLogName;
        ::unlink(previous.c_str());
        if (::rename(current.c_str(), previous.c_str()) != 0) {
            return fail(errorText(current, errno));
        }
    }

    if (::access(current.c_str(), F_OK) != 0) {
        const int created = ::open(current.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (created < 0 && errno != EEXIST) {
            // Without a file the log still reaches the system log; this case
            // is deliberately silent.
            activeLogURL_ = current;
            return;
        }
        if (created >= 0) {
            ::close(created);
        }
    }

    // Appending keeps records whole even if another process writes the file.
    const int handle = ::open(current.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (handle < 0) {
        return fail(errorText(current, errno));
    }
    closeFileLocked();
    fileHandle_ = handle;
    activeLogURL_ = current;
}

void TesselwickDiagnostics::writeLocked(const std::string& record) {
    if (fileHandle_ < 0) {
        return;
    }
    std::string_view remaining = record;
    while (!remaining.empty()) {
        const ssize_t written = ::write(fileHandle_, remaining.data(), remaining.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            systemLog_(std::string(kSystemLogPrefix) + "could not write log file: " +
                       errorText(activeLogURL_.value_or(defaultLogURL()), errno));
            return;
        }
        remaining.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fsync(fileHandle_) != 0) {
        systemLog_(std::string(kSystemLogPrefix) + "could not write log file: " +
                   errorText(activeLogURL_.value_or(defaultLogURL()), errno));
    }
}

// --- session --------------------------------------------------------------------

void TesselwickDiagnostics::startSession() {
    if (!enabled_) {
        return;
    }
    {
        std::lock_guard guard(lock_);
        if (sessionStarted_) {
            return;
        }
        sessionStarted_ = true;
        prepareLogFileLocked();
    }
    if (installsProcessHandlers_) {
        previousTerminateHandler_ = std::set_terminate(&tesselwickUncaughtExceptionHandler);
        std::atexit(&tesselwickAtExitHandler);
    }

    const std::string version = build::kVersion;
    const std::string buildNumber = build::kBuildNumber;
    const std::string executable = executablePath();
    const std::string bundle =
        executable.empty() ? "unknown" : std::filesystem::path(executable).parent_path().string();
    log([] { return "========== Tesselwick diagnostic session started =========="; }, TW_CALL_SITE);
    log(
        [&] {
            return "Process pid=" + std::to_string(getpid()) + " version=" + version +
                   " build=" + buildNumber + " architecture=" + architecture();
        },
        TW_CALL_SITE);
    log([] { return "macOS=" + operatingSystemVersion(); }, TW_CALL_SITE);
    log([&] { return "Bundle path=" + bundle; }, TW_CALL_SITE);
    log([&] { return "Executable path=" + (executable.empty() ? "unknown" : executable); },
        TW_CALL_SITE);
    log([&] { return "Log path=" + activeLogURL().value_or(defaultLogURL()).string(); },
        TW_CALL_SITE);
}

void TesselwickDiagnostics::flush() {
    if (!enabled_) {
        return;
    }
    std::lock_guard guard(lock_);
    if (fileHandle_ >= 0) {
        ::fsync(fileHandle_);
    }
}

void TesselwickDiagnostics::finishSession(std::string_view reason) {
    if (!enabled_) {
        return;
    }
    log([&] { return "Diagnostic session finishing: " + std::string(reason); }, TW_CALL_SITE);
    flush();
}

void TesselwickDiagnostics::logUncaughtException(const std::string& name, const std::string& reason,
                                                 const std::vector<std::string>& callStack,
                                                 CallSite site) {
    if (enabled_) {
        log(
            [&] {
                return "UNCAUGHT NSException name=" + name + " reason=" + reason +
                       "\nCall stack:\n" + text::join(callStack, "\n");
            },
            site);
    }
    flush();
}

void TesselwickDiagnostics::tesselwickUncaughtExceptionHandler() {
    TesselwickDiagnostics& diagnostics = shared();
    const auto [name, reason] = describeException(std::current_exception());
    diagnostics.logUncaughtException(name, reason, callStackSymbols(), TW_CALL_SITE);
    if (diagnostics.previousTerminateHandler_ != nullptr) {
        diagnostics.previousTerminateHandler_();
    }
    std::abort();
}

void TesselwickDiagnostics::tesselwickAtExitHandler() {
    TesselwickDiagnostics& diagnostics = shared();
    diagnostics.log([] { return "atexit handler invoked"; }, TW_CALL_SITE);
    diagnostics.flush();
}

} // namespace tesselwick
