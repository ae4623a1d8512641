// A process that uses the shared log the way the application does; the
// diagnostics tests run it with a chosen environment.
#include "diagnostics/Diagnostics.h"

#include <cstring>
#include <exception>

namespace {
struct FixtureError {};
} // namespace

int main(int argc, char** argv) {
    auto& diagnostics = tesselwick::TesselwickDiagnostics::shared();
    const char* mode = argc > 1 ? argv[1] : "session";
    if (std::strcmp(mode, "log-first") == 0) {
        // A record before the session: the session then writes no banner.
        TW_LOG("early record");
        diagnostics.startSession();
        return 0;
    }
    diagnostics.startSession();
    diagnostics.startSession();
    TW_LOG("fixture record");
    if (std::strcmp(mode, "throw") == 0) {
        throw FixtureError{};
    }
    if (std::strcmp(mode, "throw-reason") == 0) {
        throw std::runtime_error("disk vanished");
    }
    diagnostics.finishSession("applicationWillTerminate complete");
    return 0;
}
