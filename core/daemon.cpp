// SPDX-License-Identifier: MIT
// The daemon's life: options, start-up in a fixed order, the event loop and
// the shutdown in the reverse order.

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
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
#include "core/daemon_private.h"
#include "core/devmgr.h"
#include "core/hwtrack.h"
#include "core/output.h"
#include "core/settings.h"
#include "core/signals.h"
#include "core/startup.h"
#include "core/uevent.h"
#include "rdb/rdb.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

// The start-up and shutdown lines are the daemon's main's own: their prefix
// names "main", so that a field log reads the same whatever calls this file,
// with the line in hwtrack_main (or in the restart that repeats the start-up)
// that called the step.
#define MAIN_SITE HWLOG_SITE("main")

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
// again this often: the mirror is whole within this long of the RDB taking
// writes again.
constexpr long kRdbRetryMs = 5000;

// When the RDB is to be probed next while the mirror is stale; 0: at once.
long long probe_due_ms = 0;
// The RDB refused a probe since the mirror was last whole: said once.
bool rdb_outage_logged = false;

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

// One datagram to the notification socket, as systemd's protocol has it;
// never waited for: a supervisor whose queue is full does not get it.
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
         sendto(fd.get(), message, strlen(message), MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&addr),
                len) >= 0;
}

int count_tracked_devices() {
  int devices = 0;
  for (const hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd)) ++devices;
  return devices;
}

// Once, when the RDB holds the table of the start-up scans. A daemon
// started without its RDB scanned into nothing: it is ready only when the
// RDB has opened and the reconciliation has run again; one whose writes
// failed meanwhile (rdbd killed, its disk full), once the mirror is whole
// again. A daemon asked to stop during the scans is never ready.
void report_ready() {
  if (!readiness.waits() || hwtrack_stop_requested()) return;
  if (!rdb_is_open() || rdb_mirror_stale()) {
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
    if (!write_without_waiting(readiness.ready_fd.get(), "\n", 1))
      HWLOG(LOG_ERR, "failed to write to %s - %s", kReadyFdVar, strerror(errno));
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

void log_start_banner(hwlog_site at) {
  HWLOG_AT(at, LOG_ERR, "hwtrackd daemon starts (%s %s)", kBuildDate, kBuildTime);
  HWLOG_AT(at, LOG_ERR, "[loglevel-check] LOG_ERR");
  HWLOG_AT(at, LOG_WARNING, "[loglevel-check] LOG_WARNING");
  HWLOG_AT(at, LOG_NOTICE, "[loglevel-check] LOG_NOTICE");
  HWLOG_AT(at, LOG_INFO, "[loglevel-check] LOG_INFO");
  HWLOG_AT(at, LOG_DEBUG, "[loglevel-check] LOG_DEBUG");
}

void init_modules(hwlog_site at) {
  HWLOG_AT(at, LOG_INFO, "initiate sysfs module");
  sysfs_init();
  HWLOG_AT(at, LOG_INFO, "initiate hwdev module");
  hwdev_init();
  HWLOG_AT(at, LOG_INFO, "initiate hwcls module");
  hwcls_init();
}

void reconcile_with_rdb(hwlog_site at) {
  HWLOG_AT(at, LOG_INFO, "delete existing hwdev RDBs");
  delete_hwdev_rdbs();
  HWLOG_AT(at, LOG_INFO, "build hwclass objects from RDB");
  build_hwcls_from_rdb();
}

// The signals the loop's wait lets in: the stop requests and the reload.
constexpr int kRequestSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The request signals are blocked from here on but in the loop's wait (and
// the stop signals in the wait for the class script), where they are let
// in or taken: a request can no longer arrive between the flag test and the
// wait and go unseen. A reload that comes while the script runs waits,
// pending, for the loop's wait.
void install_signal_handlers(hwlog_site at) {
  HWLOG_AT(at, LOG_INFO, "setup signal handlers");
  sigset_t requests;
  sigemptyset(&requests);
  for (const int signo : kRequestSignals) sigaddset(&requests, signo);
  sigprocmask(SIG_BLOCK, &requests, nullptr);
  struct sigaction action {};
  action.sa_handler = signal_handler;
  sigemptyset(&action.sa_mask);
  // SA_RESTART does not restart pselect(): a request still wakes the loop.
  action.sa_flags = SA_RESTART;
  for (const int signo : kRequestSignals) sigaction(signo, &action, nullptr);
}

// false when the netlink socket could not be opened (reported on standard
// error).
bool open_event_sockets(hwlog_site at) {
  // The monitor socket was opened before the RDB was touched, so that a
  // second daemon stops before it changes the running one's variables (see
  // hwtrack_main); its line stays here, where the start-up order puts it,
  // so that the start-up reads the same in every log.
  HWLOG_AT(at, LOG_INFO, "initiate monitor socket");
  HWLOG_AT(at, LOG_INFO, "initiate netlink socket");
  return open_netlink_socket() == 0;
}

// Both sockets are open before the scans, so events of devices that come
// and go meanwhile wait in the sockets. Devices that left while no daemon
// ran are known only once every present one has found its entry. A stop
// request ends the scans between two devices (each step asks before each
// device).
void scan_present_devices(hwlog_site at) {
  // Decided before anything is attached: an entry moved on is found by its
  // device whatever order the scans and events come in.
  upgrade_class_identities();
  HWLOG_AT(at, LOG_INFO, "scan platform devices");
  build_hwdev_from_sysfs("platform", 0);
  if (hwtrack_stop_requested()) return;
  HWLOG_AT(at, LOG_INFO, "build legacy devices");
  build_legacy_devices();
  if (hwtrack_stop_requested()) return;
  HWLOG_AT(at, LOG_INFO, "scan devices");
  build_hwdev_from_sysfs("platform", 1);
  if (hwtrack_stop_requested()) return;
  report_departed_entries();
}

// Every device record in use and every class entry, written again whole,
// after the deletes the RDB refused: the RDB may have missed some of their
// writes, or lost them with rdbd.
void rewrite_rdb_mirror() {
  const int deleted = rdb_mirror_rewriting();
  if (deleted > 0) HWLOG(LOG_INFO, "rdb took %d deletes it had refused", deleted);
  int devices = 0;
  for (hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd), ++devices) hwdev_write_to_rdb(hd, 0);
  int classes = 0;
  hwcls *cls = nullptr;
  for (int more = hwcls_first(&cls); more == 0 && cls; more = hwcls_next(&cls), ++classes) hwcls_write_to_rdb(cls, 0);
  HWLOG(LOG_WARNING, "rdb may have missed writes - rewrote %d device records and %d class entries", devices, classes);
}

// The settings an operator may change in the RDB and have applied without a
// restart: the log level, then the board settings.
void read_settings() {
  hwlog_set_mask(hwtrack_log_mask(rdb_get_value("sys.hw.cfg.debug")));
  hwtrack_read_settings();
}

// The RDB opened after the daemon started (its driver loaded later, rdbd
// started later). Nothing tracked until now reached it, and no class script
// ran (its name is in the RDB): start over from the RDB as a daemon started
// now would, the settings read then.
void start_over_with_rdb() {
  read_settings();
  HWLOG(LOG_WARNING, "rdb driver opened - reconciling with it as at start-up");
  hwcls_fini();
  hwdev_fini();
  sysfs_cleanup();
  sysfs_init();
  hwdev_init();
  hwcls_init();
  reconcile_with_rdb(MAIN_SITE);
  scan_present_devices(MAIN_SITE);
  report_ready();
}

// The loop's upkeep: the RDB missing is retried; while the mirror is
// stale, one request is made every kRdbRetryMs (rdb_probe: the last one the
// RDB refused), and the whole mirror is written again once it goes through.
// Returns how long the loop may wait.
long keep_rdb_in_step() {
  if (!rdb_is_open()) {
    if (rdb_try_open() < 0) return kRdbRetryMs;
    start_over_with_rdb();
  }
  if (rdb_mirror_stale()) {
    const long long now = hwtrack_now_ms();
    if (now < probe_due_ms) return static_cast<long>(probe_due_ms - now);
    probe_due_ms = now + kRdbRetryMs;
    if (const int rc = rdb_probe(); rc < 0) {
      if (!rdb_outage_logged)
        HWLOG(LOG_WARNING, "rdb mirror not whole - %s - trying again every %ld s", strerror(-rc), kRdbRetryMs / 1000);
      rdb_outage_logged = true;
      return kRdbRetryMs;
    }
    rewrite_rdb_mirror();
    if (rdb_mirror_stale()) return kRdbRetryMs;
    report_ready();  // the RDB holds the table now
  }
  probe_due_ms = 0;
  rdb_outage_logged = false;
  return -1;
}

// --- the event loop ------------------------------------------------------------

constexpr size_t kTimestampSize = 64;

// The RDB is retried between events once the daemon has started (tests
// drive passes without it).
bool rdb_upkeep_on = false;
// Set from a reported loss of kernel events until the rescan has run.
bool rescan_once_drained = false;

// The shorter of two waits in milliseconds, -1 meaning none.
long earliest(long a, long b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

bool readable(int fd, const fd_set &set) { return fd != -1 && FD_ISSET(fd, &set); }

bool queue_is_empty(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

void make_timestamp(char (&text)[kTimestampSize]) {
  timeval tv{};
  if (gettimeofday(&tv, nullptr) < 0) {
    text[0] = '\0';
    return;
  }
  hw::formatf(text, sizeof text, "%llu.%06u", static_cast<unsigned long long>(tv.tv_sec),
              static_cast<unsigned>(tv.tv_usec));
}

// Besides the event sockets, the loop waits on what must be read when it
// comes: the class script's output (a process the script left running may
// write at any time), and, in a daemon that keeps its RDB in step, the
// connection to rdbd, which turns readable when rdbd closed it.
struct side_channels {
  pollfd script_output[2];
  int script_outputs = 0;
  int rdb_fd = -1;

  side_channels() {
    script_outputs = script_output_pollfds(script_output, 2);
    rdb_fd = rdb_upkeep_on ? rdb_wait_fd() : -1;
  }
  int add_to(fd_set &readfds, int nfds) const {
    for (int i = 0; i < script_outputs; ++i) {
      FD_SET(script_output[i].fd, &readfds);
      nfds = std::max(nfds, script_output[i].fd + 1);
    }
    if (rdb_fd != -1) FD_SET(rdb_fd, &readfds);
    return std::max(nfds, rdb_fd + 1);
  }
  // Serves those readable; returns how many of readfds they are.
  int serve(const fd_set &readfds) const {
    int served = 0;
    for (int i = 0; i < script_outputs; ++i) served += readable(script_output[i].fd, readfds) ? 1 : 0;
    if (served > 0) drain_script_output();
    // rdbd closed the connection: the upkeep finds it so, connects afresh
    // and writes the mirror again.
    if (readable(rdb_fd, readfds)) ++served;
    return served;
  }
};

// Waits on both sockets (and the side channels) until one is readable,
// wait_ms pass (-1: no limit) or a signal comes. The stop signals stay
// blocked everywhere but here: one that came since the flag test is
// pending, and pselect() returns at once with EINTR. Returns pselect's
// result.
int wait_for_events(fd_set &readfds, const side_channels &side, long wait_ms) {
  const int netlink_fd = event_socket_fd(event_socket::netlink);
  const int monitor_fd = event_socket_fd(event_socket::monitor);
  FD_ZERO(&readfds);
  if (netlink_fd != -1) FD_SET(netlink_fd, &readfds);
  if (monitor_fd != -1) FD_SET(monitor_fd, &readfds);
  const int nfds = side.add_to(readfds, std::max(netlink_fd, monitor_fd) + 1);

  sigset_t wait_mask;
  sigprocmask(SIG_BLOCK, nullptr, &wait_mask);
  for (const int signo : kRequestSignals) sigdelset(&wait_mask, signo);
  timespec timeout{};
  timeout.tv_sec = static_cast<time_t>(wait_ms / 1000);
  timeout.tv_nsec = (wait_ms % 1000) * 1000000;
  return pselect(nfds, &readfds, nullptr, nullptr, wait_ms < 0 ? nullptr : &timeout, &wait_mask);
}

// Both messages are handled when both sockets are readable, the kernel's
// first: the receive buffer is shared, so each is dispatched before the
// next receive overwrites it. A failed kernel receive ends the pass.
void take_messages(const fd_set &readfds) {
  char timestamp[kTimestampSize];
  make_timestamp(timestamp);
  take_result netlink = take_result::handled;
  if (readable(event_socket_fd(event_socket::netlink), readfds))
    netlink = take_event_message(event_socket::netlink, timestamp);
  if (netlink == take_result::events_lost) rescan_once_drained = true;
  if (netlink == take_result::handled && readable(event_socket_fd(event_socket::monitor), readfds))
    take_event_message(event_socket::monitor, timestamp);
}

// Its own removes may ask for another rescan: its adds, made after them, did
// what that one would.
void rescan() {
  hwtrack_resync();
  (void)hwtrack_take_rescan_request();
}

// The rescans that are due: one a remove asked for (a record freed that
// refused devices wait for) at once; one after lost kernel events once the
// events the kernel queued before the loss are taken. The kernel reports a
// loss before those events, and queues nothing more until they are taken:
// they are older than the loss, and a rescan run first would be undone by
// them (a queued remove taking away a device whose lost add it made good).
void rescan_if_due() {
  bool due = hwtrack_take_rescan_request();
  const int netlink_fd = event_socket_fd(event_socket::netlink);
  if (rescan_once_drained && netlink_fd != -1 && queue_is_empty(netlink_fd)) {
    rescan_once_drained = false;
    due = true;
  }
  if (due) rescan();
}

// SIGHUP: the settings are read again, and the devices found again with
// them, so that a device a changed setting now refuses is removed and one it
// now accepts is added. An RDB that does not answer keeps the settings in
// use: an unreadable variable would read as absent, the default.
void reload_if_requested() {
  if (!reload_flag) return;
  reload_flag = 0;
  HWLOG(LOG_INFO, "reload requested - reading the settings again");
  if (rdb_is_open() && rdb_ping() == 0)
    read_settings();
  else
    HWLOG(LOG_WARNING, "rdb not answering - settings kept");
  rescan();
}

// A socket that was never opened is not announced as closed.
void close_socket(hwlog_site at, event_socket which, const char *line) {
  if (event_socket_fd(which) == -1) return;
  HWLOG_AT(at, LOG_INFO, "%s", line);
  close_event_socket(which);
}

// Nothing is written to the RDB: device variables stay until the next start.
int shutdown(hwlog_site at, int status) {
  close_socket(at, event_socket::netlink, "close netlink socket");
  close_socket(at, event_socket::monitor, "close monitor socket");
  HWLOG_AT(at, LOG_INFO, "close hwclass module");
  hwcls_fini();
  HWLOG_AT(at, LOG_INFO, "close hwdev module");
  hwdev_fini();
  HWLOG_AT(at, LOG_INFO, "close sysfs module");
  sysfs_cleanup();
  HWLOG_AT(at, LOG_INFO, "close RDB module");
  rdb_fini();
  return status;
}

}  // namespace

void print_usage(FILE *stream) { fputs(kUsageText, stream); }

int hwtrack_log_mask(const char *debug_value) {
  if (!debug_value) return kDefaultLogMask;
  const int level = hw::leading_int(debug_value);
  if (level < LOG_EMERG || level > LOG_DEBUG) return kAllPriorities;
  return LOG_UPTO(level);
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
  log_start_banner(MAIN_SITE);
  log_refused_readiness_channel();
  hwtrack_read_settings();
  init_modules(MAIN_SITE);

  // The monitor socket's name is held by one daemon at a time: a second
  // one finds it taken here, before it touches the variables of the
  // running one, and stops ("bind failed"). Held from now on, the name
  // cannot be taken while this one reconciles.
  if (open_monitor_socket() < 0) return shutdown(MAIN_SITE, EXIT_FAILURE);
  reconcile_with_rdb(MAIN_SITE);

  if (getuid() != 0) {
    fputs("root privileges needed to subscribe to kernel events\n", stderr);
    close_event_socket(event_socket::monitor);  // never announced, so closed without a line
    return shutdown(MAIN_SITE, EXIT_FAILURE);
  }

  install_signal_handlers(MAIN_SITE);
  if (!open_event_sockets(MAIN_SITE)) return shutdown(MAIN_SITE, EXIT_FAILURE);
  scan_present_devices(MAIN_SITE);
  report_ready();
  rdb_upkeep_on = true;
  hwtrack_event_loop();
  return shutdown(MAIN_SITE, EXIT_SUCCESS);
}

bool hwtrack_event_pass() {
  if (stop_flag) return false;

  // Every event is looked up in sysfs with empty caches.
  sysfs_cleanup();
  sysfs_init();

  reload_if_requested();
  const long wait_ms = earliest(earliest(rdb_upkeep_on ? keep_rdb_in_step() : -1, ms_until_held_back_due()),
                                ms_until_output_counts_due());
  // The reload or the upkeep may have run the class script, which takes a
  // stop request in.
  if (stop_flag) return true;

  fd_set readfds;
  const side_channels side;
  const int ready = wait_for_events(readfds, side, wait_ms);
  const int wait_errno = errno;
  report_held_back_counts();
  report_output_counts();
  if (ready < 0) {
    if (wait_errno != EINTR) HWLOG(LOG_ERR, "error receiving uevent message: %s\n", strerror(wait_errno));
    return true;
  }
  // Time for the upkeep or a held-back count, or only a side channel to serve.
  if (ready == 0 || side.serve(readfds) == ready) return true;
  HWLOG(LOG_INFO, "select() triggered");
  take_messages(readfds);
  rescan_if_due();
  return true;
}

void hwtrack_event_loop() {
  while (hwtrack_event_pass()) {
  }
}
