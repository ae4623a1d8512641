#!/bin/zsh -f
## The helper's removal, run once as root behind the authorization prompt and
## shown as it is by "tesselwick helper show-uninstaller". It holds the
## installer's lock throughout, so an installation and a removal never
## overlap, and puts everything back unless the removal is complete. "-f"
## keeps the caller's startup files from running as root.
set -euo pipefail
# Root runs this; nothing may come from the caller's PATH, working directory
# or locale.
export PATH=/usr/sbin:/usr/bin:/bin:/sbin
export LC_ALL=C
cd /

# The user who asked for the removal: sudo must refuse them the helper
# before anything is deleted.
requester='{{REQUESTER}}'

#@include privileged_setup.zsh

if [[ ! "$requester" =~ '^[A-Za-z_][A-Za-z0-9_.-]{0,63}$' ]] ||
  ! requester_uid="$(/usr/bin/id -u "$requester" 2>/dev/null)"; then
  fail "Invalid user name: $requester" 64
fi

ensure_secure_directory '@HELPER_DIRECTORY@'
ensure_secure_directory '@SUDOERS_DIRECTORY@'

#@include install_lock.zsh

# Root-only folders beside the two files, so that moving a file aside and
# back is a rename within one file system.
helper_stage=""
sudoers_stage=""
# Set before each move, so a signal during the move still restores exactly.
helper_moved=0
sudoers_moved=0
removal_complete=0

# Puts a file back from its staging folder: $1 the flag's name, $2 the
# staged file, $3 its place, $4 what to call it in a failure.
restore_moved_file() {
  (( ${(P)1} )) || return 0
  if path_exists "$2" && ! /bin/mv -f "$2" "$3"; then
    print -r -- "Could not put the $4 back; it is kept at $2" >&2
    return 74
  fi
  typeset -g "$1=0"
}

cleanup() {
  local cleanup_status="$1"
  if (( ! removal_complete )); then
    restore_moved_file sudoers_moved "$sudoers_stage/rule" '@SUDOERS_PATH@' "sudoers rule" ||
      cleanup_status=74
    restore_moved_file helper_moved "$helper_stage/helper" '@HELPER_PATH@' helper ||
      cleanup_status=74
  fi
  # A file that could not be put back stays in its folder.
  if (( ! helper_moved || removal_complete )); then
    remove_created_path "$helper_stage" "Could not remove the removed helper: $helper_stage" ||
      cleanup_status=74
  fi
  if (( ! sudoers_moved || removal_complete )); then
    remove_created_path "$sudoers_stage" "Could not remove the removed sudoers rule: $sudoers_stage" ||
      cleanup_status=74
  fi
  release_install_lock_records || cleanup_status=74
  return "$cleanup_status"
}

# A signal ends the script through the exit trap, which puts back what moved.
trap finish_cleanup EXIT
take_install_lock

# Status 0 when $1 is a regular file of root's, ours to remove; 1 when nothing
# is there. Anything else stops the removal before it changed anything.
removable_file() {
  path_exists "$1" || return 1
  if [[ -L "$1" || ! -f "$1" ]]; then
    fail "Refusing to remove $1: it is not a regular file. Nothing was changed." 73
  fi
  if [[ "$(/usr/bin/stat -f '%u' "$1")" != "0" ]]; then
    fail "Refusing to remove $1: it is not owned by root. Nothing was changed." 73
  fi
}

has_helper=0
has_sudoers=0
removable_file '@HELPER_PATH@' && has_helper=1
removable_file '@SUDOERS_PATH@' && has_sudoers=1
if (( ! has_helper && ! has_sudoers )); then
  print -r -- "The helper is not installed."
  exit 0
fi

helper_stage="$(/usr/bin/mktemp -d '@HELPER_DIRECTORY@/.com.vornaby.harbortide.removal.XXXXXX')"
secure_created_path "$helper_stage" 0700
sudoers_stage="$(/usr/bin/mktemp -d '@SUDOERS_DIRECTORY@/.vornaby-harbortide.removal.XXXXXX')"
secure_created_path "$sudoers_stage" 0700

# The rule goes first: while the helper is still in place, sudo refusing it
# can only mean that no rule lets the requester run it without a password.
# Root needs no rule, so for root only the helper's absence below counts.
if (( has_sudoers )); then
  sudoers_moved=1
  /bin/mv '@SUDOERS_PATH@' "$sudoers_stage/rule"
fi
if (( has_helper && requester_uid != 0 )) &&
  /usr/bin/sudo -u "$requester" -- /usr/bin/sudo -n -k -- '@HELPER_PATH@' version \
    </dev/null >/dev/null 2>&1; then
  fail "sudo still runs the helper for $requester without a password: a rule other than @SUDOERS_PATH@ allows it. Nothing was changed." 78
fi
if (( has_helper )); then
  helper_moved=1
  /bin/mv '@HELPER_PATH@' "$helper_stage/helper"
fi
if path_exists '@HELPER_PATH@' || path_exists '@SUDOERS_PATH@'; then
  fail "The helper's files reappeared while they were being removed. Nothing was changed." 75
fi

removal_complete=1
exit 0
