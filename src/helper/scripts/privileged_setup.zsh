## What both root scripts, the installer and the uninstaller, need first:
## failing, checking and creating root-only paths, and cleaning up through
## the exit trap, which each script arms once its variables exist.
fail() {
  print -r -- "$1" >&2
  exit "${2:-1}"
}

# Modes are read as stat -f '%Mp%Lp': the special bits (setuid, setgid,
# sticky) then the permission bits, because the low-order field alone masks them
# away. Only a leading 0 (no special bit) and plain permission bits pass.
normalize_mode_without_special_bits() {
  local raw_mode="$1"
  if [[ "$raw_mode" =~ '^[0-7]{3}$' ]]; then
    print -r -- "$raw_mode"
    return 0
  fi
  if [[ "$raw_mode" =~ '^0[0-7]{3}$' ]]; then
    print -r -- "${raw_mode[2,4]}"
    return 0
  fi
  return 1
}

# Gives a path this run has just created root:wheel and the mode $2, never
# through a link: chown -h changes a link itself, and chmod (which has no such
# flag on Debian, where the sandbox runs this same text) comes right after a
# check for a link. That check holds because each path lies in a directory
# only root can write to, or is root's own in the sticky /private/tmp.
secure_created_path() {
  local target="$1" mode="$2"
  chown -h root:wheel "$target"
  [[ ! -L "$target" ]] || fail "Refusing to change a symbolic link: $target" 73
  /bin/chmod "$mode" "$target"
}

ensure_secure_directory() {
  local dir_path="$1"
  local owner_uid owner_gid raw_mode mode
  if [[ ! -e "$dir_path" && ! -L "$dir_path" ]]; then
    /bin/mkdir -m 0755 "$dir_path"
    secure_created_path "$dir_path" 0755
  fi
  if [[ -L "$dir_path" ]]; then
    fail "Refusing symbolic-link privileged directory: $dir_path" 73
  fi
  if [[ ! -d "$dir_path" ]]; then
    fail "Privileged path is not a directory: $dir_path" 73
  fi
  owner_uid="$(/usr/bin/stat -f '%u' "$dir_path")"
  owner_gid="$(/usr/bin/stat -f '%g' "$dir_path")"
  if [[ "$owner_uid" != "0" || "$owner_gid" != "0" ]]; then
    fail "Privileged directory is not root:wheel: $dir_path" 73
  fi
  raw_mode="$(/usr/bin/stat -f '%Mp%Lp' "$dir_path")"
  if ! mode="$(normalize_mode_without_special_bits "$raw_mode")"; then
    fail "Privileged directory has invalid or special permission bits: $dir_path ($raw_mode)" 73
  fi
  # Owner rwx; group and others may read and search but never write.
  if [[ "${mode[1]}" != "7" || "${mode[2]}" != [0145] || "${mode[3]}" != [0145] ]]; then
    fail "Privileged directory permissions are unsafe: $dir_path ($mode)" 73
  fi
}

path_exists() {
  [[ -e "$1" || -L "$1" ]]
}

# Removes what this run created and still names: $1 is the path (empty when
# there is none), $2 the message if it cannot be removed.
remove_created_path() {
  [[ -n "$1" ]] && path_exists "$1" || return 0
  /bin/rm -rf "$1" && return 0
  print -r -- "$2" >&2
  return 74
}

# The exit trap; the includer defines cleanup, which gets the exit status.
finish_cleanup() {
  local incoming_status=$?
  trap - EXIT
  trap '' HUP INT TERM
  set +e
  cleanup "$incoming_status"
  exit $?
}
