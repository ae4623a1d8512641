#include "app/Cli.h"

#include "discovery/Classification.h"
#include "discovery/VolumeFormat.h"
#include "manager/DiskManager.h"
#include "operations/EFIOperations.h"
#include "platform/PlatformServices.h"
#include "services/Notifier.h"
#include "support/BlockingMainQueue.h"
#include "support/Clock.h"

#include <atomic>
#include <csignal>
#include <optional>
#include <pthread.h>
#include <thread>

// `tesselwick mount|unmount|open ID`: one request through the same manager the
// menu-bar app uses, on a main queue served by this thread.
namespace tesselwick::app {
namespace {

using discovery::ESPVolume;

// Long enough for the administrator prompt (120 s) and the re-reads after it.
constexpr double kOperationLimit = 300.0;
constexpr double kScanLimit = 120.0;
constexpr double kDeliveryLimit = 5.0;
constexpr int kInterruptedStatus = 130;

// Turns Ctrl-C and SIGTERM into a flag the main queue's thread sees, so that an
// interrupted request is torn down in order instead of killed mid-way.
class InterruptWatcher {
public:
    explicit InterruptWatcher(BlockingMainQueue& queue) : queue_(queue) {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGUSR1);
        // Every thread started from here on inherits the mask, so only the
        // watcher receives these; children get the default mask back.
        pthread_sigmask(SIG_BLOCK, &signals, &previous_);
        thread_ = std::thread([this, signals] {
            int signal = 0;
            while (sigwait(&signals, &signal) == 0) {
                if (signal == SIGUSR1) {
                    return;
                }
                interrupted_ = true;
                queue_.wake();
            }
        });
    }
    ~InterruptWatcher() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    bool interrupted() const { return interrupted_; }

private:
    BlockingMainQueue& queue_;
    sigset_t previous_;
    std::atomic<bool> interrupted_{false};
    std::thread thread_;
};

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

class Session {
public:
    Session() : interrupts_(queue_), platform_(platform::makePlatformServices()) {
        notifier_.emplace(*platform_.notificationCenter);
        manager::DiskManagerDependencies deps;
        deps.mainQueue = &queue_;
        deps.clock = &systemClock();
        manager::useSharedCoreServices(deps);
        deps.loginItemService = platform_.loginItemService;
        deps.fileBrowser = platform_.fileBrowser;
        deps.notify = [this](const std::string& title, const std::string& body) {
            notifier_->notify(title, body);
        };
        manager_ = manager::DiskManager::create(std::move(deps));
    }

    ~Session() {
        // Teardown cancels whatever still runs; its children are gone before
        // the process is.
        std::vector<TaskHandle> running;
        if (manager_) {
            running.push_back(manager_->refreshTask());
            for (const auto& [disk, task] : manager_->operationTasks()) {
                running.push_back(task);
            }
        }
        manager_.reset();
        for (const TaskHandle& task : running) {
            if (task) {
                task.waitFinished(30.0);
            }
        }
        if (platform_.waitUntilDelivered) {
            platform_.waitUntilDelivered(kDeliveryLimit);
        }
    }

    manager::DiskManager& manager() { return *manager_; }
    bool interrupted() const { return interrupts_.interrupted(); }

    // Serves the main queue until `done` or an interrupt; false when interrupted.
    bool serve(const std::function<bool()>& done, double limit) {
        queue_.runUntil([&] { return interrupted() || done(); }, limit);
        return !interrupted() && done();
    }

    // Lets requests handed to the desktop (notifications, folders) arrive and
    // their answers come back to the main queue.
    void deliver() {
        queue_.runPending();
        if (platform_.waitUntilDelivered) {
            platform_.waitUntilDelivered(kDeliveryLimit);
        }
        queue_.runPending();
    }

private:
    BlockingMainQueue queue_;
    InterruptWatcher interrupts_;
    platform::PlatformServices platform_;
    std::optional<services::Notifier> notifier_;
    std::shared_ptr<manager::DiskManager> manager_;
};

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

    Session session;
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
            out << discovery::volumeJSON(*listed);
        } else if (mounting) {
            out << *id << " is already mounted at " << *listed->mountPoint << "\n";
        } else {
            out << *id << " is not mounted\n";
        }
        return 0;
    }
    manager.performOperation(volume, mounting ? operations::kMountCommand
                                              : operations::kUnmountCommand);
    // Done when the disk is no longer busy and a reveal, if one was scheduled,
    // has run.
    const bool finished = session.serve(
        [&] {
            return !manager.busyDiskIDs().contains(*id) &&
                   !manager.pendingRevealTasks().contains(*id);
        },
        kOperationLimit);
    if (!finished) {
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
        out << (now ? discovery::volumeJSON(*now) : std::string("null\n"));
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
