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

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <elf.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bigboard.h"
#include "rdb/rdbdrv.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"
#include "tools/rdbd/store.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// --- options -------------------------------------------------------------------

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

Options opts;

bool wanted(const std::string &section) {
  return opts.only.empty() || std::find(opts.only.begin(), opts.only.end(), section) != opts.only.end();
}

[[noreturn]] void fail(const std::string &what) { throw std::runtime_error(what); }

std::string errno_text(const std::string &what) { return what + ": " + strerror(errno); }

// --- statistics and the table ----------------------------------------------------

struct Stats {
  double median = 0, min = 0, max = 0;
  bool valid = false;
};

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

// --- the private environment ---------------------------------------------------

std::string work;

// Drains /dev/log; with HWBENCH_SYSLOG set, keeps the lines in that file.
void drain_syslog(int fd) {
  char buf[2048];
  FILE *keep = getenv("HWBENCH_SYSLOG") ? fopen(getenv("HWBENCH_SYSLOG"), "w") : nullptr;
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno != EINTR) return;
    if (n > 0 && keep) {
      fprintf(keep, "%.*s\n", static_cast<int>(n), buf);
      fflush(keep);
    }
  }
}

void make_node(const char *path, int minor) {
  if (mknod(path, S_IFCHR | 0666, makedev(1, minor)) < 0) fail(errno_text(path));
}

void enter_private_namespaces() {
  if (geteuid() != 0) fail("hwbench needs root: it creates namespaces and mounts");
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) < 0) fail(errno_text("unshare"));
  // Programs that strace started are ours to reap once strace is gone.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) fail(errno_text("make / private"));

  std::string templ = "/tmp/hwbench.XXXXXX";
  if (!mkdtemp(templ.data())) fail(errno_text("mkdtemp"));
  work = templ;
  if (mount("tmpfs", work.c_str(), "tmpfs", 0, "mode=0755,size=1g") < 0) fail(errno_text("tmpfs on " + work));
  setenv("TMPDIR", work.c_str(), 1);

  if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755,size=16m") < 0) fail(errno_text("tmpfs on /dev"));
  make_node("/dev/null", 3);
  make_node("/dev/zero", 5);
  make_node("/dev/urandom", 9);

  int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, "/dev/log");
  if (log < 0 || bind(log, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) fail(errno_text("/dev/log"));
  int big = 1 << 20;
  setsockopt(log, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  std::thread(drain_syslog, log).detach();
}


// --- processes --------------------------------------------------------------------

using Env = std::vector<std::pair<std::string, std::string>>;

// What this process started and has not stopped yet: stopped at exit, so
// that a failed run leaves nothing behind.
std::vector<pid_t> spawned;

pid_t spawn(const std::vector<std::string> &argv, const Env &env, const std::string &out, const std::string &err) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);

  std::vector<std::string> env_text;
  for (char **e = environ; *e; ++e) {
    std::string_view kv = *e;
    bool replaced = false;
    for (const auto &[k, v] : env) replaced = replaced || kv.starts_with(k + "=");
    if (!replaced) env_text.emplace_back(kv);
  }
  for (const auto &[k, v] : env) env_text.push_back(k + "=" + v);
  std::vector<char *> envp, args;
  for (auto &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto &a : argv_copy) args.push_back(a.data());
  args.push_back(nullptr);

  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    errno = rc;
    fail(errno_text("spawn " + argv[0]));
  }
  spawned.push_back(pid);
  return pid;
}

// Reaps pid if it ended; a process that is not our child (one that strace
// runs) is alive while it can be signalled.
bool alive(pid_t pid) {
  int status;
  const pid_t r = waitpid(pid, &status, WNOHANG);
  if (r < 0 && errno == ECHILD) return kill(pid, 0) == 0;
  return r == 0;
}

// Waits for a child to end, killing it once timeout has passed; it is no
// longer one of the spawned either way.
void reap(pid_t pid, std::chrono::seconds timeout) {
  spawned.erase(std::remove(spawned.begin(), spawned.end(), pid), spawned.end());
  const auto deadline = Clock::now() + timeout;
  int status;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return;
    }
    usleep(1000);
  }
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  reap(pid, std::chrono::seconds(30));
}

void stop_everything() {
  while (!spawned.empty()) stop(spawned.back());
}

void leave_private_namespaces() {
  stop_everything();
  if (work.empty()) return;
  umount2(work.c_str(), MNT_DETACH);
  rmdir(work.c_str());
}

std::string read_proc(pid_t pid, const std::string &file) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// CPU time the process has run, user and system, in nanoseconds.
double cpu_ns(pid_t pid) {
  char path[64], buf[128];
  snprintf(path, sizeof path, "/proc/%d/schedstat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(errno_text(path));
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) fail(errno_text(path));
  buf[n] = '\0';
  return strtod(buf, nullptr);
}

// The value in kB of a line of /proc/<pid>/status.
long status_kb(pid_t pid, const char *key) {
  std::istringstream in(read_proc(pid, "status"));
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(key) && line[strlen(key)] == ':') return strtol(line.c_str() + strlen(key) + 1, nullptr, 10);
  return -1;
}

// How many times the process has been put on a CPU.
long run_count(pid_t pid) {
  char path[64], buf[128];
  snprintf(path, sizeof path, "/proc/%d/schedstat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return -1;
  buf[n] = '\0';
  char *p = buf;
  strtod(p, &p);
  strtod(p, &p);
  return strtol(p, nullptr, 10);
}

// The state letter of /proc/<pid>/stat ("R", "S", "t", ...).
char process_state(pid_t pid) {
  char path[64], buf[512];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return '?';
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return '?';
  buf[n] = '\0';
  const char *paren = strrchr(buf, ')');
  return paren && paren[1] == ' ' ? paren[2] : '?';
}

// Blocks until pid waits in select() (pselect6 on current C libraries),
// having run at least once since it was seen to have runs_before runs (-1:
// no such condition). A sender's wake-up marks the receiver "waking" at
// once, but /proc/<pid>/syscall still names the select it sleeps in until
// the scheduler has actually run it; so a process only counts as done with
// an event once it has run since the event was sent. false when it died or
// the deadline passed.
bool wait_in_select(pid_t pid, long runs_before = -1, std::chrono::seconds limit = std::chrono::seconds(120),
                    std::chrono::microseconds poll = std::chrono::microseconds(50)) {
  char path[64], buf[64];
  snprintf(path, sizeof path, "/proc/%d/syscall", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const auto deadline = Clock::now() + limit;
  bool idle = false;
  while (Clock::now() < deadline) {
    // Runs first, then the syscall: a process that has run since the send
    // and now sleeps in select has handled the event.
    const long runs = runs_before >= 0 ? run_count(pid) : 0;
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) {
      if (getenv("HWBENCH_DEBUG")) fprintf(stderr, "hwbench: %s: %s\n", path, strerror(errno));
      break;  // gone
    }
    buf[n] = '\0';
    const long nr = strtol(buf, nullptr, 10);
    // Sleeping ("S"), not stopped by a tracer at the select's exit.
    if (buf[0] >= '0' && buf[0] <= '9' && (nr == SYS_pselect6 || nr == SYS_select) && runs > runs_before &&
        process_state(pid) == 'S') {
      idle = true;
      break;
    }
    if (!alive(pid)) {
      if (getenv("HWBENCH_DEBUG")) fprintf(stderr, "hwbench: %d ended\n", pid);
      break;
    }
    std::this_thread::sleep_for(poll);
  }
  close(fd);
  return idle;
}

// Blocks until pid has stopped using the CPU for a while (a process that
// waits elsewhere than in select, such as busybox mdev -d).
bool wait_quiet(pid_t pid, std::chrono::milliseconds quiet = std::chrono::milliseconds(300)) {
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  double last = -1;
  auto since = Clock::now();
  while (Clock::now() < deadline && alive(pid)) {
    double now = cpu_ns(pid);
    if (now != last) {
      last = now;
      since = Clock::now();
    } else if (Clock::now() - since > quiet && read_proc(pid, "syscall").rfind("running", 0) != 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// --- the RDB stand-in ----------------------------------------------------------------

struct Rdbd {
  pid_t pid = -1;
  std::string socket;

  // A fresh rdbd on a copy of store (empty when store is "").
  void start(const std::string &name, const std::string &store = "") {
    socket = work + "/" + name + ".sock";
    std::string store_file = work + "/" + name + ".store";
    fs::remove(socket);
    fs::remove(store_file);
    if (!store.empty()) fs::copy_file(store, store_file);
    pid = spawn({HWBENCH_RDBD, "--socket", socket, "--store", store_file}, {}, "/dev/null", work + "/rdbd.log");
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!fs::exists(socket)) {
      if (Clock::now() > deadline || !alive(pid)) fail("rdbd did not start (see " + work + "/rdbd.log)");
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  void stop_it() {
    stop(pid);
    pid = -1;
  }
  std::string store_file(const std::string &name) const { return work + "/" + name + ".store"; }

  void set(const std::string &name, const std::string &value) const {
    rdbdrv_handle *h = nullptr;
    if (rdbdrv_open(socket.c_str(), &h) < 0) fail(errno_text("rdb open"));
    if (rdbdrv_set(h, name.c_str(), value.c_str()) < 0) rdbdrv_create(h, name.c_str(), value.c_str(), 0, 0);
    rdbdrv_close(&h);
  }

  // Every variable under prefix, with its value.
  std::map<std::string, std::string> dump(const std::string &prefix) const {
    std::map<std::string, std::string> out;
    rdbdrv_handle *h = nullptr;
    if (rdbdrv_open(socket.c_str(), &h) < 0) fail(errno_text("rdb open"));
    std::vector<char> names(1 << 16);
    int len = static_cast<int>(names.size()) - 1;
    int rc = rdbdrv_getnames(h, prefix.c_str(), names.data(), &len, 0);
    if (rc == -EOVERFLOW) {
      names.resize(static_cast<size_t>(len) + 1);
      len = static_cast<int>(names.size()) - 1;
      rc = rdbdrv_getnames(h, prefix.c_str(), names.data(), &len, 0);
    }
    if (rc == 0) {
      std::string list(names.data(), static_cast<size_t>(std::max(len, 0)));
      size_t pos = 0;
      while (pos < list.size()) {
        size_t end = list.find_first_of("&;", pos);
        if (end == std::string::npos) end = list.size();
        std::string name = list.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty() || name.back() == '\0') continue;
        char value[1024];
        int vlen = sizeof value;
        out[name] = rdbdrv_get(h, name.c_str(), value, &vlen) == 0 ? std::string(value) : "<unreadable>";
      }
    }
    rdbdrv_close(&h);
    return out;
  }
};

// Differences between two RDB dumps, for the floor's check.
int count_differences(const std::map<std::string, std::string> &a, const std::map<std::string, std::string> &b,
                      std::string *first) {
  int n = 0;
  const bool all = getenv("HWBENCH_DEBUG") != nullptr;
  for (const auto &[k, v] : a) {
    auto it = b.find(k);
    if (it == b.end() || it->second != v) {
      std::string d = k + "=" + v + " vs " + (it == b.end() ? "<absent>" : it->second);
      if (n++ == 0) *first = d;
      if (all) fprintf(stderr, "diff: %s\n", d.c_str());
    }
  }
  for (const auto &[k, v] : b)
    if (!a.count(k)) {
      std::string d = "<absent> vs " + k + "=" + v;
      if (n++ == 0) *first = d;
      if (all) fprintf(stderr, "diff: %s\n", d.c_str());
    }
  return n;
}

// The child of tool (strace, perf) that runs program: tools fork
// short-lived children of their own too. It is stopped at exit like the
// rest.
pid_t traced_child(pid_t tool, const std::string &program) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    std::istringstream kids(read_proc(tool, "task/" + std::to_string(tool) + "/children"));
    for (pid_t kid; kids >> kid;) {
      std::error_code ec;
      if (fs::read_symlink("/proc/" + std::to_string(kid) + "/exe", ec) == fs::path(program)) {
        spawned.push_back(kid);
        return kid;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  fail(program + " did not start under its tool");
}

// Waits for a child to end; one that takes too long is killed.
void wait_for_exit(pid_t pid) { reap(pid, std::chrono::seconds(60)); }

// --- the programs under test -------------------------------------------------------

// The last two serve their RDB inside the process (bench/inproc_rdb.h).
enum class Program { daemon, floor, daemon_inproc, floor_inproc };

const char *program_name(Program p) {
  static const char *const names[] = {"hwtrackd", "floor", "hwtrackd-inproc", "floor-inproc"};
  return names[static_cast<int>(p)];
}

struct Run {
  pid_t pid = -1;
  double started_ns = 0;  // monotonic, at spawn
};

double now_ns() {
  return std::chrono::duration<double, std::nano>(Clock::now().time_since_epoch()).count();
}

// HWBENCH_HWTRACKD runs another build of the daemon (to compare changes).
const char *daemon_path() {
  const char *other = getenv("HWBENCH_HWTRACKD");
  return other && *other ? other : HWBENCH_HWTRACKD;
}

const char *program_path(Program p) {
  switch (p) {
    case Program::daemon: return daemon_path();
    case Program::floor: return HWBENCH_FLOOR;
    case Program::daemon_inproc: return HWBENCH_HWTRACKD_INPROC;
    case Program::floor_inproc: return HWBENCH_FLOOR_INPROC;
  }
  return nullptr;
}

bool in_process(Program p) { return p == Program::daemon_inproc || p == Program::floor_inproc; }

// The program on the sysfs tree with rdb's socket as its RDB; the in-process
// ones with their own store, loaded from the store file instead.
Run start_program(Program p, const std::string &sysfs, const Rdbd &rdb, const std::string &store = "") {
  Run r;
  Env env = {{"SYSFS_PATH", sysfs}, {"RDB_DEVICE", rdb.socket}};
  if (in_process(p)) env = {{"SYSFS_PATH", sysfs}, {"RDB_DEVICE", "/dev/null"}, {"HWBENCH_STORE", store}};
  r.started_ns = now_ns();
  r.pid = spawn({program_path(p)}, env, "/dev/null", work + "/" + program_name(p) + ".err");
  return r;
}

// --- events ---------------------------------------------------------------------

class Monitor {
 public:
  Monitor() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) fail(errno_text("monitor socket"));
  }
  ~Monitor() { close(fd_); }
  void send(const std::string &datagram) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, "/org/kernel/udev/monitor", 24);
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 25);
    for (int attempt = 0; attempt < 1000; ++attempt) {
      if (sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&addr), len) >= 0) return;
      if (errno != ECONNREFUSED && errno != EINTR && errno != EAGAIN) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    fail(errno_text("send to the monitor socket"));
  }

 private:
  int fd_;
};

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

  EventBoard() {
    board::Board b = board::Board::lay_out(tree, "gateway");
    auto pick = [&](const std::vector<board::Uevent> &events, const std::string &subsystem, const std::string &kernel,
                    const std::string &label) {
      for (board::Uevent e : events) {
        if (e.subsystem != subsystem || !e.devpath.ends_with("/" + kernel)) continue;
        DevicePair d{label, e.datagram(), ""};
        e.action = "remove";
        ++e.seqnum;
        d.remove = e.datagram();
        devices.push_back(d);
        return;
      }
      fail("gateway board: no " + kernel);
    };
    pick(b.plug("ftdi", "usb1"), "tty", "ttyUSB0", "USB serial adapter");
    pick(b.plug("stick", "usb2"), "block", "sdb1", "USB stick partition");
    hwbench::add_dev_links(tree);  // as a kernel has them; busybox mdev walks them
  }
};

double median_of(std::vector<double> v) { return stats_of(std::move(v)).median; }

// --- per-event CPU ------------------------------------------------------------------

// A network namespace of its own: the daemon and the floor each bind the
// udev monitor socket's abstract name, so that both run at once and take
// turns event by event; a change in the machine's load then hits both.
class NetNamespace {
 public:
  NetNamespace() {
    const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0 || unshare(CLONE_NEWNET) < 0) fail(errno_text("new network namespace"));
    fd_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (setns(home, CLONE_NEWNET) < 0) fail(errno_text("setns"));
    close(home);
  }
  ~NetNamespace() { close(fd_); }
  NetNamespace(const NetNamespace &) = delete;
  NetNamespace &operator=(const NetNamespace &) = delete;

  // Runs fn with this thread in the namespace: what it spawns lives there,
  // and the sockets it makes reach names there.
  template <typename Fn>
  auto inside(Fn fn) {
    const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0 || setns(fd_, CLONE_NEWNET) < 0) fail(errno_text("setns"));
    struct back {
      int home;
      ~back() {
        setns(home, CLONE_NEWNET);
        close(home);
      }
    } restore{home};
    return fn();
  }

 private:
  int fd_ = -1;
};

// One program under test, in its namespace, with its own rdbd.
struct Subject {
  Program program;
  NetNamespace ns;
  Rdbd rdb;
  Run run;
  std::unique_ptr<Monitor> mon;

  Subject(Program p, bool script, const std::string &sysfs) : program(p) {
    const std::string name = std::string("events-") + program_name(p);
    rdb.start(name);
    if (script) rdb.set("sys.hw.cfg.hwclass_script", "/bin/true");
    if (getenv("HWBENCH_SYSLOG")) rdb.set("sys.hw.cfg.debug", "7");
    run = ns.inside([&] { return start_program(p, sysfs, rdb); });
    mon = ns.inside([] { return std::make_unique<Monitor>(); });
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
    mon->send(datagram);
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

// --- the large board and its stored classes ------------------------------------------

struct BigBoard {
  board::SysfsTree tree;
  hwbench::BigBoardCounts counts;
  std::string store;         // a store file with the stored class entries
  std::string store_script;  // the same with /bin/true as the class script
  int classes = 0;
  int dev_links = 0;
};

int count_class_entries(const rdbstore::Variables &vars) {
  int n = 0;
  for (const auto &[name, var] : vars)
    if (name.starts_with("sys.hw.class.") && name.ends_with(".id")) ++n;
  return n;
}

void add_stored_classes(rdbstore::Variables &vars, int total) {
  static const char *const types[] = {"serial", "eth", "storage", "phonemodule"};
  std::map<std::string, int> next;
  for (const auto &[name, var] : vars) {
    if (!name.starts_with("sys.hw.class.") || !name.ends_with(".id")) continue;
    std::string rest = name.substr(13);
    std::string type = rest.substr(0, rest.find('.'));
    int index = atoi(rest.c_str() + type.size() + 1);
    next[type] = std::max(next[type], index + 1);
  }
  rdbstore::Variable persistent;
  persistent.flags = RDBDRV_PERSIST;
  for (int i = 0; count_class_entries(vars) < total; ++i) {
    const std::string type = types[i % 4];
    const std::string prefix = "sys.hw.class." + type + "." + std::to_string(next[type]++) + ".";
    auto put = [&](const std::string &key, const std::string &value) {
      rdbstore::Variable v = persistent;
      v.value = value;
      vars[prefix + key] = v;
    };
    // Devices seen on earlier days, no longer present: what a start-up
    // leaves stored (no MAC while removed).
    char id[64], loc[64];
    snprintf(id, sizeof id, "%04x-%04x-OLD%05d", 0x1000 + i % 7, 0x2000 + i % 13, i);
    snprintf(loc, sizeof loc, "usb%d-%d.%d:1.%d", 1 + i % 3 * 2, 1 + i % 7, 1 + i / 7 % 7, i % 4);
    put("id", id);
    put("location", loc);
    put("mac", "");
    put("enable", i % 10 == 9 ? "0" : "1");
    // A few phone modules are bound to fixed names by configuration.
    if (type == "phonemodule" && i % 100 == 3) {
      put("static", "1");
      put("name", "/dev/ttyPM" + std::to_string(i));
    }
  }
}

BigBoard *make_big_board() {
  auto *bb = new BigBoard;
  bb->counts = hwbench::lay_out_big_board(bb->tree);
  bb->dev_links = hwbench::add_dev_links(bb->tree);
  // First start on an empty RDB: the present devices get their classes;
  // then the classes of devices seen before are added to the store.
  Rdbd rdb;
  rdb.start("bigprep");
  Run run = start_program(Program::daemon, bb->tree.root().string(), rdb);
  if (!wait_in_select(run.pid)) fail("hwtrackd did not come up on the large board");
  stop(run.pid);
  rdb.stop_it();
  rdbstore::Store store(rdb.store_file("bigprep"));
  std::string error;
  if (store.load(&error) < 0) fail("store: " + error);
  rdbstore::Variables vars = store.variables();
  add_stored_classes(vars, opts.classes);
  bb->classes = count_class_entries(vars);
  bb->store = work + "/big.store";
  if (rdbstore::replace_file(bb->store, rdbstore::serialize(vars)) < 0) fail("cannot write " + bb->store);
  // For the in-process RDB, which only knows what the store file holds.
  rdbstore::Variable script;
  script.value = "/bin/true";
  script.flags = RDBDRV_PERSIST;
  vars["sys.hw.cfg.hwclass_script"] = script;
  bb->store_script = work + "/big-script.store";
  if (rdbstore::replace_file(bb->store_script, rdbstore::serialize(vars)) < 0) fail("cannot write " + bb->store_script);
  return bb;
}

// --- coldplug ----------------------------------------------------------------------

struct ColdplugSample {
  double wall_ms = 0, cpu_ms = 0;
  long rss_kb = 0, anon_kb = 0;
  int devices = 0;
  std::map<std::string, std::string> dump;
};

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
                             env, "/dev/null", work + "/perf.err");
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
  s.rss_kb = status_kb(run.pid, "VmRSS");
  s.anon_kb = status_kb(run.pid, "RssAnon");
  if (!in_process(p)) {
    auto devices = rdb.dump("sys.hw.dev.");
    for (const auto &[k, v] : devices) s.devices += k.ends_with(".type");
    if (want_dump) s.dump = rdb.dump("sys.hw.");
  }
  stop(run.pid);
  rdb.stop_it();
  return s;
}

struct MdevSample {
  double wall_ms = 0, cpu_ms = 0;
  int nodes = 0;
};

// busybox mdev -s over the tree, bound over /sys in a mount namespace of
// its own with a fresh tmpfs /dev.
MdevSample mdev_scan(const std::string &tree) {
  int pipefd[2];
  if (pipe(pipefd) < 0) fail(errno_text("pipe"));
  pid_t child = fork();
  if (child < 0) fail(errno_text("fork"));
  if (child == 0) {
    close(pipefd[0]);
    double out[3] = {-1, -1, -1};
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount(tree.c_str(), "/sys", nullptr, MS_BIND, nullptr) == 0 &&
        mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755,size=16m") == 0 &&
        mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) == 0) {
      timespec t0, t1;
      clock_gettime(CLOCK_MONOTONIC, &t0);
      pid_t m = fork();
      if (m == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execlp("busybox", "busybox", "mdev", "-s", static_cast<char *>(nullptr));
        _exit(127);
      }
      int status;
      rusage ru{};
      if (m > 0 && wait4(m, &status, 0, &ru) == m && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        clock_gettime(CLOCK_MONOTONIC, &t1);
        out[0] = (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6;
        out[1] = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
        int nodes = 0;
        std::function<void(const fs::path &)> count = [&](const fs::path &dir) {
          std::error_code ec;
          for (const auto &e : fs::directory_iterator(dir, ec)) {
            if (e.is_directory(ec) && !e.is_symlink(ec))
              count(e.path());
            else if (e.is_character_file(ec) || e.is_block_file(ec))
              ++nodes;
          }
        };
        count("/dev");
        out[2] = nodes - 1;  // /dev/null is ours
      }
    }
    if (write(pipefd[1], out, sizeof out) < 0) _exit(1);
    _exit(0);
  }
  close(pipefd[1]);
  double out[3] = {-1, -1, -1};
  ssize_t n = read(pipefd[0], out, sizeof out);
  close(pipefd[0]);
  int status;
  waitpid(child, &status, 0);
  if (n != sizeof out || out[0] < 0) fail("busybox mdev -s failed");
  return {out[0], out[1], static_cast<int>(out[2])};
}

BigBoard *big_board = nullptr;

// CPU time (user + system) of a program run to its end, in ms.
double run_cpu_ms(const std::vector<std::string> &argv, const Env &env) {
  const pid_t pid = spawn(argv, env, "/dev/null", work + "/run.err");
  int status;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid) fail(errno_text("wait4"));
  spawned.erase(std::remove(spawned.begin(), spawned.end(), pid), spawned.end());
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
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

// --- memory ----------------------------------------------------------------------------

// busybox mdev -d on the tree, idle.
std::pair<long, long> mdev_daemon_idle(const std::string &tree) {
  pid_t child = fork();
  if (child < 0) fail(errno_text("fork"));
  if (child == 0) {
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount(tree.c_str(), "/sys", nullptr, MS_BIND, nullptr) == 0 &&
        mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755,size=16m") == 0 &&
        mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      execlp("busybox", "busybox", "mdev", "-d", "-f", static_cast<char *>(nullptr));
    }
    _exit(127);
  }
  if (!wait_quiet(child)) {
    stop(child);
    fail("busybox mdev -d did not settle");
  }
  std::pair<long, long> r{status_kb(child, "VmRSS"), status_kb(child, "RssAnon")};
  stop(child);
  return r;
}

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
    const long rss0 = status_kb(run.pid, "VmRSS"), anon0 = status_kb(run.pid, "RssAnon");
    idle_rss.push_back(static_cast<double>(rss0));
    idle_anon.push_back(static_cast<double>(anon0));
    vs_mdev.push_back(static_cast<double>(anon0) / static_cast<double>(ma));

    // Events as fast as the daemon takes them: the sender blocks while the
    // socket's queue is full.
    Monitor mon;
    for (const DevicePair &d : eb.devices) mon.send(d.remove);  // present since start-up
    long runs = 0;
    for (int i = 0; i < opts.events; i += 2) {
      const DevicePair &d = eb.devices[static_cast<size_t>(i / 2) % eb.devices.size()];
      mon.send(d.add);
      if (i + 2 >= opts.events) runs = run_count(run.pid);
      mon.send(d.remove);
    }
    if (!wait_in_select(run.pid, runs, std::chrono::seconds(600), std::chrono::microseconds(1000)))
      fail("hwtrackd did not finish the events");
    const long rss1 = status_kb(run.pid, "VmRSS"), anon1 = status_kb(run.pid, "RssAnon");
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

// --- size ------------------------------------------------------------------------------

// text as size(1) counts it: every allocated section that is not writable.
template <typename Ehdr, typename Shdr>
long text_size_of(const std::string &image) {
  const auto *eh = reinterpret_cast<const Ehdr *>(image.data());
  if (eh->e_shoff == 0 || eh->e_shoff + eh->e_shnum * sizeof(Shdr) > image.size()) return -1;
  long text = 0;
  for (int i = 0; i < eh->e_shnum; ++i) {
    const auto *sh = reinterpret_cast<const Shdr *>(image.data() + eh->e_shoff + i * sizeof(Shdr));
    if ((sh->sh_flags & SHF_ALLOC) && !(sh->sh_flags & SHF_WRITE)) text += static_cast<long>(sh->sh_size);
  }
  return text;
}

long elf_text_size(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (image.size() < EI_NIDENT || memcmp(image.data(), ELFMAG, SELFMAG) != 0) return -1;
  return image[EI_CLASS] == ELFCLASS64 ? text_size_of<Elf64_Ehdr, Elf64_Shdr>(image)
                                       : text_size_of<Elf32_Ehdr, Elf32_Shdr>(image);
}

void bench_size() {
  for (const auto &[label, path] : opts.binaries) {
    std::error_code ec;
    const auto file = fs::file_size(path, ec);
    if (ec) {
      notes.push_back("size: " + label + ": " + path + " missing");
      continue;
    }
    const double text = static_cast<double>(elf_text_size(path)) / 1024;
    const double bytes = static_cast<double>(file) / 1024;
    Stats t{text, text, text, true}, f{bytes, bytes, bytes, true};
    Row r{"size of hwtrackd (stripped)", label + " text", "KiB", t, "", {}, {}, "", ""};
    Row rf{"size of hwtrackd (stripped)", label + " file", "KiB", f, "", {}, {}, "", ""};
    if (label == "armhf dynamic") {
      rf.goal = "< 100 KiB";
      rf.verdict = bytes < 100 ? "met" : "MISSED";
    }
    rows.push_back(r);
    rows.push_back(rf);
  }
}

// --- system calls per event -------------------------------------------------------------

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

// Counts the system calls pid makes while it handles one datagram.
std::map<std::string, std::string> trace_one(pid_t pid, Monitor &mon, const std::string &datagram, long *total) {
  const std::string out = work + "/strace.txt";
  const bool full = getenv("HWBENCH_STRACE_FULL") != nullptr;
  std::vector<std::string> args = {"/usr/bin/strace", "-c", "-f", "-o", out, "-p", std::to_string(pid)};
  if (full) args = {"/usr/bin/strace", "-f", "-s", "200", "-o", std::string(getenv("HWBENCH_STRACE_FULL")) + "." + std::to_string(pid) + "." + std::to_string(run_count(pid)), "-p", std::to_string(pid)};
  pid_t tracer = spawn(args, {}, "/dev/null",
                       work + "/strace.err");
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (status_kb(pid, "TracerPid") <= 0) {
    if (Clock::now() > deadline) fail("strace did not attach");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const long runs = run_count(pid);
  mon.send(datagram);
  if (!wait_in_select(pid, runs)) fail("traced process stopped handling events");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  end_tracer(tracer);
  return strace_counts(out, total);
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
    Monitor mon;
    long runs = 0;
    for (const DevicePair &d : eb.devices) {  // so that both see the variables as in the steady state
      mon.send(d.remove);
      mon.send(d.add);
      runs = run_count(run.pid);
      mon.send(d.remove);
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
      const std::string out = work + "/strace-coldplug.txt";
      const char *path = p == Program::daemon ? daemon_path() : HWBENCH_FLOOR;
      const pid_t tracer =
          spawn({"/usr/bin/strace", "-c", "-f", "-o", out, path},
                {{"SYSFS_PATH", big_board->tree.root().string()}, {"RDB_DEVICE", rdb.socket}}, "/dev/null",
                work + "/strace.err");
      const pid_t child = traced_child(tracer, path);
      if (!wait_in_select(child, -1, std::chrono::seconds(900), std::chrono::microseconds(500)))
        fail("traced start-up did not finish");
      // The program ends on SIGTERM (its shutdown is counted too), and strace
      // with it, writing its summary.
      kill(child, SIGTERM);
      spawned.erase(std::remove(spawned.begin(), spawned.end(), child), spawned.end());
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

// --- rdbd's store ---------------------------------------------------------------------

// Microseconds per persistent write, over writes updates of the variables
// named by name(i), on a fresh rdbd started on store.
double persistent_write_us(const std::string &label, const std::string &store, int writes,
                           const std::function<std::string(int)> &name) {
  Rdbd rdb;
  rdb.start(label, store);
  rdbdrv_handle *h = nullptr;
  if (rdbdrv_open(rdb.socket.c_str(), &h) < 0) fail(errno_text("rdb open"));
  if (rdbdrv_set(h, name(0).c_str(), "0") < 0 && rdbdrv_create(h, name(0).c_str(), "0", RDBDRV_PERSIST, 0) < 0)
    fail(errno_text("rdbd create"));
  const double start = now_ns();
  for (int i = 0; i < writes; ++i)
    if (rdbdrv_set(h, name(i).c_str(), std::to_string(i).c_str()) < 0) fail(errno_text("rdbd write"));
  const double us = (now_ns() - start) / 1e3 / writes;
  rdbdrv_close(&h);
  rdb.stop_it();
  return us;
}

void bench_rdbd_store() {
  constexpr int kStored = 10000;
  const int writes = 3 * opts.events;
  rdbstore::Variables vars;
  auto stored_name = [](int i) { return "sys.hw.class.serial." + std::to_string(i % kStored) + ".id"; };
  for (int i = 0; i < kStored; ++i) vars[stored_name(i)] = {"1a2b-3c4d-SERIAL" + std::to_string(i), RDBDRV_PERSIST};
  const std::string big = work + "/10k.store";
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

int main(int argc, char **argv) {
  parse(argc, argv);
  int status = 0;
  try {
    enter_private_namespaces();
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
  leave_private_namespaces();
  return status;
}
