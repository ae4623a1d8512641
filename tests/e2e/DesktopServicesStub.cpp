// A stand-in for the desktop's notification daemon and file manager on a
// private session bus of its own, for end-to-end tests of the program (and of
// the menu-bar app under a test X server).
//
//   test_desktop_services RECORD_FILE
//
// Starts a dbus-daemon that any local user may use (the program under test
// runs as the simulated Mac's user, whom the host's bus would not know), owns
// org.freedesktop.Notifications and org.freedesktop.FileManager1 on it, prints
// "DBUS_SESSION_BUS_ADDRESS=<address>" on one line once both names are owned,
// and appends one line per request to RECORD_FILE:
//   notify<TAB>summary<TAB>body
//   show-folders<TAB>uri
// It serves until it is terminated; the bus goes with it.

#include <dbus/dbus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr const char* kBusConfig = R"(<busconfig>
  <type>session</type> <listen>unix:tmpdir=/tmp</listen>
  <auth>ANONYMOUS</auth> <allow_anonymous/>
  <policy context="default">
    <allow user="*"/> <allow send_destination="*"/> <allow own="*"/> <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

int recordFd = -1;

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "test_desktop_services: %s\n", message.c_str());
    std::exit(1);
}

void record(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(recordFd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        die("cannot write the record file");
    }
}

// Starts the bus as a child that dies with us; returns its address.
std::string startBus() {
    char configPath[] = "/tmp/tesselwick-bus.XXXXXX";
    const int config = ::mkstemp(configPath);
    if (config < 0 || ::write(config, kBusConfig, std::strlen(kBusConfig)) < 0) {
        die("cannot write the bus configuration");
    }
    ::close(config);
    int pipeFds[2];
    const pid_t parent = ::getpid();
    pid_t child = -1;
    if (::pipe(pipeFds) != 0 || (child = ::fork()) < 0) {
        die("cannot start dbus-daemon");
    }
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(1);
        }
        ::close(pipeFds[0]);
        // It complains about resource limits it may not raise; nothing to see.
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        const std::string configArg = std::string("--config-file=") + configPath;
        const std::string printArg = "--print-address=" + std::to_string(pipeFds[1]);
        ::execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--nosyslog",
                 printArg.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string address;
    char c;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') {
        address.push_back(c);
    }
    ::close(pipeFds[0]);
    ::unlink(configPath);
    if (address.empty()) {
        die("dbus-daemon did not start");
    }
    return address;
}

std::string stringArgument(DBusMessageIter* iter) {
    if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_STRING) {
        return {};
    }
    const char* value = nullptr;
    dbus_message_iter_get_basic(iter, &value);
    return value != nullptr ? value : "";
}

void reply(DBusConnection* connection, DBusMessage* answer) {
    dbus_connection_send(connection, answer, nullptr);
    dbus_message_unref(answer);
}

// No GetCapabilities: the program then escapes the texts it sends, as it should.
DBusHandlerResult handle(DBusConnection* connection, DBusMessage* message, void*) {
    if (dbus_message_is_method_call(message, "org.freedesktop.Notifications", "Notify")) {
        DBusMessageIter args;
        dbus_message_iter_init(message, &args);
        // app_name, replaces_id, app_icon, summary, body, ...
        std::string fields[5];
        for (int i = 0; i < 5; ++i) {
            fields[i] = stringArgument(&args);
            dbus_message_iter_next(&args);
        }
        record("notify\t" + fields[3] + "\t" + fields[4]);
        DBusMessage* answer = dbus_message_new_method_return(message);
        const dbus_uint32_t id = 1;
        dbus_message_append_args(answer, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID);
        reply(connection, answer);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (dbus_message_is_method_call(message, "org.freedesktop.FileManager1", "ShowFolders")) {
        DBusMessageIter args, uris;
        dbus_message_iter_init(message, &args);
        if (dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_ARRAY) {
            dbus_message_iter_recurse(&args, &uris);
            while (dbus_message_iter_get_arg_type(&uris) == DBUS_TYPE_STRING) {
                record("show-folders\t" + stringArgument(&uris));
                dbus_message_iter_next(&uris);
            }
        }
        reply(connection, dbus_message_new_method_return(message));
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        die("usage: test_desktop_services RECORD_FILE");
    }
    recordFd = ::open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (recordFd < 0) {
        die(std::string("cannot open ") + argv[1]);
    }
    const std::string address = startBus();

    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_connection_open_private(address.c_str(), &error);
    if (connection == nullptr || !dbus_bus_register(connection, &error)) {
        die(std::string("cannot connect to the bus: ") +
            (error.message != nullptr ? error.message : "?"));
    }
    for (const char* name : {"org.freedesktop.Notifications", "org.freedesktop.FileManager1"}) {
        if (dbus_bus_request_name(connection, name, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
            die(std::string("cannot own ") + name);
        }
    }
    dbus_connection_add_filter(connection, handle, nullptr, nullptr);
    std::printf("DBUS_SESSION_BUS_ADDRESS=%s\n", address.c_str());
    std::fflush(stdout);
    // Blocks until something arrives; ends when the bus goes away.
    while (dbus_connection_read_write_dispatch(connection, -1)) {
    }
    return 0;
}
