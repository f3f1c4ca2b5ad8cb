// SPDX-License-Identifier: MIT
// boardsim run end to end: a hook gets the daemon ready on the board,
// plugs a device, restarts the daemon and reads the report; the run's
// folder goes with the run.

#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/integration/harness.h"

namespace {

TEST(BoardsimRun, AHookDrivesTheDaemonAndTheRunLeavesNothingBehind) {
  if (geteuid() != 0) GTEST_SKIP() << "user namespaces may be refused to other users";
  const std::string hook =
      "boardsim plug \"$BOARDSIM_ROOT\" ftdi --port usb1 >/dev/null && boardsim settle && boardsim daemon stop && "
      "boardsim daemon start >/dev/null && boardsim settle && boardsim report && echo \"dir=$BOARDSIM_DIR\"";
  const auto r = itest::run_program({HWTRACK_TEST_BOARDSIM, "run", "--script", "/bin/true", "sh", "-c", hook});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // The restarted daemon's start-up, as the report shows it: the adapter
  // back on its entry, found before the daemon was ready. Readiness can
  // come before the syslog reader has written the daemon's last lines, so
  // the hook settles before it reports.
  EXPECT_NE(r.out.find("  sys.hw.class.serial.3 serial 3 inserted\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ready - tracking 9 devices"), std::string::npos) << r.out;
  const size_t dir = r.out.rfind("dir=");
  ASSERT_NE(dir, std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(r.out.substr(dir + 4, r.out.find('\n', dir) - dir - 4)));
}

}  // namespace
