// SPDX-License-Identifier: MIT
// hwbench's coldplug section: the start-up on the large board (99 tracked
// devices, 200 untracked ones, 1,000 stored class entries), from exec to
// the first wait in select, wall time and CPU time, of hwtrackd against the
// floor and busybox mdev -s; over rdbd and with the RDB in the process.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "bench/hwbench.h"
#include "tests/support/procfs.h"

namespace hwbench {

namespace fs = std::filesystem;

ColdplugSample coldplug(Program p, bool script, BigBoard &bb, bool want_dump) {
  Rdbd rdb;
  if (!in_process(p)) {
    rdb.start("coldplug", bb.store);
    if (script) rdb.set("sys.hw.cfg.hwclass_script", "/bin/true");
  }
  const std::string &store = script ? bb.store_script : bb.store;
  // HWBENCH_PERF=<file>: profile the start-up with perf instead (the figures
  // then include perf's overhead).
  if (const char *out = getenv("HWBENCH_PERF")) {
    Env env = {{"SYSFS_PATH", bb.tree.root().string()}, {"RDB_DEVICE", rdb.socket}};
    if (in_process(p)) env = {{"SYSFS_PATH", bb.tree.root().string()}, {"RDB_DEVICE", "/dev/null"}, {"HWBENCH_STORE", store}};
    const pid_t perf = spawn({"/usr/bin/perf", "record", "-F", "20000", "-g", "-o", std::string(out) + "." + program_name(p), "--",
                              program_path(p)},
                             env, "/dev/null", work() + "/perf.err");
    const pid_t child = traced_child(perf, program_path(p));
    if (!wait_in_select(child, -1, std::chrono::seconds(600), std::chrono::microseconds(200)))
      fail(std::string(program_name(p)) + " did not finish its start-up under perf");
    kill(child, SIGTERM);
    wait_for_exit(perf);
    rdb.stop_it();
    return {};
  }
  Run run = start_program(p, bb.tree.root().string(), rdb, store);
  if (!wait_in_select(run.pid, -1, std::chrono::seconds(600), std::chrono::microseconds(200)))
    fail(std::string(program_name(p)) + " did not finish its start-up");
  ColdplugSample s;
  s.wall_ms = (now_ns() - run.started_ns) / 1e6;
  s.cpu_ms = cpu_ns(run.pid) / 1e6;
  s.rss_kb = testsupport::proc_status_kb(run.pid, "VmRSS");
  s.anon_kb = testsupport::proc_status_kb(run.pid, "RssAnon");
  if (!in_process(p)) {
    auto devices = rdb.dump("sys.hw.dev.");
    for (const auto &[k, v] : devices) s.devices += k.ends_with(".type");
    if (want_dump) s.dump = rdb.dump("sys.hw.");
  }
  stop(run.pid);
  rdb.stop_it();
  return s;
}

namespace {

struct MdevSample {
  double wall_ms = 0, cpu_ms = 0;
  int nodes = 0;
};

int device_nodes_below(const fs::path &dir) {
  int nodes = 0;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(dir, ec)) {
    if (e.is_directory(ec) && !e.is_symlink(ec))
      nodes += device_nodes_below(e.path());
    else if (e.is_character_file(ec) || e.is_block_file(ec))
      ++nodes;
  }
  return nodes;
}

double ms_between(const timespec &t0, const timespec &t1) {
  return static_cast<double>(t1.tv_sec - t0.tv_sec) * 1e3 + static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e6;
}

double cpu_ms_of(const rusage &ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// In the child that mdev_scan forks: wall and CPU time of busybox mdev -s
// and the device nodes it made, or -1s.
std::array<double, 3> mdev_scan_here(const std::string &tree) {
  std::array<double, 3> out = {-1, -1, -1};
  if (!enter_mdev_world(tree)) return out;
  const int ours = device_nodes_below("/dev");
  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  const pid_t m = fork();
  if (m == 0) exec_busybox_mdev({"-s"});
  int status;
  rusage ru{};
  if (m > 0 && wait4(m, &status, 0, &ru) == m && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    clock_gettime(CLOCK_MONOTONIC, &t1);
    out = {ms_between(t0, t1), cpu_ms_of(ru), static_cast<double>(device_nodes_below("/dev") - ours)};
  }
  return out;
}

// busybox mdev -s over the tree, bound over /sys in a mount namespace of
// its own with a fresh tmpfs /dev.
MdevSample mdev_scan(const std::string &tree) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) < 0) fail(errno_text("pipe"));
  hw::unique_fd from_child(pipefd[0]), to_parent(pipefd[1]);
  const pid_t child = fork();
  if (child < 0) fail(errno_text("fork"));
  if (child == 0) {
    const std::array<double, 3> out = mdev_scan_here(tree);
    _exit(write(to_parent.get(), out.data(), sizeof out) == sizeof out ? 0 : 1);
  }
  to_parent.reset();
  std::array<double, 3> out = {-1, -1, -1};
  const ssize_t n = read(from_child.get(), out.data(), sizeof out);
  int status;
  waitpid(child, &status, 0);
  if (n != sizeof out || out[0] < 0) fail("busybox mdev -s failed");
  return {out[0], out[1], static_cast<int>(out[2])};
}

// CPU time (user + system) of a program run to its end, in ms.
double run_cpu_ms(const std::vector<std::string> &argv, const Env &env) {
  const pid_t pid = spawn(argv, env, "/dev/null", work() + "/run.err");
  int status;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid) fail(errno_text("wait4"));
  forget(pid);
  return cpu_ms_of(ru);
}

// What loading the store file costs the in-process programs: a kernel
// driver has its variables before the daemon starts, so this is taken off
// their figures. hwtrackd-inproc -h loads the store and stops at the option.
double store_load_ms(const BigBoard &bb) {
  std::vector<double> with, without;
  for (int i = 0; i < 3; ++i) {
    with.push_back(run_cpu_ms({HWBENCH_HWTRACKD_INPROC, "-h"}, {{"HWBENCH_STORE", bb.store}}));
    without.push_back(run_cpu_ms({HWBENCH_HWTRACKD_INPROC, "-h"}, {{"HWBENCH_STORE", ""}}));
  }
  return std::max(0.0, median_of(with) - median_of(without));
}

}  // namespace

void bench_coldplug() {
  BigBoard &bb = *big_board;
  notes.push_back("large board: " + std::to_string(bb.counts.tracked) + " tracked devices, " +
                  std::to_string(bb.counts.untracked) + " untracked class devices, " + std::to_string(bb.classes) +
                  " stored class entries, " + std::to_string(bb.dev_links) + " /sys/dev links for mdev");
  std::vector<double> wall[2][2], cpu[2][2], ratio_cpu[2], ratio_wall[2], mdev_wall, mdev_cpu, vs_mdev_cpu, vs_mdev_wall;
  // The same start-up with the RDB in the process ([0] hwtrackd, [1] floor).
  std::vector<double> ip_cpu[2], ip_wall[2], ip_ratio, ip_vs_mdev_cpu, ip_vs_mdev_wall, load;
  int mdev_nodes = 0;
  for (int rep = 0; rep < opts.reps; ++rep) {
    MdevSample m = mdev_scan(bb.tree.root().string());
    mdev_wall.push_back(m.wall_ms);
    mdev_cpu.push_back(m.cpu_ms);
    mdev_nodes = m.nodes;
    for (int script = 0; script < 2; ++script) {
      const bool check = rep == 0 && !script;
      ColdplugSample s[2];
      for (Program p : rep % 2 ? std::vector{Program::floor, Program::daemon} : std::vector{Program::daemon, Program::floor})
        s[static_cast<int>(p)] = coldplug(p, script, bb, check);
      if (check) {
        std::string diff;
        int n = count_differences(s[0].dump, s[1].dump, &diff);
        notes.push_back("coldplug: hwtrackd added " + std::to_string(s[0].devices) + " devices, the floor " +
                        std::to_string(s[1].devices) + "; RDB after start-up " +
                        (n ? "differs in " + std::to_string(n) + " variables, e.g. " + diff
                           : "identical (" + std::to_string(s[0].dump.size()) + " variables)"));
      }
      for (int p = 0; p < 2; ++p) {
        wall[script][p].push_back(s[p].wall_ms);
        cpu[script][p].push_back(s[p].cpu_ms);
      }
      ratio_cpu[script].push_back(s[0].cpu_ms / s[1].cpu_ms);
      ratio_wall[script].push_back(s[0].wall_ms / s[1].wall_ms);
      if (!script) {
        vs_mdev_cpu.push_back(s[0].cpu_ms / m.cpu_ms);
        vs_mdev_wall.push_back(s[0].wall_ms / m.wall_ms);
      }
    }
    const double load_ms = store_load_ms(bb);
    load.push_back(load_ms);
    ColdplugSample ip[2];
    for (Program p : rep % 2 ? std::vector{Program::floor_inproc, Program::daemon_inproc}
                              : std::vector{Program::daemon_inproc, Program::floor_inproc})
      ip[p == Program::floor_inproc] = coldplug(p, false, bb, false);
    for (int i = 0; i < 2; ++i) {
      ip[i].cpu_ms -= load_ms;
      ip[i].wall_ms -= load_ms;
      ip_cpu[i].push_back(ip[i].cpu_ms);
      ip_wall[i].push_back(ip[i].wall_ms);
    }
    ip_ratio.push_back(ip[0].cpu_ms / ip[1].cpu_ms);
    ip_vs_mdev_cpu.push_back(ip[0].cpu_ms / m.cpu_ms);
    ip_vs_mdev_wall.push_back(ip[0].wall_ms / m.wall_ms);
    fprintf(stderr, "hwbench: coldplug, run %d of %d done\n", rep + 1, opts.reps);
  }
  const char *sec = "coldplug, large board (exec to first wait in select)";
  for (int script = 0; script < 2; ++script) {
    const std::string tail = script ? ", script /bin/true" : ", no script";
    Row c{sec, "hwtrackd CPU" + tail, "ms", stats_of(cpu[script][0]), "floor", stats_of(cpu[script][1]),
          stats_of(ratio_cpu[script]), "", ""};
    Row w{sec, "hwtrackd wall" + tail, "ms", stats_of(wall[script][0]), "floor", stats_of(wall[script][1]),
          stats_of(ratio_wall[script]), "", ""};
    if (!script) {
      c.goal = "<= 2x floor";
      c.verdict = c.ratio.median <= 2 ? "met" : "MISSED";
    }
    rows.push_back(c);
    rows.push_back(w);
  }
  Row mc{sec, "hwtrackd CPU, no script, vs busybox mdev -s", "ms", stats_of(cpu[0][0]), "mdev -s",
         stats_of(mdev_cpu), stats_of(vs_mdev_cpu), "< 1x mdev -s", ""};
  mc.verdict = mc.ratio.median < 1 ? "met" : "MISSED";
  Row mw{sec, "hwtrackd wall, no script, vs busybox mdev -s", "ms", stats_of(wall[0][0]), "mdev -s",
         stats_of(mdev_wall), stats_of(vs_mdev_wall), "< 1x mdev -s", ""};
  mw.verdict = mw.ratio.median < 1 ? "met" : "MISSED";
  rows.push_back(mc);
  rows.push_back(mw);
  const char *ipsec = "coldplug, large board, RDB inside the process (as cheap as the driver's ioctl)";
  rows.push_back({ipsec, "hwtrackd CPU, no script", "ms", stats_of(ip_cpu[0]), "floor", stats_of(ip_cpu[1]),
                  stats_of(ip_ratio), "", ""});
  Row ic{ipsec, "hwtrackd CPU, no script, vs busybox mdev -s", "ms", stats_of(ip_cpu[0]), "mdev -s",
         stats_of(mdev_cpu), stats_of(ip_vs_mdev_cpu), "< 1x mdev -s", ""};
  ic.verdict = ic.ratio.median < 1 ? "met" : "MISSED";
  Row iw{ipsec, "hwtrackd wall, no script, vs busybox mdev -s", "ms", stats_of(ip_wall[0]), "mdev -s",
         stats_of(mdev_wall), stats_of(ip_vs_mdev_wall), "< 1x mdev -s", ""};
  iw.verdict = iw.ratio.median < 1 ? "met" : "MISSED";
  rows.push_back(ic);
  rows.push_back(iw);
  std::vector<double> rdbd_vs_ip;
  for (size_t i = 0; i < ip_wall[0].size(); ++i) rdbd_vs_ip.push_back(wall[0][0][i] / ip_wall[0][i]);
  Row rw{ipsec, "hwtrackd wall, no script, over rdbd vs RDB in the process", "ms", stats_of(wall[0][0]),
         "in the process", stats_of(ip_wall[0]), stats_of(rdbd_vs_ip), "<= 2x in the process", ""};
  rw.verdict = rw.ratio.median <= 2 ? "met" : "MISSED";
  rows.push_back(rw);
  notes.push_back("in-process RDB: loading the store file, " + fmt(stats_of(load).median) +
                  " ms of CPU (median), is taken off the in-process figures: a driver holds its variables "
                  "before the daemon starts");
  notes.push_back("busybox mdev -s created " + std::to_string(mdev_nodes) + " device nodes per run");
}

}  // namespace hwbench
