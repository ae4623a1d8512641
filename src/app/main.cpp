#include "app/Application.h"
#include "app/Cli.h"
#include "diagnostics/Diagnostics.h"
#include "process/ProcessRunner.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // An inherited "ignore SIGCHLD" would let the kernel discard the tools'
    // exit statuses.
    tesselwick::process::restoreDefaultChildSignal();
    // Without arguments this is the menu-bar application; it opens its own
    // diagnostic session as it starts.
    if (argc <= 1) {
        return tesselwick::app::runApplication(argc, argv);
    }
    // Off unless TESSELWICK_DIAGNOSTICS=1; then a command-line run leaves the
    // same trail in the log as the menu-bar app does.
    auto& diagnostics = tesselwick::TesselwickDiagnostics::shared();
    diagnostics.startSession();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const int status = tesselwick::cli::run(arguments, std::cout, std::cerr);
    diagnostics.finishSession("command finished status=" + std::to_string(status));
    return status;
}
