#!/bin/zsh -f
## The helper, installed at @HELPER_PATH@. It runs as root for any admin user
## without a password, so it trusts nothing it is given and re-reads
## everything from the live system. "-f": sudo may keep the caller's HOME (it
## does by default on macOS), and zsh would then run that user's startup files
## as root before the first line here.
set -euo pipefail
VORNABY_ESP_HELPER_VERSION=@HELPER_VERSION@
export PATH=/usr/sbin:/usr/bin:/bin:/sbin
# sudo hands over the caller's working directory and locale; neither may
# change what the tools below do or print.
export LC_ALL=C
cd /

command="${1:-}"
disk="${2:-}"

#@include validate_esp.zsh

if [[ "$command" == "version" ]]; then
  print -r -- "$VORNABY_ESP_HELPER_VERSION"
  exit 0
fi

check_disk_form

# From here on the caller knows the helper itself ran: failures below are the
# operation's, not sudo's.
print -r -- '@READY_MARKER@' >&2

whole_disk="${disk%%s[0-9]*}"
if [[ ! "$whole_disk" =~ '^disk[0-9]+$' ]]; then
  fail "Could not derive the parent disk for $disk" 65
fi

check_esp
run_disk_command
