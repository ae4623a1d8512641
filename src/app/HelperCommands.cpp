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
constexpr const char* kUsage =
    "usage: tesselwick helper status|install|uninstall|show-installer|show-uninstaller\n";

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

// Installs or removes the helper through the manager, as the popover does.
int changeThroughManager(void (manager::DiskManager::*intent)(), const char* success,
                         std::ostream& out, std::ostream& err) {
    CommandSession session;
    manager::DiskManager& manager = session.manager();
    (manager.*intent)();
    if (!session.serve([&] { return !manager.helperBusy(); }, kInstallLimit)) {
        return session.interrupted() ? kInterruptedStatus : 1;
    }
    session.deliver();
    if (manager.lastError()) {
        err << terminalText(*manager.lastError(), Lines::keep) << "\n";
        return 1;
    }
    out << success << "\n";
    return 0;
}

} // namespace

int runHelperCommand(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err) {
    if (arguments.size() != 1) {
        err << kUsage;
        return exitcode::kUsage;
    }
    const std::string& verb = arguments[0];
    if (verb == "show-installer" || verb == "show-uninstaller") {
        // Exactly the text that would run as root, so it can be audited
        // before the prompt is approved.
        out << (verb == "show-installer" ? ESPHelper::installerScript()
                                         : ESPHelper::uninstallerScript());
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
        return changeThroughManager(&manager::DiskManager::installHelper,
                                    "Passwordless EFI mount/unmount is available.", out, err);
    }
    if (verb == "uninstall") {
        // Nothing to remove needs no prompt, and no manager either.
        if (ESPHelper::helperFilesAbsent()) {
            out << "The helper is not installed.\n";
            return 0;
        }
        return changeThroughManager(&manager::DiskManager::uninstallHelper,
                                    "The helper was removed; mounting asks for an administrator "
                                    "password again.",
                                    out, err);
    }
    err << kUsage;
    return exitcode::kUsage;
}

} // namespace tesselwick::app

TESSELWICK_SUBCOMMAND(helper,
                      "Passwordless mounting: helper status | install | uninstall | show-installer "
                      "| show-uninstaller",
                      tesselwick::app::runHelperCommand);
