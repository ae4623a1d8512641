#include "operations/AdministratorShell.h"

#include "process/ProcessRunner.h"
#include "support/Errors.h"

#include <array>
#include <cstdint>

namespace tesselwick::operations {
namespace {

bool isDigits(std::string_view s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Runs as root. Everything it acts on is re-read from the live system: the
// request may be stale, or may not come from us at all.
constexpr const char* kPrivilegedScriptBody = R"SCRIPT(

fail() {
  print -r -- "$1" >&2
  exit "${2:-1}"
}

plist_value() {
  /usr/bin/printf '%s' "$1" | /usr/bin/plutil -extract "$2" raw -o - - 2>/dev/null || true
}

lower_case() {
  /usr/bin/printf '%s' "$1" | /usr/bin/tr '[:upper:]' '[:lower:]'
}

if [[ "$command" != "mount" && "$command" != "unmount" ]]; then
  fail "Invalid command: $command" 64
fi
if [[ ! "$disk" =~ '^disk[0-9]+s[0-9]+$' ]]; then
  fail "Invalid disk identifier: $disk" 64
fi
if [[ ! "$whole_disk" =~ '^disk[0-9]+$' ]]; then
  fail "Invalid parent disk identifier: $whole_disk" 64
fi
if [[ ! "$disk" =~ "^${whole_disk}s[0-9]+\$" ]]; then
  fail "Disk identifier does not belong to its expected parent" 64
fi

info_plist="$(/usr/sbin/diskutil info -plist "$disk" 2>/dev/null)" ||
  fail "Could not read disk information for $disk" 65
list_plist="$(/usr/sbin/diskutil list -plist "$whole_disk" 2>/dev/null)" ||
  fail "Could not read the partition table for $whole_disk" 65

returned_disk="$(plist_value "$info_plist" DeviceIdentifier)"
info_content="$(plist_value "$info_plist" Content)"
info_volume_name="$(plist_value "$info_plist" VolumeName)"
filesystem_name="$(plist_value "$info_plist" FilesystemName)"
filesystem_visible="$(plist_value "$info_plist" FilesystemUserVisibleName)"
mount_point="$(plist_value "$info_plist" MountPoint)"
mounted="$(plist_value "$info_plist" Mounted)"

if [[ "$returned_disk" != "$disk" ]]; then
  fail "diskutil returned information for an unexpected disk identifier" 65
fi

list_content=""
list_volume_name=""
matched_partition=0
outer_index=0
while (( outer_index < 128 )); do
  listed_disk="$(plist_value "$list_plist" "AllDisksAndPartitions.${outer_index}.DeviceIdentifier")"
  if [[ -z "$listed_disk" ]]; then
    break
  fi
  partition_index=0
  while (( partition_index < 1024 )); do
    listed_partition="$(plist_value "$list_plist" "AllDisksAndPartitions.${outer_index}.Partitions.${partition_index}.DeviceIdentifier")"
    if [[ -z "$listed_partition" ]]; then
      break
    fi
    if [[ "$listed_disk" == "$whole_disk" && "$listed_partition" == "$disk" ]]; then
      list_content="$(plist_value "$list_plist" "AllDisksAndPartitions.${outer_index}.Partitions.${partition_index}.Content")"
      list_volume_name="$(plist_value "$list_plist" "AllDisksAndPartitions.${outer_index}.Partitions.${partition_index}.VolumeName")"
      matched_partition=1
      break
    fi
    partition_index=$(( partition_index + 1 ))
  done
  if (( matched_partition )); then
    break
  fi
  outer_index=$(( outer_index + 1 ))
done
if (( ! matched_partition )); then
  fail "Could not find $disk in the partition table for $whole_disk" 65
fi

list_content="$(lower_case "$list_content")"
info_content="$(lower_case "$info_content")"
list_volume_name="$(lower_case "$list_volume_name")"
info_volume_name="$(lower_case "$info_volume_name")"
filesystem_text="$(lower_case "$filesystem_name $filesystem_visible")"
mounted="$(lower_case "$mounted")"

is_efi=0
for content in "$list_content" "$info_content"; do
  if [[ "$content" == "efi" || "$content" == *"efi system"* || "$content" == *"efi_system_partition"* || "$content" == *"ef00"* ]]; then
    is_efi=1
  fi
done
if (( ! is_efi )); then
  for volume_name in "$list_volume_name" "$info_volume_name"; do
    if [[ "$volume_name" == "efi" ]] && [[ "$filesystem_text" == *"fat32"* || "$filesystem_text" == *"fat_32"* || "$filesystem_text" == *"ms-dos fat32"* ]]; then
      is_efi=1
    fi
  done
fi

is_mounted=0
if [[ "$mounted" == "true" || "$mounted" == "yes" || "$mounted" == "1" ]]; then
  is_mounted=1
elif [[ -n "$mount_point" && "$mount_point" == /* ]]; then
  is_mounted=1
fi

if (( ! is_efi )); then
  fail "Refusing non-EFI partition: $disk" 65
fi

if [[ "$command" == "mount" ]]; then
  if (( is_mounted )); then
    if [[ -n "$mount_point" && "$mount_point" == /* ]]; then
      print -r -- "Mount Point: $mount_point"
    fi
    exit 0
  fi
  /usr/sbin/diskutil mount "$disk"
else
  if (( ! is_mounted )); then
    exit 0
  fi
  /usr/sbin/diskutil unmount "$disk"
fi
)SCRIPT";

} // namespace

CommandRunner defaultCommandRunner() {
    return [](const std::string& path, const std::vector<std::string>& arguments, double timeout) {
        return process::runProcessData(path, arguments, timeout);
    };
}

bool isWholeDiskIdentifier(std::string_view identifier) {
    return identifier.starts_with("disk") && isDigits(identifier.substr(4));
}

bool isPartitionIdentifier(std::string_view identifier) {
    if (!identifier.starts_with("disk")) {
        return false;
    }
    const std::string_view rest = identifier.substr(4);
    const auto separator = rest.find('s');
    return separator != std::string_view::npos && isDigits(rest.substr(0, separator)) &&
           isDigits(rest.substr(separator + 1));
}

std::string privilegedDiskutilScript(std::string_view command, std::string_view diskIdentifier,
                                     std::string_view parentIdentifier) {
    // The values go into a root script between single quotes; anything but
    // these exact forms could break out of them.
    if (command != "mount" && command != "unmount") {
        throw commandError(64, "Invalid command: " + std::string(command));
    }
    if (!isPartitionIdentifier(diskIdentifier)) {
        throw commandError(64, "Invalid disk identifier: " + std::string(diskIdentifier));
    }
    if (!isWholeDiskIdentifier(parentIdentifier)) {
        throw commandError(64, "Invalid parent disk identifier: " + std::string(parentIdentifier));
    }
    const std::string prefix = std::string(parentIdentifier) + "s";
    if (!diskIdentifier.starts_with(prefix) || !isDigits(diskIdentifier.substr(prefix.size()))) {
        throw commandError(64, "Disk identifier does not belong to its expected parent");
    }

    std::string script;
    script += "#!/bin/zsh -f\n";
    script += "set -euo pipefail\n";
    script += "export PATH=/usr/sbin:/usr/bin:/bin:/sbin\n";
    script += "\n";
    script += "command='";
    script += command;
    script += "'\ndisk='";
    script += diskIdentifier;
    script += "'\nwhole_disk='";
    script += parentIdentifier;
    script += "'";
    script += kPrivilegedScriptBody;
    return script;
}

std::string base64Encode(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16) |
                                (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8) |
                                std::uint32_t(std::uint8_t(bytes[i + 2]));
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t n = std::uint32_t(std::uint8_t(bytes[i])) << 16;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        const std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16) |
                                (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string scriptTransportLine(std::string_view script) {
    // "-f": the root shell must not run the caller's startup files (HOME or
    // ZDOTDIR may be passed on through the prompt) before the script.
    return "/usr/bin/printf '%s' '" + base64Encode(script) + "' | /usr/bin/base64 -D | /bin/zsh -f";
}

std::string appleScriptStringEscape(std::string_view line) {
    std::string backslashesDoubled;
    backslashesDoubled.reserve(line.size());
    for (char c : line) {
        if (c == '\\') {
            backslashesDoubled += "\\\\";
        } else {
            backslashesDoubled += c;
        }
    }
    std::string escaped;
    escaped.reserve(backslashesDoubled.size());
    for (char c : backslashesDoubled) {
        if (c == '"') {
            escaped += "\\\"";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string administratorAppleScript(std::string_view shellCommandLine) {
    return "do shell script \"" + appleScriptStringEscape(shellCommandLine) +
           "\" with administrator privileges";
}

void runShellAsAdministrator(std::string_view shellCommandLine, const CommandRunner& runner) {
    runner(kOsascriptPath, {"-e", administratorAppleScript(shellCommandLine)},
           kAdministratorTimeout);
}

} // namespace tesselwick::operations
