#include "app/CommandSession.h"
#include "app/TerminalText.h"

#include "manager/CoreServices.h"
#include "support/Clock.h"
#include "support/ExitCodes.h"
#include "support/Task.h"

#include <exception>

#include <pthread.h>

namespace tesselwick::app {

namespace {

constexpr Seconds kDeliveryLimit{5.0};
constexpr Seconds kWorkerLimit{30.0};

struct ScanResult {
    std::vector<discovery::ESPVolume> volumes;
    std::vector<discovery::DiskReport> disks;
};

// Runs the scan on a worker task. Ctrl-C or SIGTERM cancels it instead of ending
// the process on the spot, so the tools it is running are stopped and reaped
// rather than left behind. False when interrupted; throws the scan's error.
bool scanUnlessInterrupted(ScanResult& result) {
    BlockingMainQueue queue;
    InterruptWatcher interrupts(queue); // before any thread starts
    std::atomic<bool> finished{false};
    std::exception_ptr failure;
    const auto source = manager::makeCoreServices().volumes;
    const TaskHandle scan = startDetachedTask([&, source] {
        try {
            result.volumes = source->loadESPVolumes(&result.disks);
        } catch (...) {
            failure = std::current_exception();
        }
        finished = true;
        queue.wake();
    });
    while (!queue.runUntil([&] { return finished || interrupts.interrupted(); }, Seconds(3600))) {
    }
    if (!finished) {
        scan.cancel();
    }
    // The body uses the queue to the end.
    while (!scan.waitFinished(Seconds(3600))) {
    }
    if (interrupts.interrupted()) {
        return false;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return true;
}

} // namespace

InterruptWatcher::InterruptWatcher(BlockingMainQueue& queue) : queue_(queue) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    // Every thread started from here on inherits the mask, so only the watcher
    // receives these; the command runner gives children the default mask back.
    pthread_sigmask(SIG_BLOCK, &signals, &previous_);
    thread_ = std::thread([this, signals] {
        int signal = 0;
        while (sigwait(&signals, &signal) == 0) {
            if (signal == SIGUSR1) {
                return;
            }
            interrupted_ = true;
            queue_.wake();
        }
    });
}

InterruptWatcher::~InterruptWatcher() {
    // SIGUSR1 aimed at the watcher alone ends its wait.
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

CommandSession::CommandSession()
    : interrupts_(queue_), composition_(queue_, systemClock()),
      manager_(composition_.makeDiskManager()) {}

CommandSession::~CommandSession() {
    manager::DiskManager::releaseAndWait(manager_, kWorkerLimit);
    composition_.waitUntilDelivered(kDeliveryLimit);
}

bool CommandSession::serve(const std::function<bool()>& done, Seconds limit) {
    queue_.runUntil([&] { return interrupted() || done(); }, limit);
    return !interrupted() && done();
}

int runScanCommand(const ScanCommand& command, const std::vector<std::string>& arguments,
                   std::ostream& out, std::ostream& err) {
    const std::string usage = "usage: tesselwick " + std::string(command.name) + " [--json]\n";
    bool json = false;
    for (const std::string& argument : arguments) {
        if (argument == "--json") {
            json = true;
        } else if (argument == "--help" || argument == "-h") {
            out << usage << "\n" << command.description;
            return 0;
        } else {
            err << "tesselwick " << command.name << ": unknown option '" << terminalText(argument)
                << "'\n"
                << usage;
            return exitcode::kUsage;
        }
    }
    try {
        ScanResult result;
        if (!scanUnlessInterrupted(result)) {
            return kInterruptedStatus;
        }
        out << command.print(result.volumes, result.disks, json);
        return 0;
    } catch (const std::exception& error) {
        err << terminalText(error.what(), Lines::keep) << "\n";
        return 1;
    }
}

void CommandSession::deliver() {
    queue_.runPending();
    composition_.waitUntilDelivered(kDeliveryLimit);
    queue_.runPending();
}

} // namespace tesselwick::app
