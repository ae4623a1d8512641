#pragma once

#include "discovery/ESPVolume.h"

#include <cstdint>
#include <string>
#include <vector>

// Text forms of a volume list for people and for scripts.
namespace tesselwick::discovery {

// A JSON array, one object per volume in the given order, with every field under
// its record name and null for absent values. Always valid UTF-8.
std::string volumesJSON(const std::vector<ESPVolume>& volumes);
// One volume as a JSON object, in the same shape.
std::string volumeJSON(const ESPVolume& volume);

// A readable table: parent name, identifier, size, kind, host filesystem, OS,
// mount point and bootloader.
std::string volumesTable(const std::vector<ESPVolume>& volumes);

// Decimal units as the platform's disk tools print them: "209.7 MB".
std::string formatByteCount(std::int64_t bytes);

// A JSON string literal (quotes included).
std::string jsonString(std::string_view text);

} // namespace tesselwick::discovery
