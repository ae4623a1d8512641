#pragma once

// What the end-to-end tests share: the program under test, the invocation log
// that sim/sandbox writes (MACSIM_LOG: one JSON object per tool call, with its
// argv, uid and status), and the recording desktop services.

#include "sim/SimTestSupport.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace simtest {

inline std::string programPath() {
    return std::string(TESSELWICK_BINARY_DIR) + "/bin/tesselwick";
}

inline std::vector<Json> loggedCalls(const std::string& log) {
    std::vector<Json> calls;
    std::istringstream lines(readText(log));
    for (std::string line; std::getline(lines, line);) {
        calls.push_back(Json::parse(line));
    }
    return calls;
}

// "tool arg arg ...", without the tool's directory.
inline std::string commandLine(const Json& call) {
    std::string line = std::filesystem::path(call["argv"][0].get<std::string>()).filename();
    for (std::size_t i = 1; i < call["argv"].size(); ++i) {
        // Not " " + temporary: GCC 12 reports a false -Wrestrict for that.
        line.append(" ").append(call["argv"][i].get<std::string>());
    }
    return line;
}

// test_desktop_services for one test: a private session bus whose
// notification service and file manager record what they are asked.
class DesktopServices {
public:
    DesktopServices() {
        const std::string program =
            std::string(TESSELWICK_BINARY_DIR) + "/bin/test_desktop_services";
        std::string record = dir_ / "records";
        char* argv[] = {const_cast<char*>(program.c_str()), record.data(), nullptr};
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string line; // "DBUS_SESSION_BUS_ADDRESS=<address>", once it serves
        for (char c; pid_ > 0 && ::read(out[0], &c, 1) == 1 && c != '\n';) {
            line.push_back(c);
        }
        ::close(out[0]);
        if (line.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) {
            // Quoted for the shell: the bus address is NAME=VALUE.
            environment_ = line.substr(0, 25);
            environment_ += '\'';
            environment_ += line.substr(25);
            environment_ += "' ";
        }
    }
    ~DesktopServices() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    DesktopServices(const DesktopServices&) = delete;
    DesktopServices& operator=(const DesktopServices&) = delete;

    bool started() const { return !environment_.empty(); }
    // "DBUS_SESSION_BUS_ADDRESS='<address>' ", to put before a command line.
    const std::string& environment() const { return environment_; }
    // One line per request, in order: "notify\t<summary>\t<body>",
    // "show-folders\t<uri>".
    std::vector<std::string> records() const {
        std::vector<std::string> lines;
        std::istringstream in(readText(dir_ / "records"));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

private:
    TempDir dir_;
    std::string environment_;
    pid_t pid_ = -1;
};

} // namespace simtest
