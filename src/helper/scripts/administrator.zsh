#!/bin/zsh -f
## The administrator route's script, run as root through the authorization
## prompt for one request. The four values below are spliced in at run time,
## after the request's types have vouched for their form; they are checked
## here once more because the script trusts nothing it is given.
set -euo pipefail
export PATH=/usr/sbin:/usr/bin:/bin:/sbin
# The prompt hands over the caller's working directory and locale; neither may
# change what the tools below do or print.
export LC_ALL=C
cd /

command='{{COMMAND}}'
disk='{{DISK}}'
whole_disk='{{WHOLE_DISK}}'
# A file the requester keeps while it waits for this script and removes when
# it stops waiting (a time-out, Ctrl-C, Quit): nothing passes its signals on
# to a script started behind the prompt, so the script watches this instead.
lease='{{LEASE}}'

#@include validate_esp.zsh

if [[ "$command" != "mount" && "$command" != "unmount" ]]; then
  fail "Invalid command: $command" 64
fi
check_disk_form
if [[ ! "$whole_disk" =~ '^disk[0-9]+$' ]]; then
  fail "Invalid parent disk identifier: $whole_disk" 64
fi
if [[ ! "$disk" =~ "^${whole_disk}s[0-9]+\$" ]]; then
  fail "Disk identifier does not belong to its expected parent" 64
fi
if [[ ! "$lease" =~ '^/tmp/tesselwick-lease\.[A-Za-z0-9]{6}$' ]]; then
  fail "Invalid request lease: $lease" 64
fi

check_esp
run_disk_command
