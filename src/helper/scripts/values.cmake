# The one list of values spliced into the root scripts at build time (as
# @NAME@) and handed to C++. The paths and names stay on users' disks:
# changing any of them orphans installed helpers.

# The app accepts an installed helper only when it reports this version.
set(TESSELWICK_HELPER_VERSION "11")
set(TESSELWICK_READY_MARKER "TESSELWICK_HELPER_READY=${TESSELWICK_HELPER_VERSION}")
set(TESSELWICK_HELPER_DIRECTORY "/Library/PrivilegedHelperTools")
set(TESSELWICK_SUDOERS_DIRECTORY "/etc/sudoers.d")
set(TESSELWICK_HELPER_PATH "${TESSELWICK_HELPER_DIRECTORY}/com.vornaby.harbortide.helper")
set(TESSELWICK_SUDOERS_PATH "${TESSELWICK_SUDOERS_DIRECTORY}/vornaby-harbortide")
set(TESSELWICK_INSTALL_LOCK_NAME ".com.vornaby.harbortide.install.lock")
set(TESSELWICK_SUDOERS_RULE "%admin ALL=(root) NOPASSWD: ${TESSELWICK_HELPER_PATH}")

set(TESSELWICK_SCRIPT_VALUES
  HELPER_VERSION READY_MARKER HELPER_DIRECTORY SUDOERS_DIRECTORY HELPER_PATH SUDOERS_PATH
  INSTALL_LOCK_NAME SUDOERS_RULE)
