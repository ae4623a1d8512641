#include "ui/ByteFormat.h"

#include <array>
#include <cmath>

namespace tesselwick::ui {

QString formatFileSize(std::int64_t bytes, const QLocale& locale) {
    if (bytes == 0) {
        return QStringLiteral("Zero KB");
    }
    const QString sign = bytes < 0 ? locale.negativeSign() : QString();
    // The magnitude as a double loses nothing that two shown digits could reveal.
    const double magnitude = std::fabs(static_cast<double>(bytes));
    if (magnitude < 1000) {
        const auto count = static_cast<long long>(magnitude);
        return sign + locale.toString(count) +
               (count == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));
    }
    struct Unit {
        const char* name;
        int digits;
    };
    static constexpr std::array<Unit, 6> units{
        {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}}};
    std::size_t index = 0;
    double value = magnitude / 1000.0;
    while (index + 1 < units.size() && value >= 1000.0) {
        value /= 1000.0;
        ++index;
    }
    double scale = std::pow(10.0, units[index].digits);
    double rounded = std::round(value * scale) / scale;
    // Rounding can reach the next unit: 999.96 MB is shown as 1 GB, not 1000 MB.
    if (rounded >= 1000.0 && index + 1 < units.size()) {
        ++index;
        value /= 1000.0;
        scale = std::pow(10.0, units[index].digits);
        rounded = std::round(value * scale) / scale;
    }
    QString number = locale.toString(rounded, 'f', units[index].digits);
    if (units[index].digits > 0) {
        const QString point = locale.decimalPoint();
        while (number.endsWith(locale.zeroDigit())) {
            number.chop(1);
        }
        if (number.endsWith(point)) {
            number.chop(point.size());
        }
    }
    return sign + number + QLatin1Char(' ') + QLatin1String(units[index].name);
}

} // namespace tesselwick::ui
