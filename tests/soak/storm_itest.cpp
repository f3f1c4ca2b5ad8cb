// SPDX-License-Identifier: MIT
// Event storms: bursts of real kernel uevents while the class script is
// slow, what the netlink queue holds at the chosen receive buffer, and what
// the daemon does when the kernel still drops events.
//
// The events are the kernel's own: an action written to the uevent file of
// this network namespace's loopback interface (soak::KernelEvents), which
// only this namespace's sockets receive. The daemon's sysfs tree lays out a
// tracked device under the same devpath: the simulated board's "lo" gets a
// "device" link to a USB adapter's interface, so every real event is one for a
// USB network adapter the daemon tracks.

#include <signal.h>
#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/uevent.h"
#include "tests/integration/harness.h"
#include "tests/soak/soak_support.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace {

using namespace std::chrono_literals;
using itest::make_uevent;
using soak::KernelEvents;

constexpr char kNicId[] = "0b95-772b-STORM1";
// Bursts are handled at the script's pace; give them room on a loaded machine.
constexpr auto kBurstWait = std::chrono::minutes(5);

class StormTest : public soak::MiniBoardTest<soak::RamDaemonTest> {
 protected:
  void SetUp() override {
    MiniBoardTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // A USB Ethernet adapter on a bus of its own whose interface the
    // loopback interface's "device" link names: the daemon identifies a USB
    // network device by that link alone.
    const board::Device bus = tree_->usb_host(tree_->platform_device("storm-usb", "ehci-platform"), 4);
    const board::Device adapter =
        tree_->usb_device(bus, 1, {.vendor = "0b95", .product = "772b", .serial = "STORM1"});
    const board::Device interface = tree_->usb_interface(adapter, 0, "asix");
    tree_->link(std::string(KernelEvents::kDevpath) + "/device", interface.devpath);
    events_ = std::make_unique<KernelEvents>();
    ASSERT_TRUE(events_->ok()) << events_->error();
  }

  // rdbd, the recording script taking script_delay per run, the daemon;
  // returns once the start-up scans are over.
  void start(std::chrono::milliseconds script_delay, const std::string &debug = "") {
    ASSERT_TRUE(h().start_rdbd()) << "rdbd did not start";
    if (!debug.empty()) {
      ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", debug));
    }
    const std::string script = h().path("hwclass.sh");
    ASSERT_TRUE(soak::write_recording_script(script, calls_path(), script_delay));
    ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script", script, true));
    ASSERT_TRUE(h().start_daemon()) << "hwtrackd did not get ready";
    sync();
  }

  // Every event sent before this one has been taken in.
  void sync() {
    const std::string devpath = "/devices/virtual/sync/" + std::to_string(++syncs_);
    ASSERT_TRUE(h().send_monitor(make_uevent("change", devpath, "tty")));
    ASSERT_TRUE(h().wait_for_stdout(devpath + " (tty)", itest::within(kBurstWait)));
  }

  std::string calls_path() { return h().path("calls"); }
  std::vector<std::string> calls() { return soak::read_lines(calls_path()); }

  // "sys.hw.class.<type>.<n>" of the entry whose id is id, or "".
  std::string class_prefix(const std::string &id) {
    for (const auto &name : h().rdb_names("sys.hw.class."))
      if (name.ends_with(".id") && h().rdb_get(name) == id) return name.substr(0, name.size() - 3);
    return "";
  }

  // The devpaths of the device records in the RDB.
  std::vector<std::string> device_devpaths() {
    std::vector<std::string> out;
    for (const auto &name : h().rdb_names("sys.hw.dev."))
      if (name.ends_with(".devpath")) out.push_back(h().rdb_get(name).value_or(""));
    return out;
  }

  bool has_device(const std::string &devpath) {
    const auto all = device_devpaths();
    return std::find(all.begin(), all.end(), devpath) != all.end();
  }

  // The actions of the daemon's event lines for the kernel's devpath.
  std::vector<std::string> kernel_actions() {
    std::vector<std::string> out;
    for (const auto &line : h().stdout_lines())
      if (line.starts_with("UEVENT[")) {
        if (auto action = soak::event_action(line, KernelEvents::kDevpath)) out.push_back(*action);
      }
    return out;
  }

  size_t kernel_action_count() { return kernel_actions().size(); }

  bool wait_for_kernel_actions(size_t count) {
    const auto deadline = itest::within(kBurstWait);
    while (kernel_action_count() < count) {
      if (itest::Clock::now() >= deadline || !h().daemon_running()) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  // Writes events of action until the kernel drops one (the daemon is
  // paused, so nothing drains the queue); how many were queued.
  size_t fill_queue_until_a_drop(const std::string &action, size_t limit = 100000) {
    const auto before = soak::netlink_queue(h().daemon_pid());
    if (!before) return 0;
    for (size_t sent = 1; sent <= limit; ++sent) {
      if (!events_->send(action)) return 0;
      const auto now = soak::netlink_queue(h().daemon_pid());
      if (now && now->drops > before->drops) return sent - (now->drops - before->drops);
    }
    return 0;
  }

  // Shrinks the daemon's netlink receive buffer to the kernel's minimum.
  void make_netlink_queue_tiny() {
    const auto queue = soak::netlink_queue(h().daemon_pid());
    ASSERT_TRUE(queue);
    const std::string error = soak::set_receive_buffer(h().daemon_pid(), queue->fd, 1);
    if (!error.empty()) GTEST_SKIP() << "cannot reach the daemon's socket: " << error;
  }

  // The class entry ("sys.hw.class.<type>.<n>") of the device record with
  // this devpath, or "".
  std::string class_of(const std::string &devpath) {
    for (const auto &name : h().rdb_names("sys.hw.dev.")) {
      if (!name.ends_with(".devpath") || h().rdb_get(name) != devpath) continue;
      // An entry's "dev" names the record "sys.hw.dev.<n>" as "dev.<n>".
      const std::string record = name.substr(0, name.rfind('.')).substr(std::string("sys.hw.").size());
      for (const auto &cls : h().rdb_names("sys.hw.class."))
        if (cls.ends_with(".dev") && h().rdb_get(cls) == record) return cls.substr(0, cls.size() - 4);
    }
    return "";
  }

  // The script runs recorded from index from on, each as "<prefix> <status>".
  std::vector<std::string> calls_since(size_t from) {
    std::vector<std::string> out;
    const auto all = calls();
    for (size_t i = from; i < all.size(); ++i)
      out.push_back(all[i].substr(0, all[i].find(' ')) + " " + all[i].substr(all[i].rfind(' ') + 1));
    return out;
  }

  // The devpath of the tty among a plug's events.
  static std::string tty_devpath(const std::vector<board::Uevent> &events) {
    for (const auto &e : events)
      if (e.subsystem == "tty") return e.devpath;
    return "";
  }

  std::unique_ptr<KernelEvents> events_;
  int syncs_ = 0;
};

// --- bursts the queue holds ---------------------------------------------------------

TEST_F(StormTest, ThousandKernelEventsWithASlowScriptAreAllHandledInOrder) {
  start(10ms);
  const std::string nic = class_prefix(kNicId);
  ASSERT_FALSE(nic.empty()) << "the start-up scan did not take the NIC";
  const size_t calls_before = calls().size();

  // add, remove and change in a fixed random order. Which script runs each
  // makes follows from whether the NIC's entry is inserted: an add of the
  // device already held, or a remove of a removed one, does nothing.
  std::mt19937 random(20261207);
  std::vector<std::string> sent, expected_calls;
  bool inserted = true;
  for (int i = 0; i < 1000; ++i) {
    const unsigned r = random() % 4;
    const std::string action = r < 2 ? "add" : r == 2 ? "remove" : "change";
    sent.push_back(action);
    if (action == "add") {
      if (!inserted) expected_calls.push_back(nic + " inserted");
      inserted = true;
    } else if (action == "remove") {
      if (inserted) expected_calls.push_back(nic + " removed");
      inserted = false;
    }
  }

  const auto started = itest::Clock::now();
  for (const auto &action : sent) ASSERT_TRUE(events_->send(action));
  const double burst_ms = soak::elapsed_ms(started);
  ASSERT_TRUE(wait_for_kernel_actions(sent.size())) << kernel_action_count() << " of " << sent.size();
  sync();
  const double handled_ms = soak::elapsed_ms(started);

  EXPECT_EQ(kernel_actions(), sent);
  EXPECT_EQ(calls_since(calls_before), expected_calls);
  EXPECT_TRUE(h().log_matching("kernel events lost").empty());
  const auto queue = soak::netlink_queue(h().daemon_pid());
  ASSERT_TRUE(queue);
  EXPECT_EQ(queue->drops, 0u);
  EXPECT_EQ(has_device(KernelEvents::kDevpath), inserted);
  EXPECT_EQ(h().rdb_get(nic + ".status"), inserted ? "inserted" : "removed");
  printf("[ figures  ] burst of %zu kernel events written in %.0f ms, handled in %.1f s with %zu script runs of 10 ms\n",
         sent.size(), burst_ms, handled_ms / 1000.0, expected_calls.size());
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(StormTest, QueueAtTheChosenBufferHoldsABurstAndReportsTheFirstLoss) {
  start(0ms, "6");
  const auto queue = soak::netlink_queue(h().daemon_pid());
  ASSERT_TRUE(queue);
  const int rcvbuf = soak::receive_buffer(h().daemon_pid(), queue->fd);
  EXPECT_EQ(rcvbuf, 2 * kEventSocketRcvbuf);  // the kernel doubles what is asked

  // The kernel charges an event by its buffer, so the queue holds fewer
  // large events: the loopback interface's own (about 150 bytes, like a
  // tty's), and the same padded with a synthetic argument to the size of a
  // USB interface's event with its PRODUCT, INTERFACE and MODALIAS.
  const struct {
    const char *what;
    std::string action;
  } kinds[] = {
      {"tty-sized", "change"},
      {"USB-sized", "change 1b4e28ba-2fa1-11d2-883f-0016d3cca427 MODALIAS=" + std::string(250, 'x')},
  };
  size_t handled = 0;
  for (const auto &kind : kinds) {
    SCOPED_TRACE(kind.what);
    // While the daemon is stopped nothing drains the queue: what it takes
    // then is the longest burst handled with no loss however slow the script.
    ASSERT_TRUE(h().pause_daemon());
    const size_t queued = fill_queue_until_a_drop(kind.action);
    const auto full = soak::netlink_queue(h().daemon_pid());
    ASSERT_GT(queued, 0u);
    ASSERT_TRUE(full);
    printf("[ figures  ] a %d-byte netlink queue holds %zu %s kernel events (%ld bytes queued, %.0f per event)\n",
           rcvbuf, queued, kind.what, full->rmem, static_cast<double>(full->rmem) / static_cast<double>(queued));
    EXPECT_GE(queued, 1000u);
    const size_t mark = h().log_count();
    const size_t lost_before = h().log_matching("kernel events lost, netlink receive queue overrun").size();
    ASSERT_TRUE(h().resume_daemon());

    // Every queued event is handled, the one dropped never; the loss is
    // reported once and the resync finds nothing to do.
    handled += queued;
    ASSERT_TRUE(wait_for_kernel_actions(handled));
    ASSERT_TRUE(h().wait_for_log("resync done (", itest::within(), mark));
    sync();
    EXPECT_EQ(kernel_action_count(), handled);
    const auto lost = h().log_matching("kernel events lost, netlink receive queue overrun");
    ASSERT_EQ(lost.size(), lost_before + 1);
    EXPECT_EQ(lost.back().priority, LOG_ERR);
    EXPECT_TRUE(h().wait_for_log("resync done (added=0,removed=0)", itest::within(), mark));
  }
  EXPECT_EQ(h().stop_daemon(), 0);
}

// --- bursts it does not -------------------------------------------------------------

TEST_F(StormTest, OverrunIsLoggedAndTheResyncMakesGoodWhatWasLost) {
  const std::string vanished = tty_devpath(board_->plug("ftdi", "usb1"));
  ASSERT_FALSE(vanished.empty());
  start(10ms, "6");
  const std::string vanished_class = class_of(vanished);
  const std::string nic = class_prefix(kNicId);
  ASSERT_FALSE(vanished_class.empty());
  ASSERT_FALSE(nic.empty());
  make_netlink_queue_tiny();
  if (IsSkipped()) return;

  // While the daemon is stopped one adapter goes and another comes, and
  // the burst that follows overruns the queue: their events would be lost
  // with the rest.
  ASSERT_TRUE(h().pause_daemon());
  board_->unplug("ftdi");
  const std::string appeared = tty_devpath(board_->plug("twin-a", "usb2"));
  ASSERT_FALSE(appeared.empty());
  const size_t calls_before = calls().size();
  const size_t mark = h().log_count();
  ASSERT_GT(fill_queue_until_a_drop("change"), 0u);
  ASSERT_TRUE(h().resume_daemon());

  const auto lost = h().wait_for_log("kernel events lost, netlink receive queue overrun", itest::within(), mark);
  ASSERT_TRUE(lost);
  EXPECT_EQ(lost->priority, LOG_ERR);
  const auto done = h().wait_for_log("resync done (", itest::within(kBurstWait), mark);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->message(), "resync done (added=1,removed=1)");
  sync();

  // Only the two adapters' entries changed; the board's own devices and the
  // NIC, present throughout, saw no script run.
  const std::string appeared_class = class_of(appeared);
  ASSERT_FALSE(appeared_class.empty());
  EXPECT_EQ(calls_since(calls_before),
            (std::vector<std::string>{vanished_class + " removed", appeared_class + " inserted"}));
  EXPECT_FALSE(has_device(vanished));
  EXPECT_TRUE(has_device(appeared));
  EXPECT_TRUE(has_device(KernelEvents::kDevpath));
  EXPECT_EQ(h().rdb_get(vanished_class + ".status"), "removed");
  EXPECT_EQ(h().rdb_get(appeared_class + ".status"), "inserted");
  EXPECT_EQ(h().rdb_get(nic + ".status"), "inserted");
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(StormTest, EventsQueuedBeforeALossAreHandledBeforeTheResync) {
  start(0ms, "6");
  const std::string nic = class_prefix(kNicId);
  ASSERT_FALSE(nic.empty());
  make_netlink_queue_tiny();
  if (IsSkipped()) return;

  // remove (queued), changes until the queue overflows, then add: the
  // kernel queues nothing more until the queue is empty, so the add is lost.
  ASSERT_TRUE(h().pause_daemon());
  const auto before = soak::netlink_queue(h().daemon_pid());
  ASSERT_TRUE(before);
  ASSERT_TRUE(events_->send("remove"));
  ASSERT_GT(fill_queue_until_a_drop("change"), 0u);
  ASSERT_TRUE(events_->send("add"));
  const auto after = soak::netlink_queue(h().daemon_pid());
  ASSERT_TRUE(after);
  ASSERT_EQ(after->drops - before->drops, 2u) << "the add was queued after all";
  const size_t mark = h().log_count();
  ASSERT_TRUE(h().resume_daemon());

  // The queued remove is older than the lost add: a resync before it would
  // find the NIC known and leave it, and the remove would then take away a
  // device that is there.
  ASSERT_TRUE(h().wait_for_log("resync done (", itest::within(kBurstWait), mark));
  sync();
  const auto lines = h().log_lines();
  size_t removed_at = 0, resync_at = 0;
  for (size_t i = mark; i < lines.size(); ++i) {
    const std::string m = lines[i].message();
    if (m == std::string("###hwtrack### device removed (devpath=") + KernelEvents::kDevpath + ")") removed_at = i;
    if (m.starts_with("resync done (") && resync_at == 0) resync_at = i;
  }
  ASSERT_GT(removed_at, 0u);
  EXPECT_LT(removed_at, resync_at);
  EXPECT_EQ(lines[resync_at].message(), "resync done (added=1,removed=0)");
  EXPECT_TRUE(has_device(KernelEvents::kDevpath));
  EXPECT_EQ(h().rdb_get(nic + ".status"), "inserted");
  EXPECT_EQ(h().stop_daemon(), 0);
}

}  // namespace
