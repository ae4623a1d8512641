## The root-side check shared by the helper and the administrator route's
## script: whatever the request says, the partition is re-read from the live
## system as root before anything touches it. The includer sets command and
## disk, calls check_disk_form, sets whole_disk, then calls check_esp and
## run_disk_command.
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

# Stops the script unless $disk has the form of a partition identifier.
check_disk_form() {
  if [[ ! "$disk" =~ '^disk[0-9]+s[0-9]+$' ]]; then
    fail "Invalid disk identifier: $disk" 64
  fi
}

# Sets list_content, list_volume_name and matched_partition from $disk's
# entry under $whole_disk in $list_plist.
find_in_partition_table() {
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
}

# Stops the script unless the live system lists $disk in the partition table
# of $whole_disk as an EFI System Partition; sets mount_point and is_mounted.
check_esp() {
  info_plist="$(/usr/sbin/diskutil info -plist "$disk" 2>/dev/null)" ||
    fail "Could not read disk information for $disk" 65

  returned_disk="$(plist_value "$info_plist" DeviceIdentifier)"
  info_content="$(plist_value "$info_plist" Content)"
  info_volume_name="$(plist_value "$info_plist" VolumeName)"
  filesystem_name="$(plist_value "$info_plist" FilesystemName)"
  filesystem_visible="$(plist_value "$info_plist" FilesystemUserVisibleName)"
  mount_point="$(plist_value "$info_plist" MountPoint)"
  mounted="$(plist_value "$info_plist" Mounted)"
  # The partition's own UUID: another partition at the same identifier has
  # another one.
  checked_uuid="$(plist_value "$info_plist" DiskUUID)"

  if [[ "$returned_disk" != "$disk" ]]; then
    fail "diskutil returned information for an unexpected disk identifier" 65
  fi

  list_plist="$(/usr/sbin/diskutil list -plist "$whole_disk" 2>/dev/null)" ||
    fail "Could not read the partition table for $whole_disk" 65

  find_in_partition_table
  if (( ! matched_partition )); then
    fail "Could not find $disk in the partition table for $whole_disk" 65
  fi

  list_content="$(lower_case "$list_content")"
  info_content="$(lower_case "$info_content")"
  list_volume_name="$(lower_case "$list_volume_name")"
  info_volume_name="$(lower_case "$info_volume_name")"
  filesystem_text="$(lower_case "$filesystem_name $filesystem_visible")"
  mounted="$(lower_case "$mounted")"

  # The partition list is consulted too: the information output does not always
  # carry the partition type.
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
  if (( ! is_efi )); then
    fail "Refusing non-EFI partition: $disk" 65
  fi

  is_mounted=0
  if [[ "$mounted" == "true" || "$mounted" == "yes" || "$mounted" == "1" ]]; then
    is_mounted=1
  elif [[ "$mount_point" == /* ]]; then
    is_mounted=1
  fi
}

# diskutil as a child that ends with this script. Whoever stopped the request
# has already told the user it failed, so root must not go on to mount or
# unmount afterwards. The helper hears of it as TERM or HUP, which sudo passes
# on; the administrator route's script, whose requester sets a lease, from the
# lease going away. zsh runs a trap only between commands, so the tool runs in
# the background while the script waits. A diskutil ended half-way either did
# its work or did none; the requester reads the partition to know which.
run_diskutil() {
  /usr/sbin/diskutil "$@" </dev/null &
  diskutil_pid=$!
  trap stop_diskutil TERM HUP INT
  if [[ -n "${lease:-}" ]]; then
    # zsh's own wait where its module is there, from a hundredth of a second
    # doubling to a fifth, so a quick diskutil is not kept waiting for; else
    # a second at a time.
    local hundredths=1
    local have_zselect=0
    zmodload zsh/zselect 2>/dev/null && have_zselect=1
    while kill -0 "$diskutil_pid" 2>/dev/null; do
      [[ -e "$lease" ]] || stop_diskutil
      if (( have_zselect )); then
        zselect -t "$hundredths" || true
        (( hundredths = hundredths < 10 ? hundredths * 2 : 20 ))
      else
        /bin/sleep 1
      fi
    done
  fi
  wait "$diskutil_pid"
}

stop_diskutil() {
  kill -TERM "$diskutil_pid" 2>/dev/null || true
  wait "$diskutil_pid" 2>/dev/null || true
  exit 143
}

# diskutil acts on whatever holds the identifier when it runs. A mount that
# met another partition than the one check_esp passed is taken back at once
# and refused, as is one whose partition cannot be read back; an unmount
# cannot be taken back, so it is reported.
confirm_checked_partition() {
  local now
  now="$(/usr/sbin/diskutil info -plist "$disk" 2>/dev/null)" || now=""
  if [[ -n "$now" && "$(plist_value "$now" DiskUUID)" == "$checked_uuid" ]]; then
    return 0
  fi
  # A partition that cannot be read is never announced as mounted; an
  # unmount is left to the requester's own reads.
  if [[ "$command" == "mount" ]]; then
    if ! /usr/sbin/diskutil unmount "$disk" >/dev/null 2>&1 </dev/null; then
      fail "Refusing $disk: it is not the partition that was checked, and unmounting it again failed; it is still mounted." 65
    fi
    fail "Refusing $disk: it is not the partition that was checked; it was unmounted again." 65
  fi
  if [[ -n "$now" ]]; then
    fail "$disk was replaced while it was being unmounted: the partition there now was unmounted." 65
  fi
}

# Mounts or unmounts $disk as $command asks, once check_esp passed; a
# partition already in that state is left as it is.
run_disk_command() {
  case "$command" in
    mount)
      if (( is_mounted )); then
        if [[ "$mount_point" == /* ]]; then
          print -r -- "Mount Point: $mount_point"
        fi
        exit 0
      fi
      run_diskutil mount "$disk"
      confirm_checked_partition
      ;;
    unmount)
      if (( ! is_mounted )); then
        exit 0
      fi
      run_diskutil unmount "$disk"
      confirm_checked_partition
      ;;
    *)
      fail "Invalid command: $command" 64
      ;;
  esac
}
