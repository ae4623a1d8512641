#include "app/Cli.h"
#include "discovery/VolumeFormat.h"
#include "discovery/VolumeScan.h"

#include <exception>

namespace {

int runList(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    bool json = false;
    for (const std::string& argument : arguments) {
        if (argument == "--json") {
            json = true;
        } else if (argument == "--help" || argument == "-h") {
            out << "usage: tesselwick list [--json]\n\n"
                   "Scans the disks once and lists every EFI System Partition in list order.\n"
                   "  --json  print a JSON array with one object per partition\n";
            return 0;
        } else {
            err << "tesselwick list: unknown option '" << argument << "'\n"
                << "usage: tesselwick list [--json]\n";
            return 64;
        }
    }
    try {
        const auto volumes = tesselwick::discovery::loadESPVolumes();
        out << (json ? tesselwick::discovery::volumesJSON(volumes)
                     : tesselwick::discovery::volumesTable(volumes));
        return 0;
    } catch (const std::exception& error) {
        err << error.what() << "\n";
        return 1;
    }
}

} // namespace

TESSELWICK_SUBCOMMAND(list, "List the EFI System Partitions (--json for scripts)", runList);
