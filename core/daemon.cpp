// The daemon's life: options, start-up in a fixed order, the event loop and
// the shutdown in the reverse order.

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/log.h"
#include "core/devmgr.h"
#include "core/hwtrack.h"
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

constexpr char USAGE_TEXT[] =
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

constexpr int DEFAULT_LOG_MASK = LOG_UPTO(LOG_WARNING);
constexpr int ALL_PRIORITIES = LOG_UPTO(LOG_DEBUG);

constexpr char BUILD_DATE[] = __DATE__;  // "Mmm dd yyyy", day padded with a blank
constexpr char BUILD_TIME[] = __TIME__;  // "hh:mm:ss"

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
  MAINLOG(LOG_ERR, "hwtrackd daemon starts (%s %s)", BUILD_DATE, BUILD_TIME);
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
  MAINLOG(LOG_INFO, "delete existing hwdev RDBs");
  delete_hwdev_rdbs();
  MAINLOG(LOG_INFO, "build hwclass objects from RDB");
  build_hwcls_from_rdb();
}

void install_signal_handlers() {
  MAINLOG(LOG_INFO, "setup signal handlers");
  struct sigaction action {};
  action.sa_handler = signal_handler;
  sigemptyset(&action.sa_mask);
  // SA_RESTART does not restart select(): a stop signal still wakes the loop.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// false when a socket could not be opened (reported on standard error).
bool open_event_sockets() {
  MAINLOG(LOG_INFO, "initiate monitor socket");
  if (open_monitor_socket() < 0) return false;
  MAINLOG(LOG_INFO, "initiate netlink socket");
  return open_netlink_socket() == 0;
}

// Both sockets are open before the scans, so events of devices that come
// and go meanwhile wait in the sockets.
void scan_present_devices() {
  MAINLOG(LOG_INFO, "scan platform devices");
  build_hwdev_from_sysfs("platform", 0);
  MAINLOG(LOG_INFO, "build legacy devices");
  build_legacy_devices();
  MAINLOG(LOG_INFO, "scan devices");
  build_hwdev_from_sysfs("platform", 1);
  // Events the kernel drops from here on are made good by a fresh scan.
  hwtrack_set_overrun_handler([] { hwtrack_resync(); });
}

void close_socket(int &fd, const char *line) {
  if (fd == -1) return;
  MAINLOG(LOG_INFO, "%s", line);
  close(fd);
  fd = -1;
}

// Nothing is written to the RDB: device variables stay until the next start.
int shutdown() {
  close_socket(netlink_fd, "close netlink socket");
  close_socket(monitor_fd, "close monitor socket");
  MAINLOG(LOG_INFO, "close hwclass module");
  hwcls_fini();
  MAINLOG(LOG_INFO, "close hwdev module");
  hwdev_fini();
  MAINLOG(LOG_INFO, "close sysfs module");
  sysfs_cleanup();
  MAINLOG(LOG_INFO, "close RDB module");
  rdb_fini();
  return 0;
}

}  // namespace

void print_usage(FILE *stream) { fputs(USAGE_TEXT, stream); }

void signal_handler(int signo) {
  if (signo == SIGINT || signo == SIGTERM) stop_flag = 1;
}

int hwtrack_log_mask(const char *debug_value) {
  if (!debug_value) return DEFAULT_LOG_MASK;
  // atoi's reading (blanks, sign, digits up to the first non-digit, 0 when
  // there are none), without atoi's undefined result on overflow.
  const long level = strtol(debug_value, nullptr, 10);
  if (level < LOG_EMERG || level > LOG_DEBUG) return ALL_PRIORITIES;
  return LOG_UPTO(static_cast<int>(level));
}

int hwtrack_main(int argc, char **argv) {
  const int status = parse_options(argc, argv);
  if (status >= 0) return status;

  // The RDB comes first: the log mask is read from it. A daemon without an
  // RDB still starts; every RDB operation then fails softly.
  rdb_init();
  open_log();
  log_start_banner();
  init_modules();

  if (getuid() != 0) {
    fputs("root privileges needed to subscribe to kernel events\n", stderr);
    return shutdown();
  }

  install_signal_handlers();
  if (!open_event_sockets()) return shutdown();
  scan_present_devices();
  hwtrack_event_loop();
  return shutdown();
}
