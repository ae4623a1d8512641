#include "app/Cli.h"
#include "app/CommandSession.h"
#include "app/ListOutput.h"

namespace {

int runDisks(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    static const tesselwick::app::ScanCommand command{
        "disks",
        "Scans the disks once, as list does, and shows every whole disk it saw: its\n"
        "size, kind, partition scheme and EFI System Partitions, or why it has none.\n"
        "  --json  print a JSON array with one object per disk\n",
        [](const auto&, const auto& disks, bool json) {
            return json ? tesselwick::app::disksJSON(disks) : tesselwick::app::disksTable(disks);
        }};
    return tesselwick::app::runScanCommand(command, arguments, out, err);
}

} // namespace

TESSELWICK_SUBCOMMAND(disks, "Show every disk and why it has no EFI System Partition", runDisks);
