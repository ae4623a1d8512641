#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tesselwick::discovery {

// A byte count as a file size in decimal units, the one form the popover and
// the command line both show: "209.7 MB", "2.15 GB". No digits for bytes and
// KB, one for MB, two from GB on, trailing zeros dropped, and the unit picked
// after rounding so that 999,999 bytes reads "1 MB". `decimalPoint` is the
// reader's own ("," in much of Europe).
std::string formatFileSize(std::int64_t bytes, std::string_view decimalPoint = ".");

} // namespace tesselwick::discovery
