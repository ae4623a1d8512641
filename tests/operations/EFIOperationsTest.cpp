// The route chooser and live validation against scripted tools: which routes run,
// in which order, and the exact message a user reads when they fail.
#include "operations/EFIOperations.h"
#include "discovery/FakeTools.h"
#include "helper/ESPHelper.h"
#include "support/ErrorText.h"
#include "support/Errors.h"
#include "support/Task.h"

#include <gtest/gtest.h>

using namespace tesselwick;
using discovery::DiskOperation;
using discovery::PartitionId;
using discovery::PlistArray;
using discovery::PlistDictionary;
using discovery::PlistValue;
using operations::EFIOperations;
using process::disktool::Command;
using tesselwick::testing::errorText;
using tesselwick::testing::FakeTools;

namespace {

const PartitionId kDisk = PartitionId::validated("disk2s1");

const std::string kHelperText = "The helper is optional. Without it, macOS should ask for "
                                "administrator authorization when needed.\n\n";

PlistValue partitionList(const std::string& content, const std::string& volumeName = "EFI") {
    PlistDictionary partition{
        {"DeviceIdentifier", "disk2s1"}, {"Content", content}, {"VolumeName", volumeName}};
    PlistDictionary disk{{"DeviceIdentifier", "disk2"},
                         {"Partitions", PlistArray{PlistValue(partition)}}};
    return PlistDictionary{{"AllDisksAndPartitions", PlistArray{PlistValue(disk)}}};
}

// diskutil's information about disk2s1: a FAT32 ESP of 209.7 MB, mounted at `mountPoint`.
void answerInfo(FakeTools& tools, std::optional<std::string> mountPoint = {}) {
    PlistDictionary values{{"TotalSize", std::int64_t{209715200}}};
    if (mountPoint) {
        values.emplace("MountPoint", *mountPoint);
    }
    tesselwick::testing::answerInfo(tools, "disk2s1", tesselwick::testing::fat32ESP(values));
}

struct Routes {
    FakeTools tools;
    std::optional<bool> cachedStatus;
    bool stillInstalled = true;
    std::optional<DomainError> helperFailure;
    int helperRuns = 0;

    EFIOperations operations() {
        operations::EFIOperationServices services;
        services.runner = tools.runner();
        services.cachedHelperStatus = [this] { return cachedStatus; };
        services.invalidateHelperStatus = [this] { cachedStatus.reset(); };
        services.helperIsInstalled = [this] { return stillInstalled; };
        services.runHelper = [this](DiskOperation operation, const PartitionId& disk) {
            EXPECT_EQ(std::string(discovery::operationName(operation)) + " " + disk.str(),
                      "mount disk2s1");
            ++helperRuns;
            if (helperFailure) {
                throw *helperFailure;
            }
        };
        return EFIOperations(std::move(services));
    }
    void validTarget() {
        tools.answer(process::disktool::listPlist("disk2"), partitionList("EFI"));
        answerInfo(tools);
    }
    int mounts() const { return tools.count(process::disktool::mount("disk2s1")); }
    int prompts() const {
        int n = 0;
        for (const auto& call : tools.calls()) {
            n += call.rfind("/usr/bin/osascript", 0) == 0 ? 1 : 0;
        }
        return n;
    }
};

} // namespace

TEST(EFIOperations, RouteChoice) {
    const DomainError helperDidNotRun = ESPHelper::helperError("sudo: a password is required");
    const DomainError helperOperationFailed(ESPHelper::kHelperOperationErrorDomain, 65,
                                            "Refusing disk2s1");
    const std::string everyRouteFailed =
        "Tesselwick 1: Unable to mount EFI partition disk2s1.\n\n" + kHelperText +
        "Helper: sudo: a password is required\n\nDirect diskutil: needs root\n\n"
        "Administrator authorization: User canceled. (-128)";
    const struct Case {
        std::optional<bool> cached;
        std::optional<DomainError> helperFailure;
        bool stillInstalled;
        bool directSucceeds;
        std::string expected;
        int helperRuns;
        int directMounts;
    } cases[] = {
        // Nothing known about the helper: diskutil first, even if it is installed.
        {std::nullopt, std::nullopt, true, true, "no error", 0, 1},
        {false, std::nullopt, true, true, "no error", 0, 1},
        {true, std::nullopt, true, true, "no error", 1, 0},
        // The helper ran and the operation failed: its word is final.
        {true, helperOperationFailed, true, true,
         "Tesselwick.Helper.Operation 65: Refusing disk2s1", 1, 0},
        // sudo refused, but the helper is still there: no silent fallback.
        {true, helperDidNotRun, true, true, "Tesselwick.Helper 1: sudo: a password is required", 1,
         0},
        // The helper is gone: fall back, and keep its line for the message.
        {true, helperDidNotRun, false, true, "no error", 1, 1},
        {true, helperDidNotRun, false, false, everyRouteFailed, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        Routes routes;
        routes.validTarget();
        routes.cachedStatus = c.cached;
        routes.helperFailure = c.helperFailure;
        routes.stillInstalled = c.stillInstalled;
        if (c.directSucceeds) {
            routes.tools.answer(process::disktool::mount("disk2s1"), "mounted");
        } else {
            routes.tools.fail(process::disktool::mount("disk2s1"), 1, "needs root");
        }
        const auto operations = routes.operations();
        // No osascript answer is scripted: the prompt "fails" with the fake's message,
        // replaced here by the cancel text the user would see.
        routes.tools.beforeEach([&](const std::string& line) {
            if (line.rfind("/usr/bin/osascript", 0) == 0) {
                throw commandError(1, "User canceled. (-128)");
            }
        });
        EXPECT_EQ(errorText([&] { operations.runEFICommand(DiskOperation::mount, kDisk); }),
                  c.expected);
        EXPECT_EQ(routes.helperRuns, c.helperRuns);
        EXPECT_EQ(routes.mounts(), c.directMounts);
    }
}

// A partition gone from the list or reformatted is refused with the same words
// by both routes before either touches the disk: the sandbox operation test's.
// What it cannot set up: the list still says EFI while the information says
// otherwise, and the list's word is enough.
TEST(EFIOperations, TheListsWordIsEnoughForValidation) {
    Routes routes;
    routes.tools.answer(process::disktool::listPlist("disk2"), partitionList("EFI", "Data"));
    tesselwick::testing::answerInfo(
        routes.tools, "disk2s1",
        {{"Content", "Apple_HFS"}, {"VolumeName", "Data"}, {"FilesystemName", "HFS+"}});
    routes.tools.answer(process::disktool::mount("disk2s1"), "mounted");
    EXPECT_EQ(errorText([&] { routes.operations().runEFICommand(DiskOperation::mount, kDisk); }),
              "no error");
    EXPECT_EQ(routes.mounts(), 1);
}

TEST(EFIOperations, CancellationNeverFallsBack) {
    Routes routes;
    routes.validTarget();
    const TaskHandle task = TaskHandle::makeUnstarted();
    routes.tools.beforeEach([&](const std::string& line) {
        if (line == FakeTools::key(process::disktool::mount("disk2s1"))) {
            task.cancel();
            throw CancellationError();
        }
    });
    routes.tools.answer(process::disktool::mount("disk2s1"), "mounted");
    const auto operations = routes.operations();
    task::CurrentTaskScope scope(task);
    EXPECT_THROW(operations.runEFICommand(DiskOperation::mount, kDisk), CancellationError);
    EXPECT_EQ(routes.prompts(), 0);
}

TEST(EFIOperations, RefreshedVolumeReadsTheMountPointUpToThreeTimes) {
    using Reads = std::vector<std::optional<std::string>>; // the mount point per info read
    const struct {
        bool expectedMounted;
        Reads reads;
        std::optional<std::string> mountPoint;
        int infoCalls;
    } cases[] = {
        {true, {"/Volumes/EFI"}, "/Volumes/EFI", 1},               // seen at once
        {true, {std::nullopt, "/Volumes/EFI"}, "/Volumes/EFI", 2}, // seen on the second read
        {true, {std::nullopt, std::nullopt, std::nullopt}, std::nullopt, 3}, // never seen
        {false, {"/Volumes/EFI"}, std::nullopt, 1}, // a stale mount point after an unmount
    };
    for (const auto& c : cases) {
        Routes routes;
        std::size_t read = 0;
        routes.tools.beforeEach([&](const std::string&) {
            const auto& mountPoint = c.reads[std::min(read++, c.reads.size() - 1)];
            answerInfo(routes.tools, mountPoint);
        });
        discovery::ESPVolume volume;
        volume.id = volume.diskIdentifier = "disk2s1";
        volume.partitionName = "old";
        volume.filesystem = "EFI";
        const discovery::ESPVolume refreshed =
            routes.operations().refreshedOperationVolume(volume, c.expectedMounted);
        EXPECT_EQ(refreshed.mountPoint, c.mountPoint) << read;
        EXPECT_EQ(routes.tools.count(process::disktool::infoPlist("disk2s1")), c.infoCalls);
        EXPECT_EQ(refreshed.partitionName + " " + refreshed.filesystem + " " +
                      std::to_string(refreshed.sizeBytes),
                  "EFI FAT32 209715200");
    }
}

TEST(EFIOperations, ARouteStoppedByItsTimeOutIsJudgedByThePartitionAfterwards) {
    const std::string head =
        "Tesselwick 124: Unable to mount EFI partition disk2s1.\n\nThe mount timed out "
        "and was stopped";
    const std::string unchanged = head + "; the partition is unchanged.";
    const std::string unknown = head + ", and the partition could not be read afterwards: "
                                       "refresh to see whether it is mounted.";
    enum class After { mounted, unmounted, unreadable };
    enum class Stopped { helper, administrator, directThenCancelled };
    const struct {
        Stopped route;
        After after;
        std::string expected;
    } cases[] = {
        {Stopped::helper, After::mounted, "no error"}, // diskutil finished just in time
        {Stopped::helper, After::unmounted, unchanged},
        {Stopped::helper, After::unreadable, unknown},
        {Stopped::administrator, After::mounted, "no error"},
        {Stopped::administrator, After::unmounted, unchanged}, // no transport line quoted
        {Stopped::administrator, After::unreadable, unknown},
        // the route that answered last decides: the prompt was cancelled
        {Stopped::directThenCancelled, After::unmounted,
         "Tesselwick 1: Unable to mount EFI partition disk2s1.\n\n" + kHelperText +
             "Direct diskutil: Command timed out: /usr/sbin/diskutil mount disk2s1\n\n"
             "Administrator authorization: User canceled. (-128)"},
    };
    for (const auto& c : cases) {
        Routes routes;
        routes.validTarget();
        const auto settle = [&] {
            if (c.after == After::unreadable) {
                routes.tools.fail(process::disktool::infoPlist("disk2s1"), 1, "gone");
            } else {
                answerInfo(routes.tools, c.after == After::mounted
                                             ? std::optional<std::string>("/Volumes/EFI")
                                             : std::nullopt);
            }
        };
        if (c.route == Stopped::helper) {
            routes.cachedStatus = true;
            routes.helperFailure = ESPHelper::helperError(
                "EFI mount failed for disk2s1.\n\nCommand timed out: /usr/bin/sudo -n -- helper",
                124);
            settle();
        } else if (c.route == Stopped::directThenCancelled) {
            routes.tools.fail(process::disktool::mount("disk2s1"), 124,
                              "Command timed out: /usr/sbin/diskutil mount disk2s1");
        } else {
            routes.tools.fail(process::disktool::mount("disk2s1"), 1, "needs root");
        }
        routes.tools.beforeEach([&](const std::string& line) {
            if (line.rfind("/usr/bin/osascript", 0) != 0) {
                return;
            }
            if (c.route == Stopped::directThenCancelled) {
                throw commandError(1, "User canceled. (-128)");
            }
            settle();
            throw commandError(124, "Command timed out: " + line);
        });
        const auto operations = routes.operations();
        EXPECT_EQ(errorText([&] { operations.runEFICommand(DiskOperation::mount, kDisk); }),
                  c.expected);
    }
}
