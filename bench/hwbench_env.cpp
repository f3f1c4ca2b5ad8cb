// SPDX-License-Identifier: MIT
// hwbench's environment: the private namespaces and work folder, the
// processes it starts and what /proc tells of them, the RDB stand-in, the
// programs under test and the boards they run on.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include "base/unique_fd.h"
#include "bench/hwbench.h"
#include "rdb/rdbdrv.h"
#include "tests/support/namespaces.h"
#include "tests/support/procfs.h"
#include "tests/support/rdb_client.h"
#include "tests/support/rdbd_process.h"
#include "tools/board/boards.h"
#include "tools/rdbd/store.h"

namespace hwbench {
namespace {

namespace fs = std::filesystem;
using Clock = testsupport::Clock;

std::string work_dir;

// What this process started and has not stopped yet: stopped at exit, so
// that a failed run leaves nothing behind.
std::vector<pid_t> spawned;

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

void or_fail(const std::string &error) {
  if (!error.empty()) fail(error);
}

// Waits for a child to end, killing it once timeout has passed; it is no
// longer one of the spawned either way.
void reap(pid_t pid, std::chrono::seconds timeout) {
  forget(pid);
  if (testsupport::reap_by(pid, testsupport::within(timeout))) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

void stop_everything() {
  while (!spawned.empty()) stop(spawned.back());
}

}  // namespace

// --- the private environment ---------------------------------------------------

void enter_private_environment() {
  if (geteuid() != 0) fail("hwbench needs root: it creates namespaces and mounts");
  or_fail(testsupport::enter_namespaces(CLONE_NEWNS | CLONE_NEWNET));
  // Programs that strace started are ours to reap once strace is gone.
  prctl(PR_SET_CHILD_SUBREAPER, 1);

  std::string templ = "/tmp/hwbench.XXXXXX";
  if (!mkdtemp(templ.data())) fail(errno_text("mkdtemp"));
  work_dir = templ;
  or_fail(testsupport::mount_tmpfs(work_dir, "mode=0755,size=1g", 0));
  setenv("TMPDIR", work_dir.c_str(), 1);
  or_fail(testsupport::make_private_dev("16m"));

  hw::unique_fd log(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, "/dev/log");
  if (!log || bind(log.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) fail(errno_text("/dev/log"));
  int big = 1 << 20;
  setsockopt(log.get(), SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  // The drain runs until the process ends, and keeps the socket as long.
  std::thread(drain_syslog, log.release()).detach();
}

void leave_private_environment() {
  stop_everything();
  if (work_dir.empty()) return;
  umount2(work_dir.c_str(), MNT_DETACH);
  rmdir(work_dir.c_str());
}

const std::string &work() { return work_dir; }

bool enter_mdev_world(const std::string &tree) {
  return testsupport::enter_namespaces(CLONE_NEWNS).empty() && testsupport::bind_mount(tree, "/sys").empty() &&
         testsupport::make_private_dev("16m").empty();
}

void exec_busybox_mdev(std::initializer_list<const char *> options) {
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
  std::vector<const char *> argv = {"busybox", "mdev"};
  argv.insert(argv.end(), options);
  argv.push_back(nullptr);
  execvp("busybox", const_cast<char *const *>(argv.data()));
  _exit(127);
}

// --- processes and what /proc tells of them ---------------------------------------

pid_t spawn(const std::vector<std::string> &argv, const Env &env, const std::string &out, const std::string &err) {
  const hw::unique_fd in_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const hw::unique_fd out_fd(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  const hw::unique_fd err_fd(open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!in_fd || !out_fd || !err_fd) fail(errno_text("spawn " + argv[0] + ": " + out + ", " + err));
  const pid_t pid = testsupport::spawn(argv, {.env = env, .in = in_fd.get(), .out = out_fd.get(), .err = err_fd.get()});
  if (pid < 0) fail(errno_text("spawn " + argv[0]));
  spawned.push_back(pid);
  return pid;
}

bool alive(pid_t pid) {
  int status;
  const pid_t r = waitpid(pid, &status, WNOHANG);
  if (r < 0 && errno == ECHILD) return kill(pid, 0) == 0;
  return r == 0;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  reap(pid, std::chrono::seconds(30));
}

void wait_for_exit(pid_t pid) { reap(pid, std::chrono::seconds(60)); }

void forget(pid_t pid) { spawned.erase(std::remove(spawned.begin(), spawned.end(), pid), spawned.end()); }

pid_t traced_child(pid_t tool, const std::string &program) {
  pid_t child = -1;
  const bool found = testsupport::wait_until(
      [&] {
        std::istringstream kids(testsupport::read_proc(tool, "task/" + std::to_string(tool) + "/children"));
        for (pid_t kid; kids >> kid;) {
          std::error_code ec;
          if (fs::read_symlink("/proc/" + std::to_string(kid) + "/exe", ec) == fs::path(program)) child = kid;
        }
        return child > 0;
      },
      testsupport::within(std::chrono::seconds(30)));
  if (!found) fail(program + " did not start under its tool");
  spawned.push_back(child);
  return child;
}

double now_ns() { return std::chrono::duration<double, std::nano>(Clock::now().time_since_epoch()).count(); }

double cpu_ns(pid_t pid) {
  const double ns = testsupport::sched_stat(pid).cpu_ns;
  if (ns < 0) fail(errno_text("/proc/" + std::to_string(pid) + "/schedstat"));
  return ns;
}

long run_count(pid_t pid) { return testsupport::sched_stat(pid).runs; }

// A sender's wake-up marks the receiver "waking" at once, but
// /proc/<pid>/syscall still names the select it sleeps in until the
// scheduler has actually run it; so a process only counts as done with an
// event once it has run since the event was sent.
bool wait_in_select(pid_t pid, long runs_before, std::chrono::seconds limit, std::chrono::microseconds poll) {
  const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
  const hw::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    // Runs first, then the syscall: a process that has run since the send
    // and now sleeps in select has handled the event.
    const long runs = runs_before >= 0 ? run_count(pid) : 0;
    char buf[64];
    const ssize_t n = pread(fd.get(), buf, sizeof buf - 1, 0);
    if (n <= 0) {
      if (getenv("HWBENCH_DEBUG")) fprintf(stderr, "hwbench: %s: %s\n", path.c_str(), strerror(errno));
      return false;  // gone
    }
    buf[n] = '\0';
    const long nr = strtol(buf, nullptr, 10);
    // Sleeping ("S"), not stopped by a tracer at the select's exit.
    if (buf[0] >= '0' && buf[0] <= '9' && (nr == SYS_pselect6 || nr == SYS_select) && runs > runs_before &&
        testsupport::process_state(pid) == 'S')
      return true;
    if (!alive(pid)) {
      if (getenv("HWBENCH_DEBUG")) fprintf(stderr, "hwbench: %d ended\n", pid);
      return false;
    }
    std::this_thread::sleep_for(poll);
  }
  return false;
}

bool wait_quiet(pid_t pid, std::chrono::milliseconds quiet) {
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  double last = -1;
  auto since = Clock::now();
  while (Clock::now() < deadline && alive(pid)) {
    double now = cpu_ns(pid);
    if (now != last) {
      last = now;
      since = Clock::now();
    } else if (Clock::now() - since > quiet && testsupport::read_proc(pid, "syscall").rfind("running", 0) != 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// --- the RDB stand-in ----------------------------------------------------------------

void Rdbd::start(const std::string &name, const std::string &store) {
  socket = work_dir + "/" + name + ".sock";
  const std::string file = store_file(name);
  fs::remove(socket);
  fs::remove(file);
  if (!store.empty()) fs::copy_file(store, file);
  server = std::make_unique<testsupport::RdbdProcess>(HWBENCH_RDBD, socket, file, work_dir + "/rdbd.log");
  if (!server->start()) fail("rdbd did not start (see " + work_dir + "/rdbd.log)");
}

void Rdbd::stop_it() {
  if (server) server->stop();
  server.reset();
}

std::string Rdbd::store_file(const std::string &name) const { return work_dir + "/" + name + ".store"; }

rdbdrv_handle_ptr Rdbd::open() const {
  rdbdrv_handle_ptr h = testsupport::open_rdb(socket);
  if (!h) fail(errno_text("rdb open"));
  return h;
}

void Rdbd::set(const std::string &name, const std::string &value) const {
  testsupport::put_variable(open().get(), name, value);
}

std::map<std::string, std::string> Rdbd::dump(const std::string &prefix) const {
  std::map<std::string, std::string> out;
  const rdbdrv_handle_ptr h = open();
  for (const std::string &name : testsupport::split_names(testsupport::list_names(h.get(), prefix).value_or("")))
    out[name] = testsupport::get_variable(h.get(), name).value_or("<unreadable>");
  return out;
}

int count_differences(const std::map<std::string, std::string> &a, const std::map<std::string, std::string> &b,
                      std::string *first) {
  int n = 0;
  const bool all = getenv("HWBENCH_DEBUG") != nullptr;
  auto report = [&](const std::string &d) {
    if (n++ == 0) *first = d;
    if (all) fprintf(stderr, "diff: %s\n", d.c_str());
  };
  for (const auto &[k, v] : a) {
    auto it = b.find(k);
    if (it == b.end() || it->second != v) report(k + "=" + v + " vs " + (it == b.end() ? "<absent>" : it->second));
  }
  for (const auto &[k, v] : b)
    if (!a.count(k)) report("<absent> vs " + k + "=" + v);
  return n;
}

// --- the programs under test -------------------------------------------------------

const char *program_name(Program p) {
  static const char *const names[] = {"hwtrackd", "floor", "hwtrackd-inproc", "floor-inproc"};
  return names[static_cast<int>(p)];
}

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

Run start_program(Program p, const std::string &sysfs, const Rdbd &rdb, const std::string &store) {
  Run r;
  Env env = {{"SYSFS_PATH", sysfs}, {"RDB_DEVICE", rdb.socket}};
  if (in_process(p)) env = {{"SYSFS_PATH", sysfs}, {"RDB_DEVICE", "/dev/null"}, {"HWBENCH_STORE", store}};
  r.started_ns = now_ns();
  r.pid = spawn({program_path(p)}, env, "/dev/null", work_dir + "/" + program_name(p) + ".err");
  return r;
}

void send_event(testsupport::MonitorSender &mon, const std::string &datagram) {
  if (!mon.send(datagram)) fail(errno_text("send to the monitor socket"));
}

// --- the boards ------------------------------------------------------------------------

EventBoard::EventBoard() {
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
  add_dev_links(tree);  // as a kernel has them; busybox mdev walks them
}

BigBoard *big_board = nullptr;

namespace {

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

}  // namespace

BigBoard *make_big_board() {
  auto *bb = new BigBoard;
  bb->counts = lay_out_big_board(bb->tree);
  bb->dev_links = add_dev_links(bb->tree);
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
  bb->store = work_dir + "/big.store";
  if (rdbstore::replace_file(bb->store, rdbstore::serialize(vars)) < 0) fail("cannot write " + bb->store);
  // For the in-process RDB, which only knows what the store file holds.
  rdbstore::Variable script;
  script.value = "/bin/true";
  script.flags = RDBDRV_PERSIST;
  vars["sys.hw.cfg.hwclass_script"] = script;
  bb->store_script = work_dir + "/big-script.store";
  if (rdbstore::replace_file(bb->store_script, rdbstore::serialize(vars)) < 0) fail("cannot write " + bb->store_script);
  return bb;
}

}  // namespace hwbench
