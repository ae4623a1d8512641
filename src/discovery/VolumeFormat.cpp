#include "discovery/VolumeFormat.h"

#include <array>
#include <cstdio>

namespace tesselwick::discovery {

std::string formatByteCount(std::int64_t bytes) {
    if (bytes < 1000) {
        return std::to_string(bytes) + " B";
    }
    constexpr std::array<const char*, 6> kUnits = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    // Round first so 999.96 KB reads as 1.0 MB rather than 1000.0 KB.
    while (unit + 1 < kUnits.size() && value >= 999.95) {
        value /= 1000.0;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f %s", value, kUnits[unit]);
    return buffer;
}

} // namespace tesselwick::discovery
