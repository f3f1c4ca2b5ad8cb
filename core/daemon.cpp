// SPDX-License-Identifier: MIT
// The daemon's life: options, start-up in a fixed order, the event loop and
// the shutdown in the reverse order.

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/strutil.h"
#include "base/unique_fd.h"
#include "core/hwtrack.h"
#include "core/settings.h"
#include "core/startup.h"
#include "rdb/rdb.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"

volatile sig_atomic_t stop_flag = 0;

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

// The start-up and shutdown lines are the daemon's main's own; their prefix
// names "main" so that a field log reads the same whatever calls this file.
#define MAINLOG(priority, fmt, ...) \
  hwlog_write((priority), HWLOG_MODULE, "main", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

constexpr char kUsageText[] =
    "hwtrack manager\n"
    "\n"
    "description:\n"
    "\tThis daemon converts UDEV kernel messages into [sys.hw.class.] RDBs\n"
    "\n"
    "command line options:\n"
    "\t-h print this help screen\n"
    "\n"
    "RDB options:\n"
    "\t[sys.hw.cfg.hwclass_script] : hwtrack event script\n"
    "\t\tscript.sh <RDB Class entry prefix> <device type> <index of RDB Class entry> <inserted|removed>\n"
    "\t\t# $1 rdb prefix - sys.hw.class.<device type>.<n>\n"
    "\t\t# $2 class type (device type) <serial|eth|storage|phonemodule>\n"
    "\t\t# $3 index of RDB Device class <n>\n"
    "\t\t# $4 status <removed|inserted>\n"
    "\n"
    "\t[sys.hw.cfg.debug] : debug level - only taken at startup (1-7, default:4)\n"
    "\n"
    "RDBs \n"
    "\t[sys.hw.dev.<index>] : volatile sys device tree\n"
    "\t[sys.hw.class.<device type>.<index>] : persistant device tree\n"
    "\n";

constexpr int kDefaultLogMask = LOG_UPTO(LOG_WARNING);
constexpr int kAllPriorities = LOG_UPTO(LOG_DEBUG);

constexpr char kBuildDate[] = __DATE__;  // "Mmm dd yyyy", day padded with a blank
constexpr char kBuildTime[] = __TIME__;  // "hh:mm:ss"

// While the RDB is missing, or may miss what was written to it, it is tried
// again at every event and at least this often.
constexpr long kRdbRetryMs = 5000;
// A mirror that the RDB keeps refusing (rdbd's disk full) is rewritten less
// and less often, down to once in this long, so the log is not flooded.
constexpr long kRdbRewriteBackoffMaxMs = 5 * 60 * 1000;

long long rewrite_due_ms = 0;
long rewrite_backoff_ms = kRdbRetryMs;

// A descriptor 0, 1 or 2 that the daemon was started without would be
// taken by the first socket or file it opens, and the event lines, or the
// class script's output, would go there. Each is taken by /dev/null before
// anything else: open() gives the lowest free number, and the lower ones
// are open by then.
void open_missing_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", O_RDWR);
}

// The event lines go to standard output; a reader that goes away
// (hwtrackd | logger, logger restarted) must not kill the daemon. Its
// writes then fail and the lines are dropped. The class script gets the
// default action back.
void ignore_sigpipe() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

// --- readiness --------------------------------------------------------------

// Boot scripts and services that read the class table start once it
// reflects the devices present: the daemon tells its supervisor when the
// start-up scans, made against the RDB, are done. Two ways, each taken from
// the environment: systemd's notification socket (NOTIFY_SOCKET, a path or
// "@" and an abstract name) gets one datagram; a descriptor
// (HWTRACKD_READY_FD, as s6 and mdevd take it) gets a newline and is closed.
constexpr char kNotifySocketVar[] = "NOTIFY_SOCKET";
constexpr char kReadyFdVar[] = "HWTRACKD_READY_FD";

// Both ways are emptied once readiness is reported: it is reported once.
struct readiness_channel {
  hw::fixed_text<sizeof(sockaddr_un::sun_path)> notify_socket;
  hw::unique_fd ready_fd;
  // What was refused, logged once the log is open.
  hw::fixed_text<64> bad_notify_socket;
  hw::fixed_text<32> bad_ready_fd;
  bool waits() const { return !notify_socket.empty() || static_cast<bool>(ready_fd); }
};
readiness_channel readiness;

// Taken before anything can run the class script (the start-up scans do):
// the descriptor is made close-on-exec and both variables leave the
// environment, so neither reaches the script. Descriptors 0 to 2 are
// refused: closing one after the report would hand its number to the next
// file or socket opened, which would then get the event lines.
void take_readiness_channel() {
  if (const char *text = getenv(kReadyFdVar)) {
    const char *end = text + strlen(text);
    int fd = -1;
    const auto [stop, ec] = std::from_chars(text, end, fd);
    if (ec == std::errc() && stop == end && fd > 2 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0)
      readiness.ready_fd.reset(fd);
    else
      readiness.bad_ready_fd.set(text);
    unsetenv(kReadyFdVar);
  }
  if (const char *path = getenv(kNotifySocketVar)) {
    const size_t n = strlen(path);
    if ((path[0] == '/' || path[0] == '@') && n > 1 && n < readiness.notify_socket.capacity)
      readiness.notify_socket.set(path);
    else
      readiness.bad_notify_socket.set(path);
    unsetenv(kNotifySocketVar);
  }
}

void log_refused_readiness_channel() {
  if (!readiness.bad_ready_fd.empty())
    HWLOG(LOG_ERR, "%s ignored - not an open descriptor above 2 (%s)", kReadyFdVar, readiness.bad_ready_fd.c_str());
  if (!readiness.bad_notify_socket.empty())
    HWLOG(LOG_ERR, "%s ignored - not a socket path or @name (%s)", kNotifySocketVar,
          readiness.bad_notify_socket.c_str());
}

// One datagram to the notification socket, as systemd's protocol has it.
bool notify_supervisor(const char *message) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const char *path = readiness.notify_socket.c_str();
  const size_t n = strlen(path);
  memcpy(addr.sun_path, path, n);
  if (path[0] == '@') addr.sun_path[0] = '\0';  // abstract: no terminating NUL counts
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + (path[0] == '@' ? 0 : 1));
  hw::unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return fd &&
         sendto(fd.get(), message, strlen(message), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&addr), len) >= 0;
}

int count_tracked_devices() {
  int devices = 0;
  for (const hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd)) ++devices;
  return devices;
}

// Once, when the start-up scans made against the RDB are over. A daemon
// started without its RDB scanned into nothing: it is ready only when the
// RDB has opened and the reconciliation has run again.
void report_ready() {
  if (!readiness.waits()) return;
  if (!rdb_is_open()) {
    HWLOG(LOG_WARNING, "not ready - waiting for the rdb");
    if (!readiness.notify_socket.empty()) notify_supervisor("STATUS=waiting for the RDB");
    return;
  }
  const int devices = count_tracked_devices();
  char message[64];
  hw::formatf(message, sizeof(message), "READY=1\nSTATUS=tracking %d devices", devices);
  if (!readiness.notify_socket.empty() && !notify_supervisor(message))
    HWLOG(LOG_ERR, "failed to notify %s - %s", readiness.notify_socket.c_str(), strerror(errno));
  readiness.notify_socket.clear();
  if (readiness.ready_fd) {
    ssize_t n;
    while ((n = write(readiness.ready_fd.get(), "\n", 1)) < 0 && errno == EINTR) {
    }
    if (n < 0) HWLOG(LOG_ERR, "failed to write to %s - %s", kReadyFdVar, strerror(errno));
    readiness.ready_fd.reset();
  }
  HWLOG(LOG_INFO, "ready - tracking %d devices", devices);
}

// -1: run the daemon; otherwise the exit status.
int parse_options(int argc, char **argv) {
  const int opt = getopt(argc, argv, "h");
  if (opt == -1) return -1;
  if (opt == 'h') {
    print_usage(stdout);
    return 0;
  }
  fprintf(stderr, "unknown option - %c\n", optopt);
  print_usage(stderr);
  return 255;
}

void open_log() {
  hwlog_open();
  hwlog_set_mask(hwtrack_log_mask(rdb_get_value("sys.hw.cfg.debug")));
}

void log_start_banner() {
  MAINLOG(LOG_ERR, "hwtrackd daemon starts (%s %s)", kBuildDate, kBuildTime);
  MAINLOG(LOG_ERR, "[loglevel-check] LOG_ERR");
  MAINLOG(LOG_WARNING, "[loglevel-check] LOG_WARNING");
  MAINLOG(LOG_NOTICE, "[loglevel-check] LOG_NOTICE");
  MAINLOG(LOG_INFO, "[loglevel-check] LOG_INFO");
  MAINLOG(LOG_DEBUG, "[loglevel-check] LOG_DEBUG");
}

void init_modules() {
  MAINLOG(LOG_INFO, "initiate sysfs module");
  sysfs_init();
  MAINLOG(LOG_INFO, "initiate hwdev module");
  hwdev_init();
  MAINLOG(LOG_INFO, "initiate hwcls module");
  hwcls_init();
}

void reconcile_with_rdb() {
  MAINLOG(LOG_INFO, "delete existing hwdev RDBs");
  delete_hwdev_rdbs();
  MAINLOG(LOG_INFO, "build hwclass objects from RDB");
  build_hwcls_from_rdb();
}

// The stop signals are blocked from here on but in the loop's wait and in
// the wait for the class script, where they are let in or taken: a request
// can no longer arrive between the flag test and the wait and go unseen.
void install_signal_handlers() {
  MAINLOG(LOG_INFO, "setup signal handlers");
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  struct sigaction action {};
  action.sa_handler = signal_handler;
  sigemptyset(&action.sa_mask);
  // SA_RESTART does not restart pselect(): a stop signal still wakes the loop.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// false when the netlink socket could not be opened (reported on standard
// error). The monitor socket was opened before the RDB was touched.
bool open_event_sockets() {
  MAINLOG(LOG_INFO, "initiate monitor socket");
  MAINLOG(LOG_INFO, "initiate netlink socket");
  return open_netlink_socket() == 0;
}

// Both sockets are open before the scans, so events of devices that come
// and go meanwhile wait in the sockets.
void scan_present_devices() {
  // Decided before anything is attached: an entry moved on is found by its
  // device whatever order the scans and events come in.
  upgrade_class_identities();
  MAINLOG(LOG_INFO, "scan platform devices");
  build_hwdev_from_sysfs("platform", 0);
  MAINLOG(LOG_INFO, "build legacy devices");
  build_legacy_devices();
  MAINLOG(LOG_INFO, "scan devices");
  build_hwdev_from_sysfs("platform", 1);
  // Events the kernel drops from here on are made good by a fresh scan.
  hwtrack_set_overrun_handler([] { hwtrack_resync(); });
}

// Every device record in use and every class entry, written again whole:
// the RDB may have missed some of their writes, or lost them with rdbd.
void rewrite_rdb_mirror() {
  rdb_mirror_rewriting();
  int devices = 0;
  for (hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd), ++devices) hwdev_write_to_rdb(hd, 0);
  int classes = 0;
  hwcls *cls = nullptr;
  for (int more = hwcls_first(&cls); more == 0 && cls; more = hwcls_next(&cls), ++classes) hwcls_write_to_rdb(cls, 0);
  HWLOG(LOG_WARNING, "rdb may have missed writes - rewrote %d device records and %d class entries", devices, classes);
}

// The RDB opened after the daemon started (its driver loaded later, rdbd
// started later). Nothing tracked until now reached it, and no class script
// ran (its name is in the RDB): start over from the RDB as a daemon started
// now would, the log level read then.
void start_over_with_rdb() {
  hwlog_set_mask(hwtrack_log_mask(rdb_get_value("sys.hw.cfg.debug")));
  HWLOG(LOG_WARNING, "rdb driver opened - reconciling with it as at start-up");
  hwtrack_read_settings();
  hwcls_fini();
  hwdev_fini();
  sysfs_cleanup();
  sysfs_init();
  hwdev_init();
  hwcls_init();
  reconcile_with_rdb();
  scan_present_devices();
  report_ready();
}

// The loop's upkeep: the RDB missing is retried, a mirror it may lack is
// written again once it answers. Returns how long the loop may wait.
long keep_rdb_in_step() {
  if (!rdb_is_open()) {
    if (rdb_try_open() < 0) return kRdbRetryMs;
    start_over_with_rdb();
  } else if (rdb_mirror_stale()) {
    const long long now = hwtrack_now_ms();
    if (now < rewrite_due_ms) return static_cast<long>(rewrite_due_ms - now);
    if (rdb_ping() < 0) return kRdbRetryMs;
    rewrite_rdb_mirror();
  }
  if (!rdb_mirror_stale()) {
    rewrite_due_ms = 0;
    rewrite_backoff_ms = kRdbRetryMs;
    return -1;
  }
  // It answers, yet refuses what is written.
  rewrite_due_ms = hwtrack_now_ms() + rewrite_backoff_ms;
  const long wait = rewrite_backoff_ms;
  rewrite_backoff_ms = std::min(2 * rewrite_backoff_ms, kRdbRewriteBackoffMaxMs);
  return wait;
}

// A socket that was never opened is not announced as closed.
void close_socket(event_socket which, const char *line) {
  if (event_socket_fd(which) == -1) return;
  MAINLOG(LOG_INFO, "%s", line);
  close_event_socket(which);
}

// Nothing is written to the RDB: device variables stay until the next start.
int shutdown(int status) {
  close_socket(event_socket::netlink, "close netlink socket");
  close_socket(event_socket::monitor, "close monitor socket");
  MAINLOG(LOG_INFO, "close hwclass module");
  hwcls_fini();
  MAINLOG(LOG_INFO, "close hwdev module");
  hwdev_fini();
  MAINLOG(LOG_INFO, "close sysfs module");
  sysfs_cleanup();
  MAINLOG(LOG_INFO, "close RDB module");
  rdb_fini();
  return status;
}

}  // namespace

void print_usage(FILE *stream) { fputs(kUsageText, stream); }

void signal_handler(int signo) {
  if (signo == SIGINT || signo == SIGTERM) stop_flag = 1;
}

int hwtrack_log_mask(const char *debug_value) {
  if (!debug_value) return kDefaultLogMask;
  // atoi's reading (blanks, sign, digits up to the first non-digit, 0 when
  // there are none), without atoi's undefined result on overflow.
  const long level = strtol(debug_value, nullptr, 10);
  if (level < LOG_EMERG || level > LOG_DEBUG) return kAllPriorities;
  return LOG_UPTO(static_cast<int>(level));
}

int hwtrack_main(int argc, char **argv) {
  open_missing_standard_descriptors();
  const int status = parse_options(argc, argv);
  if (status >= 0) return status;
  take_readiness_channel();
  ignore_sigpipe();

  // The RDB comes first: the log mask is read from it. A daemon without an
  // RDB still starts; every RDB operation then fails softly, and the loop
  // tries again.
  rdb_init();
  open_log();
  log_start_banner();
  log_refused_readiness_channel();
  hwtrack_read_settings();
  init_modules();

  // The monitor socket's name is held by one daemon at a time: a second
  // one finds it taken here, before it touches the variables of the
  // running one, and stops ("bind failed"). Held from now on, the name
  // cannot be taken while this one reconciles.
  if (open_monitor_socket() < 0) return shutdown(EXIT_FAILURE);
  reconcile_with_rdb();

  if (getuid() != 0) {
    fputs("root privileges needed to subscribe to kernel events\n", stderr);
    close_event_socket(event_socket::monitor);  // never announced, so closed without a line
    return shutdown(EXIT_FAILURE);
  }

  install_signal_handlers();
  if (!open_event_sockets()) return shutdown(EXIT_FAILURE);
  scan_present_devices();
  report_ready();
  hwtrack_set_upkeep_handler(keep_rdb_in_step);
  hwtrack_event_loop();
  return shutdown(EXIT_SUCCESS);
}
