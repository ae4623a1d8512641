// What the C++ side reads from the helper, the installer and any failing command:
// the helper's version probe, its failure output (ready marker, status), the
// installer's output, and the runner's failure messages and command descriptions.
// The input is split at its first NUL byte into two outputs.

#include "FuzzSupport.h"
#include "helper/ESPHelper.h"
#include "helper/ESPHelperStatusCache.h"
#include "process/AdministratorShell.h"
#include "process/ProcessRunner.h"
#include "support/Utf8.h"

#include <cstddef>
#include <cstdint>

using namespace tesselwick;

namespace {

void checkDisplayText(const std::string& text, std::size_t characterLimit, const char* what) {
    if (!utf8::isValid(text)) {
        fuzz::fail(std::string(what) + " is not valid UTF-8");
    }
    // The limit plus the ellipsis that marks a cut.
    if (utf8::length(text) > characterLimit + 1) {
        fuzz::fail(std::string(what) + " is longer than its limit");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string first(input.substr(0, split));
    const std::string second(split == std::string_view::npos ? std::string_view()
                                                             : input.substr(split + 1));
    const int status = size > 0 ? data[0] : 1;

    // The runner's side.
    checkDisplayText(process::limitedProcessText(first, process::kFailureStreamByteLimit),
                     process::kFailureStreamByteLimit, "limitedProcessText");
    const std::string message = process::processFailureMessage(second, first, status % 2 == 0);
    checkDisplayText(message, process::kFailureMessageLimit, "processFailureMessage");
    process::ProcessOutputSnapshot snapshot;
    snapshot.standardOutput = second;
    snapshot.standardError = first;
    snapshot.standardErrorWasTruncated = status % 3 == 0;
    if (const auto error = process::exitOutcome(snapshot, status, "fuzz")) {
        if (status != 0 && error->code() != status) {
            fuzz::fail("exit status lost");
        }
    }
    process::commandDescription("/usr/sbin/diskutil", {first, second});

    // The helper's side: a probe answered with the output, a run failing with it
    // as the message, and an installation answering with both.
    ESPHelperStatusCache cache;
    const process::CommandRunner answers =
        [&](const std::string& path, const std::vector<std::string>&, tesselwick::Seconds) {
            return path == process::kOsascriptPath ? first : second;
        };
    const process::CommandRunner fails = [&](const std::string&, const std::vector<std::string>&,
                                             tesselwick::Seconds) -> std::string {
        throw commandError(status == 0 ? 1 : status, first);
    };
    const auto probe = ESPHelper::probePasswordlessRuntime(answers);
    if (probe.message.empty()) {
        fuzz::fail("probe without a message");
    }
    ESPHelper::probePasswordlessRuntime(fails);
    try {
        ESPHelper::run(discovery::DiskOperation::mount, *discovery::PartitionId::parse("disk0s1"),
                       cache, fails);
        fuzz::fail("a failing helper run reported success");
    } catch (const DomainError& error) {
        const bool operationFailed = error.domain() == ESPHelper::kHelperOperationErrorDomain;
        if (!operationFailed && error.domain() != ESPHelper::kHelperErrorDomain) {
            fuzz::fail("helper failure in domain " + error.domain());
        }
        // Only a helper that ran proves it is installed.
        if (operationFailed != cache.cachedValue().value_or(false)) {
            fuzz::fail("installed state disagrees with the failure's domain");
        }
    }
    ESPHelperStatusCache installCache;
    try {
        ESPHelper::install(installCache, answers);
    } catch (const DomainError&) {
    }
    if (installCache.cachedValue() != probe.ready) {
        fuzz::fail("installation stored an answer other than its probe's");
    }
    return 0;
}
