#include "discovery/PartitionId.h"

#include "discovery/Classification.h"
#include "support/ExitCodes.h"

namespace tesselwick::discovery {

std::optional<PartitionId> PartitionId::parse(std::string_view text) {
    if (!isPartitionIdentifier(text)) {
        return std::nullopt;
    }
    return PartitionId(std::string(text), wholeDiskPrefix(text).size());
}

PartitionId PartitionId::validated(std::string_view text) {
    if (auto partition = parse(text)) {
        return *std::move(partition);
    }
    throw invalidIdentifierError(text);
}

DomainError invalidIdentifierError(std::string_view text) {
    return commandError(exitcode::kUsage, "Invalid disk identifier: " + std::string(text));
}

} // namespace tesselwick::discovery
