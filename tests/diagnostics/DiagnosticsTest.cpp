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

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <stdexcept>
#include <thread>

#include <unistd.h>

using namespace tesselwick;
using namespace tesselwick::testing;
namespace fs = std::filesystem;

namespace {

int occurrences(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (auto pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}

// A log of its own in a private directory, with what it sends to the system log.
struct TestLog {
    TempDir home;
    std::mutex mutex;
    std::vector<std::string> systemLog;
    fs::path directory = home.path() / "Library" / "Logs" / "Tesselwick";
    TesselwickDiagnostics log{true, directory, [this](const std::string& line) {
                                  std::lock_guard guard(mutex);
                                  systemLog.push_back(line);
                              }};
    fs::path current() const { return directory / "Tesselwick-Debug.log"; }
    fs::path previous() const { return directory / "Tesselwick-Debug.previous.log"; }
    int mirrored(const std::string& prefix) {
        std::lock_guard guard(mutex);
        return static_cast<int>(std::count_if(systemLog.begin(), systemLog.end(), [&](auto& line) {
            return text::startsWith(line, prefix);
        }));
    }
};

// Runs the fixture program (the shared log, as the application uses it) with HOME in
// `home` and the switch set to `value` (or unset); returns its exit code.
std::int64_t runFixture(const fs::path& home, const char* value, const std::string& mode) {
    std::vector<std::string> arguments = {"HOME=" + home.string()};
    if (value == nullptr) {
        arguments.insert(arguments.begin(), {"-u", "TESSELWICK_DIAGNOSTICS"});
    } else {
        arguments.push_back(std::string("TESSELWICK_DIAGNOSTICS=") + value);
    }
    arguments.push_back(std::string(TESSELWICK_BINARY_DIR) + "/bin/diagnostics_fixture");
    arguments.push_back(mode);
    try {
        process::runProcessData("/usr/bin/env", arguments, tesselwick::Seconds(30.0));
        return 0;
    } catch (const DomainError& error) {
        return error.code();
    }
}

std::string fixtureLog(const TempDir& home) {
    return readText(home.path() / "Library/Logs/Tesselwick/Tesselwick-Debug.log");
}

} // namespace

TEST(DiagnosticsSwitch, OnlyTheExactValueOneTurnsItOn) {
    for (const char* value : {"", "0", "01", " 1"}) {
        EXPECT_FALSE(TesselwickDiagnostics::isEnabledValue(value)) << value;
    }
    // The shared instance reads the real environment: a near miss creates nothing.
    for (const char* value : {"true", "1 ", static_cast<const char*>(nullptr)}) {
        TempDir home;
        EXPECT_EQ(runFixture(home.path(), value, "session"), 0);
        EXPECT_FALSE(fs::exists(home.path() / "Library")) << (value ? value : "unset");
    }
    TempDir home;
    EXPECT_EQ(runFixture(home.path(), "1", "session"), 0);
    const std::string file = fixtureLog(home);
    // Started twice, one banner; the exit handler writes the last record.
    EXPECT_EQ(occurrences(file, "diagnostic session started"), 1);
    EXPECT_TRUE(text::endsWith(file, "tesselwickAtExitHandler()] atexit handler invoked\n"))
        << file;
    // A record before the session: no banner and no exit handler afterwards.
    TempDir early;
    ASSERT_EQ(runFixture(early.path(), "1", "log-first"), 0);
    EXPECT_EQ(occurrences(fixtureLog(early), "session started"), 0);
    EXPECT_EQ(occurrences(fixtureLog(early), "atexit"), 0);
}

TEST(DiagnosticsRecord, FormatThreadLabelAndMirror) {
    TestLog t;
    t.log.log([] { return "first"; });
    std::thread([&] { t.log.log([] { return "second"; }); }).join();
    t.log.log([] { return "trailing\n\n"; });

    // The folder and its parents are created on the first record.
    const std::string file = readText(t.current());
    const std::string stamp = R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\] )";
    const std::string site = R"(\[Tesselwick/DiagnosticsTest:\d+ TestBody\(\)\] )";
    // Inside the thread's lambda only Clang's bare "operator()" may be known.
    const std::string lambda = R"(\[Tesselwick/DiagnosticsTest:\d+ [^\]]+\] )";
    const std::regex expected("^" + stamp + R"(\[main\] )" + site + "first\n" + stamp +
                              R"(\[background\] )" + lambda + "second\n" + stamp + R"(\[main\] )" +
                              site + "trailing\n\n\n$");
    EXPECT_TRUE(std::regex_match(file, expected)) << file;
    // The system-log copy is the record without its line breaks at the ends.
    ASSERT_EQ(t.systemLog.size(), 3u);
    EXPECT_TRUE(text::startsWith(t.systemLog[2], "TesselwickDebug ["));
    EXPECT_TRUE(text::endsWith(t.systemLog[2], "] trailing"));
}

TEST(DiagnosticsFile, RotatesOnlyAboveTheThreshold) {
    for (const std::size_t size : {8'388'609u, 8'388'608u}) {
        const bool rotated = size > 8'388'608u; // one byte over, or exactly the threshold
        TestLog t;
        fs::create_directories(t.directory);
        std::ofstream(t.current(), std::ios::binary) << std::string(size, '#');
        std::ofstream(t.previous(), std::ios::binary) << "older";
        t.log.log([] { return "after launch"; });
        t.log.log([] { return "again"; }); // no second rotation in one process
        const std::string current = readText(t.current());
        EXPECT_EQ(fs::file_size(t.previous()), rotated ? size : 5u) << size;
        // Rotated: a fresh file; otherwise the records follow the old bytes.
        EXPECT_EQ(current.find_first_not_of('#'), rotated ? 0 : size) << size;
        EXPECT_EQ(occurrences(current, "\n"), 2) << size;
    }
}

TEST(DiagnosticsFile, UnusableOrFailingLogFallsBackToTheSystemLog) {
    struct Case {
        const char* what;
        std::function<void(const TestLog&)> breakIt;
        int prepareMessages;
        int writeMessages;
    } cases[] = {
        // the log path is a directory: cannot be opened; said once, not per record
        {"directory", [](const TestLog& t) { fs::create_directories(t.current()); }, 1, 0},
        // every write fails: reported for each record
        {"full disk",
         [](const TestLog& t) {
             fs::create_directories(t.directory);
             fs::create_symlink("/dev/full", t.current());
         },
         0, 3},
    };
    for (const auto& c : cases) {
        TestLog t;
        c.breakIt(t);
        for (int i = 0; i < 3; ++i) {
            t.log.log([] { return "still mirrored"; });
        }
        EXPECT_EQ(t.mirrored("TesselwickDebug could not prepare log file: "), c.prepareMessages)
            << c.what;
        EXPECT_EQ(t.mirrored("TesselwickDebug could not write log file: "), c.writeMessages)
            << c.what;
        EXPECT_EQ(t.mirrored("TesselwickDebug ["), 3) << c.what;
        EXPECT_EQ(t.log.activeLogURL(), t.current()) << c.what;
    }
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
        TempDir home;
        EXPECT_EQ(runFixture(home.path(), "1", c.mode), SIGABRT);
        const std::string file = fixtureLog(home);
        const auto at = file.find(c.record);
        ASSERT_NE(at, std::string::npos) << file;
        // The call stack follows, one frame per line, naming this program.
        EXPECT_NE(file.find("diagnostics_fixture", at), std::string::npos) << file;
    }
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
    const auto lines = text::split(text::trim(readText(t.current())), '\n');
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kRecords));
    // Each thread's records appear whole and in its own order.
    const std::regex shape(R"(^\[[^\]]+\] \[background\] \[[^\]]+\] worker=(\d) record=(\d+) )");
    std::map<int, int> nextRecord;
    for (const auto& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_search(line, match, shape)) << line;
        const int worker = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), nextRecord[worker]++);
        EXPECT_TRUE(text::endsWith(line, std::string(200, static_cast<char>('a' + worker))));
    }
    EXPECT_EQ(t.mirrored("TesselwickDebug ["), kThreads * kRecords);
}
