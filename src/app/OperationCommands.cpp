#include "app/Cli.h"
#include "app/TerminalText.h"

#include "app/CommandSession.h"
#include "app/ListOutput.h"
#include "discovery/Classification.h"
#include "discovery/DiskOperation.h"
#include "discovery/PartitionId.h"
#include "manager/DiskManager.h"
#include "support/ExitCodes.h"

#include <optional>

// `tesselwick mount|unmount|open ID`: one request through the same manager the
// menu-bar app uses, on a main queue served by this thread.
namespace tesselwick::app {
namespace {

using discovery::DiskOperation;
using discovery::ESPVolume;

// Long enough for the administrator prompt (120 s) and the re-reads after it.
constexpr Seconds kOperationLimit{300.0};
constexpr Seconds kScanLimit{120.0};

enum class Verb { mount, unmount, open };

const char* usageLine(Verb verb) {
    switch (verb) {
    case Verb::mount:
        return "usage: tesselwick mount DISK_ID [--json]\n";
    case Verb::unmount:
        return "usage: tesselwick unmount DISK_ID [--json]\n";
    case Verb::open:
        return "usage: tesselwick open DISK_ID\n";
    }
    return "";
}

const ESPVolume* findVolume(const std::vector<ESPVolume>& volumes, const std::string& id) {
    for (const ESPVolume& volume : volumes) {
        if (volume.diskIdentifier == id) {
            return &volume;
        }
    }
    return nullptr;
}

// An identifier no scan listed: the pipeline checks it on the live system and
// refuses it with its own message.
ESPVolume unlistedVolume(const std::string& id) {
    ESPVolume volume;
    volume.id = id;
    volume.diskIdentifier = id;
    volume.parentIdentifier = discovery::wholeDiskPrefix(id);
    volume.parentName = volume.parentIdentifier.empty() ? id : volume.parentIdentifier;
    volume.filesystem = "EFI";
    return volume;
}

// Mounts or unmounts `id` after the scan and waits for the manager to finish.
int runOperation(CommandSession& session, DiskOperation operation, const std::string& id,
                 const ESPVolume* listed, bool json, std::ostream& out, std::ostream& err) {
    manager::DiskManager& manager = session.manager();
    const bool mounting = operation == DiskOperation::mount;
    if (listed && static_cast<bool>(listed->mountPoint) == mounting) {
        if (json) {
            out << volumeJSON(*listed);
        } else if (mounting) {
            out << terminalText(id) << " is already mounted at "
                << terminalText(*listed->mountPoint) << "\n";
        } else {
            out << terminalText(id) << " is not mounted\n";
        }
        return 0;
    }
    // Only a partition goes further; anything else is refused with the
    // pipeline's own message before any tool runs for the request.
    if (!discovery::PartitionId::parse(id)) {
        err << terminalText(discovery::invalidIdentifierError(id).what(), Lines::keep) << "\n";
        return 1;
    }
    // Done when the manager says the request has run its course (its result
    // published, a reveal handed over).
    bool finished = false;
    const auto observer = manager.addOperationObserver(
        [&](const std::string& disk) { finished = finished || disk == id; });
    const bool started = manager.performOperation(listed ? *listed : unlistedVolume(id), operation);
    const bool served = !started || session.serve([&] { return finished; }, kOperationLimit);
    manager.removeObserver(observer);
    if (!served) {
        if (!session.interrupted()) {
            err << "tesselwick: the " << discovery::operationName(operation)
                << " did not finish in time\n";
            return 1;
        }
        return kInterruptedStatus;
    }
    session.deliver();
    if (manager.lastError()) {
        err << terminalText(*manager.lastError(), Lines::keep) << "\n";
        return 1;
    }
    const ESPVolume* now = findVolume(manager.volumes(), id);
    if (json) {
        out << (now ? volumeJSON(*now) : std::string("null\n"));
    } else if (now && now->mountPoint) {
        out << terminalText(id) << " mounted at " << terminalText(*now->mountPoint) << "\n";
    } else {
        out << terminalText(id)
            << (mounting ? " was mounted but shows no mount point yet\n" : " unmounted\n");
    }
    return 0;
}

int runVerb(Verb verb, const std::vector<std::string>& arguments, std::ostream& out,
            std::ostream& err) {
    std::optional<std::string> id;
    bool json = false;
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            out << usageLine(verb);
            return 0;
        }
        if (argument == "--json" && verb != Verb::open) {
            json = true;
        } else if (!argument.empty() && argument.front() != '-' && !id) {
            id = argument;
        } else {
            err << usageLine(verb);
            return exitcode::kUsage;
        }
    }
    if (!id) {
        err << usageLine(verb);
        return exitcode::kUsage;
    }

    CommandSession session;
    manager::DiskManager& manager = session.manager();
    manager.refresh();
    if (!session.serve([&] { return !manager.isLoading(); }, kScanLimit)) {
        return session.interrupted() ? kInterruptedStatus : 1;
    }
    if (manager.lastError()) {
        err << terminalText(*manager.lastError(), Lines::keep) << "\n";
        return 1;
    }
    const ESPVolume* listed = findVolume(manager.volumes(), *id);
    if (verb != Verb::open) {
        const auto operation = verb == Verb::mount ? DiskOperation::mount : DiskOperation::unmount;
        return runOperation(session, operation, *id, listed, json, out, err);
    }
    const ESPVolume volume = listed ? *listed : unlistedVolume(*id);
    manager.openMounted(volume, true);
    session.deliver();
    if (manager.lastError()) {
        err << terminalText(*manager.lastError(), Lines::keep) << "\n";
        return 1;
    }
    out << "Opened " << terminalText(*volume.mountPoint) << "\n";
    return 0;
}

int runMount(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    return runVerb(Verb::mount, arguments, out, err);
}
int runUnmount(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    return runVerb(Verb::unmount, arguments, out, err);
}
int runOpen(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    return runVerb(Verb::open, arguments, out, err);
}

} // namespace
} // namespace tesselwick::app

TESSELWICK_SUBCOMMAND(mount, "Mount an EFI System Partition (--json prints its record)",
                      tesselwick::app::runMount);
TESSELWICK_SUBCOMMAND(unmount, "Unmount an EFI System Partition (--json prints its record)",
                      tesselwick::app::runUnmount);
TESSELWICK_SUBCOMMAND(open, "Show a mounted EFI System Partition in the file browser",
                      tesselwick::app::runOpen);
