#pragma once

#include "support/Errors.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tesselwick::discovery {

// A partition identifier, "disk" digits "s" digits, checked once where it
// enters the program. Its text is spliced into root scripts between single
// quotes, which that form cannot leave, so whatever holds one needs no second
// check.
class PartitionId {
public:
    // None unless `text` is exactly a partition identifier (no trimming).
    static std::optional<PartitionId> parse(std::string_view text);
    // As parse(), but throws invalidIdentifierError(text).
    static PartitionId validated(std::string_view text);

    const std::string& str() const { return identifier_; }
    // The whole disk the partition belongs to ("disk" digits).
    std::string wholeDisk() const { return identifier_.substr(0, wholeDiskLength_); }

    bool operator==(const PartitionId&) const = default;

private:
    PartitionId(std::string identifier, std::size_t wholeDiskLength)
        : identifier_(std::move(identifier)), wholeDiskLength_(wholeDiskLength) {}

    std::string identifier_;
    std::size_t wholeDiskLength_;
};

// The command error 64 "Invalid disk identifier: <text>": how every request
// naming something other than a partition is refused.
DomainError invalidIdentifierError(std::string_view text);

} // namespace tesselwick::discovery
