#include "app/Cli.h"

#include "app/CommandSession.h"
#include "app/ListOutput.h"
#include "discovery/Classification.h"
#include "manager/DiskManager.h"
#include "operations/EFIOperations.h"

#include <optional>

// `tesselwick mount|unmount|open ID`: one request through the same manager the
// menu-bar app uses, on a main queue served by this thread.
namespace tesselwick::app {
namespace {

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
            return 64;
        }
    }
    if (!id) {
        err << usageLine(verb);
        return 64;
    }

    CommandSession session;
    manager::DiskManager& manager = session.manager();
    manager.refresh();
    if (!session.serve([&] { return !manager.isLoading(); }, kScanLimit)) {
        return session.interrupted() ? kInterruptedStatus : 1;
    }
    if (manager.lastError()) {
        err << *manager.lastError() << "\n";
        return 1;
    }
    const ESPVolume* listed = findVolume(manager.volumes(), *id);
    const ESPVolume volume = listed ? *listed : unlistedVolume(*id);

    if (verb == Verb::open) {
        manager.openMounted(volume, true);
        session.deliver();
        if (manager.lastError()) {
            err << *manager.lastError() << "\n";
            return 1;
        }
        out << "Opened " << *volume.mountPoint << "\n";
        return 0;
    }

    const bool mounting = verb == Verb::mount;
    if (listed && static_cast<bool>(listed->mountPoint) == mounting) {
        if (json) {
            out << volumeJSON(*listed);
        } else if (mounting) {
            out << *id << " is already mounted at " << *listed->mountPoint << "\n";
        } else {
            out << *id << " is not mounted\n";
        }
        return 0;
    }
    // Done when the manager says the request has run its course (its result
    // published, a reveal handed over).
    bool finished = false;
    const auto observer = manager.addOperationObserver(
        [&](const std::string& disk) { finished = finished || disk == *id; });
    const bool started = manager.performOperation(volume, mounting ? operations::kMountCommand
                                                                   : operations::kUnmountCommand);
    const bool served = !started || session.serve([&] { return finished; }, kOperationLimit);
    manager.removeObserver(observer);
    if (!served) {
        if (!session.interrupted()) {
            err << "tesselwick: the " << (mounting ? "mount" : "unmount")
                << " did not finish in time\n";
            return 1;
        }
        return kInterruptedStatus;
    }
    session.deliver();
    if (manager.lastError()) {
        err << *manager.lastError() << "\n";
        return 1;
    }
    const ESPVolume* now = findVolume(manager.volumes(), *id);
    if (json) {
        out << (now ? volumeJSON(*now) : std::string("null\n"));
    } else if (now && now->mountPoint) {
        out << *id << " mounted at " << *now->mountPoint << "\n";
    } else {
        out << *id << (mounting ? " was mounted but shows no mount point yet\n" : " unmounted\n");
    }
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
