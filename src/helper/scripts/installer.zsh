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

#@include privileged_setup.zsh

ensure_secure_directory '@HELPER_DIRECTORY@'
ensure_secure_directory '@SUDOERS_DIRECTORY@'

#@include install_lock.zsh

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

# The steps of cleanup each print one line per failure and return 74 then,
# else 0.
# Backups are only put back over a path this run replaced: until then the
# previous installation is still in place and intact.
roll_back_installation() {
  local step_status=0
  roll_back_path "$helper_replaced" "$had_helper" "$helper_backup" '@HELPER_PATH@' helper ||
    step_status=74
  roll_back_path "$sudoers_replaced" "$had_sudoers" "$sudoers_backup" '@SUDOERS_PATH@' \
    "sudoers rule" || step_status=74
  return "$step_status"
}

# One file's rollback: $1 whether this run replaced it, $2 whether there was
# one before, $3 its backup, $4 its place, $5 what to call it in a failure.
roll_back_path() {
  local step_status=0
  (( $1 )) || return 0
  if ! /bin/rm -f "$4"; then
    print -r -- "Could not remove the partially installed $5 during rollback" >&2
    step_status=74
  fi
  if (( $2 )) && [[ -n "$3" ]] && path_exists "$3"; then
    if ! /bin/mv -f "$3" "$4"; then
      print -r -- "Could not restore the previous $5 during rollback" >&2
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
  release_install_lock_records || cleanup_status=74
  return "$cleanup_status"
}

# A signal ends the script through the exit trap, so it rolls back too.
trap finish_cleanup EXIT
take_install_lock

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
