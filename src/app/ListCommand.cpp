#include "app/Cli.h"
#include "app/CommandSession.h"
#include "app/ListOutput.h"
#include "app/TerminalText.h"
#include "manager/CoreServices.h"
#include "support/BlockingMainQueue.h"
#include "support/ExitCodes.h"
#include "support/Task.h"

#include <atomic>
#include <exception>

namespace {

using tesselwick::discovery::ESPVolume;

// Runs the scan on a worker task. Ctrl-C or SIGTERM cancels it instead of ending
// the process on the spot, so the tools it is running are stopped and reaped
// rather than left behind. False when interrupted; throws the scan's error.
bool scanUnlessInterrupted(std::vector<ESPVolume>& volumes) {
    tesselwick::BlockingMainQueue queue;
    tesselwick::app::InterruptWatcher interrupts(queue); // before any thread starts
    std::atomic<bool> finished{false};
    std::exception_ptr failure;
    const auto source = tesselwick::manager::makeCoreServices().volumes;
    const tesselwick::TaskHandle scan = tesselwick::startDetachedTask([&, source] {
        try {
            volumes = source->loadESPVolumes();
        } catch (...) {
            failure = std::current_exception();
        }
        finished = true;
        queue.wake();
    });
    while (!queue.runUntil([&] { return finished || interrupts.interrupted(); },
                           tesselwick::Seconds(3600))) {
    }
    if (!finished) {
        scan.cancel();
    }
    // The body uses the queue to the end.
    while (!scan.waitFinished(tesselwick::Seconds(3600))) {
    }
    if (interrupts.interrupted()) {
        return false;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return true;
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
            err << "tesselwick list: unknown option '" << tesselwick::app::terminalText(argument)
                << "'\n"
                << "usage: tesselwick list [--json]\n";
            return tesselwick::exitcode::kUsage;
        }
    }
    try {
        std::vector<ESPVolume> volumes;
        if (!scanUnlessInterrupted(volumes)) {
            return tesselwick::app::kInterruptedStatus;
        }
        out << (json ? tesselwick::app::volumesJSON(volumes)
                     : tesselwick::app::volumesTable(volumes));
        return 0;
    } catch (const std::exception& error) {
        err << tesselwick::app::terminalText(error.what(), tesselwick::app::Lines::keep) << "\n";
        return 1;
    }
}

} // namespace

TESSELWICK_SUBCOMMAND(list, "List the EFI System Partitions (--json for scripts)", runList);
