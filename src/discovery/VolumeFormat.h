#pragma once

#include <cstdint>
#include <string>

namespace tesselwick::discovery {

// Decimal units as the platform's disk tools print them: "209.7 MB".
std::string formatByteCount(std::int64_t bytes);

} // namespace tesselwick::discovery
