// SPDX-License-Identifier: MIT
// The help text, the log mask from "sys.hw.cfg.debug" and the stop signals.

#include <syslog.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/daemon_private.h"
#include "core/signals.h"

namespace {

std::string usage_text() {
  char *text = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&text, &size);
  print_usage(f);
  fclose(f);
  std::string out(text, size);
  free(text);
  return out;
}

TEST(Usage, IsTheTwentyTwoLinesByteForByte) {
  const std::vector<std::string> lines = {
      "hwtrack manager",
      "",
      "description:",
      "\tThis daemon converts UDEV kernel messages into [sys.hw.class.] RDBs",
      "",
      "command line options:",
      "\t-h print this help screen",
      "",
      "RDB options:",
      "\t[sys.hw.cfg.hwclass_script] : hwtrack event script",
      "\t\tscript.sh <RDB Class entry prefix> <device type> <index of RDB Class entry> <inserted|removed>",
      "\t\t# $1 rdb prefix - sys.hw.class.<device type>.<n>",
      "\t\t# $2 class type (device type) <serial|eth|storage|phonemodule>",
      "\t\t# $3 index of RDB Device class <n>",
      "\t\t# $4 status <removed|inserted>",
      "",
      "\t[sys.hw.cfg.debug] : debug level - only taken at startup (1-7, default:4)",
      "",
      "RDBs ",
      "\t[sys.hw.dev.<index>] : volatile sys device tree",
      "\t[sys.hw.class.<device type>.<index>] : persistant device tree",
      "",
  };
  ASSERT_EQ(lines.size(), 22u);
  std::string expected;
  for (const auto &l : lines) expected += l + "\n";
  EXPECT_EQ(usage_text(), expected);
}

struct MaskCase {
  const char *value;
  int mask;
};

void PrintTo(const MaskCase &c, std::ostream *os) {
  *os << (c.value ? testing::PrintToString(c.value) : "(absent)") << " -> 0x" << std::hex << c.mask;
}

TEST(LogMask, FollowsTheDebugLevel) {
  const MaskCase cases[] = {
      {nullptr, 0x1f},       // absent: up to LOG_WARNING
      {"4", 0x1f},           {"7", 0xff},         {"0", 0x01},      {"1", 0x03},  {"3", 0x0f},
      {"6", 0x7f},           {"8", 0xff},         {"100", 0xff},    {"-1", 0xff}, {"-100", 0xff},
      {"", 0x01},            // no digits reads as 0
      {"debug", 0x01},       {" 3", 0x0f},        {"\t\n5", 0x3f},  {"+5", 0x3f}, {"5x", 0x3f},
      {"3.9", 0x0f},         {"07", 0xff},        {"99999999999999999999", 0xff},
      {"4294967296", 0xff},  // more than an int holds is still more than 7
  };
  for (const auto &c : cases)
    EXPECT_EQ(hwtrack_log_mask(c.value), c.mask) << testing::PrintToString(c);
  EXPECT_EQ(hwtrack_log_mask("4"), LOG_UPTO(LOG_WARNING));
  EXPECT_EQ(hwtrack_log_mask("7"), LOG_UPTO(LOG_DEBUG));
}

TEST(Signals, OnlyIntAndTermSetTheStopFlag) {
  stop_flag = 0;
  for (int signo : {SIGUSR1, SIGPIPE, SIGCHLD, 0, SIGHUP}) {
    EXPECT_EQ(reload_flag, 0) << signo;  // SIGHUP, last, asks for a reload only
    signal_handler(signo);
    EXPECT_EQ(stop_flag, 0) << signo;
  }
  EXPECT_EQ(reload_flag, 1);
  reload_flag = 0;
  signal_handler(SIGINT);
  EXPECT_EQ(stop_flag, 1);
  stop_flag = 0;
  signal_handler(SIGTERM);
  EXPECT_EQ(stop_flag, 1);
  stop_flag = 0;
}

TEST(Signals, SetFlagEndsTheLoopBeforeAnyWork) {
  stop_flag = 1;
  EXPECT_FALSE(hwtrack_event_pass());
  hwtrack_event_loop();  // returns at once
  stop_flag = 0;
}

}  // namespace
