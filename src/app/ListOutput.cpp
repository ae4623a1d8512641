#include "app/ListOutput.h"
#include "app/TerminalText.h"

#include "discovery/VolumeFormat.h"
#include "support/Utf8.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <optional>

namespace tesselwick::app {

using discovery::ESPVolume;

namespace {

using Json = nlohmann::ordered_json;

// Scripts have always read text from us escaped in ways nlohmann's dump does not
// write: backspace, form feed and DEL as \u0008, \u000c and \u007f (nlohmann: \b,
// \f and the raw byte), and each byte that is not UTF-8 as the escape \ufffd
// (nlohmann: a raw U+FFFD per ill-formed sequence). So each such byte goes in as
// U+FFFD followed by "x", a real U+FFFD goes in doubled, and `mended` turns the
// dumped text into ours.
constexpr std::string_view kMark = utf8::kReplacementCharacter;

std::string marked(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const utf8::Sequence sequence = utf8::firstSequence(text.substr(i));
        if (!sequence.wellFormed) {
            out.append(kMark).push_back('x');
            ++i;
            continue;
        }
        const std::string_view piece = text.substr(i, sequence.length);
        out.append(piece);
        if (piece == kMark) {
            out.append(kMark);
        }
        i += sequence.length;
    }
    return out;
}

Json markedOrNull(const std::optional<std::string>& text) {
    return text ? Json(marked(*text)) : Json(nullptr);
}

std::string mended(std::string_view dumped) {
    std::string out;
    out.reserve(dumped.size());
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        const char c = dumped[i];
        if (dumped.substr(i).starts_with(kMark)) {
            const bool doubled = dumped.substr(i + kMark.size()).starts_with(kMark);
            out += doubled ? kMark : std::string_view("\\ufffd");
            // Past the mark and what follows it; the loop steps over the last byte.
            i += kMark.size() + (doubled ? kMark.size() : 1) - 1;
        } else if (c == '\\') {
            const char escaped = dumped[++i];
            out += escaped == 'b'   ? std::string("\\u0008")
                   : escaped == 'f' ? std::string("\\u000c")
                                    : std::string{c, escaped};
        } else if (c == '\x7F') {
            out += "\\u007f";
        } else {
            out += c;
        }
    }
    return out;
}

// The one list of a record's fields, in record order.
Json record(const ESPVolume& v) {
    return Json{{"id", marked(v.id)},
                {"diskIdentifier", marked(v.diskIdentifier)},
                {"parentIdentifier", marked(v.parentIdentifier)},
                {"parentName", marked(v.parentName)},
                {"partitionName", marked(v.partitionName)},
                {"sizeBytes", v.sizeBytes},
                {"parentSizeBytes", v.parentSizeBytes},
                {"mountPoint", markedOrNull(v.mountPoint)},
                {"filesystem", marked(v.filesystem)},
                {"hostFilesystem", marked(v.hostFilesystem)},
                {"installedOS", marked(v.installedOS)},
                {"bootRole", markedOrNull(v.bootRole)},
                {"bootloader", markedOrNull(v.bootloader)},
                {"isInternal", v.isInternal},
                {"isDiskImage", v.isDiskImage},
                {"imagePath", markedOrNull(v.imagePath)}};
}

std::string dumped(const Json& json) {
    return mended(json.dump(2, ' ', false, Json::error_handler_t::strict)) + "\n";
}

// Columns a text takes in a terminal, counting each code point, and each byte
// that is not UTF-8, as one.
std::size_t displayWidth(std::string_view s) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < s.size(); ++width) {
        const utf8::Sequence sequence = utf8::firstSequence(s.substr(i));
        i += sequence.wellFormed ? sequence.length : 1;
    }
    return width;
}

// Volume names come from whatever a disk says about itself.
std::string cell(std::string_view text) {
    return terminalText(text);
}

// Columns two spaces apart, each as wide as its widest cell.
template <std::size_t N> std::string aligned(const std::vector<std::array<std::string, N>>& rows) {
    std::array<std::size_t, N> widths{};
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < N; ++c) {
            widths[c] = std::max(widths[c], displayWidth(row[c]));
        }
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < N; ++c) {
            line += row[c];
            if (c + 1 < N) {
                line += std::string(widths[c] - displayWidth(row[c]) + 2, ' ');
            }
        }
        out += line + "\n";
    }
    return out;
}

Json diskRecord(const discovery::DiskReport& disk) {
    Json esps = Json::array();
    for (const std::string& id : disk.espIdentifiers) {
        esps.push_back(marked(id));
    }
    return Json{{"id", marked(disk.id)},
                {"name", marked(disk.name)},
                {"sizeBytes", disk.sizeBytes},
                {"kind", discovery::kindName(disk.kind)},
                {"scheme", marked(disk.scheme)},
                {"espIdentifiers", std::move(esps)},
                {"reason", markedOrNull(disk.reason)}};
}

} // namespace

std::string volumesJSON(const std::vector<ESPVolume>& volumes) {
    Json array = Json::array();
    for (const ESPVolume& volume : volumes) {
        array.push_back(record(volume));
    }
    return dumped(array);
}

std::string volumeJSON(const ESPVolume& volume) {
    return dumped(record(volume));
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
        rows.push_back({cell(v.parentName), cell(v.diskIdentifier),
                        discovery::formatFileSize(v.sizeBytes), kind,
                        cell(v.hostFilesystemDescription()), cell(v.installedOS),
                        cell(v.mountPoint.value_or("-")), cell(v.bootloader.value_or("-"))});
    }
    return aligned(rows);
}

std::string disksJSON(const std::vector<discovery::DiskReport>& disks) {
    Json array = Json::array();
    for (const discovery::DiskReport& disk : disks) {
        array.push_back(diskRecord(disk));
    }
    return dumped(array);
}

std::string disksTable(const std::vector<discovery::DiskReport>& disks) {
    if (disks.empty()) {
        return "No disks found.\n";
    }
    using Row = std::array<std::string, 7>;
    std::vector<Row> rows;
    rows.push_back({"DISK", "NAME", "SIZE", "KIND", "SCHEME", "ESPS", "WHY NO ESP"});
    for (const discovery::DiskReport& disk : disks) {
        std::string esps;
        for (const std::string& id : disk.espIdentifiers) {
            esps += (esps.empty() ? "" : ", ") + cell(id);
        }
        rows.push_back({cell(disk.id), cell(disk.name),
                        disk.sizeBytes > 0 ? discovery::formatFileSize(disk.sizeBytes) : "-",
                        std::string(discovery::kindName(disk.kind)), cell(disk.scheme),
                        esps.empty() ? "-" : esps, cell(disk.reason.value_or("-"))});
    }
    return aligned(rows);
}

} // namespace tesselwick::app
