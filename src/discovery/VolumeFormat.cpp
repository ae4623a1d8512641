#include "discovery/VolumeFormat.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace tesselwick::discovery {

std::string formatFileSize(std::int64_t bytes, std::string_view decimalPoint) {
    if (bytes == 0) {
        return "Zero KB";
    }
    const std::string sign = bytes < 0 ? "-" : "";
    // The magnitude as a double loses nothing that two shown digits could reveal.
    const double magnitude = std::fabs(static_cast<double>(bytes));
    if (magnitude < 1000) {
        const auto count = static_cast<long long>(magnitude);
        return sign + std::to_string(count) + (count == 1 ? " byte" : " bytes");
    }
    struct Unit {
        const char* name;
        int digits;
    };
    static constexpr std::array<Unit, 6> kUnits{
        {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}}};
    std::size_t index = 0;
    double value = magnitude / 1000.0;
    while (index + 1 < kUnits.size() && value >= 1000.0) {
        value /= 1000.0;
        ++index;
    }
    double scale = std::pow(10.0, kUnits[index].digits);
    double rounded = std::round(value * scale) / scale;
    // Rounding can reach the next unit: 999.96 MB is shown as 1 GB, not 1000 MB.
    if (rounded >= 1000.0 && index + 1 < kUnits.size()) {
        ++index;
        value /= 1000.0;
        scale = std::pow(10.0, kUnits[index].digits);
        rounded = std::round(value * scale) / scale;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", kUnits[index].digits, rounded);
    std::string number = buffer;
    if (const auto point = number.find('.'); point != std::string::npos) {
        while (number.back() == '0') {
            number.pop_back();
        }
        if (number.back() == '.') {
            number.pop_back();
        } else {
            number.replace(point, 1, decimalPoint);
        }
    }
    return sign + number + " " + kUnits[index].name;
}

} // namespace tesselwick::discovery
