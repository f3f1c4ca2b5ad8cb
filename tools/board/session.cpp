// SPDX-License-Identifier: MIT
// boardsim's session commands. A run is two boardsim processes: the one
// started, which stays in the machine's namespaces and removes the run's
// folder at the end, and its child, the first process of a new PID
// namespace. The child makes its own mount and network namespaces (a /dev
// with a /dev/log of its own, the udev monitor socket's name), starts the
// syslog reader, rdbd and hwtrackd there, runs the shell or the hook, and
// reaps every process of the run; when it ends, the kernel ends them all.

#include "tools/board/session.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/unique_fd.h"
#include "rdb/rdb.h"
#include "tools/board/boards.h"

extern char **environ;

namespace fs = std::filesystem;

namespace board {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// What a run tells the programs inside it.
constexpr char kDirVar[] = "BOARDSIM_DIR";
constexpr char kRootVar[] = "BOARDSIM_ROOT";
constexpr char kDaemonVar[] = "BOARDSIM_HWTRACKD";

// For a program to come up or go down; generous, the machine may be busy.
constexpr auto kWait = std::chrono::seconds(60);

// The events of `settle` and what the report leaves out of the daemon's log.
constexpr char kSettleDevpath[] = "/devices/virtual/boardsim/settle";
constexpr const char *kQuietLines[] = {"select() triggered", "recieved from monitor socket",
                                       "recieved from netlink socket", kSettleDevpath, "start to change"};

int fail(const std::string &why) {
  fprintf(stderr, "boardsim: %s\n", why.c_str());
  return kExitFailed;
}

int usage(const std::string &why) {
  fprintf(stderr, "boardsim: %s (see boardsim --help)\n", why.c_str());
  return kExitUsage;
}

std::string errno_text() { return strerror(errno); }

// The files of a run, in its folder.
struct Session {
  fs::path dir;
  fs::path root() const { return dir / "sys"; }
  fs::path syslog() const { return dir / "syslog.txt"; }
  fs::path rdb_socket() const { return dir / "rdb.sock"; }
  fs::path daemon_out() const { return dir / "hwtrackd.out"; }
  fs::path daemon_pid() const { return dir / "hwtrackd.pid"; }
  // "<pid> <exit status>" of the daemon the run reaped last.
  fs::path daemon_status() const { return dir / "hwtrackd.status"; }
  fs::path class_script() const { return dir / "class-script"; }
  fs::path script_calls() const { return dir / "script-calls.txt"; }
  fs::path report_state() const { return dir / "report.state"; }
  fs::path settle_count() const { return dir / "settle.count"; }
};

std::optional<Session> current_session() {
  const char *dir = getenv(kDirVar);
  if (!dir || !*dir) return std::nullopt;
  return Session{dir};
}

std::string read_text(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Written whole or not at all: a reader polling for it never sees half.
bool write_text(const fs::path &path, const std::string &text) {
  const fs::path tmp = path.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!(out << text)) return false;
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  return !ec;
}

// A number kept in a file; fallback when there is none.
long read_number(const fs::path &path, long fallback) {
  const std::string text = read_text(path);
  return text.empty() ? fallback : strtol(text.c_str(), nullptr, 10);
}

bool wait_for(const std::function<bool()> &ready) {
  for (const auto deadline = std::chrono::steady_clock::now() + kWait; !ready();) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// For the shell: 'text' with every ' in it closed, escaped and reopened.
std::string sh_quote(const std::string &text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// --- processes ---------------------------------------------------------------------

int exit_status(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return kExitFailed;
}

struct Spawn {
  std::vector<std::string> argv;    // argv[0] searched in PATH when it has no "/"
  int in = -1, out = -1, err = -1;  // -1: inherited
  int ready = -1;                   // handed to the program as descriptor 3
  bool own_group = false;           // away from the terminal's Ctrl-C
};

pid_t spawn(const Spawn &s) {
  std::vector<char *> argv;
  for (const std::string &arg : s.argv) argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (s.own_group) setpgid(0, 0);
  if (s.in >= 0) dup2(s.in, 0);
  if (s.out >= 0) dup2(s.out, 1);
  if (s.err >= 0) dup2(s.err, 2);
  // dup2 onto itself would leave it close-on-exec.
  if (s.ready == 3)
    fcntl(3, F_SETFD, 0);
  else if (s.ready >= 0)
    dup2(s.ready, 3);
  execvp(argv[0], argv.data());
  fprintf(stderr, "boardsim: cannot run %s: %s\n", argv[0], strerror(errno));
  _exit(127);
}

int wait_exit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return kExitFailed;
  return exit_status(status);
}

int run_to_end(const Spawn &s) {
  const pid_t pid = spawn(s);
  return pid < 0 ? kExitFailed : wait_exit(pid);
}

std::string self_path() { return fs::read_symlink("/proc/self/exe").string(); }

// What `boardsim ARGS...` writes on standard output.
std::string capture_self(const std::vector<std::string> &args) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0) return "";
  hw::unique_fd read_end(fds[0]), write_end(fds[1]);
  Spawn s;
  s.argv = {self_path()};
  s.argv.insert(s.argv.end(), args.begin(), args.end());
  s.out = write_end.get();
  const pid_t pid = spawn(s);
  write_end.reset();
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(read_end.get(), buf, sizeof buf)) != 0;) {
    if (n > 0)
      text.append(buf, static_cast<size_t>(n));
    else if (errno != EINTR)
      break;
  }
  if (pid > 0) wait_exit(pid);
  return text;
}

// Beside boardsim (a build folder), else in PATH and the sbin folders.
std::string find_program(const std::string &name) {
  std::vector<fs::path> dirs = {fs::path(self_path()).parent_path()};
  std::string_view path = getenv("PATH") ? getenv("PATH") : "";
  while (!path.empty()) {
    const size_t colon = path.find(':');
    if (colon) dirs.emplace_back(path.substr(0, colon));
    path.remove_prefix(colon == std::string_view::npos ? path.size() : colon + 1);
  }
  for (const char *dir : {"/usr/local/sbin", "/usr/sbin", "/sbin"}) dirs.emplace_back(dir);
  for (const fs::path &dir : dirs) {
    const fs::path candidate = dir / name;
    if (access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate)) return candidate;
  }
  return "";
}

// Not a zombie: the run reaps its processes only now and then.
bool alive(pid_t pid) {
  const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' && stat[paren + 2] != 'X';
}

// --- the daemon ----------------------------------------------------------------------

pid_t running_daemon(const Session &s) {
  const auto pid = static_cast<pid_t>(read_number(s.daemon_pid(), 0));
  return pid > 0 && alive(pid) ? pid : 0;
}

// Starts hwtrackd on the board and returns once it reported readiness:
// the start-up scans are over and the class table reflects the board.
int start_daemon(const Session &s) {
  if (const pid_t pid = running_daemon(s)) return fail("hwtrackd runs already (pid " + std::to_string(pid) + ")");
  const char *program = getenv(kDaemonVar);
  int fds[2];
  if (!program || pipe2(fds, O_CLOEXEC) < 0) return fail("not inside boardsim run");
  hw::unique_fd ready(fds[0]), ready_write(fds[1]);
  hw::unique_fd out(open(s.daemon_out().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  hw::unique_fd null(open("/dev/null", O_RDONLY | O_CLOEXEC));
  setenv("SYSFS_PATH", s.root().c_str(), 1);
  setenv("RDB_DEVICE", s.rdb_socket().c_str(), 1);
  setenv("HWTRACKD_READY_FD", "3", 1);
  Spawn d;
  d.argv = {program};
  d.in = null.get();
  d.out = d.err = out.get();
  d.ready = ready_write.get();
  d.own_group = true;
  const pid_t pid = spawn(d);
  unsetenv("HWTRACKD_READY_FD");
  ready_write.reset();
  if (pid < 0) return fail("cannot start hwtrackd: " + errno_text());

  char c = 0;
  pollfd p{ready.get(), POLLIN, 0};
  const int polled = poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kWait).count()));
  const ssize_t n = polled > 0 ? read(ready.get(), &c, 1) : -1;
  if (n == 1 && c == '\n') {
    write_text(s.daemon_pid(), std::to_string(pid) + "\n");
    printf("hwtrackd ready (pid %d)\n", static_cast<int>(pid));
    fflush(stdout);
    return kExitOk;
  }
  kill(pid, SIGKILL);
  const int status = wait_exit(pid);
  const std::string what = n == 0 ? "ended with status " + std::to_string(status) + " before it was ready"
                                  : "was not ready in time";
  return fail("hwtrackd " + what + "; see " + s.daemon_out().string());
}

// The exit status the run noted for pid, once it reaped it.
std::optional<int> reaped_status(const Session &s, pid_t pid) {
  std::istringstream in(read_text(s.daemon_status()));
  long reaped = 0;
  int status = 0;
  if (in >> reaped >> status && reaped == pid) return status;
  return std::nullopt;
}

int stop_daemon(const Session &s) {
  const pid_t pid = running_daemon(s);
  if (!pid) {
    const auto ended = reaped_status(s, static_cast<pid_t>(read_number(s.daemon_pid(), 0)));
    return fail("hwtrackd is not running" +
                (ended ? " (it ended with status " + std::to_string(*ended) + ")" : std::string()));
  }
  kill(pid, SIGTERM);
  std::optional<int> status;
  if (getpid() == 1)
    status = wait_exit(pid);
  else if (!wait_for([&] { return (status = reaped_status(s, pid)).has_value(); }))
    return fail("hwtrackd (pid " + std::to_string(pid) + ") did not stop");
  fs::remove(s.daemon_pid());
  return *status == 0 ? kExitOk : fail("hwtrackd ended with status " + std::to_string(*status));
}

// --- setting a run up ----------------------------------------------------------------

struct RunOptions {
  std::string board = kDefaultBoard;
  std::string kernel = "old";
  std::string script;
  std::string debug = "6";
  std::vector<std::string> hook;
};

// A /dev of the run's own: a tmpfs with the machine's null, zero, random,
// urandom and tty nodes and its pseudo-terminals bound in (in a user
// namespace no node can be made), and room for the run's /dev/log.
std::string make_private_dev(const Session &s) {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) return "make / private: " + errno_text();
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) < 0)
    return "mount /proc: " + errno_text();
  const fs::path keep = s.dir / "dev";
  fs::create_directory(keep);
  std::vector<std::string> nodes;
  for (const char *name : {"null", "zero", "random", "urandom", "tty"}) {
    const fs::path host = fs::path("/dev") / name;
    if (!fs::exists(host)) continue;
    std::ofstream{keep / name};
    if (mount(host.c_str(), (keep / name).c_str(), nullptr, MS_BIND, nullptr) == 0) nodes.emplace_back(name);
  }
  const bool pts = fs::is_directory("/dev/pts") && fs::create_directory(keep / "pts") &&
                   mount("/dev/pts", (keep / "pts").c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
  if (mount("boardsim-dev", "/dev", "tmpfs", MS_NOSUID, "mode=0755,size=1m") < 0)
    return "tmpfs on /dev: " + errno_text();
  for (const std::string &name : nodes) {
    const fs::path node = fs::path("/dev") / name;
    std::ofstream{node};
    if (mount((keep / name).c_str(), node.c_str(), nullptr, MS_BIND, nullptr) < 0)
      return node.string() + ": " + errno_text();
  }
  if (pts) {
    fs::create_directory("/dev/pts");
    if (mount((keep / "pts").c_str(), "/dev/pts", nullptr, MS_BIND | MS_REC, nullptr) == 0)
      fs::create_symlink("pts/ptmx", "/dev/ptmx");
  }
  return "";
}

void discard_log(int, const char *) {}

// The class script the daemon runs: it notes its arguments, then runs the
// user's script with them.
std::string configure_rdb(const Session &s, const RunOptions &o) {
  std::ofstream wrapper(s.class_script());
  wrapper << "#!/bin/sh\n# boardsim run: notes the arguments, then runs the class script.\nprintf '%s\\n' \"$*\" >>"
          << sh_quote(s.script_calls()) << "\nexec " << sh_quote(o.script) << " \"$@\"\n";
  wrapper.close();
  fs::permissions(s.class_script(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
  std::ofstream{s.script_calls()};
  hwlog_set_sink(discard_log);
  if (rdb_init() < 0) return "cannot reach rdbd: " + errno_text();
  const bool ok = rdb_set_value("sys.hw.cfg.hwclass_script", s.class_script().c_str(), 1) == 0 &&
                  rdb_set_value("sys.hw.cfg.debug", o.debug.c_str(), 1) == 0;
  rdb_fini();
  return ok ? "" : "cannot write the RDB: " + errno_text();
}

bool rdb_answers() {
  hwlog_set_sink(discard_log);
  const bool open = rdb_init() == 0;
  rdb_fini();
  return open;
}

// Starts the syslog reader and rdbd, lays the board out and configures the
// RDB; "" or what failed.
std::string bring_up(const Session &s, const RunOptions &o, const std::string &rdbd) {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) < 0) return "cannot create namespaces: " + errno_text();
  if (std::string why = make_private_dev(s); !why.empty()) return why;
  hw::unique_fd null(open("/dev/null", O_RDWR | O_CLOEXEC));
  hw::unique_fd log(open(s.syslog().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  Spawn reader;
  reader.argv = {self_path(), "syslog", "/dev/log"};
  reader.in = null.get();
  reader.out = log.get();
  reader.own_group = true;
  if (spawn(reader) < 0 || !wait_for([] { return fs::is_socket("/dev/log"); }))
    return "the syslog reader did not start";

  hw::unique_fd rdbd_log(open((s.dir / "rdbd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  Spawn server;
  server.argv = {rdbd, "--socket", s.rdb_socket(), "--store", s.dir / "rdb.store"};
  server.in = null.get();
  server.err = rdbd_log.get();
  server.own_group = true;
  if (spawn(server) < 0 || !wait_for(rdb_answers)) return "rdbd did not start; see " + (s.dir / "rdbd.log").string();

  Spawn layout;
  layout.argv = {self_path(), "layout", s.root(), "--board", o.board, "--kernel", o.kernel};
  if (run_to_end(layout) != 0) return "the board could not be laid out";
  return configure_rdb(s, o);
}

void print_banner(const Session &s, const RunOptions &o) {
  printf(
      "boardsim run: board %s (kernel %s) with rdbd and hwtrackd in private\n"
      "namespaces. $%s is the run's folder (%s),\n"
      "$%s the board's sysfs root.\n"
      "  boardsim list $%s          ports and devices\n"
      "  boardsim plug $%s modem    plug a device (unplug and mode alike)\n"
      "  boardsim settle; boardsim report      wait for the daemon, then show its log,\n"
      "                                        the class table and the script's calls\n"
      "  hwtrack-explain --all                 how each device is identified and matched\n"
      "  boardsim daemon stop|start            stop or start hwtrackd\n"
      "  exit                                  end the run; its folder goes with it\n",
      o.board.c_str(), o.kernel.c_str(), kDirVar, s.dir.c_str(), kRootVar, kRootVar, kRootVar);
  fflush(stdout);
}

// The shell or the hook, with the run's settings in its environment.
Spawn user_side(const Session &s, const RunOptions &o) {
  Spawn user;
  if (!o.hook.empty()) {
    user.argv = o.hook;
    return user;
  }
  const char *shell = getenv("SHELL") && *getenv("SHELL") ? getenv("SHELL") : "/bin/sh";
  user.argv = {shell};
  if (isatty(0)) {
    print_banner(s, o);
    if (fs::path(shell).filename() == "bash") user.argv.emplace_back("--norc");
    user.argv.emplace_back("-i");
    setenv("PS1", ("boardsim:" + o.board + "# ").c_str(), 1);
  }
  return user;
}

// Reaps every process of the run until the user's side ends; notes the
// daemon's exit status for `daemon stop`.
int reap_until(const Session &s, pid_t user) {
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      return kExitFailed;
    }
    if (pid == static_cast<pid_t>(read_number(s.daemon_pid(), 0)))
      write_text(s.daemon_status(), std::to_string(pid) + " " + std::to_string(exit_status(status)) + "\n");
    if (pid == user) return exit_status(status);
  }
}

// The first process of the run's PID namespace.
int run_inside(const Session &s, const RunOptions &o, const std::string &rdbd) {
  const std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (fs::path(self_path()).parent_path().string() + ":" + path).c_str(), 1);
  setenv(kDirVar, s.dir.c_str(), 1);
  setenv(kRootVar, s.root().c_str(), 1);
  setenv("SYSFS_PATH", s.root().c_str(), 1);
  setenv("RDB_DEVICE", s.rdb_socket().c_str(), 1);
  if (std::string why = bring_up(s, o, rdbd); !why.empty()) return fail(why);
  if (start_daemon(s) != kExitOk) return kExitFailed;
  const pid_t user = spawn(user_side(s, o));
  const int status = user < 0 ? kExitFailed : reap_until(s, user);
  if (running_daemon(s)) stop_daemon(s);
  return status;
}

std::optional<RunOptions> parse_run(const std::vector<std::string> &args, std::string &error) {
  RunOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg == "--") {
      o.hook.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (!arg.starts_with("--")) {
      o.hook.assign(args.begin() + static_cast<long>(i), args.end());
      break;
    }
    std::string *value = arg == "--board"    ? &o.board
                         : arg == "--kernel" ? &o.kernel
                         : arg == "--script" ? &o.script
                         : arg == "--debug"  ? &o.debug
                                             : nullptr;
    if (!value) {
      error = "unknown option " + arg;
      return std::nullopt;
    }
    if (++i == args.size()) {
      error = arg + " needs a value";
      return std::nullopt;
    }
    *value = args[i];
  }
  if (o.script.empty())
    error = "run needs --script FILE";
  else if (!parse_kernel(o.kernel))
    error = "--kernel takes old or 6.6";
  else if (o.debug.empty() || o.debug.find_first_not_of("0123456789") != std::string::npos)
    error = "--debug takes 0 to 7";
  if (!error.empty()) return std::nullopt;
  return o;
}

pid_t run_child = -1;
void end_run(int) {
  if (run_child > 0) kill(run_child, SIGKILL);
}

bool write_file(const char *path, const std::string &text) {
  hw::unique_fd fd(open(path, O_WRONLY | O_CLOEXEC));
  return fd && write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// As root, a new PID namespace; otherwise in a new user namespace too, in
// which the user is root (as `unshare --map-root-user` does).
std::string enter_pid_namespace() {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (unshare(CLONE_NEWPID | (uid == 0 ? 0 : CLONE_NEWUSER)) < 0)
    return "cannot create namespaces (" + errno_text() +
           "): run as root, or where unprivileged user namespaces are allowed";
  if (uid != 0 && !(write_file("/proc/self/setgroups", "deny") &&
                    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")))
    return "cannot map the user to root in its namespace: " + errno_text();
  return "";
}

// The process between boardsim and the run: it makes the PID namespace,
// whose first process is the run, so that boardsim itself stays where it
// was (a process whose namespace for children has ended can fork no more).
// Each of the two ends with its parent: a run never outlives boardsim.
int run_in_pid_namespace(const Session &s, const RunOptions &o, const std::string &rdbd) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (std::string why = enter_pid_namespace(); !why.empty()) return fail(why);
  const pid_t first = fork();
  if (first == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    _exit(run_inside(s, o, rdbd));
  }
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
  return first < 0 ? fail("cannot fork: " + errno_text()) : wait_exit(first);
}

}  // namespace

int session_run(const std::vector<std::string> &args) {
  std::string error;
  std::optional<RunOptions> o = parse_run(args, error);
  if (!o) return usage(error);
  if (getenv(kDirVar)) return fail("already inside a run");
  bool known = false;
  for (const BoardInfo &b : boards()) known |= b.name == o->board;
  if (!known) return usage("no board " + o->board);
  std::error_code ec;
  o->script = fs::absolute(o->script, ec).string();
  if (access(o->script.c_str(), X_OK) < 0) return fail(o->script + " is not an executable file");
  const std::string hwtrackd = find_program("hwtrackd"), rdbd = find_program("rdbd");
  if (hwtrackd.empty() || rdbd.empty()) return fail("hwtrackd and rdbd must be beside boardsim or in PATH");
  setenv(kDaemonVar, hwtrackd.c_str(), 1);

  const char *tmp = getenv("TMPDIR") && *getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  std::string dir = std::string(tmp) + "/boardsim.XXXXXX";
  if (!mkdtemp(dir.data())) return fail("cannot make a folder in " + std::string(tmp) + ": " + errno_text());
  const Session s{dir};
  fflush(stdout);
  run_child = fork();
  if (run_child == 0) _exit(run_in_pid_namespace(s, *o, rdbd));
  // The terminal's Ctrl-C is the shell's or the hook's to take; a stop
  // request ends the whole run.
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
  signal(SIGTERM, end_run);
  signal(SIGHUP, end_run);
  const int status = run_child < 0 ? fail("cannot fork: " + errno_text()) : wait_exit(run_child);
  fs::remove_all(s.dir, ec);
  return status;
}

int session_daemon(const std::vector<std::string> &args) {
  const auto s = current_session();
  if (!s) return fail("daemon works inside boardsim run only");
  if (args.size() == 1 && args[0] == "start") return start_daemon(*s);
  if (args.size() == 1 && args[0] == "stop") return stop_daemon(*s);
  return usage("daemon takes start or stop");
}

int session_settle(const std::vector<std::string> &args) {
  const auto s = current_session();
  if (!s) return fail("settle works inside boardsim run only");
  if (!args.empty()) return usage("settle takes no arguments");
  if (!running_daemon(*s)) return fail("hwtrackd is not running");
  const long n = read_number(s->settle_count(), 0) + 1;
  write_text(s->settle_count(), std::to_string(n) + "\n");
  const std::string devpath = kSettleDevpath + std::to_string(n);
  hw::unique_fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
  Spawn send;
  send.argv = {self_path(), "send", "change", devpath, "boardsim"};
  send.out = null.get();
  if (run_to_end(send) != 0) return fail("cannot send the marker event");
  // The daemon takes its events one at a time, in order: once it logs the
  // marker, it has handled every event sent before it. Its line has a blank
  // after the devpath, so settle1 is not taken for settle10.
  if (!wait_for([&] { return read_text(s->syslog()).find(devpath + " ") != std::string::npos; }))
    return fail("hwtrackd did not log the marker event (it logs events at sys.hw.cfg.debug 6 and up)");
  return kExitOk;
}

namespace {

// The lines of path from byte offset on; offset moves past them.
std::vector<std::string> new_lines(const fs::path &path, long &offset) {
  const std::string text = read_text(path);
  std::vector<std::string> lines;
  if (offset > static_cast<long>(text.size())) offset = 0;
  std::istringstream in(text.substr(static_cast<size_t>(offset)));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  offset = static_cast<long>(text.size());
  return lines;
}

// "info    hwtrackd[42]: <hwtrack:main:88> scan devices" as "  info    scan devices".
std::optional<std::string> daemon_line(const std::string &line) {
  const size_t ident = line.find("hwtrackd[");
  if (ident == std::string::npos) return std::nullopt;
  for (const char *quiet : kQuietLines)
    if (line.find(quiet) != std::string::npos) return std::nullopt;
  size_t text = line.find("]: ", ident);
  text = text == std::string::npos ? ident : text + 3;
  if (line.compare(text, 1, "<") == 0 && line.find("> ", text) != std::string::npos) text = line.find("> ", text) + 2;
  return "  " + line.substr(0, ident) + line.substr(text);
}

}  // namespace

int session_report(const std::vector<std::string> &args) {
  const auto s = current_session();
  if (!s) return fail("report works inside boardsim run only");
  if (!args.empty()) return usage("report takes no arguments");
  std::istringstream state(read_text(s->report_state()));
  long log_seen = 0, calls_seen = 0;
  state >> log_seen >> calls_seen;

  puts("--- hwtrackd's syslog");
  for (const std::string &line : new_lines(s->syslog(), log_seen))
    if (const auto shown = daemon_line(line)) puts(shown->c_str());
  puts("--- class table");
  const std::string table = capture_self({"show", "classes"});
  fputs(table.substr(table.find('\n') + 1).c_str(), stdout);
  puts("--- class script calls");
  const std::vector<std::string> calls = new_lines(s->script_calls(), calls_seen);
  for (const std::string &call : calls) printf("  %s\n", call.c_str());
  if (calls.empty()) puts("  (none)");
  write_text(s->report_state(), std::to_string(log_seen) + " " + std::to_string(calls_seen) + "\n");
  return fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

}  // namespace board
