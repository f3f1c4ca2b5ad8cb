// SPDX-License-Identifier: MIT
// hwbench's rdbd section: the cost of one persistent write into an empty
// store and into one of 10,000 persistent variables, side by side; and how
// many writes rdbd syncs to disk for each plug/unplug cycle of a modem.

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/hwbench.h"
#include "rdb/rdbdrv.h"
#include "tests/support/procfs.h"
#include "tests/support/rdb_client.h"
#include "tools/board/boards.h"
#include "tools/rdbd/store.h"

namespace hwbench {
namespace {

// Microseconds per persistent write, over writes updates of the variables
// named by name(i), on a fresh rdbd started on store.
double persistent_write_us(const std::string &label, const std::string &store, int writes,
                           const std::function<std::string(int)> &name) {
  Rdbd rdb;
  rdb.start(label, store);
  const rdbdrv_handle_ptr h = rdb.open();
  if (testsupport::put_variable(h.get(), name(0), "0", /*persist=*/true) < 0) fail(errno_text("rdbd create"));
  const double start = now_ns();
  for (int i = 0; i < writes; ++i)
    if (rdbdrv_set(h.get(), name(i).c_str(), std::to_string(i).c_str()) < 0) fail(errno_text("rdbd write"));
  const double us = (now_ns() - start) / 1e3 / writes;
  rdb.stop_it();
  return us;
}

// Sends each event and waits until hwtrackd has handled it.
void send_all(pid_t daemon, testsupport::MonitorSender &mon, const std::vector<board::Uevent> &events) {
  for (const board::Uevent &e : events) {
    const long runs = run_count(daemon);
    send_event(mon, e.datagram());
    if (!wait_in_select(daemon, runs)) fail("hwtrackd stopped handling events");
  }
}

// rdbd's fdatasync (one a record appended) and fsync (rewrites) calls
// while hwtrackd sees cycles plug/unplug cycles of a modem on the gateway
// board; the first cycle, which makes the modem's class entries, apart.
struct SyncCounts {
  double first = 0, per_cycle = 0;
};

SyncCounts modem_cycle_syncs(int cycles) {
  board::SysfsTree tree;
  board::Board gateway = board::Board::lay_out(tree, "gateway");
  Rdbd rdb;
  rdb.start("modem-cycles");
  Run run = start_program(Program::daemon, tree.root().string(), rdb);
  if (!wait_in_select(run.pid)) fail("hwtrackd did not start on the gateway board");
  testsupport::MonitorSender mon;
  const std::string out = work() + "/strace-syncs.txt";
  auto traced_syncs = [&](int n) {
    const pid_t tracer = spawn({"/usr/bin/strace", "-c", "-f", "-e", "trace=fdatasync,fsync", "-o", out, "-p",
                                std::to_string(rdb.server->pid())},
                               {}, "/dev/null", work() + "/strace.err");
    if (!testsupport::wait_until([&] { return testsupport::proc_status_kb(rdb.server->pid(), "TracerPid") > 0; }))
      fail("strace did not attach to rdbd");
    for (int i = 0; i < n; ++i) {
      send_all(run.pid, mon, gateway.plug("modem"));
      send_all(run.pid, mon, gateway.unplug("modem"));
    }
    end_tracer(tracer);
    long total = 0;
    strace_counts(out, &total);
    return static_cast<double>(total);
  };
  SyncCounts counts;
  counts.first = traced_syncs(1);
  counts.per_cycle = traced_syncs(cycles) / cycles;
  stop(run.pid);
  rdb.stop_it();
  return counts;
}

}  // namespace

void bench_rdbd_store() {
  constexpr int kStored = 10000;
  const int writes = 3 * opts.events;
  rdbstore::Variables vars;
  auto stored_name = [](int i) { return "sys.hw.class.serial." + std::to_string(i % kStored) + ".id"; };
  for (int i = 0; i < kStored; ++i) vars[stored_name(i)] = {"1a2b-3c4d-SERIAL" + std::to_string(i), RDBDRV_PERSIST};
  const std::string big = work() + "/10k.store";
  if (rdbstore::replace_file(big, rdbstore::serialize(vars)) < 0) fail("cannot write " + big);

  std::vector<double> empty, full, ratio;
  for (int rep = 0; rep < opts.reps; ++rep) {
    // Taking turns, so that a change in the machine's load hits both.
    double e = 0, f = 0;
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn + rep) % 2 == 0)
        e = persistent_write_us("store-empty", "", writes, [](int) { return std::string("sys.hw.class.serial.0.id"); });
      else
        f = persistent_write_us("store-10k", big, writes, stored_name);
    }
    empty.push_back(e);
    full.push_back(f);
    ratio.push_back(f / e);
    fprintf(stderr, "hwbench: rdbd store, run %d of %d done\n", rep + 1, opts.reps);
  }
  const char *sec = "rdbd, one persistent write (store on tmpfs; client round trip included)";
  Row r{sec, "into one of 10,000 persistent variables", "us", stats_of(full), "empty store", stats_of(empty),
        stats_of(ratio), "<= 1.5x empty store", ""};
  r.verdict = r.ratio.median <= 1.5 ? "met" : "MISSED";
  rows.push_back(r);
  // The log is rewritten once it exceeds twice the live records plus 64 KiB.
  const size_t header = rdbstore::serialize({}).size();
  const size_t record = rdbstore::serialize({{stored_name(1), {"12345", RDBDRV_PERSIST}}}).size() - header;
  notes.push_back("rdbd store: " + std::to_string(writes) +
                  " writes per run, the mean per write; the 10,000-variable store's log is rewritten about every " +
                  std::to_string((rdbstore::serialize(vars).size() + 64 * 1024) / record) + " writes");

  const int cycles = std::max(5, opts.cycles / 4);
  const SyncCounts syncs = modem_cycle_syncs(cycles);
  Row c{"rdbd, writes synced to disk per plug/unplug cycle of a modem (hwtrackd on the gateway board)",
        "each later cycle (mean of " + std::to_string(cycles) + ")", "syncs", stats_of({syncs.per_cycle}),
        "first cycle", stats_of({syncs.first}), {}, "", ""};
  rows.push_back(c);
  notes.push_back("rdbd syncs: rdbd's fdatasync and fsync calls (strace -c), " + std::to_string(cycles) +
                  " cycles after the first; a write that changes nothing stored is not synced, so a later cycle "
                  "syncs only what changes (the modem's eth entry's mac, emptied at each unplug)");
}

}  // namespace hwbench
