#pragma once

// What a request may do to an EFI System Partition.
namespace tesselwick::discovery {

enum class DiskOperation { mount, unmount };

// The verb as diskutil, the helper and every message spell it.
constexpr const char* operationName(DiskOperation operation) {
    return operation == DiskOperation::mount ? "mount" : "unmount";
}

} // namespace tesselwick::discovery
