// GCC 12 reports false maybe-uninitialized warnings inside <regex> when
// optimising with sanitizers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "diagnostics/Diagnostics.h"
#include "process/ProcessRunner.h"
#include "process/ProcessTestSupport.h"
#include "support/Text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <unistd.h>

using namespace tesselwick;
using namespace tesselwick::testing;
namespace fs = std::filesystem;

namespace {

// Collects what the log sends to the system log.
class SystemLogCapture {
public:
    TesselwickDiagnostics::SystemLog sink() {
        return [this](const std::string& line) {
            std::lock_guard guard(mutex_);
            lines_.push_back(line);
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard guard(mutex_);
        return lines_;
    }
    int count(const std::string& prefix) const {
        int n = 0;
        for (const auto& line : lines()) {
            n += text::startsWith(line, prefix) ? 1 : 0;
        }
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeBytes(const fs::path& path, std::size_t size, char fill) {
    std::ofstream(path, std::ios::binary) << std::string(size, fill);
}

int occurrences(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (auto pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}

// A log of its own in a private directory.
struct TestLog {
    TemporaryDirectory home;
    SystemLogCapture systemLog;
    fs::path directory = home.path() / "Library" / "Logs" / "Tesselwick";
    TesselwickDiagnostics log{true, directory, systemLog.sink()};
    fs::path current() const { return directory / "Tesselwick-Debug.log"; }
    fs::path previous() const { return directory / "Tesselwick-Debug.previous.log"; }
};

const std::string kFixture = std::string(TESSELWICK_BINARY_DIR) + "/bin/diagnostics_fixture";

// Runs the fixture with HOME in `home` and the switch set to `value` (or
// unset); returns the exit code (0 on success).
std::int64_t runFixture(const fs::path& home, const char* value, const std::string& mode) {
    std::vector<std::string> arguments = {"HOME=" + home.string()};
    if (value == nullptr) {
        arguments.insert(arguments.begin(), {"-u", "TESSELWICK_DIAGNOSTICS"});
    } else {
        arguments.push_back(std::string("TESSELWICK_DIAGNOSTICS=") + value);
    }
    arguments.push_back(kFixture);
    arguments.push_back(mode);
    try {
        process::runProcessData("/usr/bin/env", arguments, 30.0);
        return 0;
    } catch (const DomainError& error) {
        return error.code();
    }
}

// The shared log a fixture run with HOME in `home` wrote.
std::string fixtureLog(const TemporaryDirectory& home) {
    return readFile(home.path() / "Library/Logs/Tesselwick/Tesselwick-Debug.log");
}

} // namespace

TEST(DiagnosticsSwitch, OnlyTheExactValueOneTurnsItOn) {
    struct Case {
        const char* value;
        bool enabled;
    } cases[] = {
        {"1", true},    {nullptr, false}, // unset
        {"", false},    {"0", false},     {"true", false},
        {"yes", false}, {"01", false},    {"1 ", false}, // trailing space
        {" 1", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TesselwickDiagnostics::isEnabledValue(c.value), c.enabled)
            << (c.value ? c.value : "unset");
    }

    // The shared instance reads the real environment: a near miss creates
    // nothing at all, "1" writes the log.
    for (const char* value : {"true", "1 ", static_cast<const char*>(nullptr)}) {
        TemporaryDirectory home;
        EXPECT_EQ(runFixture(home.path(), value, "session"), 0);
        EXPECT_FALSE(fs::exists(home.path() / "Library")) << (value ? value : "unset");
    }
    TemporaryDirectory home;
    EXPECT_EQ(runFixture(home.path(), "1", "session"), 0);
    const std::string file = fixtureLog(home);
    EXPECT_EQ(occurrences(file, "] fixture record\n"), 1);
    // Started twice, one banner; the exit handler writes the last record.
    EXPECT_EQ(occurrences(file, "diagnostic session started"), 1);
    EXPECT_TRUE(text::endsWith(file, "tesselwickAtExitHandler()] atexit handler invoked\n"))
        << file;
}

TEST(DiagnosticsOff, NothingIsEvaluatedOrWritten) {
    TemporaryDirectory home;
    SystemLogCapture systemLog;
    TesselwickDiagnostics log(false, home.path() / "Logs", systemLog.sink());
    int evaluated = 0;
    log.log([&] {
        ++evaluated;
        return std::string("expensive");
    });
    log.startSession();
    log.finishSession("done");
    log.flush();
    EXPECT_EQ(evaluated, 0);
    EXPECT_FALSE(fs::exists(home.path() / "Logs"));
    EXPECT_TRUE(systemLog.lines().empty());
}

TEST(DiagnosticsRecord, FormatThreadLabelAndMirror) {
    TestLog t;
    t.log.log([] { return "first"; });
    std::thread([&] { t.log.log([] { return "second"; }); }).join();
    t.log.log([] { return "trailing\n\n"; });

    const std::string file = readFile(t.current());
    const std::string stamp = R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\] )";
    const std::string site = R"(\[Tesselwick/DiagnosticsTest:\d+ TestBody\(\)\] )";
    const std::regex expected("^" + stamp + R"(\[main\] )" + site + "first\n" + stamp +
                              R"(\[background\] )" + site + "second\n" + stamp + R"(\[main\] )" +
                              site + "trailing\n\n\n$");
    EXPECT_TRUE(std::regex_match(file, expected)) << file;

    // The system-log copy is the record without its line breaks at the ends.
    const auto lines = t.systemLog.lines();
    ASSERT_EQ(lines.size(), 3u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(text::startsWith(lines[i], "TesselwickDebug ["));
        EXPECT_FALSE(text::endsWith(lines[i], "\n"));
    }
    EXPECT_TRUE(text::endsWith(lines[2], "] trailing"));
    EXPECT_EQ(t.log.activeLogURL(), t.current());
}

TEST(DiagnosticsRecord, TimestampIsUtcWithMilliseconds) {
    using namespace std::chrono;
    const sys_time<milliseconds> instant = sys_days{year{2026} / 12 / 5} + 14h + 4min + 49s + 123ms;
    EXPECT_EQ(TesselwickDiagnostics::timestamp(instant), "2026-12-05T14:04:49.123Z");
    EXPECT_EQ(TesselwickDiagnostics::timestamp(sys_days{year{2027} / 1 / 1} - 1ms),
              "2026-12-31T23:59:59.999Z");
}

namespace {
template <typename T> std::string labelInTemplate(T, int) {
    return TesselwickDiagnostics::functionLabel(TW_CALL_SITE.function);
}
std::string labelInLambda() {
    const auto inner = [](int, int) {
        return TesselwickDiagnostics::functionLabel(TW_CALL_SITE.function);
    };
    return inner(1, 2);
}
} // namespace

TEST(DiagnosticsRecord, CallSiteLabels) {
    struct Case {
        const char* function;
        const char* label;
    } cases[] = {
        // member without parameters, return type and scopes dropped
        {"void tesselwick::DiskManager::refresh()", "refresh()"},
        // one parameter, const member
        {"void tesselwick::AppDelegate::togglePopover(QObject*) const", "togglePopover(_:)"},
        // templates in the return type and the parameters do not split
        {"std::map<std::__cxx11::basic_string<char>, int> ns::scan(const "
         "std::vector<std::pair<int, "
         "int> >&, int)",
         "scan(_:_:)"},
        // function pointer parameter counts once
        {"int run(void (*)(int, int), double)", "run(_:_:)"},
        // GCC template suffix and template arguments on the name
        {"auto tesselwick::load(T) [with T = int; U = char]", "load(_:)"},
        {"void tesselwick::Cache<Key>::store<int>(Key)", "store(_:)"},
        // Clang template suffix, anonymous namespace
        {"void (anonymous namespace)::worker(T) [T = int]", "worker(_:)"},
        // lambdas name the function that wrote them (GCC, then Clang)
        {"tesselwick::DiskManager::refresh()::<lambda(int)>", "refresh()"},
        {"auto tesselwick::DiskManager::start(int)::(lambda at src/m.cpp:10:5)::operator()() const",
         "start(_:)"},
        {"auto tesselwick::DiskManager::start(int, int)::(anonymous class)::operator()(int) const",
         "start(_:_:)"},
        // a bare name (no signature known)
        {"refresh", "refresh()"},
        // main and explicit void
        {"int main(int, char**)", "main(_:_:)"},
        {"void f(void)", "f()"},
        // the call operator of a named type
        {"bool ns::Less::operator()(int, int) const", "operator()(_:_:)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TesselwickDiagnostics::functionLabel(c.function), c.label) << c.function;
    }
    // What this compiler really produces.
    EXPECT_EQ(labelInTemplate(1.5, 2), "labelInTemplate(_:_:)");
    EXPECT_EQ(labelInLambda(), "labelInLambda()");

    EXPECT_EQ(TesselwickDiagnostics::fileLabel("/work/src/manager/DiskManager.cpp"),
              "Tesselwick/DiskManager");
    EXPECT_EQ(TesselwickDiagnostics::fileLabel("Diagnostics.cpp"), "Tesselwick/Diagnostics");
}

TEST(DiagnosticsFile, MissingDirectoryIsCreatedWithItsParents) {
    TestLog t;
    ASSERT_FALSE(fs::exists(t.home.path() / "Library"));
    t.log.log([] { return "x"; });
    EXPECT_TRUE(fs::is_regular_file(t.current()));
    EXPECT_EQ(t.systemLog.count("TesselwickDebug could not"), 0);
}

TEST(DiagnosticsFile, RotatesOnlyAboveTheThreshold) {
    struct Case {
        std::size_t size;
        bool rotated;
    } cases[] = {
        {8'388'609, true},  // one byte over: moved aside, replacing the older one
        {8'388'608, false}, // exactly the threshold: appended to
    };
    for (const auto& c : cases) {
        TestLog t;
        fs::create_directories(t.directory);
        writeBytes(t.current(), c.size, '#');
        writeBytes(t.previous(), 10, 'p');
        t.log.log([] { return "after launch"; });
        t.log.log([] { return "again"; }); // no second rotation in one process
        const std::string current = readFile(t.current());
        if (c.rotated) {
            EXPECT_EQ(fs::file_size(t.previous()), c.size);
            EXPECT_EQ(current.find('#'), std::string::npos);
            EXPECT_EQ(occurrences(current, "\n"), 2);
        } else {
            EXPECT_EQ(fs::file_size(t.previous()), 10u);
            EXPECT_EQ(current.substr(0, c.size), std::string(c.size, '#'));
            EXPECT_EQ(occurrences(current.substr(c.size), "\n"), 2);
        }
    }
}

TEST(DiagnosticsFile, UnusableLogFallsBackToTheSystemLogWithOneMessage) {
    struct Case {
        const char* what;
        std::function<void(const TestLog&)> breakIt;
    } cases[] = {
        // the log path is taken by a directory: cannot be opened for writing
        {"directory", [](const TestLog& t) { fs::create_directories(t.current()); }},
        // a parent of the log directory is a file: cannot be created
        {"parent", [](const TestLog& t) { writeBytes(t.home.path() / "Library", 1, 'x'); }},
    };
    for (const auto& c : cases) {
        TestLog t;
        c.breakIt(t);
        t.log.startSession();
        for (int i = 0; i < 3; ++i) {
            t.log.log([] { return "still mirrored"; });
        }
        EXPECT_EQ(t.systemLog.count("TesselwickDebug could not prepare log file: "), 1) << c.what;
        EXPECT_EQ(t.systemLog.count("TesselwickDebug could not write log file: "), 0) << c.what;
        int mirrored = 0;
        for (const auto& line : t.systemLog.lines()) {
            mirrored += text::startsWith(line, "TesselwickDebug [") &&
                                text::endsWith(line, "] still mirrored")
                            ? 1
                            : 0;
        }
        EXPECT_EQ(mirrored, 3) << c.what;
        EXPECT_EQ(t.log.activeLogURL(), t.current()) << c.what;
    }
}

TEST(DiagnosticsFile, WriteFailuresAreReportedPerRecordAndRetried) {
    TestLog t;
    fs::create_directories(t.directory);
    fs::create_symlink("/dev/full", t.current());
    t.log.log([] { return "one"; });
    t.log.log([] { return "two"; });
    EXPECT_EQ(t.systemLog.count("TesselwickDebug could not prepare log file: "), 0);
    EXPECT_EQ(t.systemLog.count("TesselwickDebug could not write log file: "), 2);
    EXPECT_EQ(t.systemLog.count("TesselwickDebug ["), 2);
}

TEST(DiagnosticsSession, OneBannerEvenWhenStartedTwice) {
    TestLog t;
    t.log.startSession();
    t.log.startSession();
    t.log.finishSession("applicationWillTerminate complete");
    const std::string file = readFile(t.current());
    const auto lines = text::split(text::trim(file), '\n');
    ASSERT_EQ(lines.size(), 7u) << file;
    const std::string site = "startSession()] ";
    const std::string expected[] = {
        site + "========== Tesselwick diagnostic session started ==========",
        site + "Process pid=" + std::to_string(getpid()) + " version=",
        site + "macOS=",
        site + "Bundle path=" + fs::path(fs::read_symlink("/proc/self/exe")).parent_path().string(),
        site + "Executable path=" + fs::read_symlink("/proc/self/exe").string(),
        site + "Log path=" + t.current().string(),
        "finishSession(_:)] Diagnostic session finishing: applicationWillTerminate complete",
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
    }
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(" build=\\S+ architecture=(x86_64|arm64)$")))
        << lines[1];
}

TEST(DiagnosticsException, RecordShape) {
    struct Named : std::exception {
        const char* what() const noexcept override { return ""; }
    };
    struct Case {
        std::exception_ptr error;
        std::string name;
        std::string reason;
    } cases[] = {
        {std::make_exception_ptr(std::runtime_error("disk vanished")), "std::runtime_error",
         "disk vanished"},
        // an empty reason reads "no reason"
        {std::make_exception_ptr(std::logic_error("")), "std::logic_error", "no reason"},
        {std::make_exception_ptr(Named{}),
         "DiagnosticsException_RecordShape_Test::TestBody()::Named", "no reason"},
        // not an exception class at all
        {std::make_exception_ptr(42), "int", "no reason"},
    };
    for (const auto& c : cases) {
        const auto [name, reason] = TesselwickDiagnostics::describeException(c.error);
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(reason, c.reason);
    }

    TestLog t;
    t.log.logUncaughtException("std::logic_error", "no reason", {"frame 0", "frame 1"},
                               TW_CALL_SITE);
    const std::string file = readFile(t.current());
    EXPECT_TRUE(text::endsWith(file, "] UNCAUGHT NSException name=std::logic_error reason=no "
                                     "reason\nCall stack:\nframe 0\nframe 1\n"))
        << file;
}

TEST(DiagnosticsException, UncaughtExceptionIsRecordedBeforeTheProcessEnds) {
    struct Case {
        std::string mode;
        std::string record;
    } cases[] = {
        {"throw", "] UNCAUGHT NSException name=(anonymous namespace)::FixtureError reason=no "
                  "reason\nCall stack:\n"},
        {"throw-reason",
         "] UNCAUGHT NSException name=std::runtime_error reason=disk vanished\nCall stack:\n"},
    };
    for (const auto& c : cases) {
        TemporaryDirectory home;
        EXPECT_EQ(runFixture(home.path(), "1", c.mode), SIGABRT);
        const std::string file = fixtureLog(home);
        const auto at = file.find(c.record);
        ASSERT_NE(at, std::string::npos) << file;
        EXPECT_NE(file.find("tesselwickUncaughtExceptionHandler()] UNCAUGHT"), std::string::npos);
        // The call stack follows, one frame per line, naming this program.
        const std::string stack = file.substr(at + c.record.size());
        EXPECT_GE(occurrences(stack, "\n"), 2);
        EXPECT_NE(stack.find("diagnostics_fixture"), std::string::npos) << stack;
        EXPECT_EQ(occurrences(file, "diagnostic session started"), 1);
    }
}

TEST(DiagnosticsSession, NoBannerOrExitHandlerAfterAnEarlierRecord) {
    TemporaryDirectory early;
    ASSERT_EQ(runFixture(early.path(), "1", "log-first"), 0);
    const std::string earlyFile = fixtureLog(early);
    EXPECT_EQ(occurrences(earlyFile, "session started"), 0);
    EXPECT_EQ(occurrences(earlyFile, "atexit"), 0); // no handlers without the session
}

TEST(DiagnosticsConcurrency, ManyThreadsNeverInterleaveOrLoseRecords) {
    TestLog t;
    constexpr int kThreads = 8;
    constexpr int kRecords = 200;
    std::vector<std::thread> threads;
    for (int w = 0; w < kThreads; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kRecords; ++i) {
                t.log.log([&] {
                    return "worker=" + std::to_string(w) + " record=" + std::to_string(i) + " " +
                           std::string(200, static_cast<char>('a' + w));
                });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto lines = text::split(text::trim(readFile(t.current())), '\n');
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kRecords));
    const std::regex shape(
        R"(^\[[^\]]+\] \[background\] \[[^\]]+\] worker=(\d) record=(\d+) ([a-h]+)$)");
    std::map<int, int> nextRecord;
    for (const auto& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        const int worker = std::stoi(match[1]);
        // Each thread's records appear whole and in its own order.
        EXPECT_EQ(std::stoi(match[2]), nextRecord[worker]++);
        EXPECT_EQ(match[3].str(), std::string(200, static_cast<char>('a' + worker)));
    }
    EXPECT_EQ(t.systemLog.count("TesselwickDebug ["), kThreads * kRecords);
}
