// Small pieces the sandbox benchmarks share.
#pragma once

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

// A single-quoted shell word.
inline std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The floor for a property-list scan of a world: the list, one image list, and per
// attached disk with an ESP candidate its own information plus each partition's.
inline int minimumScanCommands(const nlohmann::json& world) {
    int count = 1;
    bool anyCandidate = false;
    for (const auto& disk : world["disks"]) {
        if (disk.contains("image") && !disk.value("attached", true)) {
            continue;
        }
        const auto partitions = disk.value("partitions", nlohmann::json::array());
        bool candidate = false;
        for (const auto& p : partitions) {
            candidate =
                candidate || p.value("content", "") == "EFI" || p.value("volumeName", "") == "EFI";
        }
        if (candidate) {
            anyCandidate = true;
            count += 1 + static_cast<int>(partitions.size());
        }
    }
    return count + (anyCandidate ? 1 : 0);
}

} // namespace bench
