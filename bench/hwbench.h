// SPDX-License-Identifier: MIT
#pragma once
// What the sections of hwbench share: the options, the table of figures,
// the private environment the programs run in, processes and what /proc
// tells of them, the RDB stand-in, the programs under test and the boards
// they run on. Each section (events, coldplug, memory, size, system calls,
// rdbd's store) is a file of its own and adds its rows to the table.

#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bigboard.h"
#include "rdb/rdbdrv.h"
#include "tests/support/monitor.h"
#include "tests/support/process.h"
#include "tests/support/rdbd_process.h"
#include "tools/board/sysfs_tree.h"

namespace hwbench {

// --- options ---------------------------------------------------------------------

struct Options {
  int reps = 5;
  int cycles = 60;
  int events = 10000;
  int mem_reps = 2;
  int classes = 1000;  // stored class entries of the large board
  std::vector<std::string> only;                             // sections; empty: all
  std::vector<std::pair<std::string, std::string>> binaries;  // label, path
  std::string markdown;                                      // also write the table here
};

extern Options opts;

// A benchmark that cannot go on throws; main reports it and prints what
// was measured until then.
[[noreturn]] void fail(const std::string &what);

using testsupport::errno_text;

// --- the table of figures ---------------------------------------------------------

struct Stats {
  double median = 0, min = 0, max = 0;
  bool valid = false;
};

Stats stats_of(std::vector<double> v);
double median_of(std::vector<double> v);

struct Row {
  std::string section;
  std::string figure;
  std::string unit;
  Stats value;
  std::string reference;  // what the ratio is against
  Stats ref;
  Stats ratio;  // of the per-run ratios
  std::string goal;
  std::string verdict;  // "met", "MISSED" or ""
};

extern std::vector<Row> rows;
extern std::vector<std::string> notes;

std::string fmt(double v);

// --- the private environment ---------------------------------------------------

// Private mount and network namespaces for this process, a tmpfs work
// folder (also TMPDIR), a tmpfs /dev with a /dev/log that is drained.
void enter_private_environment();
// Stops what is still running and removes the work folder.
void leave_private_environment();
const std::string &work();

// --- processes and what /proc tells of them ---------------------------------------

using testsupport::Env;

// Starts argv with standard input /dev/null, standard output to out (made
// afresh) and standard error appended to err; it is stopped at exit unless
// stopped before.
pid_t spawn(const std::vector<std::string> &argv, const Env &env, const std::string &out, const std::string &err);
// Reaps pid if it ended; a process that is not our child (one that strace
// runs) is alive while it can be signalled.
bool alive(pid_t pid);
// SIGTERM, and the wait for its end (SIGKILL after 30 s).
void stop(pid_t pid);
// Waits for a child to end; one that takes longer than a minute is killed.
void wait_for_exit(pid_t pid);
// No longer stopped at exit: pid ended, or is stopped by the tool running it.
void forget(pid_t pid);
// The child of tool (strace, perf) that runs program: tools fork
// short-lived children of their own too. It is stopped at exit like the rest.
pid_t traced_child(pid_t tool, const std::string &program);

double now_ns();
// CPU time the process has run, user and system, in nanoseconds.
double cpu_ns(pid_t pid);
// How many times the process has been put on a CPU (-1 when it is gone).
long run_count(pid_t pid);
// Blocks until pid waits in select() (pselect6 on current C libraries),
// having run at least once since it was seen to have runs_before runs (-1:
// no such condition). false when it died or the limit passed.
bool wait_in_select(pid_t pid, long runs_before = -1, std::chrono::seconds limit = std::chrono::seconds(120),
                    std::chrono::microseconds poll = std::chrono::microseconds(50));
// Blocks until pid has stopped using the CPU for a while (a process that
// waits elsewhere than in select, such as busybox mdev -d).
bool wait_quiet(pid_t pid, std::chrono::milliseconds quiet = std::chrono::milliseconds(300));

// In a forked child: a mount namespace of its own, the tree bound over /sys
// and a fresh /dev, where busybox mdev finds the board. false when it
// cannot be made.
bool enter_mdev_world(const std::string &tree);
// Runs busybox mdev with options there, its standard descriptors on
// /dev/null; the child ends with 127 when it cannot.
[[noreturn]] void exec_busybox_mdev(std::initializer_list<const char *> options);

// strace -c's table in file: syscall -> calls (errors in brackets when any);
// *total is the sum of the calls.
std::map<std::string, std::string> strace_counts(const std::string &file, long *total);
// SIGINT makes strace detach, write its summary and end.
void end_tracer(pid_t tracer);

// --- the RDB stand-in ----------------------------------------------------------------

struct Rdbd {
  std::string socket;
  std::unique_ptr<testsupport::RdbdProcess> server;

  // A fresh rdbd on a copy of store (empty when store is "").
  void start(const std::string &name, const std::string &store = "");
  void stop_it();
  std::string store_file(const std::string &name) const;
  // A handle on it, for requests of one's own.
  rdbdrv_handle_ptr open() const;
  void set(const std::string &name, const std::string &value) const;
  // Every variable under prefix, with its value.
  std::map<std::string, std::string> dump(const std::string &prefix) const;
};

// Differences between two RDB dumps, for the floor's checks; the first is
// described in *first (all of them on standard error with HWBENCH_DEBUG).
int count_differences(const std::map<std::string, std::string> &a, const std::map<std::string, std::string> &b,
                      std::string *first);

// --- the programs under test -------------------------------------------------------

// The last two serve their RDB inside the process (bench/inproc_rdb.h).
enum class Program { daemon, floor, daemon_inproc, floor_inproc };

const char *program_name(Program p);
// HWBENCH_HWTRACKD runs another build of the daemon (to compare changes).
const char *daemon_path();
const char *program_path(Program p);
bool in_process(Program p);

struct Run {
  pid_t pid = -1;
  double started_ns = 0;  // monotonic, at spawn
};

// The program on the sysfs tree with rdb's socket as its RDB; the in-process
// ones with their own store, loaded from the store file instead.
Run start_program(Program p, const std::string &sysfs, const Rdbd &rdb, const std::string &store = "");

// Sends one datagram to the monitor socket; fails the benchmark when it
// cannot.
void send_event(testsupport::MonitorSender &mon, const std::string &datagram);

// --- the boards ------------------------------------------------------------------------

struct DevicePair {
  std::string label;
  std::string add;
  std::string remove;
};

// The gateway board with a USB serial adapter and a USB stick plugged in
// before start-up; the events of the adapter's tty and of the stick's first
// partition.
struct EventBoard {
  board::SysfsTree tree;
  std::vector<DevicePair> devices;

  EventBoard();
};

// The large board and its stored classes.
struct BigBoard {
  board::SysfsTree tree;
  BigBoardCounts counts;
  std::string store;         // a store file with the stored class entries
  std::string store_script;  // the same with /bin/true as the class script
  int classes = 0;
  int dev_links = 0;
};

// Made once, for the sections that need it (coldplug, memory, syscalls).
extern BigBoard *big_board;
BigBoard *make_big_board();

// One start-up of a program on the large board, from exec to its first wait
// in select.
struct ColdplugSample {
  double wall_ms = 0, cpu_ms = 0;
  long rss_kb = 0, anon_kb = 0;
  int devices = 0;
  std::map<std::string, std::string> dump;
};
ColdplugSample coldplug(Program p, bool script, BigBoard &bb, bool want_dump);

// --- the sections ------------------------------------------------------------------------

void bench_events();
void bench_coldplug();
void bench_memory();
void bench_size();
void bench_syscalls();
void bench_rdbd_store();

}  // namespace hwbench
