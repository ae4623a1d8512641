#include "Machine.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace macsim {

namespace {

constexpr const char* kApfsContainerContent = "EF57347C-0000-11AA-AA11-00306543ECAC";
constexpr const char* kApfsVolumeContent = "41504653-0000-11AA-AA11-00306543ECAC";
constexpr const char* kVolumesRoot = "/Volumes";

std::string str(const Json& j, const char* key, const std::string& fallback = "") {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : fallback;
}

bool flag(const Json& j, const char* key, bool fallback) {
    auto it = j.find(key);
    return it != j.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

std::uint64_t number(const Json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number()) {
        return 0;
    }
    return it->is_number_float() ? static_cast<std::uint64_t>(it->get<double>())
                                 : it->get<std::uint64_t>();
}

// Sizes are <integer> unless the world asks for the <real> form some Macs print.
Json sizeValue(std::uint64_t bytes, bool asReal) {
    return asReal ? Json(static_cast<double>(bytes)) : Json(bytes);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError{"macsim: cannot read " + path + " (is the simulator initialised?)", 70};
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFileAtomically(const std::string& path, const std::string& text) {
    std::string temp = path + ".tmp." + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            throw ToolError{"macsim: cannot write " + temp, 70};
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw ToolError{"macsim: cannot replace " + path + ": " + std::strerror(errno), 70};
    }
}

unsigned diskNumber(const std::string& id) {
    return static_cast<unsigned>(std::strtoul(id.c_str() + 4, nullptr, 10));
}

// Stable, unique-looking UUIDs derived from the identifier, so outputs agree between calls.
std::string uuidFor(const std::string& id, const std::string& salt) {
    auto hash = [](const std::string& text, std::uint64_t seed) {
        std::uint64_t h = seed;
        for (unsigned char c : text) {
            h = (h ^ c) * 1099511628211ULL;
        }
        return h;
    };
    std::uint64_t a = hash(id + "/" + salt, 1469598103934665603ULL);
    std::uint64_t b = hash(salt + "/" + id, 7809847782465536322ULL);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%08X-%04X-%04X-%04X-%012" PRIX64,
                  static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                  static_cast<unsigned>(a & 0xFFFF), static_cast<unsigned>(b >> 48),
                  static_cast<std::uint64_t>(b & 0xFFFFFFFFFFFFULL));
    return buffer;
}

// A partition's own UUID: a new partition at the same identifier (another type
// or filesystem) is another partition and gets another one, as on a real disk.
std::string partitionUuid(const Json& part, const std::string& id) {
    return uuidFor(id, "disk/" + str(part, "content") + "/" + str(part, "fs"));
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string yesNo(bool value) {
    return value ? "Yes" : "No";
}

} // namespace

// ---------------------------------------------------------------------------------------------

HomeLock::HomeLock(const std::string& home) {
    std::string path = home + "/lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        throw ToolError{"macsim: cannot open " + path + ": " + std::strerror(errno), 70};
    }
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            throw ToolError{"macsim: cannot lock " + path + ": " + std::strerror(errno), 70};
        }
    }
}

HomeLock::~HomeLock() {
    if (fd_ >= 0) {
        ::close(fd_); // releases the flock
    }
}

std::optional<FilesystemNames> filesystemNames(const Json& volume) {
    std::string code = lower(str(volume, "fs"));
    if (code.empty()) {
        return std::nullopt;
    }
    FilesystemNames names;
    if (code == "fat32") {
        names = {"MS-DOS FAT32", "MS-DOS (FAT32)", "msdos"};
    } else if (code == "fat16") {
        names = {"MS-DOS FAT16", "MS-DOS (FAT16)", "msdos"};
    } else if (code == "exfat") {
        names = {"ExFAT", "ExFAT", "exfat"};
    } else if (code == "apfs") {
        names = {"APFS", "APFS", "apfs"};
    } else if (code == "hfs") {
        names = {"Journaled HFS+", "Mac OS Extended (Journaled)", "hfs"};
    } else if (code == "ntfs") {
        names = {"NTFS", "Windows NT File System (NTFS)", "ntfs"};
    } else {
        names = {code, code, code};
    }
    // A world may spell out what a particular Mac printed.
    names.name = str(volume, "filesystemName", names.name);
    names.userVisible = str(volume, "filesystemUserVisibleName", names.userVisible);
    return names;
}

std::string humanSize(std::uint64_t bytes) {
    static const char* units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1000) {
        return std::to_string(bytes) + " Bytes";
    }
    double value = static_cast<double>(bytes) / 1000.0;
    int unit = 0;
    while (value >= 999.95 && unit < 5) {
        value /= 1000.0;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f %s", value, units[unit]);
    return buffer;
}

std::string defaultHome() {
    const char* home = std::getenv("MACSIM_HOME");
    return home != nullptr && *home != '\0' ? home : "/var/db/macsim";
}

// ---------------------------------------------------------------------------------------------

Machine::Machine(std::string home) : home_(std::move(home)) {
    world_ = Json::parse(readFile(home_ + "/world.json"));
    savedState_ = readFile(home_ + "/state.json");
    state_ = Json::parse(savedState_);
}

void Machine::rewritePartition(const std::string& id, const Json& keys) {
    for (Json& disk : world_["disks"]) {
        if (!disk.contains("partitions")) {
            continue;
        }
        for (Json& part : disk["partitions"]) {
            if (str(part, "id") == id) {
                part.update(keys);
                writeFileAtomically(home_ + "/world.json", world_.dump(1));
                return;
            }
        }
    }
    throw ToolError{"macsim: the world has no partition " + id, 70};
}

void Machine::save() {
    std::string text = state_.dump(1);
    if (text != savedState_) {
        writeFileAtomically(home_ + "/state.json", text);
        savedState_ = std::move(text);
    }
}

Json loadWorldFile(const std::string& path, int depth) {
    if (depth > 8) {
        throw ToolError{"macsim: " + path + ": \"base\" worlds nest too deeply", 65};
    }
    Json world;
    try {
        world = Json::parse(readFile(path));
    } catch (const Json::exception& e) {
        throw ToolError{"macsim: " + path + " is not a valid world: " + e.what(), 65};
    }
    if (!world.is_object()) {
        throw ToolError{"macsim: " + path + " is not a JSON object", 65};
    }
    // Files named in a world are relative to that world file.
    fs::path dir = fs::absolute(path).parent_path();
    for (const char* list : {"replay", "faults"}) {
        if (!world.contains(list) || !world[list].is_array()) {
            continue;
        }
        for (auto& entry : world[list]) {
            for (const char* key : {"stdoutFile", "stderrFile"}) {
                if (entry.is_object() && entry.contains(key) && entry[key].is_string()) {
                    fs::path p = entry[key].get<std::string>();
                    if (p.is_relative()) {
                        entry[key] = (dir / p).lexically_normal().string();
                    }
                }
            }
        }
    }
    if (world.contains("base") && world["base"].is_string()) {
        fs::path basePath = world["base"].get<std::string>();
        Json merged =
            loadWorldFile((basePath.is_relative() ? dir / basePath : basePath).string(), depth + 1);
        for (auto& [key, value] : world.items()) {
            if (key != "base") {
                merged[key] = value;
            }
        }
        world = std::move(merged);
    }
    return world;
}

void Machine::initialize(const std::string& home, const std::string& worldPath, bool sandbox,
                         const std::string& logPath) {
    Json world = loadWorldFile(worldPath);
    if (!world.contains("disks") || !world["disks"].is_array()) {
        throw ToolError{"macsim: " + worldPath + " has no \"disks\" array", 65};
    }
    fs::create_directories(home);
    Json state = {{"sandbox", sandbox},
                  {"log", logPath},
                  {"prompt", str(world, "prompt", "approve")},
                  {"mounts", Json::object()},
                  {"attached", Json::array()},
                  {"faults", Json::array()},
                  {"counters", Json::object()},
                  {"wrapped", Json::object()}};
    for (const auto& disk : world["disks"]) {
        if (disk.contains("image") && flag(disk, "attached", true)) {
            state["attached"].push_back(str(disk, "id"));
        }
    }
    writeFileAtomically(home + "/world.json", world.dump(1));
    writeFileAtomically(home + "/state.json", state.dump(1));
}

bool Machine::isImageAttached(const Json& disk) const {
    if (!disk.contains("image")) {
        return true;
    }
    const auto& attached = state_["attached"];
    return std::find(attached.begin(), attached.end(), str(disk, "id")) != attached.end();
}

std::vector<Device> Machine::wholeDisks() const {
    std::vector<Device> disks;
    for (const auto& disk : world_["disks"]) {
        if (!isImageAttached(disk)) {
            continue;
        }
        disks.push_back({DeviceKind::WholeDisk, str(disk, "id"), &disk, nullptr, nullptr});
        if (disk.contains("partitions")) {
            for (const auto& part : disk["partitions"]) {
                if (part.contains("container")) {
                    disks.push_back({DeviceKind::Container, str(part["container"], "id"), &disk,
                                     &part, nullptr});
                }
            }
        }
    }
    std::stable_sort(disks.begin(), disks.end(), [](const Device& a, const Device& b) {
        return diskNumber(a.id) < diskNumber(b.id);
    });
    return disks;
}

std::vector<Device> Machine::childrenOf(const Device& whole) const {
    std::vector<Device> children;
    if (whole.kind == DeviceKind::WholeDisk && whole.disk->contains("partitions")) {
        for (const auto& part : (*whole.disk)["partitions"]) {
            children.push_back(
                {DeviceKind::Partition, str(part, "id"), whole.disk, &part, nullptr});
        }
    } else if (whole.kind == DeviceKind::Container) {
        const Json& container = (*whole.partition)["container"];
        if (container.contains("volumes")) {
            for (const auto& volume : container["volumes"]) {
                children.push_back({DeviceKind::ApfsVolume, str(volume, "id"), whole.disk,
                                    whole.partition, &volume});
                if (volume.contains("snapshot")) {
                    children.push_back({DeviceKind::Snapshot, str(volume["snapshot"], "id"),
                                        whole.disk, whole.partition, &volume});
                }
            }
        }
    }
    return children;
}

std::optional<Device> Machine::find(const std::string& identifier) const {
    std::string id = identifier.rfind("/dev/", 0) == 0 ? identifier.substr(5) : identifier;
    for (const auto& whole : wholeDisks()) {
        if (whole.id == id) {
            return whole;
        }
        for (const auto& child : childrenOf(whole)) {
            if (child.id == id) {
                return child;
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> Machine::mountPoint(const Device& device) const {
    switch (device.kind) {
    case DeviceKind::WholeDisk:
    case DeviceKind::Partition: {
        const auto& mounts = state_["mounts"];
        auto it = mounts.find(device.id);
        if (it != mounts.end() && it->is_string()) {
            return it->get<std::string>();
        }
        return std::nullopt;
    }
    case DeviceKind::ApfsVolume: {
        std::string mp = str(*device.volume, "mountPoint");
        return mp.empty() ? std::nullopt : std::optional<std::string>(mp);
    }
    case DeviceKind::Snapshot: {
        std::string mp = str((*device.volume)["snapshot"], "mountPoint");
        return mp.empty() ? std::nullopt : std::optional<std::string>(mp);
    }
    case DeviceKind::Container:
        break;
    }
    return std::nullopt;
}

std::string Machine::volumeName(const Device& device) const {
    switch (device.kind) {
    case DeviceKind::WholeDisk:
        return str(*device.disk, "volumeName");
    case DeviceKind::Partition:
        return str(*device.partition, "volumeName");
    case DeviceKind::ApfsVolume:
    case DeviceKind::Snapshot:
        return str(*device.volume, "name");
    case DeviceKind::Container:
        break;
    }
    return "";
}

std::uint64_t Machine::size(const Device& device) const {
    switch (device.kind) {
    case DeviceKind::WholeDisk:
        return number(*device.disk, "size");
    default:
        return number(*device.partition, "size");
    }
}

bool Machine::isEsp(const Device& device) const {
    if (device.kind != DeviceKind::Partition) {
        return false;
    }
    std::string content = lower(str(*device.partition, "content"));
    return content == "efi" || content == "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";
}

// ---------------------------------------------------------------------------------------------
// diskutil list

Json Machine::partitionListEntry(const Device& device) const {
    const Json& part = *device.partition;
    Json entry = {{"Content", str(part, "content")},
                  {"DeviceIdentifier", device.id},
                  {"DiskUUID", partitionUuid(part, device.id)},
                  {"Size", sizeValue(size(device), flag(part, "sizeReal", false))}};
    if (auto mp = mountPoint(device)) {
        entry["MountPoint"] = *mp;
    }
    if (!str(part, "volumeName").empty()) {
        entry["VolumeName"] = str(part, "volumeName");
    }
    if (filesystemNames(part)) {
        entry["VolumeUUID"] = uuidFor(device.id, "volume");
    }
    return entry;
}

Json Machine::volumeListEntry(const Device& device) const {
    const Json& volume = *device.volume;
    Json entry = {{"DeviceIdentifier", device.id},
                  {"OSInternal", flag(volume, "osInternal", false)},
                  {"Size", size(device)},
                  {"VolumeName", str(volume, "name")}};
    if (device.kind == DeviceKind::Snapshot) {
        std::string uuid = uuidFor(device.id, "snapshot");
        entry["DiskUUID"] = uuid;
        entry["VolumeUUID"] = uuid;
    } else {
        std::string uuid = uuidFor(device.id, "volume");
        entry["DiskUUID"] = uuid;
        entry["VolumeUUID"] = uuid;
        entry["MountedSnapshots"] = Json::array();
        if (volume.contains("snapshot")) {
            const Json& snap = volume["snapshot"];
            std::string snapId = str(snap, "id");
            entry["MountedSnapshots"].push_back(
                {{"Sealed", "Yes"},
                 {"SnapshotBSD", snapId},
                 {"SnapshotMountPoint", str(snap, "mountPoint", "/")},
                 {"SnapshotName",
                  str(snap, "name", "com.apple.os.update-" + uuidFor(snapId, "name").substr(0, 8))},
                 {"SnapshotUUID", uuidFor(snapId, "snapshot")}});
        }
    }
    if (auto mp = mountPoint(device)) {
        entry["MountPoint"] = *mp;
    }
    return entry;
}

Json Machine::listPlist(const std::optional<Device>& only) const {
    Json allDisks = Json::array();
    Json entries = Json::array();
    Json volumes = Json::array();
    Json wholeIds = Json::array();
    for (const auto& whole : wholeDisks()) {
        if (only && only->id != whole.id) {
            continue;
        }
        wholeIds.push_back(whole.id);
        allDisks.push_back(whole.id);
        Json entry = {{"DeviceIdentifier", whole.id}, {"OSInternal", false}};
        if (whole.kind == DeviceKind::Container) {
            const Json& part = *whole.partition;
            entry["Content"] = kApfsContainerContent;
            entry["Size"] = size(whole);
            entry["Partitions"] = Json::array();
            entry["APFSPhysicalStores"] = Json::array({{{"DeviceIdentifier", str(part, "id")}}});
            entry["APFSVolumes"] = Json::array();
            for (const auto& child : childrenOf(whole)) {
                allDisks.push_back(child.id);
                Json v = volumeListEntry(child);
                if (v.contains("MountPoint")) {
                    volumes.push_back(v["VolumeName"]);
                }
                entry["APFSVolumes"].push_back(std::move(v));
            }
        } else {
            const Json& disk = *whole.disk;
            std::string scheme = str(disk, "scheme", "GUID_partition_scheme");
            entry["Content"] = scheme;
            entry["Size"] = sizeValue(size(whole), flag(disk, "sizeReal", false));
            if (scheme.empty()) {
                // A disk formatted without a partition map is itself the volume.
                if (auto mp = mountPoint(whole)) {
                    entry["MountPoint"] = *mp;
                    volumes.push_back(volumeName(whole));
                }
                if (!volumeName(whole).empty()) {
                    entry["VolumeName"] = volumeName(whole);
                }
            } else {
                entry["Partitions"] = Json::array();
                for (const auto& child : childrenOf(whole)) {
                    allDisks.push_back(child.id);
                    Json p = partitionListEntry(child);
                    if (p.contains("MountPoint") && p.contains("VolumeName")) {
                        volumes.push_back(p["VolumeName"]);
                    }
                    entry["Partitions"].push_back(std::move(p));
                }
            }
        }
        entries.push_back(std::move(entry));
    }
    return {{"AllDisks", allDisks},
            {"AllDisksAndPartitions", entries},
            {"VolumesFromDisks", volumes},
            {"WholeDisks", wholeIds}};
}

namespace {

// One row of the partition table, in the column layout the real tool uses.
std::string tableRow(const std::string& index, std::string type, std::string name, char marker,
                     const std::string& sizeText, const std::string& identifier) {
    if (name.size() > 23) {
        name = name.substr(0, 20) + "...";
    }
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, "%4s:%27s %-23s%c%-10s %s\n", index.c_str(), type.c_str(),
                  name.c_str(), marker, sizeText.c_str(), identifier.c_str());
    return buffer;
}

} // namespace

std::string Machine::listText(const std::optional<Device>& only) const {
    std::string out;
    bool legacy = flag(world_, "legacyTextHeaders", false);
    for (const auto& whole : wholeDisks()) {
        if (only && only->id != whole.id) {
            continue;
        }
        const Json& disk = *whole.disk;
        std::string kind;
        if (whole.kind == DeviceKind::Container) {
            kind = "synthesized";
        } else if (disk.contains("image")) {
            kind = "disk image";
        } else {
            kind = flag(disk, "internal", true) ? "internal, physical" : "external, physical";
        }
        out += legacy ? "/dev/" + whole.id + "\n" : "/dev/" + whole.id + " (" + kind + "):\n";
        out += tableRow("#", "TYPE", "NAME", ' ', "SIZE", "IDENTIFIER");
        if (whole.kind == DeviceKind::Container) {
            out +=
                tableRow("0", "APFS Container Scheme", "-", '+', humanSize(size(whole)), whole.id);
            out += std::string(33, ' ') + "Physical Store " + str(*whole.partition, "id") + "\n";
            int index = 1;
            for (const auto& child : childrenOf(whole)) {
                std::uint64_t used = number(*child.volume, "used");
                std::string name = volumeName(child);
                std::string type = "APFS Volume";
                if (child.kind == DeviceKind::Snapshot) {
                    type = "APFS Snapshot";
                    name = volumeListEntry({DeviceKind::ApfsVolume, str(*child.volume, "id"),
                                            child.disk, child.partition,
                                            child.volume})["MountedSnapshots"][0]["SnapshotName"];
                }
                out += tableRow(std::to_string(index++), type, name, ' ',
                                humanSize(used != 0 ? used : size(child)), child.id);
            }
        } else {
            std::string scheme = str(disk, "scheme", "GUID_partition_scheme");
            out += tableRow("0", scheme, scheme.empty() ? volumeName(whole) : "", '*',
                            humanSize(size(whole)), whole.id);
            int index = 1;
            for (const auto& child : childrenOf(whole)) {
                const Json& part = *child.partition;
                std::string name = part.contains("container")
                                       ? "Container " + str(part["container"], "id")
                                       : volumeName(child);
                out += tableRow(std::to_string(index++), str(part, "content"), name, ' ',
                                humanSize(size(child)), child.id);
            }
        }
        out += "\n";
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// diskutil info

Json Machine::infoPlist(const Device& device) const {
    const Json& disk = *device.disk;
    bool internal = !disk.contains("image") && flag(disk, "internal", true);
    bool image = disk.contains("image");
    bool solid = flag(disk, "solidState", internal);
    std::string protocol =
        image ? "Disk Image" : str(disk, "protocol", internal ? "PCI-Express" : "USB");
    std::string diskMedia = image ? "Disk Image" : str(disk, "mediaName");
    Json info = {
        {"Bootable", false},
        {"BusProtocol", protocol},
        {"CanBeMadeBootable", false},
        {"CanBeMadeBootableRequiresDestroy", false},
        {"DeviceBlockSize", 512},
        {"DeviceIdentifier", device.id},
        {"DeviceLocation", internal ? "Internal" : "External"},
        {"DeviceNode", "/dev/" + device.id},
        {"DeviceTreePath", str(disk, "deviceTreePath", "IODeviceTree:/PCI0@0/" + str(disk, "id"))},
        {"Ejectable", !internal},
        {"EjectableMediaAutomaticUnderSoftwareControl", !internal},
        {"EjectableOnly", !internal},
        {"FreeSpace", 0},
        {"GlobalPermissionsEnabled", false},
        {"Internal", internal},
        {"LowLevelFormatSupported", false},
        {"MediaType", "Generic"},
        {"MountPoint", ""},
        {"Mounted", false},
        {"OS9DriversInstalled", false},
        {"OSInternalMedia", false},
        {"RAIDMaster", false},
        {"RAIDSlice", false},
        {"Removable", flag(disk, "removable", false)},
        {"RemovableMedia", flag(disk, "removable", false)},
        {"RemovableMediaOrExternalDevice", !internal},
        {"SMARTStatus", internal ? "Verified" : "Not Supported"},
        {"SupportsGlobalPermissionsDisable", false},
        {"SystemImage", false},
        {"VirtualOrPhysical", image ? "Virtual" : "Physical"},
        {"VolumeName", ""},
        {"VolumeSize", 0},
        {"Writable", true},
        {"WritableMedia", true},
        {"WritableVolume", false},
    };
    if (disk.contains("model")) {
        info["DeviceModel"] = str(disk, "model");
    }
    // USB bridges often do not say; internal media and worlds that know do.
    if (internal || disk.contains("solidState")) {
        info["SolidState"] = solid;
    }
    auto describeVolume = [&](const Json& volume, std::uint64_t bytes) {
        if (auto names = filesystemNames(volume)) {
            info["FilesystemName"] = names->name;
            info["FilesystemType"] = names->type;
            info["FilesystemUserVisibleName"] = names->userVisible;
            info["VolumeAllocationBlockSize"] = names->type == "apfs" ? 4096 : 8192;
            info["VolumeSize"] = bytes;
            info["VolumeUUID"] = uuidFor(device.id, "volume");
            info["FreeSpace"] = bytes - bytes / 4;
        }
        if (auto mp = mountPoint(device)) {
            info["MountPoint"] = *mp;
            info["Mounted"] = true;
            info["WritableVolume"] = true;
        }
        info["VolumeName"] = volumeName(device);
    };
    switch (device.kind) {
    case DeviceKind::WholeDisk: {
        std::string scheme = str(disk, "scheme", "GUID_partition_scheme");
        info["AESHardware"] = false;
        info["Content"] = scheme;
        info["IOKitSize"] = size(device);
        info["SMARTDeviceSpecificKeysMayVaryNotGuaranteed"] = Json::object();
        info["IORegistryEntryName"] = image ? "Apple UDIF read-write Media" : diskMedia + " Media";
        info["MediaName"] = diskMedia;
        info["ParentWholeDisk"] = device.id;
        info["PartitionMapPartition"] = false;
        info["Size"] = size(device);
        info["TotalSize"] = size(device);
        info["WholeDisk"] = true;
        if (scheme.empty()) {
            describeVolume(disk, size(device));
        }
        break;
    }
    case DeviceKind::Partition: {
        const Json& part = *device.partition;
        info["Content"] = str(part, "content");
        info["DiskUUID"] = partitionUuid(part, device.id);
        info["IOKitSize"] = size(device);
        info["IORegistryEntryName"] = str(part, "name", str(part, "content"));
        info["MediaName"] = "";
        info["ParentWholeDisk"] = str(disk, "id");
        info["PartitionMapPartition"] = true;
        info["Size"] = size(device);
        info["TotalSize"] = size(device);
        info["WholeDisk"] = false;
        describeVolume(part, size(device));
        break;
    }
    case DeviceKind::Container: {
        const Json& part = *device.partition;
        info["AESHardware"] = false;
        info["APFSContainerReference"] = device.id;
        info["APFSPhysicalStores"] = Json::array({{{"APFSPhysicalStore", str(part, "id")}}});
        info["Content"] = kApfsContainerContent;
        info["DiskUUID"] = uuidFor(device.id, "disk");
        info["Fusion"] = false;
        info["IOKitSize"] = size(device);
        info["IORegistryEntryName"] = "AppleAPFSMedia";
        info["SMARTDeviceSpecificKeysMayVaryNotGuaranteed"] = Json::object();
        info["MediaName"] = diskMedia;
        info["ParentWholeDisk"] = device.id;
        info["PartitionMapPartition"] = false;
        info["Size"] = size(device);
        // Real containers report their total size as <real>.
        info["TotalSize"] = static_cast<double>(size(device));
        info["VirtualOrPhysical"] = "Virtual";
        info["WholeDisk"] = true;
        break;
    }
    case DeviceKind::ApfsVolume:
    case DeviceKind::Snapshot: {
        const Json& part = *device.partition;
        const std::string containerId = str(part["container"], "id");
        Json volume = *device.volume;
        volume["fs"] = "apfs";
        info["APFSContainerReference"] = containerId;
        info["APFSPhysicalStores"] = Json::array({{{"APFSPhysicalStore", str(part, "id")}}});
        info["APFSVolumeGroupID"] = uuidFor(containerId, str(*device.volume, "group", "group"));
        info["Content"] = kApfsVolumeContent;
        info["DiskUUID"] = uuidFor(device.id, "disk");
        info["IOKitSize"] = size(device);
        info["IORegistryEntryName"] = str(*device.volume, "name");
        info["MediaName"] = "";
        info["ParentWholeDisk"] = containerId;
        info["PartitionMapPartition"] = false;
        info["Size"] = size(device);
        info["TotalSize"] = size(device);
        info["VirtualOrPhysical"] = "Virtual";
        info["WholeDisk"] = false;
        if (!str(*device.volume, "role").empty()) {
            info["APFSVolumeRole"] = str(*device.volume, "role");
        }
        if (device.kind == DeviceKind::Snapshot) {
            info["APFSSnapshot"] = true;
            info["APFSSnapshotName"] = volumeListEntry(
                {DeviceKind::ApfsVolume, str(*device.volume, "id"), device.disk, device.partition,
                 device.volume})["MountedSnapshots"][0]["SnapshotName"];
        }
        describeVolume(volume, number(*device.volume, "used"));
        break;
    }
    }
    return info;
}

std::string Machine::infoText(const Device& device) const {
    Json info = infoPlist(device);
    auto s = [&](const char* key) {
        auto it = info.find(key);
        if (it == info.end()) {
            return std::string();
        }
        if (it->is_string()) {
            return it->get<std::string>();
        }
        if (it->is_boolean()) {
            return yesNo(it->get<bool>());
        }
        return it->dump();
    };
    std::vector<std::pair<std::string, std::string>> lines;
    auto add = [&](const std::string& label, const std::string& value) {
        lines.emplace_back(label, value);
    };
    auto gap = [&] { lines.emplace_back("", ""); };
    bool whole = info["WholeDisk"].get<bool>();
    add("Device Identifier:", device.id);
    add("Device Node:", "/dev/" + device.id);
    add("Whole:", yesNo(whole));
    add("Part of Whole:", s("ParentWholeDisk"));
    if (whole) {
        add("Device / Media Name:", s("MediaName"));
    }
    gap();
    add("Volume Name:", s("VolumeName"));
    gap();
    add("Mounted:", s("Mounted"));
    if (info["Mounted"].get<bool>()) {
        add("Mount Point:", s("MountPoint"));
    }
    gap();
    add(whole ? "Content (IOContent):" : "Partition Type:", s("Content"));
    if (info.contains("FilesystemName")) {
        add("File System Personality:", s("FilesystemName"));
        add("Type (Bundle):", s("FilesystemType"));
        add("Name (User Visible):", s("FilesystemUserVisibleName"));
    }
    gap();
    add("OS Can Be Installed:", "No");
    add("Media Type:", s("MediaType"));
    add("Protocol:", s("BusProtocol"));
    add("SMART Status:", s("SMARTStatus"));
    if (info.contains("DiskUUID")) {
        add("Disk / Partition UUID:", s("DiskUUID"));
    }
    gap();
    std::uint64_t bytes = info["Size"].get<std::uint64_t>();
    add("Disk Size:", humanSize(bytes) + " (" + std::to_string(bytes) + " Bytes) (exactly " +
                          std::to_string(bytes / 512) + " 512-Byte-Units)");
    add("Device Block Size:", "512 Bytes");
    gap();
    add("Media OS Use Only:", "No");
    add("Media Read-Only:", "No");
    add("Volume Read-Only:", info["Mounted"].get<bool>() ? "No" : "Not applicable (not mounted)");
    gap();
    add("Device Location:", s("DeviceLocation"));
    add("Removable Media:", info["RemovableMedia"].get<bool>() ? "Removable" : "Fixed");
    gap();
    if (info.contains("SolidState")) {
        add("Solid State:", s("SolidState"));
    }
    std::string out;
    bool lastBlank = true;
    for (const auto& [label, value] : lines) {
        if (label.empty()) {
            if (!lastBlank) {
                out += "\n";
            }
            lastBlank = true;
            continue;
        }
        char buffer[512];
        std::snprintf(buffer, sizeof buffer, "   %-27s%s\n", label.c_str(), value.c_str());
        out += buffer;
        lastBlank = false;
    }
    out += "\n";
    return out;
}

// ---------------------------------------------------------------------------------------------
// Mounting

std::string Machine::freeVolumePath(const std::string& name) const {
    std::string base = name.empty() ? "Untitled" : name;
    std::replace(base.begin(), base.end(), '/', ':');
    std::set<std::string> taken;
    for (const auto& [id, path] : state_["mounts"].items()) {
        if (path.is_string()) {
            taken.insert(path.get<std::string>());
        }
    }
    for (int n = 0;; ++n) {
        // Built piecewise: GCC 12 at -O2 misreads `const char* + string` here (-Wrestrict).
        std::string candidate = kVolumesRoot;
        candidate += '/';
        candidate += base;
        if (n > 0) {
            candidate += ' ';
            candidate += std::to_string(n);
        }
        struct stat st {};
        if (taken.count(candidate) == 0 && ::lstat(candidate.c_str(), &st) != 0) {
            return candidate;
        }
    }
}

std::string Machine::reallyMount(const Device& device, const std::string& path, unsigned ownerUid) {
    if (!flag(state_, "sandbox", false)) {
        throw ToolError{"macsim: mounting is only possible inside sim/sandbox", 1};
    }
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) {
        throw ToolError{"Volume on " + device.id + " failed to mount: " + ec.message(), 1};
    }
    std::string options = "size=16m,mode=0755,uid=" + std::to_string(ownerUid) + ",gid=0";
    if (::mount("macsim", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        int error = errno;
        ::rmdir(path.c_str());
        throw ToolError{"Volume on " + device.id + " failed to mount: " + std::strerror(error), 1};
    }
    const Json& volume = device.kind == DeviceKind::WholeDisk ? *device.disk : *device.partition;
    for (const auto& item : volume.value("contents", Json::array())) {
        if (!item.is_string()) {
            continue;
        }
        std::string rel = item.get<std::string>();
        fs::path target = fs::path(path) / rel;
        if (!rel.empty() && rel.back() == '/') {
            fs::create_directories(target, ec);
        } else {
            fs::create_directories(target.parent_path(), ec);
            std::ofstream(target) << "macsim modelled file " << rel << "\n";
        }
    }
    // Everything on the volume belongs to whoever mounted it, as with msdos mounts.
    for (auto it = fs::recursive_directory_iterator(path, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (::lchown(it->path().c_str(), ownerUid, 0) != 0) {
            break;
        }
    }
    return path;
}

void Machine::reallyUnmount(const std::string& path) {
    if (!flag(state_, "sandbox", false)) {
        return;
    }
    if (::umount2(path.c_str(), 0) != 0 && errno != EINVAL && errno != ENOENT) {
        throw ToolError{std::strerror(errno), 1};
    }
    if (path.rfind(std::string(kVolumesRoot) + "/", 0) == 0) {
        ::rmdir(path.c_str());
    }
}

void Machine::mountVolumesOf(const Json& disk, unsigned ownerUid) {
    Device whole{DeviceKind::WholeDisk, str(disk, "id"), &disk, nullptr, nullptr};
    std::vector<Device> volumes;
    if (str(disk, "scheme", "GUID_partition_scheme").empty()) {
        volumes.push_back(whole);
    }
    for (const auto& child : childrenOf(whole)) {
        volumes.push_back(child);
    }
    for (const auto& device : volumes) {
        const Json& volume = device.kind == DeviceKind::WholeDisk ? disk : *device.partition;
        std::string mp = str(volume, "mountPoint");
        if (mp.empty()) {
            continue;
        }
        if (mp.rfind(std::string(kVolumesRoot) + "/", 0) == 0 && flag(state_, "sandbox", false)) {
            if (state_["mounts"].contains(device.id)) {
                continue;
            }
            // The world names where it was mounted; a clash gets the usual " 1" suffix.
            struct stat st {};
            if (::lstat(mp.c_str(), &st) == 0) {
                mp = freeVolumePath(fs::path(mp).filename().string());
            }
            reallyMount(device, mp, ownerUid);
        }
        state_["mounts"][device.id] = mp;
    }
}

void Machine::mountInitialVolumes() {
    for (const auto& disk : world_["disks"]) {
        if (isImageAttached(disk)) {
            mountVolumesOf(disk, 0);
        }
    }
}

std::string Machine::mount(const Device& device, unsigned realUid) {
    std::string name = volumeName(device);
    if (auto mp = mountPoint(device)) {
        return "Volume " + name + " on " + device.id + " mounted\n";
    }
    const Json* volume = device.kind == DeviceKind::Partition ? device.partition
                         : device.kind == DeviceKind::WholeDisk &&
                                 str(*device.disk, "scheme", "GUID_partition_scheme").empty()
                             ? device.disk
                             : nullptr;
    if (volume == nullptr || !filesystemNames(*volume) || flag(*volume, "unmountable", false)) {
        throw ToolError{"Volume on " + device.id +
                            " failed to mount; If you think the volume is supported but damaged, "
                            "try the \"readOnly\" option",
                        1};
    }
    // Current macOS lets only root mount an ESP.
    if (isEsp(device) && realUid != 0) {
        throw ToolError{"Volume on " + device.id +
                            " failed to mount; If you think the volume is supported but damaged, "
                            "try the \"readOnly\" option",
                        1};
    }
    std::string path = freeVolumePath(name);
    reallyMount(device, path, realUid);
    state_["mounts"][device.id] = path;
    return "Volume " + name + " on " + device.id + " mounted\n";
}

std::string Machine::unmount(const Device& device, unsigned realUid) {
    std::string name = volumeName(device);
    auto mp = mountPoint(device);
    if (!mp || device.kind == DeviceKind::ApfsVolume || device.kind == DeviceKind::Snapshot) {
        if (device.kind == DeviceKind::ApfsVolume || device.kind == DeviceKind::Snapshot) {
            throw ToolError{"Volume " + name + " on " + device.id +
                                " failed to unmount: dissented by PID 0 (kernel_task)",
                            1};
        }
        throw ToolError{device.id + " was already unmounted or it has a partitioning scheme so use "
                                    "\"diskutil unmountDisk\" instead",
                        1};
    }
    if (isEsp(device) && realUid != 0) {
        throw ToolError{
            "Volume " + name + " on " + device.id + " failed to unmount: Not privileged", 1};
    }
    try {
        reallyUnmount(*mp);
    } catch (const ToolError& e) {
        throw ToolError{"Volume " + name + " on " + device.id + " failed to unmount: " + e.message,
                        1};
    }
    state_["mounts"].erase(device.id);
    return "Volume " + name + " on " + device.id + " unmounted\n";
}

// ---------------------------------------------------------------------------------------------
// hdiutil

Json Machine::imageInfoPlist() const {
    Json info = {{"framework", "683.100.3"}, {"revision", "683.100.3"}, {"vendor", "Apple"}};
    Json images = Json::array();
    for (const auto& whole : wholeDisks()) {
        if (whole.kind != DeviceKind::WholeDisk || !whole.disk->contains("image")) {
            continue;
        }
        const Json& disk = *whole.disk;
        std::string scheme = str(disk, "scheme", "GUID_partition_scheme");
        Json entities = Json::array();
        entities.push_back({{"content-hint", scheme},
                            {"dev-entry", "/dev/" + whole.id},
                            {"potentially-mountable", scheme.empty()},
                            {"unmapped-content-hint", scheme}});
        for (const auto& child : childrenOf(whole)) {
            Json entity = {{"content-hint", str(*child.partition, "content")},
                           {"dev-entry", "/dev/" + child.id},
                           {"potentially-mountable", filesystemNames(*child.partition).has_value()},
                           {"unmapped-content-hint", str(*child.partition, "content")}};
            if (auto names = filesystemNames(*child.partition)) {
                entity["volume-kind"] = names->type;
            }
            if (auto mp = mountPoint(child)) {
                entity["mount-point"] = *mp;
            }
            entities.push_back(std::move(entity));
        }
        images.push_back({{"autodiskmount", true},
                          {"blockcount", size(whole) / 512},
                          {"blocksize", 512},
                          {"hdid-pid", 0},
                          {"icon-path", "/System/Library/PrivateFrameworks/DiskImages.framework/"
                                        "Resources/CDiskImage.icns"},
                          {"image-encrypted", false},
                          {"image-path", str(disk, "image")},
                          {"image-type", str(disk, "imageType", "read/write")},
                          {"owner-uid", 501},
                          {"removable", true},
                          {"system-entities", std::move(entities)},
                          {"writeable", true}});
    }
    // Nothing attached: the real tool leaves the key out altogether.
    if (!images.empty()) {
        info["images"] = std::move(images);
    }
    return info;
}

std::string Machine::attach(const std::string& imagePath, unsigned realUid) {
    std::error_code ec;
    std::string wanted = fs::weakly_canonical(imagePath, ec).string();
    for (const auto& disk : world_["disks"]) {
        if (!disk.contains("image")) {
            continue;
        }
        std::string path = str(disk, "image");
        if (path != imagePath && fs::weakly_canonical(path, ec).string() != wanted) {
            continue;
        }
        if (!isImageAttached(disk)) {
            state_["attached"].push_back(str(disk, "id"));
            mountVolumesOf(disk, realUid);
        }
        Device whole{DeviceKind::WholeDisk, str(disk, "id"), &disk, nullptr, nullptr};
        std::string out;
        char buffer[512];
        std::snprintf(buffer, sizeof buffer, "%-20s\t%-32s\t\n", ("/dev/" + whole.id).c_str(),
                      str(disk, "scheme", "GUID_partition_scheme").c_str());
        out += buffer;
        for (const auto& child : childrenOf(whole)) {
            std::snprintf(buffer, sizeof buffer, "%-20s\t%-32s\t%s\n", ("/dev/" + child.id).c_str(),
                          str(*child.partition, "content").c_str(),
                          mountPoint(child).value_or("").c_str());
            out += buffer;
        }
        return out;
    }
    throw ToolError{"hdiutil: attach failed - No such file or directory", 1};
}

std::string Machine::detach(const std::string& identifier) {
    auto device = find(identifier);
    if (!device || !device->disk->contains("image")) {
        throw ToolError{"hdiutil: detach failed - No such file or directory", 1};
    }
    Device whole{DeviceKind::WholeDisk, str(*device->disk, "id"), device->disk, nullptr, nullptr};
    std::vector<Device> volumes = childrenOf(whole);
    volumes.push_back(whole);
    for (const auto& child : volumes) {
        if (auto mp = mountPoint(child)) {
            try {
                reallyUnmount(*mp);
            } catch (const ToolError& e) {
                throw ToolError{"hdiutil: detach failed - " + e.message, 1};
            }
            state_["mounts"].erase(child.id);
        }
    }
    auto& attached = state_["attached"];
    attached.erase(std::remove(attached.begin(), attached.end(), whole.id), attached.end());
    return "\"" + whole.id + "\" ejected.\n";
}

} // namespace macsim
