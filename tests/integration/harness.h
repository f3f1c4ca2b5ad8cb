// SPDX-License-Identifier: MIT
#pragma once
// End-to-end test harness: runs the real hwtrackd (and the RDB stand-in
// rdbd) inside private mount and network namespaces of the test process.
//
// What a Harness sets up, in its constructor:
//  - new mount and network namespaces for the calling process (/ made
//    rprivate), so the udev monitor socket's abstract name, the netlink
//    sockets and /dev are the test's own and tests run in parallel;
//  - a private tmpfs on /dev with null, zero, urandom, a devpts instance
//    (/dev/ptmx, for the daemon's standard output) and /dev/log, a Unix
//    datagram socket the harness reads: every syslog line of every process
//    in the test is captured and parsed (priority, pid, text);
//  - a temporary folder (dir()) with an empty sysfs root (sysfs_root(),
//    handed to the daemon as SYSFS_PATH) that the test fills;
//  - a reader thread that collects syslog, the daemon's standard output and
//    its standard error as they come.
// The destructor kills what is still running and removes the folder.
//
// The test process itself must be inside the daemon's namespaces (abstract
// sockets and netlink are per network namespace), so a Harness belongs to a
// process that runs one test: gtest_discover_tests gives each test its own
// process. Make the Harness before any thread is started.
//
// Typical use (see DaemonTest below):
//     ASSERT_TRUE(h().start_rdbd());
//     ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7"));
//     ASSERT_TRUE(h().start_daemon());
//     ASSERT_TRUE(h().send_monitor(itest::make_uevent("add", "/devices/x", "tty")));
//     EXPECT_TRUE(h().wait_for_stdout("/devices/x (tty)"));
//     EXPECT_TRUE(h().wait_for_log("no device added"));
//     EXPECT_EQ(h().stop_daemon(), 0);
//
// Every wait takes a deadline (default testsupport::kDefaultWait from now)
// and polls the condition; nothing sleeps and hopes. Real kernel uevents
// reach every network namespace, so a test never assumes that the daemon
// saw only its own events: look for the lines you expect, do not count all
// lines.

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "tests/support/monitor.h"
#include "tests/support/process.h"

namespace board {
class TempDir;
}
namespace testsupport {
class RdbdProcess;
}

namespace itest {

using testsupport::Clock;
using testsupport::Deadline;
using testsupport::wait_until;
using testsupport::within;

// Paths of the programs under test (set by the build).
const char *hwtrackd_path();
const char *rdbd_path();

// ---------------------------------------------------------------------------
// syslog lines

struct SyslogLine {
  int priority = -1;  // severity, LOG_EMERG (0) to LOG_DEBUG (7)
  int facility = -1;  // e.g. LOG_DAEMON (3 << 3)
  pid_t pid = -1;     // from "ident[pid]:", -1 when absent (lines logged before
                      // openlog, such as the RDB open failure, have none)
  std::string ident;  // "hwtrackd"
  std::string text;   // the message as logged, one trailing newline removed:
                      // "<module:function:line> ..." for the daemon's lines

  // text without the "<module:function:line> " prefix.
  std::string message() const;
  // The prefix's three fields ("" / -1 when the text has no prefix).
  std::string module() const;
  std::string function() const;
  int line() const;
};

// Parses one datagram as the C library's syslog() sends it to /dev/log:
// "<PRI>Mmm dd hh:mm:ss ident[pid]: text". nullopt when it has no "<PRI>".
std::optional<SyslogLine> parse_syslog_datagram(std::string_view datagram);

// ---------------------------------------------------------------------------
// Event datagrams

using testsupport::make_datagram;

// A kernel-style uevent without device variables (board::Uevent::datagram):
// header "action@devpath", then ACTION, DEVPATH, SUBSYSTEM and SEQNUM.
std::string make_uevent(std::string_view action, std::string_view devpath, std::string_view subsystem,
                        unsigned seqnum = 1);

// The text of a string member of a one-line JSON object, as hwtrack-explain
// --json prints them ("" when absent); its values hold no quotes.
std::string json_member(const std::string &json, const std::string &name);

// ---------------------------------------------------------------------------
// Running a program to completion (no namespaces needed): run_program, with
// standard input /dev/null, returns what it wrote and its status.

using testsupport::run_program;
using testsupport::RunResult;

// ---------------------------------------------------------------------------
// The daemon under test

struct DaemonOptions {
  std::vector<std::string> args;  // after argv[0]
  // Run as this user and group (setgroups/setgid/setuid in the child before
  // exec), from a copy of the daemon in the world-readable temporary
  // folder; make the RDB socket writable (chmod) if it shall reach rdbd.
  uid_t uid = 0;
  gid_t gid = 0;
  // Standard output a pipe whose reader is gone; one of a page whose reader
  // never reads (a stuck journald); no descriptor 0 to 2 at all.
  bool stdout_unread = false;
  bool stdout_stuck = false;
  bool no_stdio = false;
  // The readiness pipe (HWTRACKD_READY_FD) full before the daemon starts.
  bool ready_pipe_full = false;
  // RDB_DEVICE: rdbd's socket when true, else a path where nothing listens.
  bool with_rdb = true;
  // Extra or overriding environment ("SYSFS_PATH" defaults to sysfs_root()).
  std::vector<std::pair<std::string, std::string>> env;
  // Wait until the daemon reports readiness (only for a daemon that is
  // expected to get that far); see Harness::wait_ready.
  bool wait_ready = true;
  // A command that runs the daemon (valgrind, or a program that prepares
  // something and execs its arguments): argv is wrapper + hwtrackd + args.
  // It must exec the daemon in its own process, so daemon_pid() stays right.
  std::vector<std::string> wrapper;
};

class Harness {
 public:
  Harness();
  ~Harness();
  Harness(const Harness &) = delete;
  Harness &operator=(const Harness &) = delete;

  // false when the namespaces or the capture could not be set up; error() says why.
  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }

  // Temporary folder of this test, and paths inside it.
  const std::string &dir() const { return dir_; }
  std::string path(std::string_view relative) const;
  std::string sysfs_root() const { return path("sys"); }
  std::string rdb_socket() const { return path("rdb.sock"); }
  std::string rdb_store() const { return path("rdb.store"); }

  // Helpers for fixture trees: create parent folders as needed.
  bool write_file(const std::string &path, std::string_view content);
  bool make_symlink(const std::string &target, const std::string &link);

  // --- rdbd -------------------------------------------------------------
  // Starts `rdbd --socket rdb_socket() --store rdb_store()` and args
  // (standard error to path("rdbd.log")) and waits until its socket accepts
  // connections.
  bool start_rdbd(Deadline deadline = within(), std::vector<std::string> args = {});
  // Sends signo and reaps it; its exit status (128 + signal when killed).
  int stop_rdbd(int signo = SIGTERM, Deadline deadline = within());
  bool rdbd_running();
  pid_t rdbd_pid() const;

  // --- the RDB, through the driver client on rdb_socket() (one connection
  // per call, so they work across rdbd restarts) ---------------------------
  std::optional<std::string> rdb_get(const std::string &name);
  // Updates, or creates (persistent when asked).
  bool rdb_set(const std::string &name, const std::string &value, bool persist = false);
  bool rdb_del(const std::string &name);
  // Sorted names under prefix.
  std::vector<std::string> rdb_names(const std::string &prefix);
  // Waits until name has value (nullopt: until it is absent).
  bool wait_for_rdb(const std::string &name, const std::optional<std::string> &value,
                    Deadline deadline = within());

  // --- hwtrackd ---------------------------------------------------------
  // A copy of hwtrackd in dir() that any user can run.
  std::string daemon_for_others();
  // Starts the daemon: standard output on a pseudo-terminal (so it is
  // line-buffered, as on a console), standard error on a pipe, standard
  // input /dev/null, RDB_DEVICE, SYSFS_PATH and HWTRACKD_READY_FD (a pipe,
  // as fd 3) set. With wait_ready, returns once it is ready (false if it
  // died first).
  bool start_daemon(const DaemonOptions &options = {}, Deadline deadline = within());
  // The daemon reported readiness: its start-up scans are over. A daemon
  // without an RDB (rdbd not running, or with_rdb false) is not ready
  // before it has one: for it, both event sockets exist.
  bool wait_ready(Deadline deadline = within());
  pid_t daemon_pid() const { return daemon_pid_; }
  bool daemon_running();
  // Sends signo (if still running) and waits for the exit; the exit status,
  // 128 + signal when killed, -1 when it did not end by the deadline.
  int stop_daemon(int signo = SIGTERM, Deadline deadline = within());
  // Waits for an exit without signalling.
  int wait_daemon_exit(Deadline deadline = within());
  // SIGSTOP / SIGCONT, waiting until the daemon is really stopped; while
  // stopped, datagrams queue in its sockets (to make both readable at once).
  bool pause_daemon(Deadline deadline = within());
  bool resume_daemon();

  // --- what the daemon wrote ---------------------------------------------
  // Lines of standard output (without "\n"); the text of standard error.
  std::vector<std::string> stdout_lines() const;
  std::string stderr_text() const;
  // Waits for a standard output line containing needle; returns it.
  std::optional<std::string> wait_for_stdout(std::string_view needle, Deadline deadline = within());
  // Waits until at least count standard output lines contain needle (bursts).
  bool wait_for_stdout_count(std::string_view needle, size_t count, Deadline deadline = within());
  // Waits until standard error contains needle.
  bool wait_for_stderr(std::string_view needle, Deadline deadline = within());

  // syslog lines of the current daemon's process only (by pid), in order.
  std::vector<SyslogLine> log_lines() const;
  // Every captured syslog line (rdbd, other processes of the test).
  std::vector<SyslogLine> all_log_lines() const;
  // The daemon's lines whose message() contains needle.
  std::vector<SyslogLine> log_matching(std::string_view needle) const;
  // Waits for a line of the daemon, at index from or later of log_lines(),
  // that satisfies pred / whose message() contains needle.
  std::optional<SyslogLine> wait_for_log(const std::function<bool(const SyslogLine &)> &pred,
                                         Deadline deadline = within(), size_t from = 0);
  std::optional<SyslogLine> wait_for_log(std::string_view needle, Deadline deadline = within(),
                                         size_t from = 0);
  size_t log_count() const { return log_lines().size(); }
  // Waits until at least count lines of the daemon have a message() containing needle.
  bool wait_for_log_count(std::string_view needle, size_t count, Deadline deadline = within());

  // --- sending events ------------------------------------------------------
  // One datagram to the abstract udev monitor socket, from this (root)
  // process; it waits while the daemon's queue is full, or while nobody has
  // bound the name yet (testsupport::MonitorSender).
  bool send_monitor(std::string_view datagram);
  // The same from a child process that has dropped to uid (and gid) first.
  bool send_monitor_as(uid_t uid, gid_t gid, std::string_view datagram);
  // A user-space netlink (NETLINK_KOBJECT_UEVENT) datagram: to port_id, or
  // to multicast group 1 when port_id is 0. The daemon must refuse both.
  bool send_netlink(std::string_view datagram, uint32_t port_id);
  // Makes the kernel send a real uevent: writes action to a sysfs uevent
  // file (e.g. "/sys/class/tty/ttyS0/uevent"). Every daemon on the machine
  // sees it, in every namespace.
  static bool trigger_kernel_uevent(const std::string &uevent_file, std::string_view action = "add");

  // Everything captured, for failure reports.
  std::string dump() const;

 private:
  struct Capture;
  void fail(std::string what);

  std::string error_;
  std::unique_ptr<board::TempDir> temp_;
  std::string dir_;
  std::unique_ptr<Capture> capture_;
  // The daemon whose log lines count: a stopped daemon's pid is kept negated.
  pid_t logging_pid() const { return daemon_pid_ < 0 ? -daemon_pid_ : daemon_pid_; }

  std::unique_ptr<testsupport::RdbdProcess> rdbd_;
  pid_t daemon_pid_ = -1;
  hw::unique_fd stuck_stdout_;  // the read end of a stuck standard output
};

// Fixture: one Harness per test; fails the test when it cannot be set up,
// skips it when not run as root; prints everything captured when the test
// failed.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  Harness &h() { return *harness_; }

 private:
  std::unique_ptr<Harness> harness_;
};

}  // namespace itest
