// SPDX-License-Identifier: MIT
// The daemon core end to end: start-up and shutdown, options, signals, the
// two event sockets and who may talk to them.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "tests/integration/harness.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace {

using itest::DaemonOptions;
using itest::make_datagram;
using itest::make_uevent;
using itest::SyslogLine;

constexpr uid_t kNobody = 65534;

const std::vector<std::string> kStartupLines = {
    "initiate sysfs module",      "initiate hwdev module",          "initiate hwcls module",
    "delete existing hwdev RDBs", "build hwclass objects from RDB", "setup signal handlers",
    "initiate monitor socket",    "initiate netlink socket",        "scan platform devices",
    "build legacy devices",       "scan devices",
};

const std::vector<std::string> kShutdownLines = {
    "close netlink socket", "close monitor socket", "close hwclass module",
    "close hwdev module",   "close sysfs module",   "close RDB module",
};

// The messages of lines, in order, that equal one of wanted.
std::vector<std::string> messages_among(const std::vector<SyslogLine> &lines, const std::vector<std::string> &wanted) {
  std::vector<std::string> out;
  for (const auto &l : lines)
    for (const auto &w : wanted)
      if (l.message() == w) out.push_back(w);
  return out;
}

bool has_message(const std::vector<SyslogLine> &lines, const std::string &text) {
  for (const auto &l : lines)
    if (l.message() == text) return true;
  return false;
}

class CoreTest : public itest::DaemonTest {
 protected:
  // rdbd with "sys.hw.cfg.debug" set (unless value is empty), then the daemon.
  void start(const std::string &debug = "7", const DaemonOptions &options = {}) {
    ASSERT_TRUE(h().start_rdbd()) << "rdbd did not start";
    if (!debug.empty()) {
      ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", debug));
    }
    ASSERT_TRUE(h().start_daemon(options)) << "hwtrackd did not get ready";
  }

  // A platform UART of its own (so its own class entry), and its add event if send.
  std::string plug_uart(board::SysfsTree &tree, int n, bool send = true) {
    const auto tty = tree.tty(tree.platform_device("uart" + std::to_string(n), "serial8250"), "ttyS" + std::to_string(n));
    EXPECT_TRUE(!send || h().send_monitor(make_uevent("add", tty.devpath, "tty")));
    return tty.devpath;
  }

  // Adds that reached the device manager other than the kernel's own. A real
  // uevent triggered by a neighbouring test reaches every daemon on the
  // machine, whatever its network namespace, so those are discounted.
  size_t adds_not_from_the_kernel() {
    const size_t started = h().log_matching("###hwtrack### start to add").size();
    size_t kernel_adds = 0;
    for (const auto &l : h().stdout_lines())
      if (l.rfind("UEVENT[", 0) == 0 && l.find("] add ") != std::string::npos) ++kernel_adds;
    return started > kernel_adds ? started - kernel_adds : 0;
  }
};

// --- the harness's own parsing ------------------------------------------------------

TEST(HarnessSyslog, ParsesWhatTheCLibrarySends) {
  const auto l = itest::parse_syslog_datagram("<30>Dec  7 20:35:01 hwtrackd[4242]: <hwtrack:main:88> scan devices\n");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->priority, LOG_INFO);
  EXPECT_EQ(l->facility, LOG_DAEMON);
  EXPECT_EQ(l->ident, "hwtrackd");
  EXPECT_EQ(l->pid, 4242);
  EXPECT_EQ(l->text, "<hwtrack:main:88> scan devices");
  EXPECT_EQ(l->message(), "scan devices");
  EXPECT_EQ(l->module(), "hwtrack");
  EXPECT_EQ(l->function(), "main");
  EXPECT_EQ(l->line(), 88);

  // Before openlog() there is no pid.
  const auto early = itest::parse_syslog_datagram("<11>Dec 17 01:02:03 hwtrackd: <rdb:rdb_init:9> failed: x: y");
  ASSERT_TRUE(early);
  EXPECT_EQ(early->priority, LOG_ERR);
  EXPECT_EQ(early->pid, -1);
  EXPECT_EQ(early->ident, "hwtrackd");
  EXPECT_EQ(early->message(), "failed: x: y");

  EXPECT_FALSE(itest::parse_syslog_datagram("no priority"));
}

// --- options ------------------------------------------------------------------

TEST(CoreOptions, HelpGoesToStdoutAndExitsZero) {
  const auto r = itest::run_program({itest::hwtrackd_path(), "-h"}, {{"RDB_DEVICE", "/nonexistent/rdb"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.starts_with("hwtrack manager\n\ndescription:\n"));
  EXPECT_TRUE(r.out.ends_with("persistant device tree\n\n"));
  EXPECT_EQ(r.err, "");
}

TEST(CoreOptions, UnknownOptionGoesToStderrAndExits255) {
  const auto r = itest::run_program({itest::hwtrackd_path(), "-x"}, {{"RDB_DEVICE", "/nonexistent/rdb"}});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  // getopt's own diagnostic (the C library's words) first, then ours, then the help text.
  const auto ours = r.err.find("unknown option - x\nhwtrack manager\n");
  ASSERT_NE(ours, std::string::npos) << r.err;
  EXPECT_NE(r.err.substr(0, ours).find("option"), std::string::npos) << r.err;
  EXPECT_TRUE(r.err.ends_with("persistant device tree\n\n"));
}

// --- start-up and shutdown -------------------------------------------------------

TEST_F(CoreTest, StartsAndStopsInOrderWithFullLogging) {
  start("7");
  ASSERT_TRUE(h().wait_for_log("scan devices"));
  EXPECT_EQ(h().stop_daemon(SIGTERM), 0);

  const auto lines = h().log_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().message().rfind("hwtrackd daemon starts (", 0), 0u) << lines.front().text;
  EXPECT_EQ(lines.front().priority, LOG_ERR);
  EXPECT_EQ(lines.front().ident, "hwtrackd");
  EXPECT_EQ(lines.front().facility, LOG_DAEMON);
  EXPECT_EQ(lines.front().module(), "hwtrack");
  EXPECT_EQ(lines.front().function(), "main");

  EXPECT_EQ(messages_among(lines, kStartupLines), kStartupLines);
  EXPECT_EQ(messages_among(lines, kShutdownLines), kShutdownLines);
  for (const char *probe : {"LOG_ERR", "LOG_WARNING", "LOG_NOTICE", "LOG_INFO", "LOG_DEBUG"})
    EXPECT_TRUE(has_message(lines, std::string("[loglevel-check] ") + probe)) << probe;
}

TEST_F(CoreTest, BannerCarriesBuildDateAndTime) {
  start("7");
  const auto banner = h().wait_for_log("hwtrackd daemon starts (");
  ASSERT_TRUE(banner);
  // "(Mmm dd yyyy hh:mm:ss)", the day padded with a blank.
  const std::string m = banner->message();
  const std::string stamp = m.substr(m.find('(') + 1, m.size() - m.find('(') - 2);
  ASSERT_EQ(stamp.size(), 20u) << m;
  EXPECT_TRUE(isupper(stamp[0]) && islower(stamp[1]) && islower(stamp[2])) << stamp;
  EXPECT_EQ(stamp[3], ' ');
  EXPECT_TRUE(stamp[4] == ' ' || isdigit(stamp[4])) << stamp;
  EXPECT_TRUE(isdigit(stamp[5]));
  EXPECT_EQ(stamp[11], ' ');
  EXPECT_EQ(stamp[14], ':');
  EXPECT_EQ(stamp[17], ':');
  EXPECT_EQ(m.back(), ')') << m;
}

TEST_F(CoreTest, DefaultMaskPassesErrorsAndWarningsOnly) {
  start("");  // sys.hw.cfg.debug absent
  // Nothing at LOG_NOTICE or below is logged, so wait for an observable
  // effect of a full start-up: an event is handled without any log line.
  ASSERT_TRUE(h().send_monitor(make_uevent("change", "/devices/probe", "tty")));
  ASSERT_TRUE(h().wait_for_stdout("/devices/probe (tty)"));
  EXPECT_EQ(h().stop_daemon(), 0);

  const auto lines = h().log_lines();
  EXPECT_TRUE(has_message(lines, "[loglevel-check] LOG_ERR"));
  EXPECT_TRUE(has_message(lines, "[loglevel-check] LOG_WARNING"));
  EXPECT_FALSE(has_message(lines, "[loglevel-check] LOG_NOTICE"));
  EXPECT_FALSE(has_message(lines, "[loglevel-check] LOG_INFO"));
  EXPECT_FALSE(has_message(lines, "[loglevel-check] LOG_DEBUG"));
  for (const auto &l : lines) EXPECT_LE(l.priority, LOG_WARNING) << l.text;
}

TEST_F(CoreTest, DebugZeroSilencesEvenTheBanner) {
  start("0");
  ASSERT_TRUE(h().send_monitor(make_uevent("change", "/devices/probe", "tty")));
  ASSERT_TRUE(h().wait_for_stdout("/devices/probe (tty)"));
  EXPECT_EQ(h().stop_daemon(), 0);
  EXPECT_TRUE(h().log_lines().empty()) << h().log_lines().front().text;
}

TEST_F(CoreTest, SigintStopsTheDaemonLikeSigterm) {
  start("7");
  ASSERT_TRUE(h().wait_for_log("scan devices"));
  const size_t mark = h().log_count();
  EXPECT_EQ(h().stop_daemon(SIGINT), 0);
  const auto lines = h().log_lines();
  const std::vector<SyslogLine> after(lines.begin() + static_cast<long>(mark), lines.end());
  EXPECT_EQ(messages_among(after, kShutdownLines), kShutdownLines);
}

// SIGHUP, even one that comes while the class script runs, reads the log
// level and the board settings again and rescans: the adapter on the bus
// now named internal is removed, the Ethernet chip on the bus no longer
// named is added.
TEST_F(CoreTest, SighupAppliesChangedSettings) {
  board::SysfsTree tree(h().sysfs_root());
  board::Board::lay_out(tree, "gateway").plug("ftdi", "usb1");  // bus 1; the chip is on bus 2
  start("4");
  ASSERT_TRUE(h().write_file(h().path("slow.sh"), ": >" + h().path("started") + "; while [ ! -e " +
                                                      h().path("release") + " ]; do sleep 0.05; done"));
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script", "sh " + h().path("slow.sh")));
  plug_uart(tree, 0);
  ASSERT_TRUE(itest::wait_until([&] { return std::filesystem::exists(h().path("started")); }));
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7") && h().rdb_set("sys.hw.cfg.internal_usb_bus", "1"));
  kill(h().daemon_pid(), SIGHUP);
  ASSERT_TRUE(h().write_file(h().path("release"), ""));
  EXPECT_TRUE(h().wait_for_log("resync done (added=1,removed=1)"));
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(CoreTest, NonRootReconcilesThenStopsWithoutSockets) {
  // nobody may read the RDB (its group is rdbd's read group), not write it.
  ASSERT_TRUE(h().start_rdbd(itest::within(), {"--read-group", std::to_string(kNobody)}));
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7"));
  DaemonOptions options;
  options.uid = kNobody;
  options.gid = kNobody;
  options.wait_ready = false;
  ASSERT_TRUE(h().start_daemon(options));
  EXPECT_EQ(h().wait_daemon_exit(), 1);
  EXPECT_EQ(h().stderr_text(), "root privileges needed to subscribe to kernel events\n");

  const auto lines = h().log_lines();
  EXPECT_EQ(messages_among(lines, kShutdownLines),
            (std::vector<std::string>{"close hwclass module", "close hwdev module", "close sysfs module",
                                      "close RDB module"}));
  // The reconciliation ran before the refusal; nothing after it.
  EXPECT_TRUE(has_message(lines, "build hwclass objects from RDB"));
  EXPECT_FALSE(has_message(lines, "setup signal handlers"));
}

TEST_F(CoreTest, SecondInstanceStopsWithStatusOneAndLeavesTheRdbAlone) {
  start("7");
  board::SysfsTree tree(h().sysfs_root());
  ASSERT_TRUE(h().wait_for_log("device added (devpath=" + plug_uart(tree, 0) + ")"));
  chmod(h().rdb_socket().c_str(), 0666);
  const auto dump = [&] {
    std::map<std::string, std::optional<std::string>> out;
    for (const auto &name : h().rdb_names("sys.hw.")) out[name] = h().rdb_get(name);
    return out;
  };
  const auto before = dump();
  for (const uid_t uid : {uid_t{0}, kNobody}) {
    const auto r = itest::run_program({uid == 0 ? itest::hwtrackd_path() : h().daemon_for_others()},
                                      {{"RDB_DEVICE", h().rdb_socket()}, {"SYSFS_PATH", h().sysfs_root()}},
                                      itest::within(), uid);
    EXPECT_EQ(r.status, 1) << uid;
    EXPECT_EQ(r.err, "bind failed: " + std::string(strerror(EADDRINUSE)) + "\n") << uid;
    EXPECT_EQ(dump(), before) << uid;
  }
  EXPECT_TRUE(h().daemon_running());
}

TEST_F(CoreTest, StopWhileTheClassScriptRunsEndsTheDaemonBoundedly) {
  // The script notes its blocked and ignored signals, then waits to be
  // released (first row) or for ever, deaf to SIGTERM (second row).
  const std::string sigs = "grep -E '^Sig(Blk|Ign)' /proc/self/status >" + h().path("sigs") + "; : >" +
                           h().path("started") + "; ";
  const std::string rows[] = {sigs + "while [ ! -e " + h().path("release") + " ]; do sleep 0.05; done",
                              sigs + "trap '' TERM; while :; do sleep 0.05; done"};
  ASSERT_TRUE(h().start_rdbd());
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7"));
  for (const auto &body : rows) {
    const bool released = &body == &rows[0];
    // So no script runs at start-up: no device, and none for the entry the
    // row before left inserted.
    std::filesystem::remove_all(h().sysfs_root());
    h().rdb_del("sys.hw.cfg.hwclass_script");
    std::filesystem::remove(h().path("started"));
    ASSERT_TRUE(h().write_file(h().path("slow.sh"), body));
    ASSERT_TRUE(h().start_daemon());
    ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script", "sh " + h().path("slow.sh")));
    board::SysfsTree tree(h().sysfs_root());
    plug_uart(tree, 0);
    ASSERT_TRUE(itest::wait_until([&] { return std::filesystem::exists(h().path("started")); }));
    kill(h().daemon_pid(), SIGINT);
    ASSERT_TRUE(h().wait_for_log("stop requested - waiting up to 10 s for the class script"));
    ASSERT_TRUE(!released || h().write_file(h().path("release"), ""));
    EXPECT_EQ(h().wait_daemon_exit(), 0);
    EXPECT_EQ(h().log_matching("still runs").size(), released ? 0u : 2u);  // SIGTERM, SIGKILL
    EXPECT_EQ(messages_among(h().log_lines(), kShutdownLines), kShutdownLines);
    std::ifstream in(h().path("sigs"));  // signals 1 to 31; the C library keeps 32 and up
    for (std::string key, mask; in >> key >> mask;) EXPECT_EQ(std::stoull(mask, nullptr, 16) & 0x7fffffff, 0u) << key;
  }
}

TEST_F(CoreTest, OddStandardDescriptorsDoNotHurtTheDaemon) {
  ASSERT_TRUE(h().start_rdbd());
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7"));
  // A class script that writes more than any pipe holds, to output and error.
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script", "yes | head -c 300000; yes | head -c 300000 >&2"));
  board::SysfsTree tree(h().sysfs_root());
  DaemonOptions rows[3];
  rows[0].stdout_unread = true;  // more event lines than stdio buffers: written, and lost, while it runs
  rows[1].no_stdio = true;
  rows[2].stdout_stuck = true;  // its reader never reads: lines dropped, the script's output drained
  for (const auto &options : rows) {
    ASSERT_TRUE(h().start_daemon(options));
    const std::string devpath = "/devices/" + std::string(200, 'p') + std::to_string(&options - rows);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(h().send_monitor(make_uevent("change", devpath, "tty")));
    EXPECT_TRUE(h().wait_for_log_count(devpath, 40));
    EXPECT_TRUE(h().wait_for_log("device added (devpath=" + plug_uart(tree, static_cast<int>(&options - rows)) + ")"));
    const std::string fds = "/proc/" + std::to_string(h().daemon_pid()) + "/fd/";
    for (const char *fd : {"0", "1", "2"})
      EXPECT_TRUE(!options.no_stdio || std::filesystem::read_symlink(fds + fd) == "/dev/null") << fd;
    EXPECT_EQ(h().stop_daemon(), 0);
  }
}

TEST_F(CoreTest, RdbLateOrLostIsCaughtUpWithNothingLostForGood) {
  board::SysfsTree tree(h().sysfs_root());
  std::vector<std::string> devpaths = {plug_uart(tree, 0, false)};
  ASSERT_TRUE(h().start_rdbd());
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script", "echo >>" + h().path("calls"), true));
  ASSERT_EQ(h().stop_rdbd(), 0);
  ASSERT_TRUE(h().start_daemon());
  // Each device has its record and an inserted class entry naming it.
  const auto mirror_whole = [&] {
    for (size_t i = 0; i < devpaths.size(); ++i) {
      const std::string cls = "sys.hw.class.serial." + std::to_string(i);
      const std::string dev = h().rdb_get(cls + ".dev").value_or("none");
      if (h().rdb_get("sys.hw." + dev + ".devpath") != devpaths[i] || h().rdb_get(cls + ".status") != "inserted") return false;
    }
    return true;
  };
  // rdbd comes after the daemon; then it is killed, and back before the
  // next event (a reconnect) or after it (failed writes).
  for (const int row : {0, 1, 2}) {
    if (row > 0) {
      ASSERT_EQ(h().stop_rdbd(SIGKILL), 128 + SIGKILL);
      ASSERT_TRUE(row != 1 || h().start_rdbd());
      devpaths.push_back(plug_uart(tree, row));
      ASSERT_TRUE(h().wait_for_log("device added (devpath=" + devpaths.back() + ")"));
    }
    ASSERT_TRUE(row == 1 || h().start_rdbd());
    EXPECT_TRUE(itest::wait_until(mirror_whole)) << row;
    // The daemon is done with the RDB (script included) once it takes this.
    ASSERT_TRUE(h().send_monitor(make_uevent("change", "/devices/sync" + std::to_string(row), "tty")));
    ASSERT_TRUE(h().wait_for_log("/devices/sync" + std::to_string(row)));
  }
  // The RDB's open failure came before the log was opened (so with no pid);
  // its late start-up read the log level and ran the script; while rdbd was
  // away the script could not be found.
  bool failure_logged = false;
  for (const auto &l : h().all_log_lines()) failure_logged |= l.pid == -1 && l.module() == "rdb" && l.priority == LOG_ERR;
  EXPECT_TRUE(failure_logged);
  EXPECT_FALSE(h().log_matching("rdb_set (var=sys.hw.dev.0.devpath").empty());
  std::ifstream in(h().path("calls"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            "sys.hw.class.serial.0 serial 0 inserted\nsys.hw.class.serial.1 serial 1 inserted\n");
  EXPECT_EQ(h().stop_daemon(), 0);
}

// Readiness comes once, after the start-up scans (the UART inserted, its
// script run), and never reaches the class script; started without an RDB,
// or with rdbd killed during the scans (by the script, once it is gone), the
// daemon is not ready before the RDB holds the table. The harness's own
// readiness pipe is always set; each row adds a notification socket.
TEST_F(CoreTest, ReadinessFollowsTheStartUpScansOnce) {
  board::SysfsTree tree(h().sysfs_root());
  plug_uart(tree, 0, false);
  ASSERT_TRUE(h().start_rdbd());
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7", true));
  const std::string kill = h().path("kill");
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script",
                          "if p=$(cat " + kill + " 2>/dev/null) && rm " + kill + " && kill -9 $p; then until [ ! -e /proc/$p ] "
                          "|| grep -q zombie /proc/$p/status; do sleep 0.01; done; fi; "
                          "x=; [ -e /proc/$$/fd/3 ] && x=fd3; echo \"[$HWTRACKD_READY_FD$NOTIFY_SOCKET$x]\" >>" +
                              h().path("seen"), true));
  for (const int row : {0, 1, 2}) {  // rdbd up; started late; killed during the scans
    const bool rdb_late = row == 1;
    const std::string name = rdb_late ? h().path("notify") : "@hwtrack-itest-notify";
    sockaddr_un addr{AF_UNIX, {}};
    name.copy(addr.sun_path, name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    const hw::unique_fd socket_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int fd = socket_fd.get();
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), offsetof(sockaddr_un, sun_path) + name.size()), 0);
    const auto next_message = [&](int flags) {
      char buf[256] = {};
      pollfd p{fd, POLLIN, 0};
      return (flags || poll(&p, 1, 30000) > 0) && recv(fd, buf, sizeof buf - 1, flags) > 0 ? std::string(buf) : "";
    };
    ASSERT_TRUE(!rdb_late || h().stop_rdbd() == 0);
    ASSERT_TRUE(row != 2 || h().write_file(kill, std::to_string(h().rdbd_pid())));
    DaemonOptions options;
    options.env = {{"NOTIFY_SOCKET", name}};
    options.wait_ready = row != 2;
    ASSERT_TRUE(h().start_daemon(options));
    if (row > 0) {
      EXPECT_EQ(next_message(0), "STATUS=waiting for the RDB");
      ASSERT_TRUE(rdb_late || h().stop_rdbd(SIGKILL) == 128 + SIGKILL);  // reaped
      ASSERT_TRUE(h().start_rdbd());
      ASSERT_TRUE(h().wait_ready());
    }
    EXPECT_EQ(h().rdb_get("sys.hw.class.serial.0.status"), "inserted");
    EXPECT_EQ(next_message(MSG_DONTWAIT), "READY=1\nSTATUS=tracking 1 devices");
    ASSERT_TRUE(h().send_monitor(make_uevent("change", "/devices/after-ready", "tty")));
    ASSERT_TRUE(h().wait_for_log("/devices/after-ready"));
    EXPECT_EQ(next_message(MSG_DONTWAIT), "");
    EXPECT_EQ(h().stop_daemon(), 0);
  }
  std::ifstream seen(h().path("seen"));
  std::vector<std::string> calls;
  for (std::string line; std::getline(seen, line);) calls.push_back(line);
  EXPECT_EQ(calls, std::vector<std::string>(3, "[] sys.hw.class.serial.0 serial 0 inserted"));
}

// A notification socket whose queue is full and a readiness pipe that is
// full: neither message is waited for, the daemon goes on to its loop.
TEST_F(CoreTest, ReadinessChannelsThatTakeNothingDoNotHoldTheDaemon) {
  const std::string name = "@hwtrack-itest-full";
  sockaddr_un addr{AF_UNIX, {}};
  name.copy(addr.sun_path + 1, name.size() - 1);
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  const hw::unique_fd queue(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)), sender(socket(AF_UNIX, SOCK_DGRAM, 0));
  ASSERT_EQ(bind(queue.get(), reinterpret_cast<sockaddr *>(&addr), len), 0);
  while (sendto(sender.get(), "x", 1, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&addr), len) == 1) {
  }
  DaemonOptions options;
  options.env = {{"NOTIFY_SOCKET", name}};
  options.ready_pipe_full = true;
  options.wait_ready = false;
  start("7", options);
  ASSERT_TRUE(h().send_monitor(make_uevent("change", "/devices/after-ready", "tty")));
  EXPECT_TRUE(h().wait_for_log("/devices/after-ready"));
  EXPECT_EQ(h().stop_daemon(), 0);
}

// A stop during the start-up scans (ten UARTs, a script of 1 s) ends them
// before the next device: each device added had its script run, and the
// daemon exits once the script that runs has ended.
TEST_F(CoreTest, StopDuringTheStartUpScansEndsThemBeforeTheNextDevice) {
  board::SysfsTree tree(h().sysfs_root());
  for (int n = 0; n < 10; ++n) plug_uart(tree, n, false);
  ASSERT_TRUE(h().start_rdbd());
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7"));
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script", "echo >>" + h().path("calls") + "; sleep 1; :"));
  DaemonOptions options;
  options.wait_ready = false;
  ASSERT_TRUE(h().start_daemon(options));
  ASSERT_TRUE(itest::wait_until([&] { return std::filesystem::exists(h().path("calls")); }));
  const auto stop = itest::Clock::now();
  EXPECT_EQ(h().stop_daemon(), 0);
  printf("[ figures  ] stop during the scans (1 s script): exited %.0f ms after SIGTERM\n",
         std::chrono::duration<double, std::milli>(itest::Clock::now() - stop).count());
  std::ifstream in(h().path("calls"));
  const auto calls = std::count(std::istreambuf_iterator<char>(in), {}, '\n');
  EXPECT_LT(calls, 10);
  EXPECT_EQ(calls, static_cast<long>(h().log_matching("devpath added as a hwdev").size()));
}

TEST_F(CoreTest, RefusalFloodIsLoggedAFewLinesASecondAndCounted) {
  start("7");
  ASSERT_TRUE(h().pause_daemon());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(h().send_monitor(std::string(5000, 'x')));
  ASSERT_TRUE(h().resume_daemon());
  // Each refusal is a line or counted in one, which needs no further datagram.
  size_t lines = 0;
  EXPECT_TRUE(itest::wait_until([&] {
    size_t total = lines = h().log_matching("udev message refused: longer than").size();
    for (const auto &l : h().log_matching("more datagrams refused (oversized)")) total += std::stoul(l.message());
    return total == 100;
  }));
  EXPECT_LT(lines, 100u);
  EXPECT_EQ(h().stop_daemon(), 0);
}

// --- events ------------------------------------------------------------------------

TEST_F(CoreTest, MonitorDatagramIsPrintedAndDispatched) {
  start("7");
  ASSERT_TRUE(h().send_monitor(make_uevent("add", "/devices/platform/serial8250/tty/ttyS1", "tty", 7)));
  const auto line = h().wait_for_stdout("/devices/platform/serial8250/tty/ttyS1");
  ASSERT_TRUE(line);
  // "UDEV  [<sec>.<usec>] add      <devpath> (tty)"
  ASSERT_TRUE(line->starts_with("UDEV  ["));
  const size_t close = line->find(']');
  const std::string stamp = line->substr(7, close - 7);
  const size_t dot = stamp.find('.');
  ASSERT_NE(dot, std::string::npos) << stamp;
  EXPECT_EQ(stamp.size() - dot - 1, 6u) << stamp;
  EXPECT_EQ(line->substr(close), "] add      /devices/platform/serial8250/tty/ttyS1 (tty)");

  EXPECT_TRUE(h().wait_for_log("recieved from monitor socket"));
  const auto logged = h().wait_for_log(*line);
  ASSERT_TRUE(logged);
  EXPECT_EQ(logged->priority, LOG_INFO);
  EXPECT_TRUE(h().wait_for_log("###hwtrack### start to add"));
  // No such device in the (empty) sysfs tree.
  EXPECT_TRUE(h().wait_for_log("###hwtrack### no device added"));
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(CoreTest, RemoveChangeAndUnknownActions) {
  start("7");
  ASSERT_TRUE(h().send_monitor(make_uevent("remove", "/devices/r", "net")));
  EXPECT_TRUE(h().wait_for_log("###hwtrack### no device removed"));
  ASSERT_TRUE(h().send_monitor(make_uevent("change", "/devices/c", "block")));
  EXPECT_TRUE(h().wait_for_log("###hwtrack### start to change"));
  ASSERT_TRUE(h().send_monitor(make_uevent("move", "/devices/o", "cpu")));  // without DEVPATH_OLD
  const auto unknown = h().wait_for_log("###hwtrack### unknown action found (action=move)");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->priority, LOG_ERR);
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(CoreTest, BothSocketsReadableInOnePassAreBothHandled) {
  const std::string tty = "/sys/class/tty/ttyS0/uevent";
  if (access(tty.c_str(), W_OK) != 0) GTEST_SKIP() << "no " << tty << " to make the kernel send an event";
  start("7");
  ASSERT_TRUE(h().pause_daemon());
  ASSERT_TRUE(itest::Harness::trigger_kernel_uevent(tty, "change"));
  ASSERT_TRUE(h().send_monitor(make_uevent("change", "/devices/both", "tty")));
  const size_t mark = h().log_count();
  ASSERT_TRUE(h().resume_daemon());

  const auto udev = h().wait_for_log("] change   /devices/both (tty)", itest::within(), mark);
  ASSERT_TRUE(udev);
  // Within the pass that carried the monitor datagram, the kernel's event
  // came first and got its own line.
  const auto lines = h().log_lines();
  size_t udev_at = 0;
  for (size_t i = mark; i < lines.size(); ++i)
    if (lines[i].message().find("/devices/both") != std::string::npos) udev_at = i;
  size_t pass_start = udev_at;
  while (pass_start > mark && lines[pass_start].message() != "select() triggered") --pass_start;
  bool kernel_line = false;
  for (size_t i = pass_start; i < udev_at; ++i)
    if (lines[i].message().starts_with("UEVENT[") && lines[i].message().find("change") != std::string::npos)
      kernel_line = true;
  EXPECT_EQ(lines[pass_start].message(), "select() triggered");
  EXPECT_TRUE(kernel_line) << "no kernel event line in the pass of the udev event";
  EXPECT_TRUE(h().wait_for_stdout("UEVENT["));
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(CoreTest, RealKernelUeventArrivesOnNetlink) {
  const std::string tty = "/sys/class/tty/ttyS0/uevent";
  if (access(tty.c_str(), W_OK) != 0) GTEST_SKIP() << "no " << tty << " to make the kernel send an event";
  start("7");
  // Neighbouring tests make ttyS0 send "change" events, which reach every
  // daemon on the machine: wait for the add. The kernel drops a uevent
  // for a socket whose queue is full, which a loaded machine can bring
  // about, so a missed add is asked for again.
  const std::string devpath = std::filesystem::canonical("/sys/class/tty/ttyS0").string().substr(4);
  std::optional<std::string> line;
  for (int attempt = 0; attempt < 3 && !line; ++attempt) {
    ASSERT_TRUE(itest::Harness::trigger_kernel_uevent(tty, "add"));
    line = h().wait_for_stdout("] add      " + devpath + " (tty)", itest::within(std::chrono::seconds(10)));
  }
  ASSERT_TRUE(line) << h().stdout_lines().size() << " event lines, none an add of " << devpath;
  EXPECT_TRUE(line->starts_with("UEVENT[")) << *line;
  EXPECT_TRUE(h().wait_for_log("recieved from netlink socket"));
  EXPECT_EQ(h().stop_daemon(), 0);
}

// --- who may talk to the daemon ---------------------------------------------------------

TEST_F(CoreTest, MonitorDatagramFromNonRootIsRefused) {
  start("7");
  ASSERT_TRUE(h().send_monitor_as(kNobody, kNobody, make_uevent("add", "/devices/evil", "tty")));
  const auto refused = h().wait_for_log("udev message refused: sender uid 65534");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->priority, LOG_ERR);
  // Proof that the refused datagram was handled before this one.
  ASSERT_TRUE(h().send_monitor(make_uevent("change", "/devices/after", "tty")));
  ASSERT_TRUE(h().wait_for_stdout("/devices/after"));
  ASSERT_TRUE(h().wait_for_log("/devices/after"));
  for (const auto &l : h().stdout_lines()) EXPECT_EQ(l.find("/devices/evil"), std::string::npos) << l;
  EXPECT_EQ(adds_not_from_the_kernel(), 0u);
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(CoreTest, UserSpaceNetlinkSendersAreRefused) {
  start("7");
  // Unicast to the daemon's port id (its pid), and multicast to group 1.
  ASSERT_TRUE(h().send_netlink(make_uevent("add", "/devices/fake-kernel", "tty"),
                               static_cast<uint32_t>(h().daemon_pid())));
  ASSERT_TRUE(h().wait_for_log("uevent message refused: sender port id"));
  const size_t mark = h().log_count();
  ASSERT_TRUE(h().send_netlink(make_uevent("add", "/devices/fake-kernel", "tty"), 0));
  ASSERT_TRUE(h().wait_for_log("uevent message refused: sender port id", itest::within(), mark));
  ASSERT_TRUE(h().send_monitor(make_uevent("change", "/devices/after", "tty")));
  ASSERT_TRUE(h().wait_for_stdout("/devices/after"));
  ASSERT_TRUE(h().wait_for_log("/devices/after"));
  EXPECT_EQ(h().log_matching("uevent message refused").size(), 2u);
  for (const auto &l : h().stdout_lines()) EXPECT_EQ(l.find("fake-kernel"), std::string::npos) << l;
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(CoreTest, DotDotDevpathIsNeverLookedUp) {
  start("7");
  ASSERT_TRUE(h().send_monitor(make_uevent("add", "/devices/../../etc", "tty")));
  const auto refused = h().wait_for_log("event refused (devpath=/devices/../../etc)");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->priority, LOG_ERR);
  EXPECT_EQ(adds_not_from_the_kernel(), 0u);
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(CoreTest, BadDatagramsDoNotHurtTheDaemon) {
  start("7");
  std::string random(4096, '\0');
  unsigned seed = 12345;
  for (auto &c : random) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
  const std::vector<std::string> bad = {
      std::string(),                                         // empty datagram
      std::string(4096, 'A'),                                // no NUL at all
      random,                                                // noise
      std::string(8000, 'B'),                                // longer than the buffer
      make_datagram({"ACTION=add", "DEVPATH=/devices/x"}),   // keys but no header
      make_datagram({"add@/x", "ACTION=add", "SUBSYSTEM=tty"}),  // add without DEVPATH
      make_uevent("add", "/devices/" + std::string(600, 'd'), "tty"),
      make_datagram({"add@/x", "", "DEVPATH=/devices/hidden", "ACTION=add"}),
  };
  for (const auto &d : bad) ASSERT_TRUE(h().send_monitor(d)) << d.size();
  ASSERT_TRUE(h().send_monitor(make_uevent("change", "/devices/still-alive", "tty")));
  ASSERT_TRUE(h().wait_for_stdout("/devices/still-alive"));
  // Standard output can outrun /dev/log: once the last event's own log line is in, every
  // earlier line is too.
  ASSERT_TRUE(h().wait_for_log("/devices/still-alive"));
  EXPECT_TRUE(h().daemon_running());
  EXPECT_EQ(adds_not_from_the_kernel(), 0u);
  EXPECT_FALSE(h().log_matching("error receiving udev message").empty());  // the empty one
  EXPECT_FALSE(h().log_matching("udev message refused: longer than 4096 bytes").empty());
  EXPECT_EQ(h().stop_daemon(), 0);
}

// --- descriptors ----------------------------------------------------------------------

TEST_F(CoreTest, EveryDescriptorBeyondStdioIsCloseOnExec) {
  start("7");
  const std::string fdinfo = "/proc/" + std::to_string(h().daemon_pid()) + "/fdinfo/";
  int checked = 0;
  for (int fd = 3; fd < 256; ++fd) {
    std::ifstream in(fdinfo + std::to_string(fd));
    if (!in) continue;
    std::string key, flags;
    while (in >> key) {
      if (key == "flags:") {
        in >> flags;
        break;
      }
    }
    ++checked;
    EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0u) << "fd " << fd << " flags " << flags;
  }
  EXPECT_GE(checked, 2) << "the two event sockets at least";
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(CoreTest, ClassScriptChildrenInheritOnlyStdio) {
  // A script that leaves a process behind (a connection manager, say): it
  // must not keep any of the daemon's descriptors, or the next daemon could
  // not bind the monitor socket.
  board::SysfsTree tree(h().sysfs_root());
  const auto uart = tree.platform_device("serial8250", "serial8250");
  const std::string pid_file = h().path("background.pid");
  start("7");
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script",
                          "sleep 600 </dev/null >/dev/null 2>&1 & echo $! > " + pid_file + "; true"));
  const auto tty = tree.tty(uart, "ttyS1");  // after the start-up scan: its add runs the script
  ASSERT_TRUE(h().send_monitor(make_uevent("add", tty.devpath, "tty")));
  ASSERT_TRUE(h().wait_for_log("###hwtrack### device added (devpath=" + tty.devpath + ")"));

  // The script has run by the time the add is logged.
  std::string pid;
  std::ifstream(pid_file) >> pid;
  ASSERT_FALSE(pid.empty());
  // Until sleep sits in its sleep the descriptor table is still moving: the
  // forked shell's own redirection copies, then the loader's library files.
  const std::string proc = "/proc/" + pid;
  const auto sleeping = [&] {
    long nr = -1;
    std::ifstream(proc + "/syscall") >> nr;
    return nr == SYS_clock_nanosleep || nr == SYS_nanosleep;
  };
  for (const auto deadline = itest::within(); !sleeping() && itest::Clock::now() < deadline;)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(sleeping());
  std::set<std::string> fds;
  for (const auto &e : std::filesystem::directory_iterator(proc + "/fd"))
    fds.insert(e.path().filename().string());
  kill(std::stoi(pid), SIGKILL);
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
  EXPECT_EQ(h().stop_daemon(), 0);
}

}  // namespace
