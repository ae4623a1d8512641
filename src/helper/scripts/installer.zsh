#!/bin/zsh -f
## The transactional installer of the helper and its sudoers rule, run once as
## root behind the authorization prompt and shown as it is by "tesselwick
## helper show-installer". Every path it acts on comes from the build's one
## list of values. "-f" keeps the caller's startup files (HOME, ZDOTDIR) from
## running as root before the first line.
set -euo pipefail
# Root runs this; nothing may come from the caller's PATH, working directory
# or locale.
export PATH=/usr/sbin:/usr/bin:/bin:/sbin
export LC_ALL=C
cd /

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

ensure_secure_directory '@HELPER_DIRECTORY@'
ensure_secure_directory '@SUDOERS_DIRECTORY@'

install_lock='@HELPER_DIRECTORY@/@INSTALL_LOCK_NAME@'
install_lock_recovery="${install_lock}.recovery"
install_lock_epoch="${install_lock}.epoch"
install_lock_reclaim="${install_lock}.reclaim"

# Named once this run has created them, so cleanup removes nothing else.
install_lock_candidate=""
install_lock_recovery_candidate=""
install_lock_epoch_candidate=""
install_lock_acquired=0
install_lock_attempts=0
install_lock_identity=""
install_lock_recovery_acquired=0
install_lock_recovery_identity=""
install_lock_reclaimed=0
recovery_reclaimed=0
lock_record_state=""
tmp_dir=""
helper_tmp=""
sudoers_tmp=""
helper_backup=""
sudoers_backup=""
had_helper=0
had_sudoers=0
helper_replaced=0
sudoers_replaced=0
commit_complete=0

path_exists() {
  [[ -e "$1" || -L "$1" ]]
}

# True when the record at $1 is a regular file naming this process and the
# identity $2 on its first two lines.
install_record_is_own() {
  local record_path="$1" expected_identity="$2"
  local own_pid="" own_identity=""
  [[ -f "$record_path" && ! -L "$record_path" ]] || return 1
  { { IFS= read -r own_pid || true; IFS= read -r own_identity || true; } <"$record_path"; } 2>/dev/null || return 1
  [[ "$own_pid" == "$$" && -n "$expected_identity" && "$own_identity" == "$expected_identity" ]]
}

# The steps of cleanup each print one line per failure and return 74 then,
# else 0.
# Backups are only put back over a path this run replaced: until then the
# previous installation is still in place and intact.
roll_back_installation() {
  local step_status=0
  if (( helper_replaced )); then
    if ! /bin/rm -f '@HELPER_PATH@'; then
      print -r -- "Could not remove the partially installed helper during rollback" >&2
      step_status=74
    fi
    if (( had_helper )) && [[ -n "$helper_backup" ]] && path_exists "$helper_backup"; then
      if ! /bin/mv -f "$helper_backup" '@HELPER_PATH@'; then
        print -r -- "Could not restore the previous helper during rollback" >&2
        step_status=74
      fi
    fi
  fi
  if (( sudoers_replaced )); then
    if ! /bin/rm -f '@SUDOERS_PATH@'; then
      print -r -- "Could not remove the partially installed sudoers rule during rollback" >&2
      step_status=74
    fi
    if (( had_sudoers )) && [[ -n "$sudoers_backup" ]] && path_exists "$sudoers_backup"; then
      if ! /bin/mv -f "$sudoers_backup" '@SUDOERS_PATH@'; then
        print -r -- "Could not restore the previous sudoers rule during rollback" >&2
        step_status=74
      fi
    fi
  fi
  return "$step_status"
}

# Removes what this run created and still names: $1 is the path (empty when
# there is none), $2 the message if it cannot be removed.
remove_created_path() {
  [[ -n "$1" ]] && path_exists "$1" || return 0
  /bin/rm -rf "$1" && return 0
  print -r -- "$2" >&2
  return 74
}

# Removes the lock and the recovery record if this run holds them and they
# still name it.
release_held_records() {
  local step_status=0
  if (( install_lock_acquired )); then
    if install_record_is_own "$install_lock" "$install_lock_identity"; then
      if /bin/rm -f "$install_lock"; then
        install_lock_acquired=0
      else
        print -r -- "Could not remove the privileged installer lock" >&2
        step_status=74
      fi
    else
      print -r -- "Privileged installer lock ownership changed before cleanup; refusing to remove it" >&2
      step_status=74
    fi
  fi
  if (( install_lock_recovery_acquired )); then
    if install_record_is_own "$install_lock_recovery" "$install_lock_recovery_identity"; then
      if /bin/rm -f "$install_lock_recovery"; then
        install_lock_recovery_acquired=0
      else
        print -r -- "Could not remove the privileged installer lock-recovery record" >&2
        step_status=74
      fi
    else
      print -r -- "Privileged installer lock-recovery ownership changed before cleanup; refusing to remove it" >&2
      step_status=74
    fi
  fi
  return "$step_status"
}

cleanup() {
  local cleanup_status="$1"
  if (( ! commit_complete )); then
    roll_back_installation || cleanup_status=74
  fi
  remove_created_path "$helper_tmp" "Could not remove the staged helper during cleanup" ||
    cleanup_status=74
  remove_created_path "$sudoers_tmp" "Could not remove the staged sudoers rule during cleanup" ||
    cleanup_status=74
  remove_created_path "$tmp_dir" "Could not remove the privileged installer temporary directory" ||
    cleanup_status=74
  remove_created_path "$install_lock_candidate" \
    "Could not remove the privileged installer lock candidate" || cleanup_status=74
  remove_created_path "$install_lock_recovery_candidate" \
    "Could not remove the privileged installer lock-recovery candidate" || cleanup_status=74
  remove_created_path "$install_lock_epoch_candidate" \
    "Could not remove the privileged installer epoch candidate" || cleanup_status=74
  release_held_records || cleanup_status=74
  return "$cleanup_status"
}

finish_cleanup() {
  local incoming_status=$?
  trap - EXIT
  trap '' HUP INT TERM
  set +e
  cleanup "$incoming_status"
  exit $?
}

trap finish_cleanup EXIT
# A signal ends the script through the exit trap, so it rolls back too.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

#@include install_lock.zsh

# Removes what a killed installer left: files staged under the prefixes $1
# and $2 (in root-only directories), and backup folders that can only be an
# installer's (root's own, 0700, not a link).
remove_killed_installer_leftovers() {
  local leftover=""
  for leftover in "$1"??????(N) "$2"??????(N); do
    if [[ -f "$leftover" || -L "$leftover" ]]; then
      /bin/rm -f "$leftover" 2>/dev/null ||
        fail "Could not remove a killed installer's staged file: $leftover" 74
    fi
  done
  for leftover in /private/tmp/vornaby-harbortide.??????(N); do
    if [[ -d "$leftover" && ! -L "$leftover" ]] &&
      [[ "$(/usr/bin/stat -f '%u:%Lp' "$leftover" 2>/dev/null)" == "0:700" ]]; then
      /bin/rm -rf "$leftover" 2>/dev/null ||
        fail "Could not remove a killed installer's temporary directory: $leftover" 74
    fi
  done
}

acquire_install_lock

# A stale lock means its installer was killed; holding the lock now, nothing
# else of this kind can be in use.
if (( install_lock_reclaimed )); then
  remove_killed_installer_leftovers '@HELPER_DIRECTORY@/.com.vornaby.harbortide.helper.' '@SUDOERS_DIRECTORY@/.vornaby-harbortide.'
fi

tmp_dir="$(/usr/bin/mktemp -d /private/tmp/vornaby-harbortide.XXXXXX)"
secure_created_path "$tmp_dir" 0700
helper_backup="${tmp_dir}/helper.backup"
sudoers_backup="${tmp_dir}/sudoers.backup"
# zsh writes a here-document to a file named from TMPPREFIX, closes it and
# reopens it by name: inherited, that name could lie where the caller can
# swap the file. Only root can enter this directory.
TMPPREFIX="${tmp_dir}/heredoc."

# Staged next to their final places so the commit is a rename within one
# directory. Names starting with a dot are ignored by sudo's includedir.
helper_tmp="$(/usr/bin/mktemp '@HELPER_DIRECTORY@/.com.vornaby.harbortide.helper.XXXXXX')"
sudoers_tmp="$(/usr/bin/mktemp '@SUDOERS_DIRECTORY@/.vornaby-harbortide.XXXXXX')"

/bin/cat >"$helper_tmp" <<'EOS_HELPER'
#@include helper.zsh
EOS_HELPER
secure_created_path "$helper_tmp" 0755
/bin/zsh -n "$helper_tmp"

print -r -- '@SUDOERS_RULE@' >"$sudoers_tmp"
secure_created_path "$sudoers_tmp" 0440
/usr/sbin/visudo -cf "$sudoers_tmp"

# Backups are copies: the old installation stays usable until its
# replacement has succeeded.
## A link to a directory is refused too: mv -f would drop the staged file
## inside that directory.
if [[ -e '@HELPER_PATH@' || -L '@HELPER_PATH@' ]]; then
  if [[ -d '@HELPER_PATH@' || ! -f '@HELPER_PATH@' && ! -L '@HELPER_PATH@' ]]; then
    fail 'Existing helper path is not a file: @HELPER_PATH@' 73
  fi
  /bin/cp -pP '@HELPER_PATH@' "$helper_backup"
  had_helper=1
fi
if [[ -e '@SUDOERS_PATH@' || -L '@SUDOERS_PATH@' ]]; then
  if [[ -d '@SUDOERS_PATH@' || ! -f '@SUDOERS_PATH@' && ! -L '@SUDOERS_PATH@' ]]; then
    fail 'Existing sudoers path is not a file: @SUDOERS_PATH@' 73
  fi
  /bin/cp -pP '@SUDOERS_PATH@' "$sudoers_backup"
  had_sudoers=1
fi

# Each flag is set before its move, so a signal between the two moves still
# rolls back exactly.
helper_replaced=1
/bin/mv -f "$helper_tmp" '@HELPER_PATH@'
helper_tmp=""
sudoers_replaced=1
/bin/mv -f "$sudoers_tmp" '@SUDOERS_PATH@'
sudoers_tmp=""

[[ -f '@HELPER_PATH@' ]]
[[ -x '@HELPER_PATH@' ]]
[[ -f '@SUDOERS_PATH@' ]]
/usr/sbin/visudo -cf '@SUDOERS_PATH@'
/bin/zsh -n '@HELPER_PATH@'
installed_version="$('@HELPER_PATH@' version)"
[[ "$installed_version" == '@HELPER_VERSION@' ]]

commit_complete=1
exit 0
