// SPDX-License-Identifier: MIT
// The soak: thousands of add/remove cycles of a USB serial adapter and of a
// USB stick's partition through the udev monitor socket, with a class
// script set. Afterwards the daemon holds the descriptors and the memory it
// held after the first hundred cycles, and the RDB says exactly what it
// said after the first cycle. A shorter run under valgrind, shutdown
// included, finds no leak and no memory error.
//
// The adapter and the stick stay in the simulated sysfs tree throughout:
// an add is looked up there, a remove is not, so the daemon sees what it
// would see if they were unplugged and plugged again.

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/harness.h"
#include "tests/soak/soak_support.h"
#include "tests/support/monitor.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace {

using namespace std::chrono_literals;
using Vars = std::map<std::string, std::string>;

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HWTRACK_SOAK_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define HWTRACK_SOAK_SANITIZED 1
#endif

constexpr bool kSanitized =
#ifdef HWTRACK_SOAK_SANITIZED
    true;
#else
    false;
#endif

// How many cycles the soak runs; HWTRACK_SOAK_CYCLES overrides, for a
// quicker look or a longer night. A sanitized build runs fewer: its
// quarantine makes the memory figures meaningless, and LeakSanitizer's check
// at the daemon's exit needs no more than a thousand cycles to see a leak
// of the event path.
int soak_cycles() {
  const char *value = getenv("HWTRACK_SOAK_CYCLES");
  const int n = value ? atoi(value) : 0;
  if (n > 0) return n;
  return kSanitized ? 1000 : 10000;
}

constexpr int kBaselineCycles = 100;
constexpr int kValgrindCycles = 200;

// Growth of resident memory between cycle 100 and the last one that is
// still noise: two pages (a stdio or allocator page touched late).
constexpr long kRssToleranceKb = 8;

class SoakTest : public soak::MiniBoardTest<soak::RamDaemonTest> {
 protected:
  // rdbd, the recording script, the daemon (through wrapper, if any); then
  // the two devices appear in the tree without a word to the daemon.
  void start(const std::vector<std::string> &wrapper = {}) {
    ASSERT_TRUE(h().start_rdbd()) << "rdbd did not start";
    // The cheapest script that still records its runs: the shell's own
    // echo, the daemon's arguments after the redirection. Every run is still
    // a fork of the daemon, a shell and a wait, which is what the soak is
    // about; a script file would add a second shell per run and set the
    // pace of the whole test.
    ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script", "echo >>" + calls_path(), true));
    itest::DaemonOptions options;
    options.wrapper = wrapper;
    ASSERT_TRUE(h().start_daemon(options)) << "hwtrackd did not get ready";
    sender_ = std::make_unique<testsupport::MonitorSender>();
    ASSERT_TRUE(sender_->ok());
    sync("started");

    for (const auto &e : board_->plug("ftdi", "usb1"))
      if (e.subsystem == "tty") serial_ = e;
    for (const auto &e : board_->plug("stick", "usb2"))
      if (e.subsystem == "block" && e.devpath.ends_with("1")) partition_ = e;
    ASSERT_FALSE(serial_.devpath.empty());
    ASSERT_FALSE(partition_.devpath.empty());
  }

  // Plug and unplug as the monitor socket tells it: both adds, then both
  // removes, one cycle.
  void send_adds() {
    ASSERT_TRUE(sender_->send(serial_.datagram()));
    ASSERT_TRUE(sender_->send(partition_.datagram()));
  }
  void send_removes() {
    ASSERT_TRUE(sender_->send(removal(serial_).datagram()));
    ASSERT_TRUE(sender_->send(removal(partition_).datagram()));
  }
  static board::Uevent removal(board::Uevent e) {
    e.action = "remove";
    return e;
  }
  void cycles(int from, int to) {
    for (int i = from; i <= to && !HasFatalFailure(); ++i) {
      send_adds();
      send_removes();
    }
  }

  // Every datagram sent before returns has been handled: a change event on
  // the same socket comes after them, and its line after theirs.
  void sync(const std::string &name) {
    const std::string devpath = "/devices/virtual/soak/" + name;
    ASSERT_TRUE(sender_->send(itest::make_uevent("change", devpath, "tty")));
    const std::string needle = devpath + " (tty)";
    const auto deadline = itest::within(std::chrono::minutes(10));
    for (;;) {
      const auto lines = h().stdout_lines();
      for (size_t i = lines.size(); i-- > checked_;)
        if (lines[i].find(needle) != std::string::npos) {
          checked_ = i + 1;
          return;
        }
      ASSERT_TRUE(h().daemon_running()) << "the daemon died";
      ASSERT_LT(itest::Clock::now(), deadline) << "no line for " << devpath;
      std::this_thread::sleep_for(50ms);
    }
  }

  std::string calls_path() { return h().path("calls"); }

  Vars rdb_snapshot() {
    Vars vars;
    for (const auto &name : h().rdb_names("sys.hw.")) vars[name] = h().rdb_get(name).value_or("<unreadable>");
    return vars;
  }

  // The device record holding devpath, "" when none.
  static std::string record_of(const Vars &vars, const std::string &devpath) {
    for (const auto &[name, value] : vars)
      if (name.starts_with("sys.hw.dev.") && name.ends_with(".devpath") && value == devpath)
        return name.substr(0, name.size() - 8);
    return "";
  }

  // The class entry whose "dev" names record ("dev.<n>" for "sys.hw.dev.<n>").
  static std::string class_of_record(const Vars &vars, const std::string &record) {
    const std::string dev = record.substr(std::string("sys.hw.").size());
    for (const auto &[name, value] : vars)
      if (name.starts_with("sys.hw.class.") && name.ends_with(".dev") && value == dev)
        return name.substr(0, name.size() - 4);
    return "";
  }

  // While both devices are in: each has a record, its entry is inserted and
  // names it, and the entries are the ones of the first cycle.
  void expect_inserted(const Vars &vars) {
    for (const board::Uevent *e : {&serial_, &partition_}) {
      SCOPED_TRACE(e->devpath);
      const std::string record = record_of(vars, e->devpath);
      ASSERT_FALSE(record.empty());
      const std::string cls = class_of_record(vars, record);
      ASSERT_FALSE(cls.empty());
      EXPECT_EQ(vars.at(cls + ".status"), "inserted");
      classes_.insert(cls);
    }
    EXPECT_EQ(classes_.size(), 2u) << "the same two class entries every time";
  }

  soak::ProcessStats stats() {
    const auto s = soak::process_stats(h().daemon_pid());
    EXPECT_TRUE(s);
    return s.value_or(soak::ProcessStats{});
  }

  std::unique_ptr<testsupport::MonitorSender> sender_;
  board::Uevent serial_, partition_;
  std::set<std::string> classes_;
  size_t checked_ = 0;
};

void print_stats(const char *when, const soak::ProcessStats &s) {
  printf("[ figures  ] %-24s fds %zu, VmRSS %ld kB, RssAnon %ld kB\n", when, s.fds, s.vm_rss_kb, s.rss_anon_kb);
}

TEST_F(SoakTest, ThousandsOfCyclesLeaveDescriptorsMemoryAndVariablesAsTheyWere) {
  const int total = soak_cycles();
  ASSERT_GT(total, kBaselineCycles + 1);
  start();
  if (HasFatalFailure()) return;
  const auto started = itest::Clock::now();
  const size_t calls_at_start = soak::read_lines(calls_path()).size();
  const Vars before = rdb_snapshot();

  // Cycle 1 sets what every later cycle must leave behind.
  send_adds();
  sync("1-in");
  expect_inserted(rdb_snapshot());
  send_removes();
  sync("1-out");
  const Vars after_first = rdb_snapshot();
  // The board's own devices keep their records; the two leave none behind.
  auto device_names = [](const Vars &vars) {
    std::set<std::string> names;
    for (const auto &[name, value] : vars)
      if (name.starts_with("sys.hw.dev.")) names.insert(name);
    return names;
  };
  EXPECT_EQ(device_names(after_first), device_names(before));
  for (const auto &cls : classes_) {
    EXPECT_EQ(after_first.at(cls + ".status"), "removed") << cls;
    EXPECT_EQ(after_first.at(cls + ".dev"), "") << cls;
  }

  cycles(2, kBaselineCycles - 1);
  send_adds();
  sync("baseline-in");
  expect_inserted(rdb_snapshot());
  send_removes();
  sync("baseline-out");
  const soak::ProcessStats baseline = stats();
  const double baseline_ms = soak::elapsed_ms(started);

  cycles(kBaselineCycles + 1, total - 1);
  send_adds();
  sync("last-in");
  expect_inserted(rdb_snapshot());
  send_removes();
  sync("last-out");
  const soak::ProcessStats last = stats();
  const double total_ms = soak::elapsed_ms(started);

  EXPECT_EQ(rdb_snapshot(), after_first);
  const auto calls = soak::read_lines(calls_path());
  ASSERT_EQ(calls.size(), calls_at_start + 4 * static_cast<size_t>(total));
  // Each cycle ran the script four times: both entries inserted, then both removed.
  std::map<std::string, int> runs;
  for (size_t i = calls_at_start; i < calls.size(); ++i) {
    const std::string &line = calls[i];
    ++runs[line.substr(0, line.find(' ')) + " " + line.substr(line.rfind(' ') + 1)];
  }
  std::map<std::string, int> expected_runs;
  for (const auto &cls : classes_) {
    expected_runs[cls + " inserted"] = total;
    expected_runs[cls + " removed"] = total;
  }
  EXPECT_EQ(runs, expected_runs);

  EXPECT_EQ(last.fds, baseline.fds);
  if (!kSanitized) {
    // The sanitizers' quarantine keeps freed memory: only the descriptors
    // and the variables say anything in such a build.
    EXPECT_LE(last.rss_anon_kb - baseline.rss_anon_kb, kRssToleranceKb);
    EXPECT_LE(last.vm_rss_kb - baseline.vm_rss_kb, kRssToleranceKb);
  }
  print_stats("after cycle 100:", baseline);
  printf("[ figures  ] after cycle %-12d fds %zu, VmRSS %ld kB, RssAnon %ld kB\n", total, last.fds, last.vm_rss_kb,
         last.rss_anon_kb);
  printf("[ figures  ] %d cycles (%d events, %d script runs) in %.1f s, %.2f ms per cycle (first 100: %.2f ms)\n",
         total, 4 * total, 4 * total, total_ms / 1000.0, total_ms / total, baseline_ms / kBaselineCycles);
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(SoakTest, ValgrindFindsNoLeakOverCyclesAndShutdown) {
  if (kSanitized) GTEST_SKIP() << "valgrind does not run sanitized programs; LeakSanitizer checks this build";
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/valgrind";
  const std::string log = h().path("valgrind.log");
  start({"/usr/bin/valgrind", "--leak-check=full", "--show-leak-kinds=all",
         "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99", "--log-file=" + log});
  if (HasFatalFailure()) return;
  const size_t calls_at_start = soak::read_lines(calls_path()).size();
  cycles(1, kValgrindCycles);
  sync("done");
  // Valgrind's exit status is the daemon's (0) unless it found something.
  const int status = h().stop_daemon(SIGTERM, itest::within(std::chrono::minutes(2)));
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  const std::string report = text.str();
  EXPECT_EQ(status, 0) << report;
  // Nothing lost. Still reachable at exit is at most the C++ runtime's
  // emergency exception pool, which valgrind cannot have freed when the
  // runtime is linked in statically; every module's fini freed its own.
  const bool all_freed = report.find("All heap blocks were freed -- no leaks are possible") != std::string::npos;
  if (!all_freed) {
    for (const char *kind : {"definitely lost: 0 bytes", "indirectly lost: 0 bytes", "possibly lost: 0 bytes"})
      EXPECT_NE(report.find(kind), std::string::npos) << kind << "\n" << report;
    for (size_t at = report.find("still reachable in loss record"); at != std::string::npos;
         at = report.find("still reachable in loss record", at + 1)) {
      const std::string record = report.substr(at, report.find("== \n", at) - at);
      EXPECT_NE(record.find("eh_alloc"), std::string::npos) << record;
    }
  }
  EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
  EXPECT_EQ(soak::read_lines(calls_path()).size(), calls_at_start + 4u * kValgrindCycles);
  for (const char *key : {"in use at exit:", "total heap usage:", "ERROR SUMMARY:"}) {
    const size_t at = report.find(key);
    if (at != std::string::npos)
      printf("[ figures  ] valgrind, %d cycles and shutdown: %s\n", kValgrindCycles,
             report.substr(at, report.find('\n', at) - at).c_str());
  }
}

}  // namespace
