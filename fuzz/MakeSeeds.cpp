// Writes the fuzz targets' seed corpora: what the simulated tools print for
// every world in sim/worlds, a recorded scan session of each, and, when the
// folder of recorded real-Mac output is given, those files (read at run time,
// never copied into the repository).
//
// make_fuzz_seeds <worlds dir> <corpus dir> [<real-Mac output dir>]

#include "FuzzSupport.h"
#include "Machine.h"
#include "Tools.h"
#include "discovery/DiskCaches.h"
#include "discovery/VolumeScan.h"
#include "helper/HelperScripts.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;
using namespace tesselwick;

namespace {

// The fuzz runs cut inputs at this length; a longer seed would only arrive cut.
constexpr std::size_t kMaximumSeedLength = 65536;

void write(const fs::path& dir, const std::string& name, const std::string& bytes) {
    if (bytes.size() > kMaximumSeedLength) {
        return;
    }
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary) << bytes;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string record(const std::string& key, const std::string& output) {
    return "@@ " + key + "\n" + output + "\n";
}

void seedsFromWorld(const fs::path& world, const fs::path& corpus, const fs::path& home) {
    const std::string name = world.stem().string();
    fs::remove_all(home);
    macsim::Machine::initialize(home.string(), world.string(), false, "");
    macsim::Machine machine(home.string());

    std::string session;
    const process::CommandRunner runner = [&](const std::string& path,
                                              const std::vector<std::string>& arguments,
                                              tesselwick::Seconds) -> std::string {
        const macsim::Output output = path.ends_with("hdiutil")
                                          ? macsim::hdiutil(machine, arguments, 0)
                                          : macsim::diskutil(machine, arguments, 0);
        const std::string key = fuzz::commandKey(path, arguments);
        if (output.status != 0) {
            throw commandError(output.status, output.err);
        }
        session += record(key, output.out);
        if (key.starts_with("diskutil info -plist") || key.starts_with("hdiutil")) {
            write(corpus / "disk_info", name + "-" + arguments.back(), output.out);
        }
        if (key.find("-plist") != std::string::npos) {
            write(corpus / "plist",
                  name + "-" + key.substr(0, key.find(' ')) + "-" + arguments.back(), output.out);
        }
        return output.out;
    };
    discovery::DiskInfoCache infoCache;
    discovery::DiskImageMapCache imageCache;
    const discovery::VolumeScanner scanner(runner, infoCache, imageCache);
    scanner.loadESPVolumes();
    write(corpus / "scan", name + "-plist", session);
    session.clear();
    discovery::DiskInfoCache textInfoCache;
    discovery::DiskImageMapCache textImageCache;
    discovery::VolumeScanner(runner, textInfoCache, textImageCache).loadESPVolumesFromText();
    write(corpus / "scan", name + "-text", session);
    write(corpus / "list_text", name, macsim::diskutil(machine, {"list"}, 0).out);
}

void seedsFromRealMac(const fs::path& dir, const fs::path& corpus) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        const std::string bytes = read(entry.path());
        if (name.starts_with("list-text")) {
            write(corpus / "list_text", name, bytes);
            write(corpus / "scan", name, record("diskutil list", bytes));
        } else if (name.ends_with(".plist")) {
            write(corpus / "plist", name, bytes);
            if (name.starts_with("list-plist")) {
                write(corpus / "scan", name, record("diskutil list -plist", bytes));
            } else {
                write(corpus / "disk_info", name, bytes);
            }
        }
    }
}

void toolMessageSeeds(const fs::path& corpus) {
    const fs::path dir = corpus / "tool_messages";
    const std::string marker = helper::kReadyMarker;
    write(dir, "version",
          std::string(helper::kHelperVersion) + "\n" + std::string(1, '\0') +
              helper::kHelperVersion + "\n");
    write(dir, "ran-and-failed",
          marker + "\nCould not mount disk0s1\n" + std::string(1, '\0') + "output\n");
    write(dir, "sudo-refused", "sudo: a password is required\n");
    write(dir, "cut-utf8",
          "\xE2\x80\xA6 \xF0\x9F\x92\xBE\xF0\x9F" + std::string(1, '\0') + "\xC3\xA9\xC3");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: make_fuzz_seeds <worlds dir> <corpus dir> [<real-Mac output dir>]\n";
        return 64;
    }
    const fs::path corpus = argv[2];
    const fs::path home = corpus / ".macsim-home";
    try {
        for (const auto& entry : fs::directory_iterator(argv[1])) {
            if (entry.path().extension() == ".json") {
                seedsFromWorld(entry.path(), corpus, home);
            }
        }
        fs::remove_all(home);
        if (argc > 3 && fs::is_directory(argv[3])) {
            seedsFromRealMac(argv[3], corpus);
        } else {
            std::cerr << "make_fuzz_seeds: no recorded real-Mac output; simulator seeds only\n";
        }
        toolMessageSeeds(corpus);
    } catch (const std::exception& error) {
        std::cerr << "make_fuzz_seeds: " << error.what() << "\n";
        return 1;
    } catch (const macsim::ToolError& error) {
        std::cerr << "make_fuzz_seeds: " << error.message << "\n";
        return 1;
    }
    return 0;
}
