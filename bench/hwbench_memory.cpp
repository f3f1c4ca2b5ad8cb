// SPDX-License-Identifier: MIT
// hwbench's memory section: hwtrackd's VmRSS and RssAnon idle after
// start-up, after --events events and with the large board's 99 devices
// present, against busybox mdev -d idle.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench/hwbench.h"
#include "tests/support/procfs.h"

namespace hwbench {
namespace {

using testsupport::proc_status_kb;

// busybox mdev -d on the tree, idle.
std::pair<long, long> mdev_daemon_idle(const std::string &tree) {
  pid_t child = fork();
  if (child < 0) fail(errno_text("fork"));
  if (child == 0) {
    if (enter_mdev_world(tree)) exec_busybox_mdev({"-d", "-f"});
    _exit(127);
  }
  if (!wait_quiet(child)) {
    stop(child);
    fail("busybox mdev -d did not settle");
  }
  std::pair<long, long> r{proc_status_kb(child, "VmRSS"), proc_status_kb(child, "RssAnon")};
  stop(child);
  return r;
}

}  // namespace

void bench_memory() {
  EventBoard eb;
  std::vector<double> idle_rss, idle_anon, after_rss, after_anon, growth, mdev_rss, mdev_anon, vs_mdev;
  for (int rep = 0; rep < opts.mem_reps; ++rep) {
    auto [mr, ma] = mdev_daemon_idle(eb.tree.root().string());
    mdev_rss.push_back(static_cast<double>(mr));
    mdev_anon.push_back(static_cast<double>(ma));

    Rdbd rdb;
    rdb.start("memory");
    Run run = start_program(Program::daemon, eb.tree.root().string(), rdb);
    if (!wait_in_select(run.pid)) fail("hwtrackd did not come up");
    const long rss0 = proc_status_kb(run.pid, "VmRSS"), anon0 = proc_status_kb(run.pid, "RssAnon");
    idle_rss.push_back(static_cast<double>(rss0));
    idle_anon.push_back(static_cast<double>(anon0));
    vs_mdev.push_back(static_cast<double>(anon0) / static_cast<double>(ma));

    // Events as fast as the daemon takes them: the sender blocks while the
    // socket's queue is full.
    testsupport::MonitorSender mon;
    for (const DevicePair &d : eb.devices) send_event(mon, d.remove);  // present since start-up
    long runs = 0;
    for (int i = 0; i < opts.events; i += 2) {
      const DevicePair &d = eb.devices[static_cast<size_t>(i / 2) % eb.devices.size()];
      send_event(mon, d.add);
      if (i + 2 >= opts.events) runs = run_count(run.pid);
      send_event(mon, d.remove);
    }
    if (!wait_in_select(run.pid, runs, std::chrono::seconds(600), std::chrono::microseconds(1000)))
      fail("hwtrackd did not finish the events");
    const long rss1 = proc_status_kb(run.pid, "VmRSS"), anon1 = proc_status_kb(run.pid, "RssAnon");
    after_rss.push_back(static_cast<double>(rss1));
    after_anon.push_back(static_cast<double>(anon1));
    growth.push_back(static_cast<double>(anon1 - anon0));
    stop(run.pid);
    rdb.stop_it();
    fprintf(stderr, "hwbench: memory, run %d of %d done\n", rep + 1, opts.mem_reps);
  }
  const char *sec = "memory of hwtrackd (gateway board, ftdi and stick plugged)";
  Row r1{sec, "VmRSS idle after start-up", "KiB", stats_of(idle_rss), "mdev -d", stats_of(mdev_rss), {}, "", ""};
  Row r2{sec, "RssAnon idle after start-up", "KiB", stats_of(idle_anon), "mdev -d", stats_of(mdev_anon),
         stats_of(vs_mdev), "<= mdev -d", ""};
  r2.verdict = r2.ratio.median <= 1 ? "met" : "MISSED";
  Row r3{sec, "VmRSS after " + std::to_string(opts.events) + " events", "KiB", stats_of(after_rss), "", {}, {}, "", ""};
  Row r4{sec, "RssAnon after " + std::to_string(opts.events) + " events", "KiB", stats_of(after_anon), "", {}, {}, "",
         ""};
  Row r5{sec, "RssAnon growth over " + std::to_string(opts.events) + " events", "KiB", stats_of(growth), "", {}, {},
         "<= 64 KiB", ""};
  r5.verdict = r5.value.max <= 64 ? "met" : "MISSED";
  rows.insert(rows.end(), {r1, r2, r3, r4, r5});

  // With the large board's 99 devices present (and its 1,000 classes).
  std::vector<double> rss99, anon99;
  for (int rep = 0; rep < opts.mem_reps; ++rep) {
    ColdplugSample s = coldplug(Program::daemon, false, *big_board, false);
    rss99.push_back(static_cast<double>(s.rss_kb));
    anon99.push_back(static_cast<double>(s.anon_kb));
  }
  const std::string sec99 =
      "memory of hwtrackd, large board (99 devices, " + std::to_string(big_board->classes) + " class entries)";
  rows.push_back({sec99, "VmRSS with 99 devices present", "KiB", stats_of(rss99), "", {}, {}, "", ""});
  rows.push_back({sec99, "RssAnon with 99 devices present", "KiB", stats_of(anon99), "", {}, {}, "", ""});
}

}  // namespace hwbench
