#include "app/HelperCommands.h"
#include "app/TerminalText.h"

#include "app/Cli.h"
#include "app/CommandSession.h"

#include "helper/ESPHelper.h"
#include "support/ExitCodes.h"
#include "support/Task.h"

#include <exception>
#include <ostream>

namespace tesselwick::app {
namespace {

// The prompt may wait up to two minutes; the probe and refresh follow.
constexpr Seconds kInstallLimit{180.0};
constexpr const char* kUsage = "usage: tesselwick helper status|install|show-installer\n";

// Blocking helper work belongs on a worker task, as in the application.
template <typename Body> void runOnWorkerTask(Body&& body) {
    std::exception_ptr failure;
    const TaskHandle handle = startDetachedTask([&] {
        try {
            body();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    while (!handle.waitFinished(3600s)) {
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace

int runHelperCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err) {
    if (arguments.size() != 1) {
        err << kUsage;
        return exitcode::kUsage;
    }
    const std::string& verb = arguments[0];
    if (verb == "show-installer") {
        // Exactly the text that would run as root, so it can be audited
        // before the prompt is approved.
        out << ESPHelper::installerScript();
        out.flush();
        return 0;
    }
    if (verb == "status") {
        ESPHelper::ProbeResult result;
        runOnWorkerTask([&] { result = ESPHelper::probePasswordlessRuntime(); });
        out << terminalText(result.message, Lines::keep) << "\n";
        return result.ready ? 0 : 1;
    }
    if (verb == "install") {
        // Through the manager, as the popover's button does.
        CommandSession session;
        manager::DiskManager& manager = session.manager();
        manager.installHelper();
        if (!session.serve([&] { return !manager.helperBusy(); }, kInstallLimit)) {
            return session.interrupted() ? kInterruptedStatus : 1;
        }
        session.deliver();
        if (manager.lastError()) {
            err << terminalText(*manager.lastError(), Lines::keep) << "\n";
            return 1;
        }
        out << "Passwordless EFI mount/unmount is available.\n";
        return 0;
    }
    err << kUsage;
    return exitcode::kUsage;
}

} // namespace tesselwick::app

TESSELWICK_SUBCOMMAND(helper, "Passwordless mounting: helper status | install | show-installer",
                      tesselwick::app::runHelperCommand);
