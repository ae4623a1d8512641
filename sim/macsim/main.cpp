// macsim: one executable that behaves as diskutil, hdiutil, osascript, plutil, BSD stat
// and base64 -D by the name it is started under (or `macsim TOOL ARGS…`), plus
// `macsim ctl …` to set up and steer the simulated machine. See sim/README.md.

#include "Machine.h"
#include "Tools.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
#define MACSIM_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MACSIM_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(MACSIM_ADDRESS_SANITIZER)
// The leak check at exit stops the process with a ptrace tracer, which inside
// the sandbox's namespaces can spin forever; a simulated tool that lives for
// milliseconds has no leak worth finding, while its memory errors still are.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}
#endif

using namespace macsim;

namespace {

// The time this process spent before main (being spawned, exec, loading libraries),
// from the scheduler's per-task accounting: time on the CPU plus time waiting for it.
// A call's logged duration includes it, as the caller waits for that too.
std::chrono::steady_clock::duration timeBeforeMain() {
    std::ifstream in("/proc/self/schedstat");
    unsigned long long onCpu = 0;
    unsigned long long waiting = 0;
    if (!(in >> onCpu >> waiting)) {
        return {};
    }
    return std::chrono::nanoseconds(onCpu + waiting);
}

const auto processStart = std::chrono::steady_clock::now() - timeBeforeMain();

// Tools that need root's powers (mounting, running the approved shell); the others
// drop the set-user-ID privilege once the machine's state has been read.
bool needsPrivilege(const std::string& tool) {
    return tool == "diskutil" || tool == "hdiutil" || tool == "osascript";
}

bool isSetuid() {
    return ::geteuid() != ::getuid();
}

std::string homeDirectory() {
    // A set-user-ID run must not let the caller choose which state root writes.
    return isSetuid() ? "/var/db/macsim" : defaultHome();
}

std::string readStandardInput() {
    std::ostringstream out;
    out << std::cin.rdbuf();
    return out.str();
}

void writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string commandLine(const std::string& tool, const Args& args) {
    std::string line = tool;
    for (const auto& a : args) {
        line += " " + a;
    }
    return line;
}

std::string jsonString(const Json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : "";
}

// ---------------------------------------------------------------------------------------------
// Faults and replay

struct Plan {
    bool replaced = false; // the fault or replay entry supplies the whole answer
    Output output;
    double delay = 0;
    bool hang = false;
    std::uint64_t floodBytes = 0;
    bool floodStderr = false;
};

bool faultMatches(const Json& fault, const std::string& tool, const std::string& line) {
    if (fault.contains("command")) {
        return jsonString(fault, "command") == line;
    }
    if (fault.contains("prefix")) {
        return line.rfind(jsonString(fault, "prefix"), 0) == 0;
    }
    if (fault.contains("tool")) {
        return jsonString(fault, "tool") == tool;
    }
    return false;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError{"macsim: cannot read " + path, 70};
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Decides, under the lock, what this invocation does instead of (or before) the model.
// Counts every matching call so a fault can target the N-th one.
Plan planInvocation(Machine& machine, const std::string& tool, const std::string& line) {
    Plan plan;
    Json& state = machine.state();
    std::vector<Json> faults;
    for (const auto& f : state.value("faults", Json::array())) {
        faults.push_back(f);
    }
    for (const auto& f : machine.world().value("faults", Json::array())) {
        faults.push_back(f);
    }
    for (const auto& fault : faults) {
        if (!faultMatches(fault, tool, line)) {
            continue;
        }
        std::string key = fault.contains("id") ? jsonString(fault, "id") : fault.dump();
        std::uint64_t call = state["counters"].value(key, std::uint64_t{0}) + 1;
        state["counters"][key] = call;
        if (fault.contains("calls")) {
            bool listed = false;
            for (const auto& n : fault["calls"]) {
                listed = listed || (n.is_number_unsigned() && n.get<std::uint64_t>() == call);
            }
            if (!listed) {
                continue;
            }
        }
        if (fault.contains("from") && call < fault["from"].get<std::uint64_t>()) {
            continue;
        }
        if (fault.contains("rewrite")) {
            for (const auto& [id, keys] : fault["rewrite"].items()) {
                machine.rewritePartition(id, keys);
            }
        }
        plan.delay = fault.value("delay", 0.0);
        plan.hang = fault.value("hang", false);
        if (fault.contains("flood")) {
            plan.replaced = true;
            plan.floodBytes = fault["flood"].value("bytes", std::uint64_t{20 * 1024 * 1024});
            plan.floodStderr = fault["flood"].value("stream", std::string("stdout")) == "stderr";
        }
        for (const char* key2 : {"status", "stdout", "stdoutFile", "stderr"}) {
            plan.replaced = plan.replaced || fault.contains(key2);
        }
        if (plan.replaced) {
            plan.output.status = fault.value("status", 0);
            plan.output.out = fault.contains("stdoutFile")
                                  ? fileText(jsonString(fault, "stdoutFile"))
                                  : jsonString(fault, "stdout");
            plan.output.err = jsonString(fault, "stderr");
            if (!plan.output.err.empty() && plan.output.err.back() != '\n') {
                plan.output.err += "\n";
            }
        }
        return plan; // the first matching fault that applies wins
    }
    for (const auto& entry : machine.world().value("replay", Json::array())) {
        if (jsonString(entry, "command") != line) {
            continue;
        }
        plan.replaced = true;
        plan.output.status = entry.value("status", 0);
        plan.output.out = entry.contains("stdoutFile") ? fileText(jsonString(entry, "stdoutFile"))
                                                       : jsonString(entry, "stdout");
        plan.output.err = entry.contains("stderrFile") ? fileText(jsonString(entry, "stderrFile"))
                                                       : jsonString(entry, "stderr");
        return plan;
    }
    return plan;
}

// ---------------------------------------------------------------------------------------------
// Invocation log

void appendLog(const std::string& path, const std::vector<std::string>& argv,
               const std::string& tool, int status) {
    if (path.empty()) {
        return;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - processStart).count();
    double startWall =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
        seconds;
    Json entry = {{"tool", tool},       {"argv", argv},       {"status", status},
                  {"seconds", seconds}, {"start", startWall}, {"pid", static_cast<int>(::getpid())},
                  {"uid", ::getuid()}};
    // What a caller's directory or locale could change in a tool's answer.
    std::error_code noDirectory;
    entry["cwd"] = fs::current_path(noDirectory).string();
    const char* locale = std::getenv("LC_ALL");
    entry["LC_ALL"] = locale != nullptr ? Json(locale) : Json(nullptr);
    std::string text = entry.dump() + "\n";
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        writeAll(fd, text); // one write with O_APPEND: lines from parallel tools never interleave
        ::close(fd);
    }
}

// Waits out a fault's delay (forever when negative). A caller that gives up and
// terminates us still gets its call logged, with the signal's status, so time-outs
// are visible in the invocation log.
void waitOrLogTermination(double seconds, const std::string& logPath,
                          const std::vector<std::string>& argv, const std::string& tool) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &set, &previous);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int signal = 0;
        if (seconds < 0) {
            if (::sigwait(&set, &signal) != 0) {
                continue;
            }
        } else {
            auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::nanoseconds(0)) {
                break;
            }
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timespec timeout{static_cast<time_t>(ns / 1000000000),
                             static_cast<long>(ns % 1000000000)};
            signal = ::sigtimedwait(&set, nullptr, &timeout);
            if (signal < 0) {
                continue; // EAGAIN at the deadline is caught by the check above; EINTR retries
            }
        }
        appendLog(logPath, argv, tool, 128 + signal);
        std::_Exit(128 + signal);
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Running other programs

void dropPrivileges() {
    if (isSetuid()) {
        gid_t gid = ::getgid();
        uid_t uid = ::getuid();
        if (::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) {
            std::_Exit(70);
        }
    }
}

struct Captured {
    int status = 0;
    std::string out;
    std::string err;
};

// Runs `/bin/sh -c command` as root, as the approved prompt does.
Captured runRootShell(const std::string& command) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        return {127, "", "pipe failed"};
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setresgid(0, 0, 0) != 0 || ::setgroups(0, nullptr) != 0 ||
            ::setresuid(0, 0, 0) != 0) {
            ::_exit(126);
        }
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        // What the real prompt's shell keeps of the caller is not documented,
        // so the root shell gets the worst case: the caller's whole environment
        // and working directory.
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    Captured result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// The system's own program behind a name we stand in for.
std::string realProgram(const std::string& tool, const Json* state) {
    if (state != nullptr) {
        auto wrapped = state->value("wrapped", Json::object());
        if (wrapped.contains(tool)) {
            return wrapped[tool].get<std::string>();
        }
    }
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    for (const char* dir : {"/usr/lib/macsim/real/usr/bin/", "/usr/bin/", "/bin/"}) {
        fs::path candidate = std::string(dir) + tool;
        if (fs::exists(candidate, ec) && fs::canonical(candidate, ec) != self) {
            return candidate.string();
        }
    }
    return "";
}

// Hands the call to the real program; with a log, waits so the line can record it.
int runReal(const std::string& program, const std::vector<std::string>& argv,
            const std::string& logPath, const std::string& tool) {
    if (program.empty()) {
        std::cerr << tool << ": no system program to hand this use to\n";
        return 127;
    }
    std::vector<char*> cargv;
    for (const auto& a : argv) {
        cargv.push_back(const_cast<char*>(a.c_str()));
    }
    cargv.push_back(nullptr);
    if (logPath.empty()) {
        ::execv(program.c_str(), cargv.data());
        std::cerr << tool << ": cannot run " << program << ": " << std::strerror(errno) << "\n";
        return 127;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(program.c_str(), cargv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---------------------------------------------------------------------------------------------
// macsim ctl

int control(const Args& args) {
    const std::string usage =
        "usage: macsim ctl init WORLD [--sandbox] [--log PATH] | wrap NAME REALPATH | "
        "fault JSON | rewrite PARTITION JSON | clear-faults | prompt approve|cancel|none | state | "
        "query WORLD KEY";
    if (args.empty()) {
        std::cerr << usage << "\n";
        return 64;
    }
    if (isSetuid()) {
        std::cerr << "macsim ctl: only root steers the simulated machine\n";
        return 77;
    }
    const std::string home = homeDirectory();
    const std::string& verb = args[0];
    if (verb == "query" && args.size() == 3) {
        // Lets the sandbox read its world without a JSON tool of its own.
        Json world = loadWorldFile(args[1]);
        Json value = world;
        for (const auto& key : [&] {
                 std::vector<std::string> parts;
                 std::stringstream ss(args[2]);
                 for (std::string p; std::getline(ss, p, '.');) {
                     parts.push_back(p);
                 }
                 return parts;
             }()) {
            if (value.is_object() && value.contains(key)) {
                value = value[key];
            } else {
                return 1;
            }
        }
        if (value.is_array()) {
            for (const auto& item : value) {
                std::cout << (item.is_string() ? item.get<std::string>() : item.dump()) << "\n";
            }
        } else {
            std::cout << (value.is_string() ? value.get<std::string>() : value.dump()) << "\n";
        }
        return 0;
    }
    if (verb == "init" && args.size() >= 2) {
        bool sandbox = false;
        std::string log;
        for (std::size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "--sandbox") {
                sandbox = true;
            } else if (args[i] == "--log" && i + 1 < args.size()) {
                log = args[++i];
            }
        }
        fs::create_directories(home);
        HomeLock lock(home);
        Machine::initialize(home, args[1], sandbox, log);
        Machine machine(home);
        machine.mountInitialVolumes();
        machine.save();
        return 0;
    }
    HomeLock lock(home);
    Machine machine(home);
    if (verb == "wrap" && args.size() == 3) {
        machine.state()["wrapped"][args[1]] = args[2];
    } else if (verb == "fault" && args.size() == 2) {
        machine.state()["faults"].push_back(Json::parse(args[1]));
    } else if (verb == "rewrite" && args.size() == 3) {
        machine.rewritePartition(args[1], Json::parse(args[2]));
    } else if (verb == "clear-faults") {
        machine.state()["faults"] = Json::array();
        machine.state()["counters"] = Json::object();
    } else if (verb == "prompt" && args.size() == 2 &&
               (args[1] == "approve" || args[1] == "cancel" || args[1] == "none")) {
        machine.state()["prompt"] = args[1];
    } else if (verb == "state") {
        std::cout << machine.state().dump(1) << "\n";
    } else {
        std::cerr << usage << "\n";
        return 64;
    }
    machine.save();
    return 0;
}

// ---------------------------------------------------------------------------------------------

int simulate(const std::string& tool, const Args& args, const std::vector<std::string>& argv) {
    const unsigned realUid = ::getuid();
    const std::string home = homeDirectory();
    const std::string line = commandLine(tool, args);
    bool haveHome = fs::exists(home + "/state.json");
    if (!haveHome && needsPrivilege(tool)) {
        std::cerr << tool << ": the simulated Mac is not set up (run it in sim/sandbox, or "
                  << "`macsim ctl init WORLD` with MACSIM_HOME)\n";
        return 70;
    }
    const char* envLog = std::getenv("MACSIM_LOG");
    std::string logPath = envLog != nullptr ? envLog : "";
    std::string standardInput;
    if (tool == "plutil" || tool == "base64") {
        standardInput = readStandardInput();
    }

    Plan plan;
    Output output;
    Json stateCopy;
    std::string prompt;
    bool ran = false;
    if (haveHome) {
        std::optional<HomeLock> lock(std::in_place, home);
        Machine machine(home);
        if (logPath.empty()) {
            logPath = jsonString(machine.state(), "log");
        }
        plan = planInvocation(machine, tool, line);
        stateCopy = machine.state();
        prompt = jsonString(machine.state(), "prompt");
        machine.save();
        if (!plan.replaced && !plan.hang && plan.delay <= 0 &&
            (tool == "diskutil" || tool == "hdiutil")) {
            output = tool == "diskutil" ? diskutil(machine, args, realUid)
                                        : hdiutil(machine, args, realUid);
            machine.save();
            ran = true;
        }
    }
    if (!needsPrivilege(tool)) {
        dropPrivileges();
    }
    // Delays and hangs happen outside the lock so other tools keep working meanwhile.
    if (plan.hang || plan.delay > 0) {
        waitOrLogTermination(plan.hang ? -1.0 : plan.delay, logPath, argv, tool);
    }
    if (plan.replaced) {
        if (plan.floodBytes > 0) {
            std::string chunk(65536, 'x');
            for (std::size_t i = 63; i < chunk.size(); i += 64) {
                chunk[i] = '\n';
            }
            int fd = plan.floodStderr ? 2 : 1;
            for (std::uint64_t left = plan.floodBytes; left > 0;) {
                std::size_t n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
                writeAll(fd, chunk.substr(0, n));
                left -= n;
            }
        }
        output = plan.output;
    } else if (!ran) {
        if (tool == "diskutil" || tool == "hdiutil") {
            HomeLock lock(home);
            Machine machine(home);
            output = tool == "diskutil" ? diskutil(machine, args, realUid)
                                        : hdiutil(machine, args, realUid);
            machine.save();
        } else if (tool == "osascript") {
            std::optional<std::string> command;
            if (args.size() == 2 && args[0] == "-e") {
                command = administratorShellCommand(args[1]);
            }
            if (!command) {
                output = {"",
                          "osascript: the simulator runs only: osascript -e 'do shell script "
                          "\"COMMAND\" with administrator privileges'\n",
                          64};
            } else if (prompt == "cancel") {
                output = osascriptCancelled(args[1]);
            } else if (prompt == "none") {
                waitOrLogTermination(-1.0, logPath, argv, tool); // nobody answers the prompt
            } else {
                Captured result = runRootShell(*command);
                output = osascriptResult(args[1], result.status, result.out, result.err);
            }
        } else {
            std::optional<Output> handled;
            if (tool == "plutil") {
                handled = plutil(args, standardInput);
            } else if (tool == "stat") {
                handled = bsdStat(args);
            } else if (tool == "base64") {
                handled = base64Decode(args, standardInput);
            }
            if (!handled) {
                if (!standardInput.empty()) {
                    // Already consumed: feed it to the real program through a pipe.
                    int fds[2];
                    if (::pipe(fds) == 0) {
                        if (::fork() == 0) {
                            ::close(fds[0]);
                            writeAll(fds[1], standardInput);
                            ::_exit(0);
                        }
                        ::close(fds[1]);
                        ::dup2(fds[0], 0);
                        ::close(fds[0]);
                    }
                }
                int status = runReal(realProgram(tool, haveHome ? &stateCopy : nullptr), argv,
                                     logPath, tool);
                appendLog(logPath, argv, tool, status);
                return status;
            }
            output = *handled;
        }
    }
    writeAll(1, output.out);
    writeAll(2, output.err);
    appendLog(logPath, argv, tool, output.status);
    return output.status;
}

} // namespace

int main(int argc, char** argv) {
    // Inherited as ignored, SIGCHLD would make the kernel reap the programs
    // we run ourselves, and their statuses would read as success.
    std::signal(SIGCHLD, SIG_DFL);
    std::vector<std::string> all(argv, argv + argc);
    std::string tool = fs::path(all.empty() ? "macsim" : all[0]).filename().string();
    Args args(all.begin() + (all.empty() ? 0 : 1), all.end());
    std::vector<std::string> realArgv = all;
    if (tool == "macsim" || tool == "macsim-user") {
        if (args.empty()) {
            std::cerr << "usage: macsim TOOL [ARGS…] | macsim ctl …  (TOOL: diskutil, hdiutil, "
                         "osascript, plutil, stat, base64)\n";
            return 64;
        }
        tool = args[0];
        args.erase(args.begin());
        realArgv.erase(realArgv.begin());
        if (tool == "ctl") {
            try {
                return control(args);
            } catch (const ToolError& e) {
                std::cerr << e.message << "\n";
                return e.status;
            } catch (const std::exception& e) {
                std::cerr << "macsim ctl: " << e.what() << "\n";
                return 70;
            }
        }
    }
    std::signal(SIGPIPE, SIG_DFL);
    try {
        return simulate(tool, args, realArgv);
    } catch (const ToolError& e) {
        std::cerr << e.message << "\n";
        return e.status;
    } catch (const std::exception& e) {
        std::cerr << tool << ": simulator failure: " << e.what() << "\n";
        return 70;
    }
}
