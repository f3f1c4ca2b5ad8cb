// SPDX-License-Identifier: MIT
// Microbenchmarks of the daemon's hot paths: message parsing, str2ref
// lookups at 1,000 entries, sysfs_device_get from a cold and a warm cache,
// the identification of a USB serial tty, and an RDB helper round trip over
// the RDB stand-in (rdbd, started on a temporary socket).
//
// The sysfs and RDB benchmarks need a simulated board in a temporary folder
// and an rdbd process; both are made once, on first use.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "core/identify.h"
#include "core/uevent_private.h"
#include "rdb/rdb.h"
#include "records/hwdev.h"
#include "records/str2ref.h"
#include "sysfs/sysfs.h"
#include "tests/support/rdbd_process.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace {

// --- fixtures, made once ------------------------------------------------------------

// The gateway board with a USB serial adapter plugged; SYSFS_PATH points at it.
struct Board {
  board::SysfsTree tree;
  std::string tty_devpath;
  std::string tty_datagram;

  Board() {
    board::Board b = board::Board::lay_out(tree, "gateway");
    for (const board::Uevent &e : b.plug("ftdi", "usb1"))
      if (e.subsystem == "tty") {
        tty_devpath = e.devpath;
        tty_datagram = e.datagram();
      }
    setenv("SYSFS_PATH", tree.root().c_str(), 1);
    sysfs_init();
  }
};

Board &the_board() {
  static Board b;
  return b;
}

// rdbd on a temporary socket, stopped at exit.
struct Rdbd {
  board::TempDir dir{"hwmicro"};
  testsupport::RdbdProcess server{HWBENCH_RDBD, dir.file("rdb.sock"), dir.file("rdb.store"), "/dev/null"};
  bool ok = false;

  Rdbd() {
    const bool started = server.start();
    setenv("RDB_DEVICE", server.socket().c_str(), 1);
    hwlog_set_mask(LOG_UPTO(LOG_WARNING));  // no syslog on the measured path
    ok = started && rdb_init() == 0 && rdb_set_value("sys.hw.cfg.bench", "1", 0) == 0;
  }
  ~Rdbd() {
    rdb_fini();
    server.stop();
  }
};

Rdbd &the_rdbd() {
  static Rdbd r;
  return r;
}

// --- message parsing ----------------------------------------------------------------

void BM_ParseMessage(benchmark::State &state) {
  const std::string msg = the_board().tty_datagram;
  const char *start = msg.data();
  const char *end = start + msg.size();
  for (auto _ : state) {
    const char *keys = static_cast<const char *>(memchr(start, '\0', msg.size())) + 1;
    const char *devpath = get_uevent_value("DEVPATH", keys, end);
    const char *action = get_uevent_value("ACTION", keys, end);
    const char *subsystem = get_uevent_value("SUBSYSTEM", keys, end);
    benchmark::DoNotOptimize(devpath);
    benchmark::DoNotOptimize(get_action_code(action));
    benchmark::DoNotOptimize(get_subsystem_code(subsystem));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}
BENCHMARK(BM_ParseMessage);

// --- str2ref at 1,000 entries --------------------------------------------------------

std::vector<std::string> devpath_keys(int n) {
  std::vector<std::string> keys;
  for (int i = 0; i < n; ++i)
    keys.push_back("/devices/platform/soc/2184200.usb/ci_hdrc.1/usb1/1-1/1-1." + std::to_string(i % 7 + 1) + ":1." +
                   std::to_string(i) + "/ttyUSB" + std::to_string(i) + "/tty/ttyUSB" + std::to_string(i));
  return keys;
}

struct Index {
  str2ref_ptr si{str2ref_create()};
  std::vector<std::string> keys = devpath_keys(1000);
  Index() {
    for (size_t i = 0; i < keys.size(); ++i) str2ref_add(si.get(), keys[i].c_str(), &keys[i]);
  }
};

void BM_Str2refFindHit(benchmark::State &state) {
  Index ix;
  size_t i = 0;
  for (auto _ : state) {
    void *ref = nullptr;
    benchmark::DoNotOptimize(str2ref_find(ix.si.get(), ix.keys[i].c_str(), &ref));
    benchmark::DoNotOptimize(ref);
    i = (i + 1) % ix.keys.size();
  }
}
BENCHMARK(BM_Str2refFindHit);

void BM_Str2refFindMiss(benchmark::State &state) {
  Index ix;
  const std::vector<std::string> missing = devpath_keys(2000);
  size_t i = 1000;
  for (auto _ : state) {
    benchmark::DoNotOptimize(str2ref_find(ix.si.get(), missing[i].c_str(), nullptr));
    i = i + 1 < missing.size() ? i + 1 : 1000;
  }
}
BENCHMARK(BM_Str2refFindMiss);

void BM_Str2refAddDelete(benchmark::State &state) {
  Index ix;
  const std::string extra = "/devices/virtual/tty/ttyBENCH";
  for (auto _ : state) {
    str2ref_add(ix.si.get(), extra.c_str(), &ix);
    benchmark::DoNotOptimize(str2ref_del(ix.si.get(), extra.c_str()));
  }
}
BENCHMARK(BM_Str2refAddDelete);

// --- sysfs ---------------------------------------------------------------------------

void BM_SysfsDeviceGetCached(benchmark::State &state) {
  const std::string devpath = the_board().tty_devpath;
  sysfs_cleanup();
  sysfs_init();
  if (!sysfs_device_get(devpath.c_str())) state.SkipWithError("tty not found");
  for (auto _ : state) benchmark::DoNotOptimize(sysfs_device_get(devpath.c_str()));
}
BENCHMARK(BM_SysfsDeviceGetCached);

// From empty caches, as at the start of every event: lstat and two readlinks.
void BM_SysfsDeviceGetUncached(benchmark::State &state) {
  const std::string devpath = the_board().tty_devpath;
  for (auto _ : state) {
    sysfs_cleanup();
    sysfs_init();
    benchmark::DoNotOptimize(sysfs_device_get(devpath.c_str()));
  }
}
BENCHMARK(BM_SysfsDeviceGetUncached);

// Everything the daemon reads in sysfs for the add of a USB serial tty.
void BM_IdentifyUsbSerialTty(benchmark::State &state) {
  const std::string devpath = the_board().tty_devpath;
  hwlog_set_mask(LOG_UPTO(LOG_WARNING));
  hwdev_init();
  for (auto _ : state) {
    sysfs_cleanup();
    sysfs_init();
    hwdev *hd = hwdev_get();
    if (hwtrack_set_hd_by_devpath(SUBSYSTEM_TTY, hd, devpath.c_str()) < 0) state.SkipWithError("not identified");
    hwdev_put(hd, 0);
  }
  hwdev_fini();
}
BENCHMARK(BM_IdentifyUsbSerialTty);

// --- the RDB helper over the stand-in ---------------------------------------------------

void BM_RdbGetValue(benchmark::State &state) {
  if (!the_rdbd().ok) state.SkipWithError("rdbd not running");
  for (auto _ : state) benchmark::DoNotOptimize(rdb_get_value("sys.hw.cfg.bench"));
}
BENCHMARK(BM_RdbGetValue)->UseRealTime();

void BM_RdbSetValue(benchmark::State &state) {
  if (!the_rdbd().ok) state.SkipWithError("rdbd not running");
  for (auto _ : state) benchmark::DoNotOptimize(rdb_set_value("sys.hw.cfg.bench", "1", 0));
}
BENCHMARK(BM_RdbSetValue)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
