## The installer's lock, included by installer.zsh: one installation at a
## time, and a lock left by a killed installer is reclaimed safely. Records
## are root-owned files naming their process by id and identity.
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
