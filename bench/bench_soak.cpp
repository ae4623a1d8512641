// A long run of one disk manager on the multi-boot Mac inside sim/sandbox:
// mount, open and unmount cycles over every ESP the scan lists, through random
// routes, with random faults injected through the simulator. Afterwards it
// counts what the run left behind.
//
// Usage: bench_soak [--cycles N] [--seed S] [--fault-rate R]   (as root, for the sandbox)
// (--fault-rate: the share of cycles with a fault, 0.25 by default)
//
// Routes, switched between cycles by changing the process's identity while the
// manager is idle: direct (diskutil as root, no helper), administrator (the
// world's user, no helper: the user's diskutil fails, then the prompt) and
// helper (the world's user with the helper installed through the manager).
//
// Faults, one at most per cycle, on one of its two operations: the operation's
// diskutil failing (status and standard error), the diskutil that would do
// the work (root's, on the helper and administrator routes) delayed past the
// route's time-out, flooding standard error, the administrator prompt
// cancelled, the installed helper deleted while the status cache still says
// installed, and, for a mount, the partition replaced by a data partition just
// as the mount starts (put back afterwards).
//
// Prints cycles, faults_injected, leaked_fds, leaked_children, stale_mounts,
// state_mismatches, false_reports (an operation reported failed while the
// simulator shows the asked state, or reported done while not; each of these
// must be 0, or the exit status is 1), threads_start, threads_end,
// elapsed_seconds and cycles_per_second.

#include "BenchSupport.h"
#include "discovery/DiskCaches.h"
#include "discovery/ESPVolume.h"
#include "discovery/VolumeScan.h"
#include "doubles/FakeLoginItemService.h"
#include "helper/ESPHelper.h"
#include "helper/HelperScripts.h"
#include "manager/DiskManager.h"
#include "operations/EFIOperations.h"
#include "process/AdministratorShell.h"
#include "process/DiskTool.h"
#include "process/ProcessRunner.h"
#include "support/BlockingMainQueue.h"
#include "support/Clock.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <random>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

using namespace tesselwick;
namespace fs = std::filesystem;
using discovery::ESPVolume;

namespace {

constexpr const char* kMacsim = "/usr/local/bin/macsim";
constexpr const char* kStatePath = "/var/db/macsim/state.json";
constexpr const char* kWorldPath = "/var/db/macsim/world.json";
// Every wait is bounded; one past this fails the run instead of hanging it.
// The longest legitimate wait is a time-out followed by the prompt's route.
constexpr Seconds kWaitLimit{180.0};
// Past the direct route's time-out for diskutil mount and unmount, and past
// the helper's own, so the first call is always stopped by our runner.
constexpr double kDirectDelay = process::disktool::kMountTimeout.count() + 2.0;
constexpr double kHelperDelay = ESPHelper::kRunTimeout.count() + 2.0;
constexpr double kAdministratorDelay = process::kAdministratorTimeout.count() + 2.0;
// What a replaced partition becomes, and what every ESP of the world is.
const nlohmann::json kDataPartition{{"content", "Microsoft Basic Data"}, {"fs", "exfat"}};
const nlohmann::json kEfiPartition{{"content", "EFI"}, {"fs", "fat32"}};
constexpr std::size_t kFloodBytes = 8 * 1024 * 1024;

std::size_t countEntries(const char* directory) {
    std::size_t count = 0;
    if (DIR* dir = opendir(directory)) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        closedir(dir);
    }
    return count;
}

// Descriptors of this process, not counting the one the listing itself uses.
std::size_t openDescriptors() {
    return countEntries("/proc/self/fd") - 1;
}

std::size_t threadCount() {
    return countEntries("/proc/self/task");
}

std::string readLink(const std::string& path) {
    std::error_code error;
    const fs::path target = fs::read_symlink(path, error);
    return error ? std::string() : target.string();
}

// Processes in this sandbox's mount namespace other than this one: our
// children, and anything a tool we started left running (an orphaned root
// script or simulator call).
std::vector<std::string> strayProcesses() {
    std::vector<std::string> found;
    const std::string ownNamespace = readLink("/proc/self/ns/mnt");
    const std::string self = std::to_string(getpid());
    DIR* dir = opendir("/proc");
    if (dir == nullptr) {
        return found;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
            pid == self) {
            continue;
        }
        const std::string base = "/proc/" + pid;
        std::ifstream statFile(base + "/stat");
        std::string stat;
        std::getline(statFile, stat);
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        std::string ppid;
        rest >> state >> ppid;
        if (ppid == self || readLink(base + "/ns/mnt") == ownNamespace) {
            found.push_back(pid + " " + stat.substr(0, close + 1) + " " + state);
        }
    }
    closedir(dir);
    return found;
}

// /proc/self/mountinfo escapes blanks and a few others as \ooo.
std::string unescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::set<std::string> mountsUnderVolumes() {
    std::set<std::string> mounts;
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        fields >> id >> parent >> device >> root >> mountPoint;
        mountPoint = unescapeMountField(mountPoint);
        if (mountPoint.starts_with("/Volumes/")) {
            mounts.insert(mountPoint);
        }
    }
    return mounts;
}

nlohmann::json readJSON(const char* path) {
    std::ifstream file(path);
    return nlohmann::json::parse(file, nullptr, false);
}

// The simulator's own record of what is mounted: disk identifier to path.
std::map<std::string, std::string> worldMounts() {
    std::map<std::string, std::string> mounts;
    const nlohmann::json state = readJSON(kStatePath);
    if (state.is_object() && state.contains("mounts") && state["mounts"].is_object()) {
        for (const auto& [disk, path] : state["mounts"].items()) {
            if (path.is_string()) {
                mounts[disk] = path.get<std::string>();
            }
        }
    }
    return mounts;
}

int spawnAndWait(std::vector<std::string> argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> raw;
    for (std::string& argument : argv) {
        raw.push_back(argument.data());
    }
    raw.push_back(nullptr);
    pid_t pid = -1;
    int status = -1;
    if (posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ) == 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    return status;
}

bool control(std::vector<std::string> arguments) {
    std::vector<std::string> argv{kMacsim, "ctl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const int status = spawnAndWait(std::move(argv));
    if (status != 0) {
        std::cerr << "bench_soak: macsim ctl " << arguments.front() << " failed\n";
    }
    return status == 0;
}

// Who runs the tools. The saved user ID stays 0 throughout, so the process can
// come back to root between cycles; children get the real and effective IDs.
struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups{0};
};

bool become(const Identity& identity) {
    // Back to root first: only root may change the groups.
    if (setresuid(0, 0, 0) != 0 || setgroups(identity.groups.size(), identity.groups.data()) != 0 ||
        setresgid(identity.gid, identity.gid, 0) != 0 ||
        setresuid(identity.uid, identity.uid, 0) != 0) {
        std::perror("bench_soak: changing identity");
        return false;
    }
    // An identity change makes /proc/self root's; keep it ours.
    prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    return true;
}

std::optional<Identity> worldUser() {
    const nlohmann::json world = readJSON(kWorldPath);
    std::string name = "ava";
    if (world.is_object() && world.contains("user") && world["user"].contains("name")) {
        name = world["user"]["name"].get<std::string>();
    }
    const passwd* entry = getpwnam(name.c_str());
    if (entry == nullptr) {
        return std::nullopt;
    }
    Identity identity;
    identity.uid = entry->pw_uid;
    identity.gid = entry->pw_gid;
    int count = 32;
    identity.groups.assign(static_cast<std::size_t>(count), 0);
    if (getgrouplist(name.c_str(), entry->pw_gid, identity.groups.data(), &count) < 0) {
        identity.groups.assign(static_cast<std::size_t>(count), 0);
        getgrouplist(name.c_str(), entry->pw_gid, identity.groups.data(), &count);
    }
    identity.groups.resize(static_cast<std::size_t>(count));
    return identity;
}

// Shows folders by checking that they are real directories; every request is
// kept so the run can check that each mount was opened where it is mounted.
class CheckingFileBrowser final : public services::FileBrowser {
public:
    void openFolder(const std::string& path, Completion completion) override {
        {
            std::lock_guard guard(lock_);
            opened_.push_back(path);
        }
        completion(isDirectory(path) ? std::nullopt
                                     : std::optional<std::string>("not a folder: " + path));
    }
    std::vector<std::string> take() {
        std::lock_guard guard(lock_);
        return std::exchange(opened_, {});
    }

private:
    std::mutex lock_;
    std::vector<std::string> opened_;
};

enum class Route { direct, administrator, helper };
enum class Fault {
    none,
    toolFailure,
    timeout,
    flood,
    promptCancelled,
    helperRemoved,
    partitionChanged
};

const char* routeName(Route route) {
    switch (route) {
    case Route::direct:
        return "direct";
    case Route::administrator:
        return "administrator";
    case Route::helper:
        return "helper";
    }
    return "?";
}

const char* faultName(Fault fault) {
    switch (fault) {
    case Fault::none:
        return "none";
    case Fault::toolFailure:
        return "tool_failure";
    case Fault::timeout:
        return "timeout";
    case Fault::flood:
        return "flood";
    case Fault::promptCancelled:
        return "prompt_cancelled";
    case Fault::helperRemoved:
        return "helper_removed";
    case Fault::partitionChanged:
        return "partition_changed";
    }
    return "?";
}

class Soak {
public:
    Soak(Identity user, std::uint64_t seed, double faultRate)
        : user_(std::move(user)), random_(seed), faultRate_(faultRate) {}

    int run(int cycles);

private:
    const ESPVolume* shown(const std::string& disk) const;
    bool waitUntil(const std::function<bool()>& done, const std::string& what);
    bool waitQuiet();
    bool prepareRoute(Route route);
    bool removeHelper();
    Fault pickFault(Route route);
    bool inject(Fault fault, Route route, const std::string& command, const std::string& disk);
    bool clear(Fault fault);
    // One mount or unmount; false when the run cannot go on. `succeeded` says
    // whether the disk ended in the requested state.
    bool operate(const std::string& disk, Route route, Fault fault, bool& succeeded);
    void problem(const std::string& text);

    Identity user_;
    Identity root_;
    std::mt19937_64 random_;
    // The share of cycles with a fault on one of their operations.
    double faultRate_;
    BlockingMainQueue queue_;
    std::shared_ptr<CheckingFileBrowser> browser_ = std::make_shared<CheckingFileBrowser>();
    std::shared_ptr<manager::DiskManager> manager_;
    std::shared_ptr<ESPHelperStatusCache> helperStatus_;
    // The value lastError had before each of its changes since the operation
    // started; with the value now, every value it took is known.
    std::vector<std::optional<std::string>> errorHistory_;

    struct OperationTime {
        double seconds = 0;
        int count = 0;
    };
    // Operations without a fault, by route.
    std::map<std::string, OperationTime> operationTimes_;
    std::map<std::string, int> faultCounts_;
    int faultsInjected_ = 0;
    int failedOperations_ = 0;
    int surfaceMismatches_ = 0;
    int falseReports_ = 0;
    int unfaultedFailures_ = 0;
    int mountPointMismatches_ = 0;
    int openFailures_ = 0;
    int problemsShown_ = 0;
};

void Soak::problem(const std::string& text) {
    if (problemsShown_++ < 20) {
        std::cerr << "bench_soak: " << text << "\n";
    }
}

const ESPVolume* Soak::shown(const std::string& disk) const {
    for (const ESPVolume& volume : manager_->volumes()) {
        if (volume.diskIdentifier == disk) {
            return &volume;
        }
    }
    return nullptr;
}

bool Soak::waitUntil(const std::function<bool()>& done, const std::string& what) {
    if (queue_.runUntil(done, kWaitLimit)) {
        return true;
    }
    std::cerr << "bench_soak: " << what << " did not finish within " << kWaitLimit.count()
              << " s\n";
    return false;
}

// No scan, operation, reveal or installation running or due.
bool Soak::waitQuiet() {
    return waitUntil([&] { return !manager_->hasPendingWork(); }, "the manager's work");
}

bool Soak::removeHelper() {
    std::error_code error;
    fs::remove(helper::kHelperPath, error);
    fs::remove(helper::kSudoersPath, error);
    return !fs::exists(helper::kHelperPath);
}

// Called as root with the manager idle; leaves the process as the route's identity.
bool Soak::prepareRoute(Route route) {
    const bool helperPresent = fs::exists(helper::kHelperPath);
    if (route != Route::helper) {
        if (helperPresent) {
            // A deliberate uninstall, not a fault: the cache learns of it at once.
            removeHelper();
            helperStatus_->invalidate();
        }
        return become(route == Route::direct ? root_ : user_);
    }
    if (!become(user_)) {
        return false;
    }
    if (helperPresent && helperStatus_->cachedValue().value_or(false)) {
        return true;
    }
    // Installed the way the user does it: through the manager, behind the prompt.
    if (!waitUntil([&] { return !manager_->isLoading(); }, "the scan before installing")) {
        return false;
    }
    manager_->installHelper();
    if (!waitUntil([&] { return !manager_->helperBusy() && !manager_->isLoading(); },
                   "the helper installation")) {
        return false;
    }
    if (manager_->lastError() || !manager_->helperInstalled()) {
        problem("helper installation failed: " + manager_->lastError().value_or("not installed"));
        ++unfaultedFailures_;
        return false;
    }
    return true;
}

Fault Soak::pickFault(Route route) {
    if (std::uniform_real_distribution<double>(0, 1)(random_) >= faultRate_) {
        return Fault::none;
    }
    std::vector<Fault> kinds{Fault::toolFailure, Fault::timeout, Fault::flood,
                             Fault::partitionChanged};
    if (route == Route::administrator) {
        kinds.push_back(Fault::promptCancelled);
    }
    if (route == Route::helper) {
        kinds.push_back(Fault::helperRemoved);
    }
    return kinds[std::uniform_int_distribution<std::size_t>(0, kinds.size() - 1)(random_)];
}

// Called as root.
bool Soak::inject(Fault fault, Route route, const std::string& command, const std::string& disk) {
    const std::string line = "diskutil " + command + " " + disk;
    nlohmann::json rule{{"command", line}};
    // The call that does the work: on the administrator route the user's own
    // attempt, refused at once, comes first.
    const int workingCall = route == Route::administrator ? 2 : 1;
    switch (fault) {
    case Fault::none:
        return true;
    case Fault::toolFailure:
        rule["status"] = 1;
        rule["stderr"] =
            "Volume " + disk + " on " + disk + " failed to " + command + ": the soak says no";
        break;
    case Fault::timeout:
        rule["calls"] = {workingCall};
        rule["delay"] = route == Route::helper          ? kHelperDelay
                        : route == Route::administrator ? kAdministratorDelay
                                                        : kDirectDelay;
        break;
    case Fault::partitionChanged:
        rule["calls"] = {workingCall};
        rule["rewrite"] = {{disk, kDataPartition}};
        break;
    case Fault::flood:
        rule["status"] = 1;
        rule["flood"] = {{"bytes", kFloodBytes}, {"stream", "stderr"}};
        break;
    case Fault::promptCancelled:
        return control({"prompt", "cancel"});
    case Fault::helperRemoved: {
        // The helper file goes; the sudoers rule and the cached status stay.
        std::error_code error;
        return fs::remove(helper::kHelperPath, error);
    }
    }
    return control({"fault", rule.dump()});
}

bool Soak::clear(Fault fault) {
    switch (fault) {
    case Fault::none:
    case Fault::helperRemoved:
        return true;
    case Fault::promptCancelled:
        return control({"prompt", "approve"});
    default:
        return control({"clear-faults"});
    }
}

bool Soak::operate(const std::string& disk, Route route, Fault fault, bool& succeeded) {
    const ESPVolume* volume = shown(disk);
    if (volume == nullptr) {
        problem(disk + " is missing from the published list");
        return false;
    }
    const ESPVolume requested = *volume;
    const bool mounting = !requested.mountPoint;
    const auto operation =
        mounting ? discovery::DiskOperation::mount : discovery::DiskOperation::unmount;
    const std::string command = discovery::operationName(operation);

    // Only a mount can be taken back when it met another partition.
    if (fault == Fault::partitionChanged && !mounting) {
        fault = Fault::none;
    }
    const Identity& identity = route == Route::direct ? root_ : user_;
    if (!become(root_) || !prepareRoute(route) || !become(root_) ||
        !inject(fault, route, command, disk) || !become(identity)) {
        return false;
    }
    if (fault != Fault::none) {
        ++faultsInjected_;
        ++faultCounts_[faultName(fault)];
    }
    browser_->take();
    errorHistory_.clear();
    const auto startedAt = std::chrono::steady_clock::now();
    // As the command line waits: until the manager says the request has run its course.
    bool finished = false;
    const auto observer = manager_->addOperationObserver(
        [&](const std::string& finishedDisk) { finished = finished || finishedDisk == disk; });
    const bool started = manager_->performOperation(requested, operation);
    const bool done =
        started && waitUntil([&] { return finished; }, "the " + command + " of " + disk);
    manager_->removeObserver(observer);
    if (!done) {
        return false;
    }
    if (fault == Fault::none) {
        OperationTime& time = operationTimes_[routeName(route)];
        time.seconds += bench::secondsSince(startedAt);
        ++time.count;
    }
    if (!become(root_) || !clear(fault)) {
        return false;
    }

    // Judged on the simulated machine, not on what the manager says.
    const std::map<std::string, std::string> mounts = worldMounts();
    const auto mounted = mounts.find(disk);
    succeeded = (mounted != mounts.end()) == mounting;
    if (!succeeded) {
        ++failedOperations_;
    }
    std::size_t messages = 0;
    for (std::size_t i = 1; i <= errorHistory_.size(); ++i) {
        const std::optional<std::string>& value =
            i < errorHistory_.size() ? errorHistory_[i] : manager_->lastError();
        messages += value ? 1 : 0;
    }
    const std::string context = std::string(command) + " " + disk + " route " + routeName(route) +
                                " fault " + faultName(fault);
    if (static_cast<bool>(manager_->lastError()) == succeeded) {
        ++falseReports_;
        problem(context + ": reported " + (succeeded ? "failed" : "done") +
                " while the simulator " + (succeeded ? "shows it done" : "does not"));
    }
    if (messages != (succeeded ? 0U : 1U) ||
        static_cast<bool>(manager_->lastError()) == succeeded) {
        ++surfaceMismatches_;
        problem(context + ": " + std::to_string(messages) + " messages, " +
                (succeeded ? "succeeded" : "failed") +
                ", last error: " + manager_->lastError().value_or("none"));
    }
    if (!succeeded && fault == Fault::none) {
        ++unfaultedFailures_;
        problem(context + " failed without a fault: " + manager_->lastError().value_or("?"));
    }
    const ESPVolume* now = shown(disk);
    const std::optional<std::string> worldPath =
        mounted == mounts.end() ? std::nullopt : std::optional<std::string>(mounted->second);
    if (succeeded && (now == nullptr || now->mountPoint != worldPath)) {
        ++mountPointMismatches_;
        problem(context + ": published mount point " +
                (now && now->mountPoint ? *now->mountPoint : std::string("none")) + ", simulator " +
                worldPath.value_or("none"));
    }
    if (succeeded && mounting && now != nullptr && now->mountPoint) {
        // The reveal showed it; now as `tesselwick open` does.
        manager_->openMounted(*now, true);
        queue_.runPending();
        std::vector<std::string> opened = browser_->take();
        const bool revealed = !opened.empty() && opened.front() == *now->mountPoint;
        if (manager_->lastError() || opened.size() != 2 || !revealed ||
            opened.back() != *now->mountPoint) {
            ++openFailures_;
            problem(context + ": opening " + *now->mountPoint + " failed (" +
                    std::to_string(opened.size()) +
                    " requests): " + manager_->lastError().value_or(""));
        }
    }
    if (fault == Fault::partitionChanged) {
        // The ESP comes back for the next cycles, and the list with it.
        if (!control({"rewrite", disk, kEfiPartition.dump()})) {
            return false;
        }
        manager_->refresh();
        return waitQuiet();
    }
    return true;
}

int Soak::run(int cycles) {
    const std::size_t fdsStart = openDescriptors();
    const std::size_t threadsStart = threadCount();
    root_.groups = {0};
    if (!become(root_)) {
        return 1;
    }

    manager::DiskManagerDependencies deps;
    deps.mainQueue = &queue_;
    deps.clock = &systemClock();
    const manager::CoreServices core = manager::makeCoreServices();
    deps.volumes = core.volumes;
    deps.helper = core.helper;
    deps.operations = core.operations;
    helperStatus_ = core.helperStatus;
    deps.loginItemService = std::make_shared<platform::fake::FakeLoginItemService>();
    deps.fileBrowser = browser_;
    manager_ = manager::DiskManager::create(std::move(deps));
    manager_->addObserver([this](manager::DiskManager::Field field) {
        if (field == manager::DiskManager::Field::lastError) {
            errorHistory_.push_back(manager_->lastError());
        }
    });
    manager_->refresh();
    if (!waitQuiet()) {
        return 1;
    }
    std::vector<std::string> disks;
    for (const ESPVolume& volume : manager_->volumes()) {
        disks.push_back(volume.diskIdentifier);
    }
    if (disks.empty() || manager_->lastError()) {
        std::cerr << "bench_soak: the first scan listed no ESP: "
                  << manager_->lastError().value_or("") << "\n";
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    int completed = 0;
    bool aborted = false;
    for (int cycle = 0; cycle < cycles && !aborted; ++cycle) {
        const std::string disk =
            disks[std::uniform_int_distribution<std::size_t>(0, disks.size() - 1)(random_)];
        const auto route = static_cast<Route>(std::uniform_int_distribution<int>(0, 2)(random_));
        const Fault fault = pickFault(route);
        const bool onSecond = std::uniform_int_distribution<int>(0, 1)(random_) == 1;
        // The first operation toggles the disk, the second puts it back.
        bool succeeded = false;
        if (!operate(disk, route, onSecond ? Fault::none : fault, succeeded)) {
            aborted = true;
            break;
        }
        if (succeeded && !operate(disk, route, onSecond ? fault : Fault::none, succeeded)) {
            aborted = true;
            break;
        }
        ++completed;
    }
    const double elapsed = bench::secondsSince(start);

    // The final comparison runs without faults, as root, after the last
    // refresh the operations scheduled.
    bool settled = become(root_) && control({"clear-faults"}) && control({"prompt", "approve"});
    manager_->refresh();
    settled = waitQuiet() && settled;

    discovery::DiskInfoCache infoCache;
    discovery::DiskImageMapCache imageCache;
    const discovery::VolumeScanner scanner(process::systemCommandRunner(), infoCache, imageCache,
                                           discovery::VolumeScanner::defaultLookupConcurrency);
    std::vector<ESPVolume> fresh;
    try {
        fresh = scanner.loadESPVolumes();
    } catch (const std::exception& error) {
        problem(std::string("the fresh scan failed: ") + error.what());
    }
    int listMismatches = 0;
    if (manager_->lastError()) {
        ++listMismatches;
        problem("the final refresh failed: " + *manager_->lastError());
    }
    const std::vector<ESPVolume>& published = manager_->volumes();
    for (std::size_t i = 0; i < std::max(published.size(), fresh.size()); ++i) {
        if (i >= published.size() || i >= fresh.size() || !(published[i] == fresh[i])) {
            ++listMismatches;
            std::ostringstream text;
            text << "published ";
            if (i < published.size()) {
                text << published[i];
            }
            text << " against fresh ";
            if (i < fresh.size()) {
                text << fresh[i];
            }
            problem(text.str());
        }
    }

    const std::map<std::string, std::string> world = worldMounts();
    std::set<std::string> worldPaths;
    for (const auto& [disk, path] : world) {
        worldPaths.insert(path);
    }
    std::set<std::string> publishedPaths;
    std::set<std::string> espDisks;
    for (const ESPVolume& volume : fresh) {
        espDisks.insert(volume.diskIdentifier);
    }
    for (const ESPVolume& volume : published) {
        if (volume.mountPoint) {
            publishedPaths.insert(*volume.mountPoint);
        }
    }
    int staleMounts = 0;
    for (const std::string& path : mountsUnderVolumes()) {
        const auto owner = std::find_if(world.begin(), world.end(),
                                        [&](const auto& entry) { return entry.second == path; });
        if (owner == world.end() ||
            (espDisks.contains(owner->first) && !publishedPaths.contains(path))) {
            ++staleMounts;
            problem("stale mount " + path);
        }
    }
    for (const auto& [disk, path] : world) {
        if (!fs::is_directory(path)) {
            ++staleMounts;
            problem("the simulator says " + disk + " is at " + path + ", which is gone");
        }
    }

    const int busy = static_cast<int>(manager_->busyDiskIDs().size());
    const int stateMismatches = listMismatches + busy + surfaceMismatches_ + falseReports_ +
                                unfaultedFailures_ + mountPointMismatches_ + openFailures_ +
                                (settled ? 0 : 1) + (aborted ? 1 : 0);
    const std::vector<std::string> strays = strayProcesses();
    for (const std::string& stray : strays) {
        problem("still running: " + stray);
    }
    const std::size_t fdsEnd = openDescriptors();
    const std::size_t threadsEnd = threadCount();
    const long leakedFds = static_cast<long>(fdsEnd) - static_cast<long>(fdsStart);

    std::cout << "cycles " << completed << "\n"
              << "faults_injected " << faultsInjected_ << "\n";
    for (const auto& [name, count] : faultCounts_) {
        std::cout << "faults_" << name << " " << count << "\n";
    }
    for (const auto& [route, time] : operationTimes_) {
        std::cout << "seconds_per_operation_" << route << " "
                  << (time.count > 0 ? time.seconds / time.count : 0) << "\n";
    }
    std::cout << "failed_operations " << failedOperations_ << "\n"
              << "leaked_fds " << leakedFds << "\n"
              << "leaked_children " << strays.size() << "\n"
              << "stale_mounts " << staleMounts << "\n"
              << "state_mismatches " << stateMismatches << "\n"
              << "list_mismatches " << listMismatches << "\n"
              << "busy_disks " << busy << "\n"
              << "message_mismatches " << surfaceMismatches_ << "\n"
              << "false_reports " << falseReports_ << "\n"
              << "unfaulted_failures " << unfaultedFailures_ << "\n"
              << "mount_point_mismatches " << mountPointMismatches_ << "\n"
              << "open_failures " << openFailures_ << "\n"
              << "threads_start " << threadsStart << "\n"
              << "threads_end " << threadsEnd << "\n"
              << "elapsed_seconds " << elapsed << "\n"
              << "cycles_per_second " << (elapsed > 0 ? completed / elapsed : 0) << "\n";

    manager::DiskManager::releaseAndWait(manager_, 30s);
    const bool clean = leakedFds <= 0 && strays.empty() && staleMounts == 0 &&
                       stateMismatches == 0 && completed == cycles;
    return clean ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    int cycles = 1000;
    double faultRate = 0.25;
    std::optional<std::uint64_t> seed;
    bool inside = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--inside") {
            inside = true;
        } else if (argument == "--cycles" && i + 1 < argc) {
            cycles = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--fault-rate" && i + 1 < argc) {
            faultRate = std::clamp(std::atof(argv[++i]), 0.0, 1.0);
        } else if (argument == "--seed" && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::cerr << "usage: bench_soak [--cycles N] [--seed S] [--fault-rate R]\n";
            return 64;
        }
    }
    if (!seed) {
        seed = (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
    }

    if (inside) {
        process::restoreDefaultChildSignal();
        const std::optional<Identity> user = worldUser();
        if (!user) {
            std::cerr << "bench_soak: the world's user is missing from the sandbox\n";
            return 1;
        }
        return Soak(*user, *seed, faultRate).run(cycles);
    }

    std::cout << "seed " << *seed << "\n" << std::flush;
    const fs::path source = TESSELWICK_SOURCE_DIR;
    const fs::path bin = fs::path(TESSELWICK_BINARY_DIR) / "bin";
    std::vector<std::string> command{(source / "sim/sandbox").string(),
                                     "--world",
                                     (source / "sim/worlds/multiboot.json").string(),
                                     "--macsim",
                                     (bin / "macsim").string(),
                                     "--as-root",
                                     "--",
                                     fs::canonical("/proc/self/exe").string(),
                                     "--inside",
                                     "--cycles",
                                     std::to_string(cycles),
                                     "--seed",
                                     std::to_string(*seed),
                                     "--fault-rate",
                                     std::to_string(faultRate)};
    std::vector<char*> raw;
    for (std::string& argument : command) {
        raw.push_back(argument.data());
    }
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    std::perror("bench_soak: cannot start sim/sandbox");
    return 1;
}
