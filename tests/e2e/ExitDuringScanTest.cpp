// Exiting while a cancelled scan is still ending its command (see
// ExitDuringScanProbe.cpp). Meaningful under the address sanitizer, which
// reports a scan touching a destroyed process-wide instance.
#include "sim/SimTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace simtest;

TEST(ExitDuringScan, LeavesEveryProcessWideInstanceUsable) {
    SKIP_WITHOUT_SANDBOX();
    TempDir dir;
    const std::string fifo = dir / "reached";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The first whole-disk query announces itself, then ignores the polite
    // request so that the runner has to wait and kill it.
    const std::string wrapper = R"SH(#!/bin/sh
case "$1 $2 $3" in
"info -plist "disk*s*) ;;
"info -plist "disk[0-9]*)
  if mkdir "$TW_FIRST" 2>/dev/null; then
    trap '' TERM
    echo reached >"$TW_FIFO"
    exec sleep 30
  fi ;;
esac
exec /usr/lib/macsim/macsim diskutil "$@"
)SH";
    writeText(dir / "diskutil", wrapper);
    const std::string probe = std::string(TESSELWICK_BINARY_DIR) + "/bin/exit_during_scan_probe";
    const Result run =
        runShell(sandbox(worldPath("multiboot.json"), true) + "/bin/sh -c " +
                 quote("rm -f /usr/sbin/diskutil && install -m 0755 " + quote(dir / "diskutil") +
                       " /usr/sbin/diskutil && TW_FIRST=" + quote(dir / "first") +
                       " TW_FIFO=" + quote(fifo) + " exec " + quote(probe) + " " + quote(fifo)));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("AddressSanitizer"), std::string::npos) << run.err;
    // The scan really was stopped mid-command, not finished before the exit.
    EXPECT_TRUE(std::filesystem::exists(dir / "first"));
}
