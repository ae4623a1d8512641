#include "e2e/DesktopServices.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace simtest {

DesktopServices::DesktopServices(std::vector<std::string> options) {
    char pattern[] = "/tmp/tesselwick-desktop.XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0) {
        return;
    }
    ::close(fd);
    recordPath_ = pattern;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    const std::string program = std::string(TESSELWICK_BINARY_DIR) + "/bin/test_desktop_services";
    std::vector<std::string> arguments{program, recordPath_};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return;
    }
    pid_ = pid;
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') {
        line.push_back(c);
    }
    ::close(out[0]);
    const std::string prefix = "DBUS_SESSION_BUS_ADDRESS=";
    if (line.rfind(prefix, 0) == 0) {
        address_ = line.substr(prefix.size());
    }
}

DesktopServices::~DesktopServices() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    if (!recordPath_.empty()) {
        ::unlink(recordPath_.c_str());
    }
}

std::string DesktopServices::environment() const {
    return "DBUS_SESSION_BUS_ADDRESS='" + address_ + "' ";
}

std::vector<std::string> DesktopServices::records() const {
    std::vector<std::string> lines;
    std::ifstream in(recordPath_);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace simtest
