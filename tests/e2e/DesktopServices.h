#pragma once

// Starts test_desktop_services (a private session bus with a notification
// service and a file manager that record what they are asked) for one test.

#include <string>
#include <vector>

namespace simtest {

class DesktopServices {
public:
    explicit DesktopServices(std::vector<std::string> options = {});
    ~DesktopServices();
    DesktopServices(const DesktopServices&) = delete;
    DesktopServices& operator=(const DesktopServices&) = delete;

    bool started() const { return !address_.empty(); }
    // "DBUS_SESSION_BUS_ADDRESS=<address> ", to put before a command line.
    std::string environment() const;
    // One line per request, in order: "notify\t<summary>\t<body>",
    // "show-folders\t<uri>".
    std::vector<std::string> records() const;

private:
    std::string recordPath_;
    std::string address_;
    int pid_ = -1;
};

} // namespace simtest
