#pragma once

// Dumps every diskutil/hdiutil view of a machine into a folder (with a shell script
// that runs the simulated tools, plutil included) and checks that the views agree.

#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace simtest {

// Result with the tools on PATH and the output folder as $1.
inline const char* kDumpScript = R"(set -e
out=$1
diskutil list -plist > "$out/list.plist"
diskutil list > "$out/list.txt"
hdiutil info -plist > "$out/images.plist"
n=$(plutil -extract AllDisks raw -o - - < "$out/list.plist")
i=0
while [ "$i" -lt "$n" ]; do
  id=$(plutil -extract "AllDisks.$i" raw -o - - < "$out/list.plist")
  diskutil info -plist "$id" > "$out/info-$id.plist"
  diskutil info "$id" > "$out/info-$id.txt"
  i=$((i + 1))
done
findmnt -rn -o TARGET > "$out/mounts.txt" || true
)";

struct Views {
    Json list;
    std::string text;
    Json images;
    std::map<std::string, Json> info;
    std::set<std::string> mounted; // real mount points seen by the kernel
};

inline Views readViews(const std::filesystem::path& dir) {
    Views v;
    v.list = macsim::plistToJson(readText(dir / "list.plist"));
    v.text = readText(dir / "list.txt");
    v.images = macsim::plistToJson(readText(dir / "images.plist"));
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("info-", 0) == 0 && entry.path().extension() == ".plist") {
            v.info[name.substr(5, name.size() - 11)] = macsim::plistToJson(readText(entry.path()));
        }
    }
    std::istringstream mounts(readText(dir / "mounts.txt"));
    for (std::string line; std::getline(mounts, line);) {
        // findmnt -r escapes blanks as \x20. Copied piecewise rather than replaced in
        // place: GCC 12 reports a false -Wrestrict overlap in the inlined replace().
        std::string unescaped;
        for (std::size_t from = 0;;) {
            const std::size_t escape = line.find("\\x20", from);
            unescaped.append(line, from, escape == std::string::npos ? escape : escape - from);
            if (escape == std::string::npos) {
                break;
            }
            unescaped.push_back(' ');
            from = escape + 4;
        }
        v.mounted.insert(std::move(unescaped));
    }
    return v;
}

inline std::string mountPointIn(const Json& dict) {
    return dict.contains("MountPoint") ? dict["MountPoint"].get<std::string>() : "";
}

// Every view agrees with every other: list plist, per-device info, the text table's
// headers and (when checkKernel) the kernel's mount table.
inline void expectConsistent(const Views& v, bool checkKernel) {
    std::set<std::string> allDisks;
    for (const auto& id : v.list["AllDisks"]) {
        allDisks.insert(id.get<std::string>());
    }
    EXPECT_EQ(allDisks.size(), v.info.size()) << "one info per identifier in AllDisks";
    std::vector<std::string> volumes;
    std::size_t wholeIndex = 0;
    for (const auto& disk : v.list["AllDisksAndPartitions"]) {
        std::string id = disk["DeviceIdentifier"];
        EXPECT_EQ(v.list["WholeDisks"][wholeIndex++], id);
        EXPECT_NE(v.text.find("/dev/" + id + " ("), std::string::npos) << id;
        const Json& info = v.info.at(id);
        EXPECT_EQ(info["DeviceIdentifier"], id);
        EXPECT_EQ(info["WholeDisk"], true);
        if (disk.contains("APFSPhysicalStores")) {
            EXPECT_NE(v.text.find("/dev/" + id + " (synthesized):"), std::string::npos);
            EXPECT_EQ(info["APFSPhysicalStores"][0]["APFSPhysicalStore"],
                      disk["APFSPhysicalStores"][0]["DeviceIdentifier"]);
            for (const auto& volume : disk["APFSVolumes"]) {
                if (volume.contains("MountPoint")) {
                    volumes.push_back(volume["VolumeName"]);
                }
                EXPECT_EQ(mountPointIn(volume),
                          v.info.at(volume["DeviceIdentifier"].get<std::string>())["MountPoint"]);
            }
            continue;
        }
        for (const auto& part : disk.value("Partitions", Json::array())) {
            std::string pid = part["DeviceIdentifier"];
            SCOPED_TRACE(pid);
            const Json& pinfo = v.info.at(pid);
            EXPECT_EQ(pinfo["DeviceIdentifier"], pid);
            EXPECT_EQ(pinfo["ParentWholeDisk"], id);
            EXPECT_EQ(pinfo["TotalSize"], part["Size"]);
            EXPECT_EQ(pinfo["Content"], part["Content"]);
            EXPECT_EQ(pinfo["VolumeName"], part.value("VolumeName", std::string()));
            std::string mp = mountPointIn(part);
            EXPECT_EQ(pinfo["MountPoint"], mp);
            EXPECT_EQ(pinfo["Mounted"], !mp.empty());
            if (!mp.empty()) {
                if (part.contains("VolumeName")) {
                    volumes.push_back(part["VolumeName"]);
                }
                if (checkKernel) {
                    EXPECT_EQ(v.mounted.count(mp), 1U) << mp << " is not really mounted";
                }
            }
        }
    }
    EXPECT_EQ(v.list["VolumesFromDisks"], Json(volumes));
    if (checkKernel) {
        for (const auto& m : v.mounted) {
            if (m.rfind("/Volumes/", 0) == 0) {
                bool listed = false;
                for (const auto& [id, info] : v.info) {
                    listed = listed || mountPointIn(info) == m;
                }
                EXPECT_TRUE(listed) << m << " is mounted but no device reports it";
            }
        }
    }
}

} // namespace simtest
