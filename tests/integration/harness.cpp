// SPDX-License-Identifier: MIT
#include "tests/integration/harness.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "base/unique_fd.h"
#include "rdb/rdbdrv.h"
#include "tests/support/monitor.h"
#include "tests/support/namespaces.h"
#include "tests/support/procfs.h"
#include "tests/support/rdb_client.h"
#include "tests/support/rdbd_process.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace itest {
namespace {

using hw::unique_fd;
using testsupport::reap_by;
using testsupport::try_reap;

using testsupport::errno_text;

bool write_text(const char *path, std::string_view text) {
  const unique_fd fd(open(path, O_WRONLY | O_CLOEXEC));
  if (!fd) return false;
  return write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool make_dirs(const std::string &path, mode_t mode = 0755) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), mode) < 0 && errno != EEXIST) return false;
  }
  return true;
}

using SocketInodes = std::map<int, std::string>;

bool holds(const SocketInodes &sockets, const std::string &inode) {
  return std::any_of(sockets.begin(), sockets.end(), [&](const auto &socket) { return socket.second == inode; });
}

// /proc/net/unix: Num RefCount Protocol Flags Type St Inode [Path]
bool holds_monitor_socket(const SocketInodes &sockets) {
  const std::string name = testsupport::monitor_socket_listed_name();
  for (const auto &row : testsupport::proc_table_rows("/proc/net/unix"))
    if (row.size() >= 8 && holds(sockets, row[6]) && row[7] == name) return true;
  return false;
}

// /proc/net/netlink: sk Eth Pid Groups Rmem Wmem Dump Locks Drops Inode
bool holds_uevent_socket(const SocketInodes &sockets) {
  for (const auto &row : testsupport::proc_table_rows("/proc/net/netlink"))
    if (row.size() >= 10 && row[1] == std::to_string(NETLINK_KOBJECT_UEVENT) && holds(sockets, row[9])) return true;
  return false;
}

// Sets up the calling process's private world; "" or what failed.
std::string enter_private_namespaces() {
  if (std::string e = testsupport::enter_namespaces(CLONE_NEWNS | CLONE_NEWNET); !e.empty()) return e;
  if (std::string e = testsupport::make_private_dev("4m"); !e.empty()) return e;
  if (std::string e = testsupport::mount_devpts(); !e.empty()) return e;
  // A syslog sender blocks when this queue is full; the reader drains it,
  // but a roomy queue keeps the daemon's timing close to a real system's.
  testsupport::write_sysctl("net/unix/max_dgram_qlen", "1024");
  return "";
}

// A pseudo-terminal pair in raw mode: what the daemon writes arrives as is.
bool open_pty(unique_fd &master, unique_fd &slave) {
  master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master || grantpt(master.get()) < 0 || unlockpt(master.get()) < 0) return false;
  char name[64];
  if (ptsname_r(master.get(), name, sizeof name) != 0) return false;
  slave.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave) return false;
  termios t{};
  if (tcgetattr(slave.get(), &t) < 0) return false;
  cfmakeraw(&t);
  return tcsetattr(slave.get(), TCSANOW, &t) == 0;
}

}  // namespace

const char *hwtrackd_path() { return HWTRACK_TEST_HWTRACKD; }
const char *rdbd_path() { return HWTRACK_TEST_RDBD; }

// ---------------------------------------------------------------------------

std::string SyslogLine::message() const {
  if (text.empty() || text.front() != '<') return text;
  const size_t end = text.find("> ");
  return end == std::string::npos ? text : text.substr(end + 2);
}

namespace {
// The three fields of "<module:function:line> ", empty when absent.
std::vector<std::string> prefix_fields(const std::string &text) {
  if (text.empty() || text.front() != '<') return {};
  const size_t end = text.find("> ");
  if (end == std::string::npos) return {};
  std::vector<std::string> f;
  std::istringstream in(text.substr(1, end - 1));
  for (std::string part; std::getline(in, part, ':');) f.push_back(part);
  if (f.size() != 3) return {};
  return f;
}
}  // namespace

std::string SyslogLine::module() const {
  auto f = prefix_fields(text);
  return f.empty() ? "" : f[0];
}
std::string SyslogLine::function() const {
  auto f = prefix_fields(text);
  return f.empty() ? "" : f[1];
}
int SyslogLine::line() const {
  auto f = prefix_fields(text);
  return f.empty() ? -1 : atoi(f[2].c_str());
}

std::optional<SyslogLine> parse_syslog_datagram(std::string_view d) {
  if (d.empty() || d.front() != '<') return std::nullopt;
  const size_t close = d.find('>');
  if (close == std::string_view::npos || close == 1) return std::nullopt;
  int pri = 0;
  for (char c : d.substr(1, close - 1)) {
    if (c < '0' || c > '9') return std::nullopt;
    pri = pri * 10 + (c - '0');
  }
  SyslogLine line;
  line.priority = pri & 7;
  line.facility = pri & ~7;
  std::string_view rest = d.substr(close + 1);
  // "Mmm dd hh:mm:ss ident[pid]: text"
  const size_t tag_end = rest.find("]: ");
  size_t text_start;
  if (tag_end != std::string_view::npos) {
    const size_t open = rest.rfind('[', tag_end);
    const size_t space = rest.rfind(' ', open);
    line.ident = std::string(rest.substr(space == std::string_view::npos ? 0 : space + 1,
                                         open - (space == std::string_view::npos ? 0 : space + 1)));
    line.pid = atoi(std::string(rest.substr(open + 1, tag_end - open - 1)).c_str());
    text_start = tag_end + 3;
  } else {
    // "Mmm dd hh:mm:ss ident: text" (logged before openlog asked for the pid)
    const size_t colon = rest.find(": ", rest.size() > 16 ? 16 : 0);
    if (colon != std::string_view::npos) {
      const size_t space = rest.rfind(' ', colon);
      const size_t ident_start = space == std::string_view::npos ? 0 : space + 1;
      line.ident = std::string(rest.substr(ident_start, colon - ident_start));
    }
    text_start = colon == std::string_view::npos ? 0 : colon + 2;
  }
  std::string_view text = rest.substr(text_start);
  while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  line.text = std::string(text);
  return line;
}

std::string make_uevent(std::string_view action, std::string_view devpath, std::string_view subsystem,
                        unsigned seqnum) {
  return board::Uevent{std::string(action), std::string(devpath), std::string(subsystem), {}, seqnum}.datagram();
}

// ---------------------------------------------------------------------------
// What the reader thread collects.

struct Harness::Capture {
  enum class Kind { Stdout, Stderr };
  struct Stream {
    unique_fd fd;
    Kind kind;
    unsigned generation;
  };

  mutable std::mutex m;
  std::condition_variable cv;
  std::vector<SyslogLine> log;
  std::vector<std::string> out_lines;
  std::string out_partial;
  std::string err;
  unsigned generation = 0;  // of the current daemon; older streams are drained and dropped
  std::vector<Stream> streams;

  unique_fd wake;
  unique_fd syslog;
  // The read end of the current daemon's readiness pipe, and what it said
  // (main thread only).
  unique_fd ready;
  bool ready_seen = false;
  bool rdb_given = false;
  std::atomic<bool> stopping{false};
  std::thread thread;

  void poke() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake.get(), &one, sizeof one);
  }

  void add_stream(int fd, Kind kind) {
    {
      std::lock_guard lock(m);
      streams.push_back({unique_fd(fd), kind, generation});
    }
    poke();
  }

  void new_generation() {
    std::lock_guard lock(m);
    ++generation;
    out_lines.clear();
    out_partial.clear();
    err.clear();
  }

  // With m held.
  bool streams_closed(unsigned gen) const {
    return std::none_of(streams.begin(), streams.end(), [&](const Stream &s) { return s.generation == gen; });
  }

  void append(Kind kind, unsigned gen, std::string_view data) {
    std::lock_guard lock(m);
    if (gen != generation) return;
    if (kind == Kind::Stderr) {
      err.append(data);
    } else {
      out_partial.append(data);
      for (size_t nl; (nl = out_partial.find('\n')) != std::string::npos;) {
        out_lines.push_back(out_partial.substr(0, nl));
        out_partial.erase(0, nl + 1);
      }
    }
    cv.notify_all();
  }

  void drain_syslog() {
    for (;;) {
      char buf[8192];
      const ssize_t n = recv(syslog.get(), buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) return;
      if (auto line = parse_syslog_datagram(std::string_view(buf, static_cast<size_t>(n)))) {
        std::lock_guard lock(m);
        log.push_back(std::move(*line));
        cv.notify_all();
      }
    }
  }

  void run() {
    while (!stopping) {
      std::vector<pollfd> fds = {{wake.get(), POLLIN, 0}, {syslog.get(), POLLIN, 0}};
      {
        std::lock_guard lock(m);
        for (const auto &s : streams) fds.push_back({s.fd.get(), POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
      if (fds[0].revents & POLLIN) {
        uint64_t v;
        [[maybe_unused]] ssize_t n = read(wake.get(), &v, sizeof v);
      }
      if (fds[1].revents & POLLIN) drain_syslog();
      for (size_t i = 2; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[4096];
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        const int read_errno = errno;
        std::unique_lock lock(m);
        auto it = std::find_if(streams.begin(), streams.end(), [&](const Stream &s) { return s.fd.get() == fds[i].fd; });
        if (it == streams.end()) continue;
        if (n > 0) {
          const Kind kind = it->kind;
          const unsigned gen = it->generation;
          lock.unlock();
          append(kind, gen, std::string_view(buf, static_cast<size_t>(n)));
        } else if (n == 0 || (read_errno != EINTR && read_errno != EAGAIN)) {
          // EOF of a pipe, EIO of a pseudo-terminal whose other side is gone.
          streams.erase(it);
          cv.notify_all();
        }
      }
    }
  }

  template <typename Pred>
  bool wait(Pred pred, Deadline deadline) {
    std::unique_lock lock(m);
    return cv.wait_until(lock, deadline, [&] { return pred(); });
  }
};

// ---------------------------------------------------------------------------

Harness::Harness() : capture_(std::make_unique<Capture>()) {
  if (const std::string e = enter_private_namespaces(); !e.empty()) {
    fail(e);
    return;
  }

  try {
    temp_ = std::make_unique<board::TempDir>("hwtrack-itest");
  } catch (const std::system_error &e) {
    fail(e.what());
    return;
  }
  dir_ = temp_->path().string();
  // Daemons run as another user in some tests; they must reach their files.
  chmod(dir_.c_str(), 0755);
  if (!make_dirs(sysfs_root())) {
    fail(errno_text("mkdir " + sysfs_root()));
    return;
  }
  rdbd_ = std::make_unique<testsupport::RdbdProcess>(rdbd_path(), rdb_socket(), rdb_store(), path("rdbd.log"));

  capture_->syslog.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, "/dev/log");
  if (!capture_->syslog || bind(capture_->syslog.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
    fail(errno_text("bind /dev/log"));
    return;
  }
  chmod("/dev/log", 0666);
  const int size = 4 << 20;
  setsockopt(capture_->syslog.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);

  capture_->wake.reset(eventfd(0, EFD_CLOEXEC));
  if (!capture_->wake) {
    fail(errno_text("eventfd"));
    return;
  }
  capture_->thread = std::thread([c = capture_.get()] { c->run(); });
}

Harness::~Harness() {
  if (daemon_pid_ > 0 && !try_reap(daemon_pid_))
    testsupport::stop_process(daemon_pid_, SIGKILL, within(std::chrono::seconds(10)));
  rdbd_.reset();
  if (capture_->thread.joinable()) {
    capture_->stopping = true;
    capture_->poke();
    capture_->thread.join();
  }
}

void Harness::fail(std::string what) { error_ = std::move(what); }

std::string Harness::path(std::string_view relative) const {
  std::string p = dir_;
  if (!relative.empty() && relative.front() != '/') p += '/';
  p += relative;
  return p;
}

bool Harness::write_file(const std::string &file, std::string_view content) {
  const size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0 && !make_dirs(file.substr(0, slash))) return false;
  const unique_fd fd(open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return false;
  return write(fd.get(), content.data(), content.size()) == static_cast<ssize_t>(content.size());
}

bool Harness::make_symlink(const std::string &target, const std::string &link) {
  const size_t slash = link.rfind('/');
  if (slash != std::string::npos && slash > 0 && !make_dirs(link.substr(0, slash))) return false;
  return symlink(target.c_str(), link.c_str()) == 0;
}

std::string Harness::daemon_for_others() {
  // The build folder may be out of other users' reach (a clone in root's
  // 0700 home); this folder is not.
  const std::string copy = path("hwtrackd");
  if (access(copy.c_str(), X_OK) == 0) return copy;
  std::filesystem::copy_file(hwtrackd_path(), copy);
  chmod(copy.c_str(), 0755);
  return copy;
}

// --- rdbd ---------------------------------------------------------------------

bool Harness::start_rdbd(Deadline deadline, std::vector<std::string> args) {
  // A server killed before left its socket behind; nobody answers there.
  unlink(rdb_socket().c_str());
  if (!rdbd_) return false;
  rdbd_->set_args(std::move(args));
  return rdbd_->start(deadline);
}

int Harness::stop_rdbd(int signo, Deadline deadline) { return rdbd_ ? rdbd_->stop(signo, deadline) : -1; }

bool Harness::rdbd_running() { return rdbd_ && rdbd_->running(); }

pid_t Harness::rdbd_pid() const { return rdbd_ ? rdbd_->pid() : -1; }

// --- RDB --------------------------------------------------------------------------

std::optional<std::string> Harness::rdb_get(const std::string &name) {
  const rdbdrv_handle_ptr rdb = testsupport::open_rdb(rdb_socket());
  return rdb ? testsupport::get_variable(rdb.get(), name) : std::nullopt;
}

bool Harness::rdb_set(const std::string &name, const std::string &value, bool persist) {
  const rdbdrv_handle_ptr rdb = testsupport::open_rdb(rdb_socket());
  return rdb && testsupport::put_variable(rdb.get(), name, value, persist) == 0;
}

bool Harness::rdb_del(const std::string &name) {
  const rdbdrv_handle_ptr rdb = testsupport::open_rdb(rdb_socket());
  return rdb && rdbdrv_delete(rdb.get(), name.c_str()) == 0;
}

std::vector<std::string> Harness::rdb_names(const std::string &prefix) {
  const rdbdrv_handle_ptr rdb = testsupport::open_rdb(rdb_socket());
  const std::optional<std::string> listing = rdb ? testsupport::list_names(rdb.get(), prefix) : std::nullopt;
  std::vector<std::string> names;
  for (std::string &name : testsupport::split_names(listing.value_or("")))
    if (name.starts_with(prefix)) names.push_back(std::move(name));
  std::sort(names.begin(), names.end());
  return names;
}

bool Harness::wait_for_rdb(const std::string &name, const std::optional<std::string> &value, Deadline deadline) {
  return wait_until([&] { return rdb_get(name) == value; }, deadline);
}

// --- hwtrackd ---------------------------------------------------------------------

bool Harness::start_daemon(const DaemonOptions &options, Deadline deadline) {
  unique_fd master, slave;
  if (!open_pty(master, slave)) return false;
  if (options.stdout_unread || options.stdout_stuck) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) < 0) return false;
    stuck_stdout_.reset(out[0]);
    if (options.stdout_unread) stuck_stdout_.reset();
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    slave.reset(out[1]);
  }
  int err[2], ready[2];
  if (pipe2(err, O_CLOEXEC) < 0 || pipe2(ready, O_CLOEXEC) < 0) return false;
  unique_fd err_r(err[0]), err_w(err[1]), ready_w(ready[1]);
  // Filled while it does not block, then handed over blocking, as the daemon would get it.
  const int flags = fcntl(ready[1], F_GETFL);
  fcntl(ready[1], F_SETFL, flags | O_NONBLOCK);
  while (options.ready_pipe_full && write(ready[1], "x", 1) == 1) {
  }
  fcntl(ready[1], F_SETFL, flags);
  capture_->ready.reset(ready[0]);
  capture_->ready_seen = false;
  capture_->rdb_given = options.with_rdb;

  testsupport::Env env = {
      {"RDB_DEVICE", options.with_rdb ? rdb_socket() : path("no-rdb.sock")},
      {"SYSFS_PATH", sysfs_root()},
      {"HWTRACKD_READY_FD", "3"},
  };
  env.insert(env.end(), options.env.begin(), options.env.end());
  std::vector<std::string> argv = options.wrapper;
  argv.push_back(options.uid == 0 ? hwtrackd_path() : daemon_for_others());
  argv.insert(argv.end(), options.args.begin(), options.args.end());

  capture_->new_generation();
  const unique_fd null(open("/dev/null", O_RDONLY | O_CLOEXEC));
  daemon_pid_ = testsupport::spawn(argv, {.env = env,
                                          .in = null.get(),
                                          .out = slave.get(),
                                          .err = err_w.get(),
                                          .no_stdio = options.no_stdio,
                                          .extra = {ready_w.get()},
                                          .uid = options.uid,
                                          .gid = options.gid});
  if (daemon_pid_ < 0) return false;
  slave.reset();
  err_w.reset();
  ready_w.reset();
  capture_->add_stream(master.release(), Capture::Kind::Stdout);
  capture_->add_stream(err_r.release(), Capture::Kind::Stderr);
  return !options.wait_ready || wait_ready(deadline);
}

bool Harness::wait_ready(Deadline deadline) {
  // Without an RDB to open the daemon is not ready; it has got as far as it
  // can once it holds both event sockets.
  if (!capture_->rdb_given || !rdbd_running())
    return wait_until(
               [&] {
                 if (!daemon_running()) return true;
                 const SocketInodes sockets = testsupport::socket_inodes(daemon_pid_);
                 return holds_monitor_socket(sockets) && holds_uevent_socket(sockets);
               },
               deadline) &&
           daemon_running();
  const auto reported = [&] {
    char c = 0;
    pollfd p{capture_->ready.get(), POLLIN, 0};
    if (!capture_->ready_seen && poll(&p, 1, 0) > 0 && read(p.fd, &c, 1) == 1) capture_->ready_seen = c == '\n';
    return capture_->ready_seen;
  };
  return wait_until([&] { return reported() || !daemon_running(); }, deadline) && reported();
}

bool Harness::daemon_running() {
  if (daemon_pid_ <= 0) return false;
  // A zombie still answers kill(0); look at its state instead of reaping it.
  const char state = testsupport::process_state(daemon_pid_);
  return state != '?' && state != 'Z' && state != 'X';
}

int Harness::wait_daemon_exit(Deadline deadline) {
  if (daemon_pid_ <= 0) return -1;
  const auto st = reap_by(daemon_pid_, deadline);
  if (!st) return -1;
  // Let the reader take the last output before anyone looks at it.
  const unsigned gen = [&] {
    std::lock_guard lock(capture_->m);
    return capture_->generation;
  }();
  capture_->wait([&] { return capture_->streams_closed(gen); }, deadline);
  daemon_pid_ = -daemon_pid_;  // keep the pid for log_lines()
  return *st;
}

int Harness::stop_daemon(int signo, Deadline deadline) {
  if (daemon_pid_ <= 0) return -1;
  if (daemon_running()) kill(daemon_pid_, signo);
  return wait_daemon_exit(deadline);
}

bool Harness::pause_daemon(Deadline deadline) {
  if (daemon_pid_ <= 0 || kill(daemon_pid_, SIGSTOP) < 0) return false;
  return wait_until([&] { return testsupport::process_state(daemon_pid_) == 'T'; }, deadline);
}

bool Harness::resume_daemon() { return daemon_pid_ > 0 && kill(daemon_pid_, SIGCONT) == 0; }

// --- output ------------------------------------------------------------------------

std::vector<std::string> Harness::stdout_lines() const {
  std::lock_guard lock(capture_->m);
  return capture_->out_lines;
}

std::string Harness::stderr_text() const {
  std::lock_guard lock(capture_->m);
  return capture_->err;
}

std::optional<std::string> Harness::wait_for_stdout(std::string_view needle, Deadline deadline) {
  std::optional<std::string> found;
  capture_->wait(
      [&] {
        for (const auto &l : capture_->out_lines)
          if (l.find(needle) != std::string::npos) {
            found = l;
            return true;
          }
        return false;
      },
      deadline);
  return found;
}

bool Harness::wait_for_stdout_count(std::string_view needle, size_t count, Deadline deadline) {
  return capture_->wait(
      [&] {
        return static_cast<size_t>(std::count_if(capture_->out_lines.begin(), capture_->out_lines.end(), [&](const std::string &l) {
                 return l.find(needle) != std::string::npos;
               })) >= count;
      },
      deadline);
}

bool Harness::wait_for_log_count(std::string_view needle, size_t count, Deadline deadline) {
  const pid_t pid = logging_pid();
  return capture_->wait(
      [&] {
        size_t n = 0;
        for (const auto &l : capture_->log)
          if (l.pid == pid && l.message().find(needle) != std::string::npos) ++n;
        return n >= count;
      },
      deadline);
}

bool Harness::wait_for_stderr(std::string_view needle, Deadline deadline) {
  return capture_->wait([&] { return capture_->err.find(needle) != std::string::npos; }, deadline);
}

std::vector<SyslogLine> Harness::log_lines() const {
  const pid_t pid = logging_pid();
  std::vector<SyslogLine> out;
  std::lock_guard lock(capture_->m);
  for (const auto &l : capture_->log)
    if (l.pid == pid) out.push_back(l);
  return out;
}

std::vector<SyslogLine> Harness::all_log_lines() const {
  std::lock_guard lock(capture_->m);
  return capture_->log;
}

std::vector<SyslogLine> Harness::log_matching(std::string_view needle) const {
  std::vector<SyslogLine> out;
  for (auto &l : log_lines())
    if (l.message().find(needle) != std::string::npos) out.push_back(std::move(l));
  return out;
}

std::optional<SyslogLine> Harness::wait_for_log(const std::function<bool(const SyslogLine &)> &pred,
                                                Deadline deadline, size_t from) {
  const pid_t pid = logging_pid();
  std::optional<SyslogLine> found;
  capture_->wait(
      [&] {
        size_t index = 0;
        for (const auto &l : capture_->log) {
          if (l.pid != pid) continue;
          if (index++ < from) continue;
          if (pred(l)) {
            found = l;
            return true;
          }
        }
        return false;
      },
      deadline);
  return found;
}

std::optional<SyslogLine> Harness::wait_for_log(std::string_view needle, Deadline deadline, size_t from) {
  return wait_for_log([&](const SyslogLine &l) { return l.message().find(needle) != std::string::npos; }, deadline,
                      from);
}

// --- sending --------------------------------------------------------------------------

bool Harness::send_monitor(std::string_view datagram) {
  testsupport::MonitorSender sender;
  return sender.ok() && sender.send(datagram);
}

bool Harness::send_monitor_as(uid_t uid, gid_t gid, std::string_view datagram) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The child of a process with threads: system calls only, no allocation.
    if (!testsupport::become_user(uid, gid)) _exit(2);
    testsupport::MonitorSender sender;
    _exit(sender.ok() && sender.send(datagram) ? 0 : 1);
  }
  return reap_by(pid, within()).value_or(-1) == 0;
}

bool Harness::send_netlink(std::string_view datagram, uint32_t port_id) {
  const unique_fd fd = testsupport::netlink_socket();
  return fd && testsupport::send_netlink(fd.get(), port_id, datagram);
}

bool Harness::trigger_kernel_uevent(const std::string &uevent_file, std::string_view action) {
  return write_text(uevent_file.c_str(), action);
}

std::string Harness::dump() const {
  std::ostringstream s;
  s << "--- hwtrackd stdout ---\n";
  for (const auto &l : stdout_lines()) s << l << "\n";
  s << "--- hwtrackd stderr ---\n" << stderr_text();
  s << "--- syslog ---\n";
  for (const auto &l : all_log_lines()) s << l.ident << "[" << l.pid << "] <" << l.priority << "> " << l.text << "\n";
  s << "--- rdbd.log ---\n" << (rdbd_ ? rdbd_->log() : "");
  return s.str();
}

// ---------------------------------------------------------------------------

void DaemonTest::SetUp() {
  if (geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root (namespaces, /dev)";
  harness_ = std::make_unique<Harness>();
  ASSERT_TRUE(harness_->ok()) << harness_->error();
}

void DaemonTest::TearDown() {
  if (harness_ && HasFailure()) std::cerr << harness_->dump();
  harness_.reset();
}

std::string json_member(const std::string &json, const std::string &name) {
  const std::string key = "\"" + name + "\":\"";
  const size_t at = json.find(key);
  return at == std::string::npos ? "" : json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
}

}  // namespace itest
