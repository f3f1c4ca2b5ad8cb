// SPDX-License-Identifier: MIT
// hwbench's system calls section: what hwtrackd and the floor call for one
// add and one remove event, and for a whole coldplug, from strace -c -f.

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/hwbench.h"
#include "tests/support/procfs.h"

namespace hwbench {
namespace {

namespace fs = std::filesystem;

// Counts the system calls pid makes while it handles one datagram.
std::map<std::string, std::string> trace_one(pid_t pid, testsupport::MonitorSender &mon, const std::string &datagram,
                                             long *total) {
  const std::string out = work() + "/strace.txt";
  const bool full = getenv("HWBENCH_STRACE_FULL") != nullptr;
  std::vector<std::string> args = {"/usr/bin/strace", "-c", "-f", "-o", out, "-p", std::to_string(pid)};
  if (full) args = {"/usr/bin/strace", "-f", "-s", "200", "-o", std::string(getenv("HWBENCH_STRACE_FULL")) + "." + std::to_string(pid) + "." + std::to_string(run_count(pid)), "-p", std::to_string(pid)};
  pid_t tracer = spawn(args, {}, "/dev/null", work() + "/strace.err");
  if (!testsupport::wait_until([&] { return testsupport::proc_status_kb(pid, "TracerPid") > 0; },
                               testsupport::within(std::chrono::seconds(30))))
    fail("strace did not attach");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const long runs = run_count(pid);
  send_event(mon, datagram);
  if (!wait_in_select(pid, runs)) fail("traced process stopped handling events");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  end_tracer(tracer);
  return strace_counts(out, total);
}

}  // namespace

// strace -c's table: syscall -> calls (errors in brackets when any).
std::map<std::string, std::string> strace_counts(const std::string &file, long *total) {
  std::map<std::string, std::string> out;
  std::ifstream in(file);
  *total = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    // % time, seconds, usecs/call, calls, [errors,] syscall
    if (f.size() < 5 || !isdigit(static_cast<unsigned char>(f[0][0])) || f.back() == "total") continue;
    const std::string &name = f.back();
    const std::string calls = f[3];
    *total += atol(calls.c_str());
    out[name] = f.size() >= 6 ? calls + " (" + f[4] + " err)" : calls;
  }
  return out;
}

// SIGINT makes strace detach, write its summary and end.
void end_tracer(pid_t tracer) {
  kill(tracer, SIGINT);
  wait_for_exit(tracer);
}

void bench_syscalls() {
  EventBoard eb;
  struct Column {
    std::string title;
    std::map<std::string, std::string> counts;
    long total = 0;
  };
  std::vector<Column> cols;
  for (Program p : {Program::daemon, Program::floor}) {
    Rdbd rdb;
    rdb.start("strace");
    Run run = start_program(p, eb.tree.root().string(), rdb);
    if (!wait_in_select(run.pid)) fail("no start-up");
    testsupport::MonitorSender mon;
    long runs = 0;
    for (const DevicePair &d : eb.devices) {  // so that both see the variables as in the steady state
      send_event(mon, d.remove);
      send_event(mon, d.add);
      runs = run_count(run.pid);
      send_event(mon, d.remove);
    }
    if (!wait_in_select(run.pid, runs)) fail("no events");
    for (const DevicePair &d : eb.devices) {
      for (int act = 0; act < 2; ++act) {
        Column c;
        c.title = std::string(program_name(p)) + " " + (act ? "remove" : "add") + " (" +
                  (d.label.find("serial") != std::string::npos ? "tty" : "part") + ")";
        c.counts = trace_one(run.pid, mon, act ? d.remove : d.add, &c.total);
        cols.push_back(c);
      }
    }
    stop(run.pid);
    rdb.stop_it();
  }
  // The start-up on the large board, from exec to the first select.
  if (big_board) {
    for (Program p : {Program::daemon, Program::floor}) {
      Rdbd rdb;
      rdb.start("strace-coldplug", big_board->store);
      const std::string out = work() + "/strace-coldplug.txt";
      const char *path = p == Program::daemon ? daemon_path() : HWBENCH_FLOOR;
      const pid_t tracer =
          spawn({"/usr/bin/strace", "-c", "-f", "-o", out, path},
                {{"SYSFS_PATH", big_board->tree.root().string()}, {"RDB_DEVICE", rdb.socket}}, "/dev/null",
                work() + "/strace.err");
      const pid_t child = traced_child(tracer, path);
      if (!wait_in_select(child, -1, std::chrono::seconds(900), std::chrono::microseconds(500)))
        fail("traced start-up did not finish");
      // The program ends on SIGTERM (its shutdown is counted too), and strace
      // with it, writing its summary.
      kill(child, SIGTERM);
      forget(child);
      wait_for_exit(tracer);
      Column c;
      c.title = std::string(program_name(p)) + " coldplug";
      c.counts = strace_counts(out, &c.total);
      if (getenv("HWBENCH_DEBUG")) fs::copy_file(out, "/tmp/hwbench-strace-" + c.title, fs::copy_options::overwrite_existing);
      cols.push_back(c);
      rdb.stop_it();
    }
  }

  std::vector<std::string> names;
  for (const Column &c : cols)
    for (const auto &[k, v] : c.counts)
      if (std::find(names.begin(), names.end(), k) == names.end()) names.push_back(k);
  std::sort(names.begin(), names.end());
  std::ostringstream t;
  t << "system calls (strace -c -f, no script) per event (process, action, device) and of a whole coldplug\n";
  t << "  " << std::string(16, ' ');
  for (const Column &c : cols) t << "  " << c.title;
  t << "\n";
  auto row = [&](const std::string &name, const std::function<std::string(const Column &)> &cell) {
    char head[32];
    snprintf(head, sizeof head, "  %-16s", name.c_str());
    t << head;
    for (const Column &c : cols) {
      std::string v = cell(c);
      t << "  " << std::string(c.title.size() > v.size() ? c.title.size() - v.size() : 0, ' ') << v;
    }
    t << "\n";
  };
  for (const std::string &n : names)
    row(n, [&](const Column &c) {
      auto it = c.counts.find(n);
      return it == c.counts.end() ? std::string("-") : it->second;
    });
  row("total", [](const Column &c) { return std::to_string(c.total); });
  notes.push_back(t.str());
}

}  // namespace hwbench
