#include "discovery/VolumeFormat.h"

#include "support/Utf8.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

namespace tesselwick::discovery {

namespace {

// Length of the well-formed sequence at `i`, or 0 when the byte does not start one.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
    const utf8::Sequence sequence = utf8::firstSequence(s.substr(i));
    return sequence.wellFormed ? sequence.length : 0;
}

// Columns a text takes in a terminal, counting each code point as one.
std::size_t displayWidth(std::string_view s) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = utf8SequenceLength(s, i);
        i += length == 0 ? 1 : length;
        ++width;
    }
    return width;
}

// Volume names come from whatever a disk says about itself; keep control
// characters out of the terminal.
std::string cell(std::string_view text) {
    std::string out(text);
    std::replace_if(
        out.begin(), out.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, ' ');
    return out;
}

std::string jsonOptional(const std::optional<std::string>& value) {
    return value ? jsonString(*value) : std::string("null");
}

} // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\\ufffd"; // a stray byte becomes the replacement character
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned char>(c));
                out += buffer;
            } else {
                out += c;
            }
        }
        ++i;
    }
    out += "\"";
    return out;
}

namespace {

// One object; `indent` goes before each of its lines but the first.
std::string volumeObject(const ESPVolume& v, const std::string& indent) {
    auto boolean = [](bool b) { return std::string(b ? "true" : "false"); };
    const std::pair<const char*, std::string> fields[] = {
        {"id", jsonString(v.id)},
        {"diskIdentifier", jsonString(v.diskIdentifier)},
        {"parentIdentifier", jsonString(v.parentIdentifier)},
        {"parentName", jsonString(v.parentName)},
        {"partitionName", jsonString(v.partitionName)},
        {"sizeBytes", std::to_string(v.sizeBytes)},
        {"parentSizeBytes", std::to_string(v.parentSizeBytes)},
        {"mountPoint", jsonOptional(v.mountPoint)},
        {"filesystem", jsonString(v.filesystem)},
        {"hostFilesystem", jsonString(v.hostFilesystem)},
        {"installedOS", jsonString(v.installedOS)},
        {"bootRole", jsonOptional(v.bootRole)},
        {"bootloader", jsonOptional(v.bootloader)},
        {"isInternal", boolean(v.isInternal)},
        {"isDiskImage", boolean(v.isDiskImage)},
        {"imagePath", jsonOptional(v.imagePath)},
    };
    std::string out = "{\n";
    for (std::size_t f = 0; f < std::size(fields); ++f) {
        out += indent + "  \"";
        out += fields[f].first;
        out += "\": ";
        out += fields[f].second;
        out += f + 1 < std::size(fields) ? ",\n" : "\n";
    }
    return out + indent + "}";
}

} // namespace

std::string volumesJSON(const std::vector<ESPVolume>& volumes) {
    if (volumes.empty()) {
        return "[]\n";
    }
    std::string out = "[\n";
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        out += "  " + volumeObject(volumes[i], "  ");
        out += i + 1 < volumes.size() ? ",\n" : "\n";
    }
    out += "]\n";
    return out;
}

std::string volumeJSON(const ESPVolume& volume) {
    return volumeObject(volume, "") + "\n";
}

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

std::string volumesTable(const std::vector<ESPVolume>& volumes) {
    if (volumes.empty()) {
        return "No EFI System Partitions found.\n";
    }
    using Row = std::array<std::string, 8>;
    std::vector<Row> rows;
    rows.push_back(
        {"DISK", "IDENTIFIER", "SIZE", "KIND", "HOST FS", "OS", "MOUNT POINT", "BOOTLOADER"});
    for (const ESPVolume& v : volumes) {
        std::string kind = v.isDiskImage ? "Disk Image" : (v.isInternal ? "Internal" : "External");
        if (v.bootRole) {
            kind += ", " + *v.bootRole;
        }
        rows.push_back({cell(v.parentName), cell(v.diskIdentifier), formatByteCount(v.sizeBytes),
                        kind, cell(v.hostFilesystemDescription()), cell(v.installedOS),
                        cell(v.mountPoint.value_or("-")), cell(v.bootloader.value_or("-"))});
    }
    std::array<std::size_t, 8> widths{};
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], displayWidth(row[c]));
        }
    }
    std::string out;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) {
                line += std::string(widths[c] - displayWidth(row[c]) + 2, ' ');
            }
        }
        out += line + "\n";
    }
    return out;
}

} // namespace tesselwick::discovery
