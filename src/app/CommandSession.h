#pragma once

#include "app/Composition.h"
#include "manager/DiskManager.h"
#include "support/BlockingMainQueue.h"

#include <atomic>
#include <functional>
#include <memory>
#include <ostream>
#include <signal.h>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tesselwick::app {

// The status of a command that Ctrl-C (or SIGTERM) ended.
inline constexpr int kInterruptedStatus = 130;

// Turns Ctrl-C and SIGTERM into a flag the main queue's thread sees, so that an
// interrupted request is torn down in order instead of killed mid-way.
class InterruptWatcher {
public:
    explicit InterruptWatcher(BlockingMainQueue& queue);
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    bool interrupted() const { return interrupted_; }

private:
    BlockingMainQueue& queue_;
    sigset_t previous_;
    std::atomic<bool> interrupted_{false};
    std::thread thread_;
};

// One disk manager, wired as in the application, on a main queue served by the
// command's own thread. Destroying the session tears the manager down (which
// cancels its work), waits for its workers and lets handed-over notifications
// and folder requests reach the desktop.
class CommandSession {
public:
    CommandSession();
    ~CommandSession();
    CommandSession(const CommandSession&) = delete;
    CommandSession& operator=(const CommandSession&) = delete;

    manager::DiskManager& manager() { return *manager_; }
    bool interrupted() const { return interrupts_.interrupted(); }

    // Serves the main queue until `done` holds or an interrupt; true when done.
    bool serve(const std::function<bool()>& done, Seconds limit);
    // Lets requests handed to the desktop arrive and their answers come back
    // to the main queue.
    void deliver();

private:
    BlockingMainQueue queue_;
    InterruptWatcher interrupts_;
    Composition composition_;
    std::shared_ptr<manager::DiskManager> manager_;
};

// A command that scans once and prints what it found: `tesselwick <name> [--json]`.
struct ScanCommand {
    std::string_view name;
    // The help's text after its usage line.
    std::string_view description;
    // The scan's records as printed; `disks` is what the scan saw of each whole
    // disk, asked of the same tool calls.
    std::function<std::string(const std::vector<discovery::ESPVolume>& volumes,
                              const std::vector<discovery::DiskReport>& disks, bool json)>
        print;
};

// Exit 0 after printing, 1 with the scan's message on `err`, kUsage for an
// unknown argument, kInterruptedStatus after Ctrl-C or SIGTERM.
int runScanCommand(const ScanCommand& command, const std::vector<std::string>& arguments,
                   std::ostream& out, std::ostream& err);

} // namespace tesselwick::app
