// SPDX-License-Identifier: MIT
// hwbench: hwtrackd's performance and footprint, measured side by side with
// its references in one run, and printed as one table.
//
// Everything runs in private mount and network namespaces of this process:
// a tmpfs work folder (simulated sysfs trees, the RDB stand-in's socket and
// store), a tmpfs /dev with its own /dev/log (drained, so syslog costs what
// it costs on a board), and the udev monitor socket's abstract name. Real
// kernel uevents still reach every namespace; they are rare and show up as
// outliers, which the medians absorb.
//
// Figures (each over --reps runs, with median, min and max):
//   - CPU time per event (user + system of the process, from
//     /proc/<pid>/schedstat, in nanoseconds) of hwtrackd and of the floor
//     (hwtrack-floor: the same datagrams, sysfs reads and RDB requests and
//     nothing else), for add and remove of a USB serial adapter's tty and of
//     a USB stick's partition, without a class script and with /bin/true;
//   - coldplug on a large board (99 tracked devices, 200 untracked ones,
//     1,000 stored class entries): from exec to the first wait in select,
//     wall time and CPU time, against the floor and busybox mdev -s;
//   - memory (VmRSS, RssAnon) idle after start-up, after --events events and
//     with 99 devices present, against busybox mdev -d idle;
//   - size of the binaries given with --binary (text as size(1) counts it,
//     and the file size);
//   - system calls of one add and one remove, from strace -c -f;
//   - rdbd's cost of one persistent write into an empty store and into one
//     of 10,000 persistent variables, side by side.
//
// A process is done with an event when it blocks in select() again: its
// /proc/<pid>/syscall names pselect6 or select. The sender's sendmsg()
// marks the receiver runnable before it returns, so there is no window in
// which a process that has not yet seen the event looks idle.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/hwbench.h"

namespace hwbench {

Options opts;

[[noreturn]] void fail(const std::string &what) { throw std::runtime_error(what); }


// --- statistics and the table ----------------------------------------------------

Stats stats_of(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  s.min = v.front();
  s.max = v.back();
  s.valid = true;
  return s;
}

double median_of(std::vector<double> v) { return stats_of(std::move(v)).median; }

std::vector<Row> rows;
std::vector<std::string> notes;

std::string fmt(double v) {
  char buf[32];
  if (v >= 1000)
    snprintf(buf, sizeof buf, "%.0f", v);
  else if (v >= 100)
    snprintf(buf, sizeof buf, "%.1f", v);
  else
    snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

std::string fmt_range(const Stats &s) {
  if (!s.valid) return "";
  return fmt(s.median) + " [" + fmt(s.min) + "-" + fmt(s.max) + "]";
}

namespace {

bool wanted(const std::string &section) {
  return opts.only.empty() || std::find(opts.only.begin(), opts.only.end(), section) != opts.only.end();
}

void print_table(FILE *out, bool markdown) {
  const char *headers[] = {"figure", "unit", "median", "min", "max", "reference (median)", "ratio median [min-max]",
                           "goal"};
  std::vector<std::vector<std::string>> cells;
  for (const Row &r : rows) {
    std::vector<std::string> c;
    c.push_back(r.figure);
    c.push_back(r.unit);
    c.push_back(r.value.valid ? fmt(r.value.median) : "-");
    c.push_back(r.value.valid ? fmt(r.value.min) : "-");
    c.push_back(r.value.valid ? fmt(r.value.max) : "-");
    c.push_back(r.ref.valid ? r.reference + " " + fmt(r.ref.median) : r.reference);
    c.push_back(fmt_range(r.ratio));
    c.push_back(r.goal.empty() ? "" : r.goal + (r.verdict.empty() ? "" : ": " + r.verdict));
    cells.push_back(c);
  }
  const size_t ncol = std::size(headers);
  if (markdown) {
    fprintf(out, "|");
    for (const char *h : headers) fprintf(out, " %s |", h);
    fprintf(out, "\n|");
    for (size_t i = 0; i < ncol; ++i) fprintf(out, i >= 2 && i <= 4 ? "---:|" : "---|");
    fprintf(out, "\n");
    std::string section;
    for (size_t i = 0; i < cells.size(); ++i) {
      if (rows[i].section != section) {
        section = rows[i].section;
        fprintf(out, "| **%s** |||||||\n", section.c_str());
      }
      fprintf(out, "|");
      for (const std::string &c : cells[i]) fprintf(out, " %s |", c.c_str());
      fprintf(out, "\n");
    }
    return;
  }
  std::vector<size_t> width(ncol);
  for (size_t i = 0; i < ncol; ++i) width[i] = strlen(headers[i]);
  for (const auto &c : cells)
    for (size_t i = 0; i < ncol; ++i) width[i] = std::max(width[i], c[i].size());
  auto line = [&](const std::vector<std::string> &c) {
    for (size_t i = 0; i < ncol; ++i) {
      bool right = i >= 2 && i <= 4;
      fprintf(out, right ? "%*s  " : "%-*s  ", static_cast<int>(width[i]), c[i].c_str());
    }
    fprintf(out, "\n");
  };
  line(std::vector<std::string>(std::begin(headers), std::end(headers)));
  std::string section;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (rows[i].section != section) {
      section = rows[i].section;
      fprintf(out, "-- %s\n", section.c_str());
    }
    line(cells[i]);
  }
}

void usage() {
  fputs(
      "usage: hwbench [--reps N] [--cycles N] [--events N] [--mem-reps N] [--classes N] [--only SECTION]...\n"
      "               [--binary LABEL=PATH]... [--markdown FILE]\n"
      "sections: events coldplug memory size syscalls rdbd\n",
      stderr);
}

void parse(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        exit(2);
      }
      return argv[++i];
    };
    if (a == "--reps")
      opts.reps = std::max(1, atoi(value().c_str()));
    else if (a == "--cycles")
      opts.cycles = std::max(1, atoi(value().c_str()));
    else if (a == "--events")
      opts.events = std::max(2, atoi(value().c_str()));
    else if (a == "--classes")
      opts.classes = std::max(1, atoi(value().c_str()));
    else if (a == "--mem-reps")
      opts.mem_reps = std::max(1, atoi(value().c_str()));
    else if (a == "--only")
      opts.only.push_back(value());
    else if (a == "--markdown")
      opts.markdown = value();
    else if (a == "--binary") {
      std::string v = value();
      size_t eq = v.find('=');
      if (eq == std::string::npos) {
        usage();
        exit(2);
      }
      opts.binaries.push_back({v.substr(0, eq), v.substr(eq + 1)});
    } else {
      usage();
      exit(2);
    }
  }
}

}  // namespace
}  // namespace hwbench

using namespace hwbench;

int main(int argc, char **argv) {
  parse(argc, argv);
  int status = 0;
  try {
    enter_private_environment();
    if (wanted("coldplug") || wanted("memory") || wanted("syscalls")) big_board = make_big_board();
    if (wanted("size")) bench_size();
    if (wanted("events")) bench_events();
    if (wanted("coldplug")) bench_coldplug();
    if (wanted("memory")) bench_memory();
    if (wanted("syscalls")) bench_syscalls();
    if (wanted("rdbd")) bench_rdbd_store();
  } catch (const std::exception &e) {
    fprintf(stderr, "hwbench: %s\n", e.what());
    status = 1;
  }
  printf("hwtrackd benchmarks: %d runs per figure, %d cycles per event figure\n\n", opts.reps, opts.cycles);
  print_table(stdout, false);
  printf("\n");
  for (const std::string &n : notes) printf("%s\n", n.c_str());
  if (!opts.markdown.empty()) {
    if (FILE *f = fopen(opts.markdown.c_str(), "w")) {
      print_table(f, true);
      fprintf(f, "\n");
      for (const std::string &n : notes) fprintf(f, "%s\n", n.c_str());
      fclose(f);
    }
  }
  delete big_board;
  leave_private_environment();
  return status;
}
