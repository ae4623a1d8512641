#include "diagnostics/Diagnostics.h"

#include <cstdlib>
#include <cstring>

namespace tesselwick {

// Provisional: the file log, rotation, banner and handlers are still to come.

TesselwickDiagnostics& TesselwickDiagnostics::shared() {
    static TesselwickDiagnostics* instance = [] {
        const char* value = std::getenv("TESSELWICK_DIAGNOSTICS");
        return new TesselwickDiagnostics(value != nullptr && std::strcmp(value, "1") == 0);
    }();
    return *instance;
}

TesselwickDiagnostics::TesselwickDiagnostics(bool enabled) : enabled_(enabled) {}

void TesselwickDiagnostics::startSession() {}
void TesselwickDiagnostics::flush() {}
void TesselwickDiagnostics::finishSession(std::string_view) {}
std::string TesselwickDiagnostics::fileLabel(std::string_view path) { return std::string(path); }
std::string TesselwickDiagnostics::functionLabel(std::string_view f) { return std::string(f); }
void TesselwickDiagnostics::logRecord(std::string, const std::source_location&) {}

} // namespace tesselwick
