// SPDX-License-Identifier: MIT
// hwbench's first section: the CPU time hwtrackd and the floor spend on
// one add and one remove event of a USB serial adapter's tty and of a USB
// stick's partition, without a class script and with /bin/true.

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/hwbench.h"
#include "tests/support/namespaces.h"

namespace hwbench {
namespace {

// One program under test, in a network namespace of its own with its own
// rdbd: the daemon and the floor each bind the udev monitor socket's
// abstract name, so that both run at once and take turns event by event; a
// change in the machine's load then hits both.
struct Subject {
  Program program;
  testsupport::NetNamespace ns;
  Rdbd rdb;
  Run run;
  std::unique_ptr<testsupport::MonitorSender> mon;

  Subject(Program p, bool script, const std::string &sysfs) : program(p) {
    const std::string name = std::string("events-") + program_name(p);
    rdb.start(name);
    if (script) rdb.set("sys.hw.cfg.hwclass_script", "/bin/true");
    if (getenv("HWBENCH_SYSLOG")) rdb.set("sys.hw.cfg.debug", "7");
    run = ns.inside([&] { return start_program(p, sysfs, rdb); });
    mon = ns.inside([] { return std::make_unique<testsupport::MonitorSender>(); });
    if (!wait_in_select(run.pid)) fail(std::string(program_name(p)) + " did not come up");
  }
  ~Subject() {
    stop(run.pid);
    rdb.stop_it();
  }

  // CPU time the program spent on one datagram, in ns.
  double event(const std::string &datagram) {
    const double before = cpu_ns(run.pid);
    const long runs = run_count(run.pid);
    send_event(*mon, datagram);
    if (!wait_in_select(run.pid, runs)) fail(std::string(program_name(program)) + " stopped handling events");
    return cpu_ns(run.pid) - before;
  }
};

struct EventFigures {
  // [device][0 add, 1 remove]: medians over the cycles of one run
  std::vector<std::array<double, 2>> daemon, floor, ratio;
};

EventFigures measure_events(bool script, EventBoard &eb, bool check) {
  Subject d(Program::daemon, script, eb.tree.root().string());
  Subject f(Program::floor, script, eb.tree.root().string());
  EventFigures out;
  for (const DevicePair &dev : eb.devices) {
    // The start-up scan added the device: it goes first. Then a warm-up, so
    // that the RDB's variables exist as they will in every cycle.
    for (Subject *s : {&d, &f}) {
      s->event(dev.remove);
      for (int i = 0; i < 3; ++i) {
        s->event(dev.add);
        s->event(dev.remove);
      }
    }
    std::vector<double> dv[2], fv[2], rv[2];
    for (int i = 0; i < opts.cycles; ++i) {
      for (int act = 0; act < 2; ++act) {
        const std::string &datagram = act ? dev.remove : dev.add;
        double a, b;
        if (i % 2) {
          b = f.event(datagram);
          a = d.event(datagram);
        } else {
          a = d.event(datagram);
          b = f.event(datagram);
        }
        dv[act].push_back(a / 1000);
        fv[act].push_back(b / 1000);
        rv[act].push_back(a / b);
      }
    }
    out.daemon.push_back({median_of(dv[0]), median_of(dv[1])});
    out.floor.push_back({median_of(fv[0]), median_of(fv[1])});
    out.ratio.push_back({median_of(rv[0]), median_of(rv[1])});
  }
  if (check) {
    for (const DevicePair &dev : eb.devices) {
      d.event(dev.add);
      f.event(dev.add);
    }
    std::string diff;
    const auto dd = d.rdb.dump("sys.hw."), fd = f.rdb.dump("sys.hw.");
    int n = count_differences(dd, fd, &diff);
    notes.push_back(std::string("floor check (events, ") + (script ? "script" : "no script") +
                    "): RDB after the same events " +
                    (n ? "differs in " + std::to_string(n) + " variables, e.g. " + diff
                       : "identical (" + std::to_string(dd.size()) + " variables)"));
  }
  return out;
}

}  // namespace

void bench_events() {
  EventBoard eb;
  const size_t ndev = eb.devices.size();
  // [script][device][add/remove] -> one value per run
  std::vector<double> daemon[2][2][2], floor_[2][2][2], ratio[2][2][2];
  for (int rep = 0; rep < opts.reps; ++rep) {
    for (int script = 0; script < 2; ++script) {
      EventFigures e = measure_events(script, eb, rep == 0);
      for (size_t dev = 0; dev < ndev; ++dev)
        for (int act = 0; act < 2; ++act) {
          daemon[script][dev][act].push_back(e.daemon[dev][act]);
          floor_[script][dev][act].push_back(e.floor[dev][act]);
          ratio[script][dev][act].push_back(e.ratio[dev][act]);
        }
    }
    fprintf(stderr, "hwbench: events, run %d of %d done\n", rep + 1, opts.reps);
  }
  for (int script = 0; script < 2; ++script)
    for (size_t dev = 0; dev < ndev; ++dev)
      for (int act = 0; act < 2; ++act) {
        Row r;
        r.section = "CPU per event (user+system of the process; ratio: median of paired events)";
        r.figure = eb.devices[dev].label + (act ? " remove" : " add") + (script ? ", script /bin/true" : ", no script");
        r.unit = "us";
        r.value = stats_of(daemon[script][dev][act]);
        r.reference = "floor";
        r.ref = stats_of(floor_[script][dev][act]);
        r.ratio = stats_of(ratio[script][dev][act]);
        if (!script) {
          r.goal = "<= 1.5x floor";
          r.verdict = r.ratio.median <= 1.5 ? "met" : "MISSED";
        }
        rows.push_back(r);
      }
}

}  // namespace hwbench
