## The installer's lock, included by installer.zsh and uninstaller.zsh: one
## installation or removal at a time, and a lock left by a killed run is
## reclaimed safely. Records are root-owned files naming their process by id
## and identity.
# sysopen creates a file without ever opening an existing path; zsystem flock
# gives a lock the kernel drops with its holder.
zmodload zsh/system 2>/dev/null || fail "Could not load the shell's system module" 74

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

# True when the record at $1 is a regular file naming this process and the
# identity $2 on its first two lines.
install_record_is_own() {
  local record_path="$1" expected_identity="$2"
  local own_pid="" own_identity=""
  [[ -f "$record_path" && ! -L "$record_path" ]] || return 1
  { { IFS= read -r own_pid || true; IFS= read -r own_identity || true; } <"$record_path"; } 2>/dev/null || return 1
  [[ "$own_pid" == "$$" && -n "$expected_identity" && "$own_identity" == "$expected_identity" ]]
}

# Removes the record $2 if this run holds it (the flag named $1) and it still
# names this run ($3); $4 names it in a failure, $5 follows that name where
# the removal itself fails.
release_held_record() {
  (( ${(P)1} )) || return 0
  if ! install_record_is_own "$2" "$3"; then
    print -r -- "Privileged installer $4 ownership changed before cleanup; refusing to remove it" >&2
    return 74
  fi
  if ! /bin/rm -f "$2"; then
    print -r -- "Could not remove the privileged installer $4${5:-}" >&2
    return 74
  fi
  typeset -g "$1=0"
}

# Removes the lock and the recovery record if this run holds them and they
# still name it.
release_held_records() {
  local step_status=0
  release_held_record install_lock_acquired "$install_lock" "$install_lock_identity" lock ||
    step_status=74
  release_held_record install_lock_recovery_acquired "$install_lock_recovery" \
    "$install_lock_recovery_identity" lock-recovery " record" || step_status=74
  return "$step_status"
}

# Removes the candidates this run created and gives back the records it holds.
release_install_lock_records() {
  local step_status=0
  remove_created_path "$install_lock_candidate" \
    "Could not remove the privileged installer lock candidate" || step_status=74
  remove_created_path "$install_lock_recovery_candidate" \
    "Could not remove the privileged installer lock-recovery candidate" || step_status=74
  remove_created_path "$install_lock_epoch_candidate" \
    "Could not remove the privileged installer epoch candidate" || step_status=74
  release_held_records || step_status=74
  return "$step_status"
}

# Removes what a killed installer or uninstaller left: the installer's files
# staged beside their final places, and folders that can only be ours (root's
# own, 0700, not a link): the installer's backups and the uninstaller's
# staging. A removal killed after moving the files aside is thereby finished.
remove_killed_installer_leftovers() {
  local leftover=""
  for leftover in '@HELPER_DIRECTORY@/.com.vornaby.harbortide.helper.'??????(N) \
    '@SUDOERS_DIRECTORY@/.vornaby-harbortide.'??????(N); do
    if [[ -f "$leftover" || -L "$leftover" ]]; then
      /bin/rm -f "$leftover" 2>/dev/null ||
        fail "Could not remove a killed installer's staged file: $leftover" 74
    fi
  done
  for leftover in /private/tmp/vornaby-harbortide.??????(N) \
    '@HELPER_DIRECTORY@/.com.vornaby.harbortide.removal.'??????(N) \
    '@SUDOERS_DIRECTORY@/.vornaby-harbortide.removal.'??????(N); do
    if [[ -d "$leftover" && ! -L "$leftover" ]] &&
      [[ "$(/usr/bin/stat -f '%u:%Lp' "$leftover" 2>/dev/null)" == "0:700" ]]; then
      /bin/rm -rf "$leftover" 2>/dev/null ||
        fail "Could not remove a killed installer's temporary directory: $leftover" 74
    fi
  done
}

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

# Creates the record $2 holding the lines that follow (at least one), then names it in the
# variable $1 (if given) for cleanup, so cleanup never removes a path this run
# did not create. The kernel refuses a path that exists, of any type (a link,
# a FIFO, a device), without opening it; the record is born root's 0600 (in a
# root:wheel directory, whose group a new file takes on macOS) and is never
# changed by name afterwards. Status 2: the path existed, nothing was created.
create_install_record() {
  local name="$1" record_path="$2" record_status=0
  shift 2
  # The subshell's exit closes the descriptor. Status 3: nothing was created.
  (
    sysopen -w -o excl,creat,nofollow -m 600 -u record_fd "$record_path" || exit 3
    print -r -l -u "$record_fd" -- "$@"
  ) 2>/dev/null || record_status=$?
  if (( record_status == 3 )); then
    path_exists "$record_path" && return 2
    return 1
  fi
  [[ -z "$name" ]] || typeset -g "$name=$record_path"
  return "$record_status"
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
  token="$$:${attempt}:${RANDOM}:${install_lock_identity}"
  create_install_record install_lock_epoch_candidate \
    "${install_lock_epoch}.candidate.$$.${attempt}.${RANDOM}" "$token" || {
    (( $? != 2 )) || fail "Refusing to overwrite a privileged installer epoch candidate" 73
    fail "Could not create privileged installer recovery epoch" 74
  }
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

# Reports absent (record_state) or stops the script. A record whose owner is
# dead is removed (see reclaim_stale_install_recovery); a live one never.
validate_existing_install_recovery() {
  inspect_install_record "$install_lock_recovery" "lock-recovery"
  if [[ "$record_state" == "absent" ]]; then
    return 0
  fi
  if read_install_record "$install_lock_recovery" &&
    install_record_owner_alive "$record_pid" "$record_identity"; then
    fail "Another process is recovering the privileged installer lock" 75
  fi
  # Its owner may be in its own exit cleanup.
  /bin/sleep 0.02
  if path_exists "$install_lock_recovery"; then
    reclaim_stale_install_recovery
  fi
  record_state="absent"
}

# A reclaimer killed while holding the recovery record leaves it behind for
# good. Reclaimers of such a record take turns under a kernel lock on a file of
# their own, which a killed holder cannot keep: under it, the record can only
# change through its owner (dead) or the holder, so the record found dead is
# the record removed. Sets recovery_reclaimed when this run removed it.
# Relies on the helper directory being root:wheel and closed to group and
# others: only root could swap the lock file between its check and its opening.
reclaim_stale_install_recovery() {
  local reclaim_fd=""
  create_install_record "" "$install_lock_reclaim" "$$" "$install_lock_identity" || (( $? == 2 )) ||
    fail "Could not create the privileged installer reclaim lock" 74
  inspect_install_record "$install_lock_reclaim" "lock-reclaim"
  [[ "$record_state" == "present" ]] ||
    fail "Could not create the privileged installer reclaim lock" 74
  zsystem flock -t 5 -f reclaim_fd "$install_lock_reclaim" 2>/dev/null ||
    fail "Another process is recovering the privileged installer lock" 75
  inspect_install_record "$install_lock_recovery" "lock-recovery"
  if [[ "$record_state" == "present" ]] && read_install_record "$install_lock_recovery" &&
    ! install_record_owner_alive "$record_pid" "$record_identity"; then
    /bin/rm -f "$install_lock_recovery" 2>/dev/null ||
      fail "Could not remove the stale privileged installer lock-recovery record" 74
    recovery_reclaimed=1
    # Whoever the record's owner was reclaiming may have left staged files.
    install_lock_reclaimed=1
  fi
  zsystem flock -u "$reclaim_fd"
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

# Records this run's identity and creates its two candidates, which must not
# exist yet.
create_install_lock_candidates() {
  if ! install_lock_identity="$(process_identity "$$")"; then
    fail "Could not record privileged installer identity" 74
  fi
  install_lock_recovery_identity="$install_lock_identity"
  create_install_record install_lock_candidate "${install_lock}.candidate.$$" \
    "$$" "$install_lock_identity" || {
    (( $? != 2 )) || fail "Refusing to overwrite a privileged installer lock candidate" 73
    fail "Could not create the privileged installer lock candidate" 74
  }
  create_install_record install_lock_recovery_candidate "${install_lock_recovery}.candidate.$$" \
    "$$" "$install_lock_identity" || {
    (( $? != 2 )) || fail "Refusing to overwrite a privileged installer lock-recovery candidate" 73
    fail "Could not create the privileged installer lock-recovery candidate" 74
  }
}

# After publishing the lock: keeps it (status 0) unless another installer
# reclaimed since the epoch $1 was read, in which case the lock may rest on a
# decision made against a lock that is gone now: it is given back (status 1).
confirm_install_lock() {
  local epoch_before="$1"
  install_lock_acquired=1
  read_install_lock_epoch
  if path_exists "$install_lock_recovery" || [[ "$epoch_value" != "$epoch_before" ]]; then
    if ! path_exists "$install_lock"; then
      install_lock_acquired=0
    else
      release_install_lock || fail "Privileged installer lock ownership changed during recovery" 74
    fi
    return 1
  fi
  /bin/rm -f "$install_lock_candidate" 2>/dev/null ||
    fail "Could not finalize the privileged installer lock" 74
  install_lock_candidate=""
  /bin/rm -f "$install_lock_recovery_candidate" 2>/dev/null ||
    fail "Could not finalize the privileged installer lock-recovery candidate" 74
  install_lock_recovery_candidate=""
}

# Sets lock_record_state to "stale" when the existing lock's owner is dead,
# "gone" when it vanished or was absent; stops the script when it is alive.
check_existing_install_lock() {
  local alive_message="$1"
  lock_record_state="gone"
  validate_existing_install_lock
  [[ "$record_state" == "present" ]] || return 0
  read_install_record "$install_lock" || return 0
  if install_record_owner_alive "$record_pid" "$record_identity"; then
    release_install_lock_recovery || fail "Could not release privileged installer lock recovery" 74
    fail "$alive_message" 75
  fi
  lock_record_state="stale"
}

# The lock exists and its owner is dead: removes it under the recovery record,
# after checking it again there. Status 0: try again at once; 1: after a
# pause; 2: at once and uncounted, a dead reclaimer's record being removed.
reclaim_stale_install_lock() {
  if ! publish_lock_record "$install_lock_recovery_candidate" "$install_lock_recovery"; then
    recovery_reclaimed=0
    validate_existing_install_recovery
    (( recovery_reclaimed )) && return 2
    return 1
  fi
  install_lock_recovery_acquired=1
  publish_install_lock_epoch "$install_lock_attempts"
  if ! path_exists "$install_lock"; then
    release_install_lock_recovery || fail "Could not release privileged installer lock recovery" 74
    return 0
  fi
  check_existing_install_lock "Another Tesselwick helper installation acquired the lock during recovery"
  if [[ "$lock_record_state" == "gone" ]]; then
    release_install_lock_recovery || fail "Could not release privileged installer lock recovery" 74
    return 1
  fi
  /bin/rm -f "$install_lock" 2>/dev/null ||
    fail "Could not remove the stale privileged installer lock" 74
  install_lock_reclaimed=1
  release_install_lock_recovery || fail "Could not release privileged installer lock recovery" 74
}

acquire_install_lock() {
  local epoch_before="" step=0
  install_lock_attempts=0
  create_install_lock_candidates
  while (( install_lock_attempts < 3 )); do
    read_install_lock_epoch
    epoch_before="$epoch_value"
    if path_exists "$install_lock_recovery"; then
      recovery_reclaimed=0
      validate_existing_install_recovery
      # Removing a dead reclaimer's record is progress, not a failed attempt.
      (( recovery_reclaimed )) && continue
    elif publish_lock_record "$install_lock_candidate" "$install_lock"; then
      confirm_install_lock "$epoch_before" && return 0
    else
      check_existing_install_lock "Another Tesselwick helper installation is already running"
      if [[ "$lock_record_state" == "stale" ]]; then
        step=0
        reclaim_stale_install_lock || step=$?
        (( step != 2 )) || continue
        if (( step == 0 )); then
          install_lock_attempts=$(( install_lock_attempts + 1 ))
          continue
        fi
      fi
    fi
    install_lock_attempts=$(( install_lock_attempts + 1 ))
    /bin/sleep 0.05
  done
  fail "Could not acquire the privileged installer lock" 75
}

# Takes the lock for the includer's transaction, whose exit trap (set by the
# includer itself: zsh runs an EXIT trap set in a function when the function
# returns) cleans up; a signal ends the script through it.
take_install_lock() {
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
  acquire_install_lock
  # A stale lock means its run was killed; holding the lock now, nothing else
  # of this kind can be in use.
  if (( install_lock_reclaimed )); then
    remove_killed_installer_leftovers
  fi
}
