// SPDX-License-Identifier: MIT
// What the daemon survives around it: rdbd restarting or dying under it,
// rdbd's disk full, and its netlink port id taken by another socket of its
// network namespace.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "tests/integration/harness.h"
#include "tests/soak/soak_support.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace {

using itest::make_uevent;
using itest::SyslogLine;

// On a tmpfs of its own, which a test can fill.
class ResilienceTest : public soak::MiniBoardTest<soak::RamDaemonTest> {
 protected:
  void start(const itest::DaemonOptions &options = {}) {
    ASSERT_TRUE(h().start_rdbd()) << "rdbd did not start";
    ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "6"));
    // The script's runs are recorded by the shell alone; see the soak.
    ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script", "echo >>" + calls_path(), true));
    ASSERT_TRUE(h().start_daemon(options)) << "hwtrackd did not get ready";
    sync();
  }

  void sync() {
    const std::string devpath = "/devices/virtual/sync/" + std::to_string(++syncs_);
    ASSERT_TRUE(h().send_monitor(make_uevent("change", devpath, "tty")));
    ASSERT_TRUE(h().wait_for_stdout(devpath + " (tty)"));
  }

  std::string calls_path() { return h().path("calls"); }

  // Plugs a catalogue device into the tree and sends its tty's add event.
  std::string plug_serial(const std::string &device, const std::string &port) {
    for (const auto &e : board_->plug(device, port)) {
      if (e.subsystem != "tty") continue;
      EXPECT_TRUE(h().send_monitor(e.datagram()));
      return e.devpath;
    }
    ADD_FAILURE() << device << " has no tty";
    return "";
  }

  // Waits until a device record with devpath is in the RDB.
  bool wait_for_record(const std::string &devpath) {
    const auto deadline = itest::within();
    while (itest::Clock::now() < deadline) {
      for (const auto &name : h().rdb_names("sys.hw.dev."))
        if (name.ends_with(".devpath") && h().rdb_get(name) == devpath) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // The class variables that rdbd keeps in its store.
  std::vector<std::string> persistent_class_names() {
    std::vector<std::string> out;
    for (const auto &name : h().rdb_names("sys.hw.class."))
      for (const char *key : {".id", ".location", ".mac", ".enable"})
        if (name.ends_with(key)) out.push_back(name);
    return out;
  }

  // The daemon's lines from index from on at priority LOG_ERR or worse.
  std::vector<std::string> errors_since(size_t from) {
    std::vector<std::string> out;
    const auto lines = h().log_lines();
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i].priority <= LOG_ERR) out.push_back(lines[i].message());
    return out;
  }

  // Leaves the tmpfs of the store with no room: shrunk to what it holds and
  // a little more, which a file takes; then rdbd's store file fills the
  // last page it has. Returns the filling file.
  std::string fill_the_disk() {
    struct statvfs fs {};
    EXPECT_EQ(statvfs(h().dir().c_str(), &fs), 0);
    const auto used_kb = (fs.f_blocks - fs.f_bfree) * fs.f_frsize / 1024;
    const std::string size = "size=" + std::to_string(used_kb + 256) + "k";
    EXPECT_EQ(mount("tmpfs", h().dir().c_str(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV, size.c_str()), 0);
    const std::string filler = h().path("filler");
    const hw::unique_fd fd(open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const std::string block(4096, 'f');
    while (write(fd.get(), block.data(), block.size()) > 0) {
    }
    for (int i = 0; h().rdb_set("test.fill." + std::to_string(i), std::string(100, 'f'), true); ++i) {
    }
    return filler;
  }

  // Whether every class entry has its stored variables, and no two entries
  // stored have one identity and location.
  bool class_table_whole() {
    std::map<std::string, std::string> vars;
    for (const auto &name : h().rdb_names("sys.hw.class.")) vars[name] = h().rdb_get(name).value_or("");
    std::set<std::string> identities;
    for (const auto &[name, value] : vars) {
      if (!name.ends_with(".status")) continue;
      const std::string entry = name.substr(0, name.size() - 6);
      if (!vars.contains(entry + "enable") || !vars.contains(entry + "location")) return false;
      if (!identities.insert(vars[entry + "id"] + " at " + vars[entry + "location"]).second) return false;
    }
    return true;
  }

  int syncs_ = 0;
};

// --- rdbd restarts ------------------------------------------------------------------

TEST_F(ResilienceTest, RdbdRestartWhileTheDaemonIdlesGoesUnnoticed) {
  start();
  const auto records = h().rdb_names("sys.hw.dev.");  // volatile: gone with rdbd
  ASSERT_FALSE(records.empty());
  ASSERT_EQ(h().stop_rdbd(SIGTERM), 0);
  ASSERT_TRUE(h().start_rdbd());
  // No event comes: the daemon finds its connection closed and writes its
  // mirror again, within 5 s of rdbd's return.
  const auto back = itest::Clock::now();
  EXPECT_TRUE(itest::wait_until([&] { return h().rdb_names("sys.hw.dev.") == records; }));
  printf("[ figures  ] rdbd restarted while the daemon idles: mirror whole %.0f ms after rdbd is back\n",
         std::chrono::duration<double, std::milli>(itest::Clock::now() - back).count());
  const size_t mark = h().log_count();

  // The daemon's open connection is dead; its next request connects afresh.
  const std::string devpath = plug_serial("ftdi", "usb1");
  EXPECT_TRUE(wait_for_record(devpath));
  sync();
  EXPECT_EQ(errors_since(mark), std::vector<std::string>{});
  const auto calls = soak::read_lines(calls_path());
  ASSERT_FALSE(calls.empty());
  EXPECT_TRUE(calls.back().ends_with(" inserted")) << calls.back();
  EXPECT_TRUE(h().daemon_running());
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(ResilienceTest, RequestsWhileRdbdIsDeadFailAndTheDaemonCarriesOn) {
  start();
  const auto stored_before = persistent_class_names();
  ASSERT_FALSE(stored_before.empty());
  ASSERT_EQ(h().stop_rdbd(SIGKILL), 128 + SIGKILL);  // its socket file stays, nobody answers
  const size_t mark = h().log_count();
  const size_t calls_before = soak::read_lines(calls_path()).size();

  // The add goes through the tables, but every write fails and no script
  // can be found: each failure is logged, none is fatal.
  const std::string lost = plug_serial("ftdi", "usb1");
  ASSERT_TRUE(h().wait_for_log("###hwtrack### device added (devpath=" + lost + ")", itest::within(), mark));
  sync();
  const auto errors = errors_since(mark);
  EXPECT_FALSE(errors.empty());
  for (const auto &e : errors)
    EXPECT_TRUE(e.starts_with("failed to write to rdb(") || e.starts_with("failed to set rdb [") ||
                e.starts_with("failed to write hwcls rdb (") || e.starts_with("hwtrack script not specified"))
        << e;
  EXPECT_EQ(soak::read_lines(calls_path()).size(), calls_before);
  EXPECT_TRUE(h().daemon_running());

  // rdbd comes back with the persistent variables it had acknowledged
  // (the volatile ones went with it); the next event is written as if
  // nothing had happened.
  ASSERT_TRUE(h().start_rdbd());
  EXPECT_EQ(persistent_class_names(), stored_before);
  const size_t back = h().log_count();
  const std::string found = plug_serial("twin-a", "usb2");
  EXPECT_TRUE(wait_for_record(found));
  sync();
  EXPECT_EQ(errors_since(back), std::vector<std::string>{});
  EXPECT_EQ(soak::read_lines(calls_path()).size(), calls_before + 1);
  EXPECT_EQ(h().stop_daemon(), 0);
}

// rdbd's disk full while the modem is switched to its network mode: the new
// entry's stored variables and the delete of its old name are refused. Once
// there is room again the mirror is whole within 5 s, without an event, with
// one line for the outage.
TEST_F(ResilienceTest, FullDiskIsCaughtUpOnceThereIsRoomWithNoEntryLeftBehind) {
  board_->plug("modem", "usb1");
  start();
  const std::string filler = fill_the_disk();
  for (const auto &e : board_->switch_mode("modem", "net")) ASSERT_TRUE(h().send_monitor(e.datagram()));
  sync();
  ASSERT_FALSE(class_table_whole());
  ASSERT_EQ(unlink(filler.c_str()), 0);
  const auto room = itest::Clock::now();
  EXPECT_TRUE(itest::wait_until([&] { return class_table_whole(); }));
  printf("[ figures  ] disk full during a mode switch: mirror whole %.0f ms after there is room\n",
         std::chrono::duration<double, std::milli>(itest::Clock::now() - room).count());
  EXPECT_EQ(h().log_matching("rdb mirror not whole").size(), 1u);
  EXPECT_EQ(h().stop_daemon(), 0);
}

// --- a taken netlink port id ------------------------------------------------------------

TEST_F(ResilienceTest, TakenNetlinkPortIdFallsBackAndTheKernelIsStillHeard) {
  soak::KernelEvents kernel;
  ASSERT_TRUE(kernel.ok()) << kernel.error();
  itest::DaemonOptions options;
  options.wrapper = {HWTRACK_TEST_HOLD_NETLINK_PORT};
  start(options);
  if (HasFatalFailure()) return;

  const auto note = h().log_matching("in use, letting the kernel choose one");
  ASSERT_EQ(note.size(), 1u);
  EXPECT_EQ(note.front().priority, LOG_WARNING);
  EXPECT_EQ(note.front().message(),
            "netlink port id " + std::to_string(h().daemon_pid()) + " in use, letting the kernel choose one");
  // The held socket and the daemon's own, bound elsewhere.
  const auto queues = soak::netlink_queues(h().daemon_pid());
  ASSERT_EQ(queues.size(), 2u);
  EXPECT_NE(queues[0].port_id, queues[1].port_id);

  ASSERT_TRUE(kernel.send("change"));
  const auto line = h().wait_for_stdout(std::string(soak::KernelEvents::kDevpath) + " (net)");
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->starts_with("UEVENT[")) << *line;
  EXPECT_EQ(h().stop_daemon(), 0);
}

}  // namespace
