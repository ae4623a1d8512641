#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>

namespace tesselwick::ui {

// A byte count as a file size in decimal units ("209.7 MB", "500.11 GB"): no
// digits for bytes and KB, one for MB, two from GB on, trailing zeros dropped,
// and the unit picked after rounding so that 999,999 bytes reads "1 MB".
QString formatFileSize(std::int64_t bytes, const QLocale& locale = QLocale());

} // namespace tesselwick::ui
