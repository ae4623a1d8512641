#include "app/Cli.h"
#include "discovery/VolumeFormat.h"
#include "discovery/VolumeScan.h"
#include "support/Errors.h"
#include "support/Task.h"

#include <csignal>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include <pthread.h>

namespace {

using tesselwick::discovery::ESPVolume;

// Runs the scan on a worker task. Ctrl-C or SIGTERM cancels it instead of ending
// the process on the spot, so the tools it is running are stopped and reaped
// rather than left behind; the signal is then returned. Throws the scan's error.
std::optional<int> scanUnlessInterrupted(std::vector<ESPVolume>& volumes) {
    // SIGUSR1 only wakes the waiter below when the scan ends by itself.
    sigset_t waitedFor;
    sigemptyset(&waitedFor);
    sigaddset(&waitedFor, SIGUSR1);
    for (const int signal : {SIGINT, SIGTERM}) {
        // One our parent set to be ignored (nohup, a background job) stays ignored.
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&waitedFor, signal);
        }
    }
    // Blocked before any thread starts, so every thread inherits the mask and only
    // the waiter takes these signals.
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &waitedFor, &previous);

    std::exception_ptr failure;
    const tesselwick::TaskHandle scan = tesselwick::startDetachedTask([&] {
        try {
            volumes = tesselwick::discovery::loadESPVolumes();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    std::mutex lock;
    bool finished = false;
    int received = 0;
    std::thread waiter([&] {
        for (;;) {
            int signal = 0;
            sigwait(&waitedFor, &signal);
            std::lock_guard guard(lock);
            if (finished) {
                return;
            }
            if (signal != SIGUSR1) {
                received = signal;
                scan.cancel();
                return;
            }
        }
    });
    while (!scan.waitFinished(3600.0)) {
    }
    {
        std::lock_guard guard(lock);
        finished = true;
        if (received == 0) {
            pthread_kill(waiter.native_handle(), SIGUSR1);
        }
    }
    waiter.join();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    if (received != 0) {
        return received;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::nullopt;
}

int runList(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    bool json = false;
    for (const std::string& argument : arguments) {
        if (argument == "--json") {
            json = true;
        } else if (argument == "--help" || argument == "-h") {
            out << "usage: tesselwick list [--json]\n\n"
                   "Scans the disks once and lists every EFI System Partition in list order.\n"
                   "  --json  print a JSON array with one object per partition\n";
            return 0;
        } else {
            err << "tesselwick list: unknown option '" << argument << "'\n"
                << "usage: tesselwick list [--json]\n";
            return 64;
        }
    }
    try {
        std::vector<ESPVolume> volumes;
        if (const std::optional<int> signal = scanUnlessInterrupted(volumes)) {
            return 128 + *signal;
        }
        out << (json ? tesselwick::discovery::volumesJSON(volumes)
                     : tesselwick::discovery::volumesTable(volumes));
        return 0;
    } catch (const std::exception& error) {
        err << error.what() << "\n";
        return 1;
    }
}

} // namespace

TESSELWICK_SUBCOMMAND(list, "List the EFI System Partitions (--json for scripts)", runList);
