#pragma once

#include "discovery/DiskReport.h"
#include "discovery/ESPVolume.h"

#include <string>
#include <vector>

// The command line's text forms of a volume list, for people and for scripts.
namespace tesselwick::app {

// A JSON array, one object per volume in the given order, with every field under
// its record name and null for absent values. Always valid UTF-8.
std::string volumesJSON(const std::vector<discovery::ESPVolume>& volumes);
// One volume as a JSON object, in the same shape.
std::string volumeJSON(const discovery::ESPVolume& volume);

// A readable table: parent name, identifier, size, kind, host filesystem, OS,
// mount point and bootloader.
std::string volumesTable(const std::vector<discovery::ESPVolume>& volumes);

// Whole disks as a JSON array: id, name, sizeBytes, kind, scheme, espIdentifiers
// and reason (null for a disk with an ESP). Always valid UTF-8.
std::string disksJSON(const std::vector<discovery::DiskReport>& disks);
// The same as a readable table.
std::string disksTable(const std::vector<discovery::DiskReport>& disks);

} // namespace tesselwick::app
