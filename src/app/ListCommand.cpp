#include "app/Cli.h"
#include "app/CommandSession.h"
#include "app/ListOutput.h"

namespace {

int runList(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    static const tesselwick::app::ScanCommand command{
        "list",
        "Scans the disks once and lists every EFI System Partition in list order.\n"
        "  --json  print a JSON array with one object per partition\n",
        [](const auto& volumes, const auto&, bool json) {
            return json ? tesselwick::app::volumesJSON(volumes)
                        : tesselwick::app::volumesTable(volumes);
        }};
    return tesselwick::app::runScanCommand(command, arguments, out, err);
}

} // namespace

TESSELWICK_SUBCOMMAND(list, "List the EFI System Partitions (--json for scripts)", runList);
