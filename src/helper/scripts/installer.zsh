#!/bin/zsh -f
## The transactional installer of the helper and its sudoers rule, run once as
## root behind the authorization prompt and shown as it is by "tesselwick
## helper show-installer". Every path it acts on comes from the build's one
## list of values. "-f" keeps the caller's startup files (HOME, ZDOTDIR) from
## running as root before the first line.
set -euo pipefail
# Root runs this; nothing may come from the caller's PATH.
export PATH=/usr/sbin:/usr/bin:/bin:/sbin

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

ensure_secure_directory() {
  local dir_path="$1"
  local owner_uid owner_gid raw_mode mode
  if [[ ! -e "$dir_path" && ! -L "$dir_path" ]]; then
    /bin/mkdir -m 0755 "$dir_path"
    chown root:wheel "$dir_path"
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
install_lock_candidate="${install_lock}.candidate.$$"
install_lock_recovery="${install_lock}.recovery"
install_lock_recovery_candidate="${install_lock_recovery}.candidate.$$"
install_lock_epoch="${install_lock}.epoch"

install_lock_acquired=0
install_lock_identity=""
install_lock_recovery_acquired=0
install_lock_recovery_identity=""
install_lock_epoch_candidate=""
install_lock_reclaimed=0
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

cleanup() {
  local cleanup_status="$1"
  if (( ! commit_complete )); then
    # Backups are only put back over a path this run replaced: until then the
    # previous installation is still in place and intact.
    if (( helper_replaced )); then
      if ! /bin/rm -f '@HELPER_PATH@'; then
        print -r -- "Could not remove the partially installed helper during rollback" >&2
        cleanup_status=74
      fi
      if (( had_helper )) && [[ -n "$helper_backup" ]] && path_exists "$helper_backup"; then
        if ! /bin/mv -f "$helper_backup" '@HELPER_PATH@'; then
          print -r -- "Could not restore the previous helper during rollback" >&2
          cleanup_status=74
        fi
      fi
    fi
    if (( sudoers_replaced )); then
      if ! /bin/rm -f '@SUDOERS_PATH@'; then
        print -r -- "Could not remove the partially installed sudoers rule during rollback" >&2
        cleanup_status=74
      fi
      if (( had_sudoers )) && [[ -n "$sudoers_backup" ]] && path_exists "$sudoers_backup"; then
        if ! /bin/mv -f "$sudoers_backup" '@SUDOERS_PATH@'; then
          print -r -- "Could not restore the previous sudoers rule during rollback" >&2
          cleanup_status=74
        fi
      fi
    fi
  fi

  if [[ -n "$helper_tmp" ]] && path_exists "$helper_tmp"; then
    if ! /bin/rm -f "$helper_tmp"; then
      print -r -- "Could not remove the staged helper during cleanup" >&2
      cleanup_status=74
    fi
  fi
  if [[ -n "$sudoers_tmp" ]] && path_exists "$sudoers_tmp"; then
    if ! /bin/rm -f "$sudoers_tmp"; then
      print -r -- "Could not remove the staged sudoers rule during cleanup" >&2
      cleanup_status=74
    fi
  fi
  if [[ -n "$tmp_dir" ]] && path_exists "$tmp_dir"; then
    if ! /bin/rm -rf "$tmp_dir"; then
      print -r -- "Could not remove the privileged installer temporary directory" >&2
      cleanup_status=74
    fi
  fi
  if path_exists "$install_lock_candidate"; then
    if ! /bin/rm -f "$install_lock_candidate"; then
      print -r -- "Could not remove the privileged installer lock candidate" >&2
      cleanup_status=74
    fi
  fi
  if path_exists "$install_lock_recovery_candidate"; then
    if ! /bin/rm -f "$install_lock_recovery_candidate"; then
      print -r -- "Could not remove the privileged installer lock-recovery candidate" >&2
      cleanup_status=74
    fi
  fi
  if [[ -n "$install_lock_epoch_candidate" ]] && path_exists "$install_lock_epoch_candidate"; then
    if ! /bin/rm -f "$install_lock_epoch_candidate"; then
      print -r -- "Could not remove the privileged installer epoch candidate" >&2
      cleanup_status=74
    fi
  fi

  if (( install_lock_acquired )); then
    if install_record_is_own "$install_lock" "$install_lock_identity"; then
      if /bin/rm -f "$install_lock"; then
        install_lock_acquired=0
      else
        print -r -- "Could not remove the privileged installer lock" >&2
        cleanup_status=74
      fi
    else
      print -r -- "Privileged installer lock ownership changed before cleanup; refusing to remove it" >&2
      cleanup_status=74
    fi
  fi
  if (( install_lock_recovery_acquired )); then
    if install_record_is_own "$install_lock_recovery" "$install_lock_recovery_identity"; then
      if /bin/rm -f "$install_lock_recovery"; then
        install_lock_recovery_acquired=0
      else
        print -r -- "Could not remove the privileged installer lock-recovery record" >&2
        cleanup_status=74
      fi
    else
      print -r -- "Privileged installer lock-recovery ownership changed before cleanup; refusing to remove it" >&2
      cleanup_status=74
    fi
  fi
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

# Prints the identity of a live process: start time, user and process group,
# which together tell a recycled process id from the process that wrote a
# record. Fails for anything that is not a live, non-zombie process above 1.
process_identity() {
  local pid="$1" process_state="" identity=""
  [[ "$pid" =~ '^[1-9][0-9]{0,9}$' ]] || return 1
  (( pid > 1 )) || return 1
  /bin/kill -0 "$pid" 2>/dev/null || return 1
  process_state="$(/bin/ps -o stat= -p "$pid" 2>/dev/null)" || return 1
  process_state="${process_state#"${process_state%%[![:space:]]*}"}"
  [[ -n "$process_state" && "$process_state" != Z* ]] || return 1
  identity="$(/bin/ps -o lstart= -o uid= -o pgid= -p "$pid" 2>/dev/null)" || return 1
  identity="${identity#"${identity%%[![:space:]]*}"}"
  identity="${identity%"${identity##*[![:space:]]}"}"
  [[ -n "$identity" ]] || return 1
  print -r -- "$identity"
}

install_record_owner_alive() {
  local recorded_pid="$1" recorded_identity="$2" current_identity=""
  [[ -n "$recorded_identity" ]] || return 1
  current_identity="$(process_identity "$recorded_pid")" || return 1
  [[ "$current_identity" == "$recorded_identity" ]]
}

# Sets record_pid and record_identity from the first two lines of a record;
# fails when the record cannot be opened (it vanished).
read_install_record() {
  local record_path="$1"
  record_pid=""
  record_identity=""
  [[ -f "$record_path" && ! -L "$record_path" ]] || return 1
  { { IFS= read -r record_pid || true; IFS= read -r record_identity || true; } <"$record_path"; } 2>/dev/null || return 1
}

# Hard-link publication: atomic, refuses an existing target and never writes
# into a directory, so nobody ever sees a partly written record.
publish_lock_record() {
  local candidate="$1" target="$2"
  /bin/link "$candidate" "$target" 2>/dev/null || return 1
  [[ -f "$target" && ! -L "$target" && "$target" -ef "$candidate" ]]
}

# Creates a record candidate exclusively: a path that already exists (a link
# planted there would have root write through it) is never opened. Status 2:
# nothing was created.
write_install_record_candidate() {
  local candidate="$1"
  (
    umask 077
    setopt noclobber
    { print -r -- "$$" >"$candidate"; } || exit 2
    print -r -- "$install_lock_identity" >>"$candidate"
    chown root:wheel "$candidate"
    /bin/chmod 0600 "$candidate"
  ) 2>/dev/null
}

# Sets epoch_value to the current epoch token, empty when there is none yet.
read_install_lock_epoch() {
  local tries=0 owner="" group="" raw_mode="" mode="" content=""
  epoch_value=""
  while (( tries < 3 )); do
    if ! path_exists "$install_lock_epoch"; then
      epoch_value=""
      return 0
    fi
    if [[ -L "$install_lock_epoch" || ! -f "$install_lock_epoch" ]]; then
      fail "Privileged installer lock-epoch path is unsafe" 73
    fi
    if owner="$(/usr/bin/stat -f '%u' "$install_lock_epoch" 2>/dev/null)" &&
      group="$(/usr/bin/stat -f '%g' "$install_lock_epoch" 2>/dev/null)" &&
      raw_mode="$(/usr/bin/stat -f '%Mp%Lp' "$install_lock_epoch" 2>/dev/null)" &&
      content="$(/bin/cat "$install_lock_epoch" 2>/dev/null)"; then
      if ! mode="$(normalize_mode_without_special_bits "$raw_mode")"; then
        fail "Privileged installer lock epoch has invalid or special permission bits" 73
      fi
      if [[ "$owner" != "0" || "$group" != "0" || "$mode" != "600" ]]; then
        fail "Privileged installer lock-epoch permissions are unsafe" 73
      fi
      if [[ -z "$content" ]]; then
        fail "Privileged installer lock epoch is incomplete" 73
      fi
      epoch_value="$content"
      return 0
    fi
    # A publication replaces the epoch for a moment.
    if ! path_exists "$install_lock_epoch"; then
      tries=$(( tries + 1 ))
      /bin/sleep 0.01
      continue
    fi
    if [[ -L "$install_lock_epoch" || ! -f "$install_lock_epoch" ]]; then
      fail "Privileged installer lock-epoch path became unsafe while reading" 73
    fi
    tries=$(( tries + 1 ))
    /bin/sleep 0.01
  done
  fail "Could not read privileged installer lock epoch" 74
}

publish_install_lock_epoch() {
  local attempt="$1" token="" owner="" group="" raw_mode="" mode="" line="" found=0
  install_lock_epoch_candidate="${install_lock_epoch}.candidate.$$.${attempt}.${RANDOM}"
  if path_exists "$install_lock_epoch_candidate"; then
    # Not ours: cleanup must leave it alone.
    install_lock_epoch_candidate=""
    fail "Refusing to overwrite a privileged installer epoch candidate" 73
  fi
  token="$$:${attempt}:${RANDOM}:${install_lock_identity}"
  if ! ( umask 077 && setopt noclobber && print -r -- "$token" >"$install_lock_epoch_candidate" ) 2>/dev/null; then
    path_exists "$install_lock_epoch_candidate" || install_lock_epoch_candidate=""
    fail "Could not create privileged installer recovery epoch" 74
  fi
  chown root:wheel "$install_lock_epoch_candidate" 2>/dev/null ||
    fail "Could not set privileged installer recovery-epoch ownership" 74
  /bin/chmod 0600 "$install_lock_epoch_candidate" 2>/dev/null ||
    fail "Could not secure privileged installer recovery epoch" 74
  if path_exists "$install_lock_epoch"; then
    read_install_lock_epoch
    /bin/rm -f "$install_lock_epoch" 2>/dev/null ||
      fail "Could not replace privileged installer recovery epoch" 74
  fi
  /bin/link "$install_lock_epoch_candidate" "$install_lock_epoch" 2>/dev/null ||
    fail "Could not publish privileged installer recovery epoch" 74
  if [[ -L "$install_lock_epoch" || ! -f "$install_lock_epoch" || ! "$install_lock_epoch" -ef "$install_lock_epoch_candidate" ]]; then
    fail "Published privileged installer recovery epoch is unsafe" 74
  fi
  owner="$(/usr/bin/stat -f '%u' "$install_lock_epoch" 2>/dev/null)" || owner=""
  group="$(/usr/bin/stat -f '%g' "$install_lock_epoch" 2>/dev/null)" || group=""
  raw_mode="$(/usr/bin/stat -f '%Mp%Lp' "$install_lock_epoch" 2>/dev/null)" || raw_mode=""
  if ! mode="$(normalize_mode_without_special_bits "$raw_mode")"; then
    fail "Published privileged installer recovery epoch has invalid or special permission bits" 74
  fi
  if [[ "$owner" != "0" || "$group" != "0" || "$mode" != "600" ]]; then
    fail "Published privileged installer recovery-epoch permissions are unsafe" 74
  fi
  {
    while IFS= read -r line || [[ -n "$line" ]]; do
      if [[ "$line" == "$token" ]]; then
        found=1
      fi
    done <"$install_lock_epoch"
  } 2>/dev/null || true
  if (( ! found )); then
    fail "Published privileged installer recovery epoch is incomplete" 74
  fi
  /bin/rm -f "$install_lock_epoch_candidate" 2>/dev/null ||
    fail "Could not finalize privileged installer recovery epoch" 74
  install_lock_epoch_candidate=""
}

# Sets record_state to "absent" or "present"; stops the script on a record
# that is unsafe or cannot be inspected. $2 names the record in messages.
inspect_install_record() {
  local record_path="$1" record_label="$2" owner="" group="" raw_mode="" mode=""
  record_state="absent"
  if ! path_exists "$record_path"; then
    return 0
  fi
  if [[ -L "$record_path" || ! -f "$record_path" ]]; then
    fail "Privileged installer ${record_label} path is unsafe" 73
  fi
  if ! owner="$(/usr/bin/stat -f '%u' "$record_path" 2>/dev/null)"; then
    path_exists "$record_path" || return 0
    fail "Could not inspect privileged installer ${record_label} ownership" 74
  fi
  if ! group="$(/usr/bin/stat -f '%g' "$record_path" 2>/dev/null)"; then
    path_exists "$record_path" || return 0
    fail "Could not inspect privileged installer ${record_label} group" 74
  fi
  if ! raw_mode="$(/usr/bin/stat -f '%Mp%Lp' "$record_path" 2>/dev/null)"; then
    path_exists "$record_path" || return 0
    fail "Could not inspect privileged installer ${record_label} permissions" 74
  fi
  if ! mode="$(normalize_mode_without_special_bits "$raw_mode")"; then
    fail "Privileged installer ${record_label} has invalid or special permission bits" 73
  fi
  if [[ "$owner" != "0" || "$group" != "0" || "$mode" != "600" ]]; then
    fail "Privileged installer ${record_label} permissions are unsafe" 73
  fi
  record_state="present"
}

validate_existing_install_lock() {
  inspect_install_record "$install_lock" "lock"
}

# Reports absent (record_state) or stops the script: a recovery record is
# never taken over or deleted by another installer.
validate_existing_install_recovery() {
  inspect_install_record "$install_lock_recovery" "lock-recovery"
  if [[ "$record_state" == "absent" ]]; then
    return 0
  fi
  if read_install_record "$install_lock_recovery" &&
    install_record_owner_alive "$record_pid" "$record_identity"; then
    fail "Another process is recovering the privileged installer lock" 75
  fi
  if ! path_exists "$install_lock_recovery"; then
    record_state="absent"
    return 0
  fi
  # Its owner may be in its own exit cleanup.
  /bin/sleep 0.02
  if ! path_exists "$install_lock_recovery"; then
    record_state="absent"
    return 0
  fi
  fail "A stale privileged installer lock-recovery record requires manual removal: $install_lock_recovery" 75
}

release_install_lock() {
  (( install_lock_acquired )) || return 0
  install_record_is_own "$install_lock" "$install_lock_identity" || return 1
  /bin/rm -f "$install_lock" 2>/dev/null || return 1
  install_lock_acquired=0
}

release_install_lock_recovery() {
  (( install_lock_recovery_acquired )) || return 0
  install_record_is_own "$install_lock_recovery" "$install_lock_recovery_identity" || return 1
  /bin/rm -f "$install_lock_recovery" 2>/dev/null || return 1
  install_lock_recovery_acquired=0
}

acquire_install_lock() {
  local attempts=0 epoch_before="" epoch_after=""
  if ! install_lock_identity="$(process_identity "$$")"; then
    fail "Could not record privileged installer identity" 74
  fi
  install_lock_recovery_identity="$install_lock_identity"
  # Paths that exist are not ours: cleanup must leave them alone.
  if path_exists "$install_lock_candidate"; then
    install_lock_candidate=""
    fail "Refusing to overwrite a privileged installer lock candidate" 73
  fi
  write_install_record_candidate "$install_lock_candidate" || {
    (( $? != 2 )) || install_lock_candidate=""
    fail "Could not create the privileged installer lock candidate" 74
  }
  if path_exists "$install_lock_recovery_candidate"; then
    install_lock_recovery_candidate=""
    fail "Refusing to overwrite a privileged installer lock-recovery candidate" 73
  fi
  write_install_record_candidate "$install_lock_recovery_candidate" || {
    (( $? != 2 )) || install_lock_recovery_candidate=""
    fail "Could not create the privileged installer lock-recovery candidate" 74
  }

  while (( attempts < 3 )); do
    read_install_lock_epoch
    epoch_before="$epoch_value"

    if path_exists "$install_lock_recovery"; then
      validate_existing_install_recovery
      attempts=$(( attempts + 1 ))
      /bin/sleep 0.05
      continue
    fi

    if publish_lock_record "$install_lock_candidate" "$install_lock"; then
      install_lock_acquired=1
      read_install_lock_epoch
      epoch_after="$epoch_value"
      # A reclaim by another installer since the first epoch read means the
      # lock we just published may rest on a decision made against a lock
      # that is gone now: back off and look again.
      if path_exists "$install_lock_recovery" || [[ "$epoch_after" != "$epoch_before" ]]; then
        if ! path_exists "$install_lock"; then
          install_lock_acquired=0
        else
          release_install_lock || fail "Privileged installer lock ownership changed during recovery" 74
        fi
        attempts=$(( attempts + 1 ))
        /bin/sleep 0.05
        continue
      fi
      /bin/rm -f "$install_lock_candidate" 2>/dev/null ||
        fail "Could not finalize the privileged installer lock" 74
      /bin/rm -f "$install_lock_recovery_candidate" 2>/dev/null ||
        fail "Could not finalize the privileged installer lock-recovery candidate" 74
      return 0
    fi

    validate_existing_install_lock
    if [[ "$record_state" == "absent" ]]; then
      attempts=$(( attempts + 1 ))
      /bin/sleep 0.05
      continue
    fi
    if ! read_install_record "$install_lock"; then
      attempts=$(( attempts + 1 ))
      /bin/sleep 0.05
      continue
    fi
    if install_record_owner_alive "$record_pid" "$record_identity"; then
      fail "Another Tesselwick helper installation is already running" 75
    fi

    # The lock is stale: reclaim it under the recovery record.
    if ! publish_lock_record "$install_lock_recovery_candidate" "$install_lock_recovery"; then
      validate_existing_install_recovery
      attempts=$(( attempts + 1 ))
      /bin/sleep 0.05
      continue
    fi
    install_lock_recovery_acquired=1
    publish_install_lock_epoch "$attempts"

    if ! path_exists "$install_lock"; then
      release_install_lock_recovery || fail "Could not release privileged installer lock recovery" 74
      attempts=$(( attempts + 1 ))
      continue
    fi
    validate_existing_install_lock
    if [[ "$record_state" == "absent" ]] || ! read_install_record "$install_lock"; then
      release_install_lock_recovery || fail "Could not release privileged installer lock recovery" 74
      attempts=$(( attempts + 1 ))
      /bin/sleep 0.05
      continue
    fi
    if install_record_owner_alive "$record_pid" "$record_identity"; then
      release_install_lock_recovery || fail "Could not release privileged installer lock recovery" 74
      fail "Another Tesselwick helper installation acquired the lock during recovery" 75
    fi
    /bin/rm -f "$install_lock" 2>/dev/null ||
      fail "Could not remove the stale privileged installer lock" 74
    install_lock_reclaimed=1
    release_install_lock_recovery || fail "Could not release privileged installer lock recovery" 74
    attempts=$(( attempts + 1 ))
  done
  fail "Could not acquire the privileged installer lock" 75
}

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
chown root:wheel "$tmp_dir"
/bin/chmod 0700 "$tmp_dir"
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
chown root:wheel "$helper_tmp"
/bin/chmod 0755 "$helper_tmp"
/bin/zsh -n "$helper_tmp"

print -r -- '@SUDOERS_RULE@' >"$sudoers_tmp"
chown root:wheel "$sudoers_tmp"
/bin/chmod 0440 "$sudoers_tmp"
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
