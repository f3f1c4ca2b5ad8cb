// SPDX-License-Identifier: MIT
// The device manager end to end: the real hwtrackd and rdbd, a simulated
// board under SYSFS_PATH, the kernel's event sequences on the monitor socket
// and a class script that records its arguments and what the RDB held for
// its entry while it ran.

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/integration/harness.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace {

namespace fs = std::filesystem;
using board::Device;
using itest::make_uevent;
using itest::SyslogLine;
using Vars = std::map<std::string, std::string>;
using Strings = std::vector<std::string>;

class DevmgrE2E : public itest::DaemonTest {
 protected:
  void SetUp() override {
    itest::DaemonTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    tree_ = std::make_unique<board::SysfsTree>(h().sysfs_root());
  }

  board::SysfsTree &tree() { return *tree_; }

  // rdbd, full logging, the recording class script; hwtrackd unless told not.
  void start(bool daemon = true) {
    ASSERT_TRUE(h().start_rdbd()) << "rdbd did not start";
    ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7"));
    const std::string script = h().path("hwclass.sh");
    std::ofstream(script) << "#!/bin/sh\n"
                          << "echo \"$* dev=$(" << HWTRACK_TEST_RDB << " get \"$1.dev\")"
                          << " status=$(" << HWTRACK_TEST_RDB << " get \"$1.status\")\" >> " << calls_path() << "\n";
    chmod(script.c_str(), 0755);
    ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script", script, true));
    if (daemon) restart();
  }

  void restart() { ASSERT_TRUE(h().start_daemon()) << "hwtrackd did not get ready"; }

  // The start-up scans are over once an event sent now has been taken in.
  void wait_until_looping() {
    const std::string devpath = "/devices/virtual/sync/" + std::to_string(++syncs_);
    ASSERT_TRUE(h().send_monitor(make_uevent("change", devpath, "tty")));
    ASSERT_TRUE(h().wait_for_log(devpath + " (tty)"));
  }

  std::string calls_path() { return h().path("script-calls"); }

  // The script's lines so far: "<prefix> <type> <index> <status> dev=... status=...".
  Strings calls() {
    Strings out;
    std::ifstream in(calls_path());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  void send(const std::vector<board::Uevent> &events) {
    for (const board::Uevent &e : events) ASSERT_TRUE(h().send_monitor(e.datagram()));
  }

  // Sends the kernel's "add" events of the subtree at top and waits until
  // the daemon has added tracked.
  void plug(const Device &top, const Device &tracked) {
    const size_t from = h().log_count();
    send(board::subtree_uevents(tree(), top, "add"));
    ASSERT_TRUE(
        h().wait_for_log("###hwtrack### device added (devpath=" + tracked.devpath + ")", itest::within(), from));
  }

  // Sends the "remove" events of the subtree at top, takes the subtree out
  // of the tree and waits until the daemon has removed tracked.
  void unplug(const Device &top, const Device &tracked) {
    const size_t from = h().log_count();
    const auto events = board::subtree_uevents(tree(), top, "remove");
    tree().unplug(top);
    send(events);
    ASSERT_TRUE(
        h().wait_for_log("###hwtrack### device removed (devpath=" + tracked.devpath + ")", itest::within(), from));
  }

  Vars rdb_vars(const std::string &prefix) {
    Vars out;
    for (const std::string &name : h().rdb_names(prefix))
      out[name.substr(prefix.size())] = h().rdb_get(name).value_or("?");
    return out;
  }

  bool daemon_logged(int level, const std::string &message) {
    for (const SyslogLine &l : h().log_lines())
      if (l.priority == level && l.message() == message) return true;
    return false;
  }

  // --- the board ---------------------------------------------------------------
  Device soc() { return tree().platform_device("soc"); }
  Device hub() {
    return tree().usb_hub(tree().usb_host(tree().platform_device("2184200.usb", "ci_hdrc", soc()), 1), 1);
  }
  Device serial_adapter(int port, const std::string &serial, const std::string &tty, Device *top = nullptr) {
    const Device dev = tree().usb_device(hub(), port, {.vendor = "0403", .product = "6001", .serial = serial});
    if (top) *top = dev;
    return tree().usb_serial_port(tree().usb_interface(dev, 0, "ftdi_sio"), tty);
  }

 private:
  std::unique_ptr<board::SysfsTree> tree_;
  int syncs_ = 0;
};

TEST_F(DevmgrE2E, FirstAddOfEachKindWritesExactVariables) {
  start();
  // Laid out after the start-up scan, announced by events only.
  const Device uart = tree().tty(tree().platform_device("2020000.serial", "imx-uart", soc()), "ttymxc0");
  const Device eth =
      tree().net(tree().platform_device("2188000.ethernet", "fec", soc()), "eth0", "00:11:22:33:44:55", "0x1");
  Device adapter;
  const Device ttyUSB0 = serial_adapter(2, "A600", "ttyUSB0", &adapter);
  const Device net_dev = tree().usb_device(hub(), 3, {.vendor = "0b95", .product = "772b", .serial = "N1"});
  const Device usb_eth = tree().net(tree().usb_interface(net_dev, 0, "asix"), "eth1", "02:00:00:aa:bb:cc");
  const Device stick = tree().usb_device(hub(), 4, {.vendor = "0781", .product = "5567", .serial = "STICK1"});
  const Device sda = tree().scsi_disk(tree().usb_interface(stick, 0, "usb-storage", "08"), "sda");
  const Device sda1 = tree().partition(sda, 1);
  const Device card =
      tree().mmc_card(tree().mmc_host(tree().platform_device("2190000.mmc", "sdhci-esdhc-imx", soc()), 0));
  const Device mmcblk0 = tree().block_disk(card, "mmcblk0");
  const Device udc =
      tree().platform_device("ci_hdrc.0", "ci_hdrc", tree().platform_device("2184000.usb", "imx_usb", soc()));
  const Device gadget = tree().usb_gadget(udc, "gadget", "g_multi");
  const Device ttyGS0 = tree().tty(gadget, "ttyGS0");
  const Device usb0 = tree().net(gadget, "usb0", "aa:bb:cc:dd:ee:ff");

  plug(uart, uart);
  plug(eth, eth);
  plug(adapter, ttyUSB0);
  plug(net_dev, usb_eth);
  plug(stick, sda1);
  plug(card, mmcblk0);
  plug(ttyGS0, ttyGS0);
  plug(usb0, usb0);

  struct Expect {
    Device dev;
    Vars device;
    std::string cls;
    Vars entry;
  };
  const Expect expected[] = {
      {uart,
       {{"name", "/dev/ttymxc0"},
        {"location", "platform"},
        {"id", "platform-2020000.serial"},
        {"driver", "imx-uart"},
        {"type", "serial"}},
       "serial.0",
       {{"name", "/dev/ttymxc0"}, {"mac", ""}, {"id", "platform-2020000.serial"}, {"location", "platform"}}},
      {eth,
       {{"name", "eth0"},
        {"location", "platform"},
        {"id", "platform-2188000.ethernet-1"},
        {"driver", "fec"},
        {"type", "eth"}},
       "eth.0",
       {{"name", "eth0"},
        {"mac", "00:11:22:33:44:55"},
        {"id", "platform-2188000.ethernet-1"},
        {"location", "platform"}}},
      {ttyUSB0,
       {{"name", "/dev/ttyUSB0"},
        {"location", "usb1-1.2:1.0"},
        {"id", "0403-6001-A600"},
        {"driver", "ftdi_sio"},
        {"type", "serial"}},
       "serial.1",
       {{"name", "/dev/ttyUSB0"}, {"mac", ""}, {"id", "0403-6001-A600"}, {"location", "usb1-1.2:1.0"}}},
      {usb_eth,
       {{"name", "eth1"}, {"location", "usb1-1.3:1.0"}, {"id", "0b95-772b-N1"}, {"driver", "asix"}, {"type", "eth"}},
       "eth.1",
       {{"name", "eth1"}, {"mac", "02:00:00:aa:bb:cc"}, {"id", "0b95-772b-N1"}, {"location", "usb1-1.3:1.0"}}},
      {sda1,
       {{"name", "/dev/sda1"},
        {"location", "usb1-1.4:1.0-1"},
        {"id", "0781-5567-STICK1-1"},
        {"driver", "usb-storage"},
        {"type", "storage"}},
       "storage.0",
       {{"name", "/dev/sda1"}, {"mac", ""}, {"id", "0781-5567-STICK1-1"}, {"location", "usb1-1.4:1.0-1"}}},
      {mmcblk0,
       {{"name", "/dev/mmcblk0"},
        {"location", "platform-1"},
        {"id", "platform-2190000.mmc-1"},
        {"driver", ""},
        {"type", "storage"}},
       "storage.1",
       {{"name", "/dev/mmcblk0"}, {"mac", ""}, {"id", "platform-2190000.mmc-1"}, {"location", "platform-1"}}},
      {ttyGS0,
       {{"name", "/dev/ttyGS0"},
        {"location", "gadget"},
        {"id", "gadget-tty-2184000.usb"},
        {"driver", "g_multi"},
        {"type", "serial"}},
       "serial.2",
       {{"name", "/dev/ttyGS0"}, {"mac", ""}, {"id", "gadget-tty-2184000.usb"}, {"location", "gadget"}}},
      {usb0,
       {{"name", "usb0"},
        {"location", "gadget"},
        {"id", "gadget-net-2184000.usb"},
        {"driver", "g_multi"},
        {"type", "eth"}},
       "eth.2",
       {{"name", "usb0"}, {"mac", ""}, {"id", "gadget-net-2184000.usb"}, {"location", "gadget"}}},
  };

  Strings want_calls;
  for (size_t i = 0; i < std::size(expected); ++i) {
    const Expect &e = expected[i];
    SCOPED_TRACE(e.dev.devpath);
    Vars device = e.device;
    device["devpath"] = e.dev.devpath;
    EXPECT_EQ(rdb_vars("sys.hw.dev." + std::to_string(i) + "."), device);
    Vars entry = e.entry;
    entry["dev"] = "dev." + std::to_string(i);
    entry["status"] = "inserted";
    entry["enable"] = "1";
    EXPECT_EQ(rdb_vars("sys.hw.class." + e.cls + "."), entry);
    const std::string type = e.cls.substr(0, e.cls.find('.'));
    const std::string index = e.cls.substr(e.cls.find('.') + 1);
    want_calls.push_back("sys.hw.class." + e.cls + " " + type + " " + index + " inserted dev=dev." + std::to_string(i) +
                         " status=inserted");
  }
  EXPECT_EQ(calls(), want_calls);
  // Nothing else was made of the other events (USB devices, interfaces, the whole disk).
  EXPECT_EQ(h().rdb_names("sys.hw.dev.").size(), 6 * std::size(expected));
  EXPECT_EQ(h().rdb_names("sys.hw.class.").size(), 7 * std::size(expected));
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(DevmgrE2E, RemoveThenReplugOnAnotherPort) {
  start();
  Device top;
  const Device tty = serial_adapter(2, "A600", "ttyUSB0", &top);
  plug(top, tty);
  unplug(top, tty);

  ASSERT_EQ(calls().size(), 2u);
  // The script ran while "dev" still named the device.
  EXPECT_EQ(calls()[1], "sys.hw.class.serial.0 serial 0 removed dev=dev.0 status=removed");
  EXPECT_EQ(rdb_vars("sys.hw.class.serial.0."), (Vars{{"dev", ""},
                                                      {"name", ""},
                                                      {"mac", ""},
                                                      {"id", "0403-6001-A600"},
                                                      {"location", "usb1-1.2:1.0"},
                                                      {"status", "removed"},
                                                      {"enable", "1"}}));
  EXPECT_TRUE(h().rdb_names("sys.hw.dev.").empty());

  const Device moved = serial_adapter(4, "A600", "ttyUSB0", &top);
  plug(top, moved);
  EXPECT_EQ(calls().back(), "sys.hw.class.serial.0 serial 0 inserted dev=dev.1 status=inserted");
  EXPECT_EQ(h().rdb_get("sys.hw.class.serial.0.location"), "usb1-1.4:1.0");
  EXPECT_EQ(h().rdb_get("sys.hw.dev.1.devpath"), moved.devpath);
  EXPECT_FALSE(h().rdb_get("sys.hw.class.serial.1.id"));
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(DevmgrE2E, DuplicateAddKeepsOneRecord) {
  start();
  const Device tty = tree().tty(tree().platform_device("2020000.serial", "imx-uart", soc()), "ttymxc0");
  plug(tty, tty);
  plug(tty, tty);  // the same device announced again: nothing changes

  EXPECT_FALSE(daemon_logged(LOG_WARNING, "device already inserted - possibly missing udev message"));
  EXPECT_EQ(calls(), (Strings{"sys.hw.class.serial.0 serial 0 inserted dev=dev.0 status=inserted"}));
  Strings want;
  for (const char *key : {"devpath", "driver", "id", "location", "name", "type"})
    want.push_back(std::string("sys.hw.dev.0.") + key);
  EXPECT_EQ(h().rdb_names("sys.hw.dev."), want);

  // One remove clears it all.
  const size_t from = h().log_count();
  ASSERT_TRUE(h().send_monitor(make_uevent("remove", tty.devpath, "tty")));
  ASSERT_TRUE(h().wait_for_log("###hwtrack### device removed (devpath=" + tty.devpath + ")", itest::within(), from));
  EXPECT_TRUE(h().rdb_names("sys.hw.dev.").empty());
  EXPECT_EQ(h().rdb_get("sys.hw.class.serial.0.status"), "removed");
  EXPECT_EQ(h().stop_daemon(), 0);
}

TEST_F(DevmgrE2E, RestartRestoresStoredClassesAndScansInOrder) {
  start();
  const Device uart = tree().tty(tree().platform_device("2020000.serial", "imx-uart", soc()), "ttymxc0");
  Device top, gone_top;
  const Device adapter = serial_adapter(2, "A600", "ttyUSB0", &top);
  const Device gone = serial_adapter(4, "C800", "ttyUSB1", &gone_top);
  plug(uart, uart);
  plug(top, adapter);
  plug(gone_top, gone);
  ASSERT_EQ(h().stop_daemon(), 0);
  tree().unplug(gone_top);  // while no daemon runs

  // What the configuration and an earlier run left besides.
  ASSERT_TRUE(h().rdb_set("sys.hw.class.serial.5.id", "modem-at", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.serial.5.location", "internal", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.serial.5.static", "1", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.serial.5.name", "/dev/ttyS5", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.serial.5.enable", "7", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.serial.3.id", "nameless", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.serial.3.location", "internal", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.serial.3.static", "1", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.modem.0.id", "x", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.modem.0.location", "y", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.eth.3.id", "0b95-772b-N1", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.class.eth.3.location", "usb1-1.3:1.0", true));
  ASSERT_TRUE(h().rdb_set("sys.hw.dev.40.name", "/dev/gone"));
  std::filesystem::remove(calls_path());

  restart();
  wait_until_looping();

  // Platform scan, legacy devices, the rest, then the device that left;
  // indexes kept.
  EXPECT_EQ(calls(), (Strings{"sys.hw.class.serial.0 serial 0 inserted dev=dev.0 status=inserted",
                              "sys.hw.class.serial.5 serial 5 inserted dev= status=inserted",
                              "sys.hw.class.serial.1 serial 1 inserted dev=dev.1 status=inserted",
                              "sys.hw.class.serial.2 serial 2 removed dev= status=removed"}));
  EXPECT_FALSE(h().rdb_get("sys.hw.dev.40.name"));
  EXPECT_EQ(h().rdb_get("sys.hw.class.serial.5.enable"), "1");
  EXPECT_EQ(h().rdb_get("sys.hw.class.serial.5.name"), "/dev/ttyS5");
  EXPECT_EQ(h().rdb_get("sys.hw.class.eth.3.status"), "removed");
  EXPECT_TRUE(daemon_logged(LOG_ERR, "id of hwclass missing (rdb=sys.hw.class.(null).0.id)"));
  EXPECT_TRUE(daemon_logged(LOG_ERR, "dev of hwclass missing (rdb=sys.hw.class.serial.3.name)"));
  EXPECT_FALSE(h().rdb_get("sys.hw.class.serial.3.status"));

  // Counters were raised past the stored indexes.
  const Device eth = tree().net(tree().platform_device("2188000.ethernet", "fec", soc()), "eth0", "00:11:22:33:44:55");
  plug(eth, eth);
  Device top2;
  const Device second = serial_adapter(3, "B700", "ttyUSB1", &top2);
  plug(top2, second);
  EXPECT_EQ(h().rdb_get("sys.hw.class.eth.4.dev"), "dev.2");
  EXPECT_EQ(h().rdb_get("sys.hw.class.serial.6.dev"), "dev.3");
  EXPECT_EQ(h().stop_daemon(), 0);
}

// --- The machine's own sysfs ---------------------------------------------------

std::string link_name(const fs::path &link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

// Subsystems of the directories above path (below /sys/devices).
std::set<std::string> ancestor_subsystems(fs::path path) {
  std::set<std::string> out;
  for (path = path.parent_path(); path.string().size() > std::string("/sys/devices").size(); path = path.parent_path())
    if (std::string s = link_name(path / "subsystem"); !s.empty()) out.insert(s);
  return out;
}

struct RealDevice {
  std::string devpath;  // resolved, below /sys
  std::string refusal;  // the identification message that refuses it; empty: tracked
};

std::string first_line(const fs::path &file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// What the identification must do with every class device of this machine:
// a device on PnP or PCI is tracked (or refused for what it is), any other
// refused with the message given. Empty when the machine has a device on
// the platform bus or USB, whose identity the test cannot foretell.
std::optional<std::vector<RealDevice>> real_outcomes(std::string &why) {
  std::vector<RealDevice> out;
  for (const auto &[code, cls] : {std::pair{0, "tty"}, {1, "net"}, {2, "block"}}) {
    for (const auto &entry : fs::directory_iterator(fs::path("/sys/class") / cls)) {
      const fs::path real = fs::canonical(entry.path());
      const std::string devpath = real.string().substr(4);
      const fs::path phys = real / "device";
      const bool has_phys = fs::exists(phys);
      fs::path phys_real = has_phys ? fs::canonical(phys) : fs::path();
      // The serial core's port and controller devices stand for the UART above them.
      while (has_phys && link_name(phys_real / "subsystem") == "serial-base") phys_real = phys_real.parent_path();
      const std::string phys_sub = has_phys ? link_name(phys_real / "subsystem") : "";
      std::set<std::string> above = ancestor_subsystems(has_phys ? phys_real : real);
      if (has_phys) above.insert(phys_sub);
      if (above.count("platform") || above.count("usb") || above.count("usb-serial") ||
          (has_phys && phys_real.filename() == "gadget")) {
        why = devpath + " is a device the daemon tracks";
        return std::nullopt;
      }
      const bool on_node = above.count("pnp") || above.count("pci") || above.count("amba");
      const bool added_wireless = fs::exists(real / "phy80211") && (first_line(real / "name_assign_type") == "3" ||
                                                                    first_line(real / "type") == "801");
      std::string refusal;
      if (code < 2 && !has_phys)
        refusal = "###hwtrack### device not found";
      else if (code == 0 && fs::exists(real / "type") && first_line(real / "type") == "0")
        refusal = "###hwtrack### serial port without uart not tracked (devpath=" + devpath + ")";
      else if (code == 1 && added_wireless)
        refusal = "###hwtrack### wireless interface not created by its driver (devpath=" + devpath + ")";
      else if (code < 2 && !on_node)
        refusal = "###hwtrack### unknown subsystem (subsystem=" + phys_sub + ")";
      else if (code == 2 && above.count("pci"))
        refusal = "###hwtrack### storage on pci not tracked (devpath=" + devpath + ")";
      else if (code == 2)
        refusal = fs::exists(real / "partition") ? "###hwtrack### usb subsystem not found"
                                                 : "###hwtrack### no partition found";
      out.push_back({devpath, refusal});
    }
  }
  return out;
}

// The devpath of a message "<lead><devpath>)", or nullopt.
std::optional<std::string> devpath_of(const std::string &message, const std::string &lead) {
  if (!message.starts_with(lead) || !message.ends_with(")")) return std::nullopt;
  return message.substr(lead.size(), message.size() - lead.size() - 1);
}

TEST_F(DevmgrE2E, MachineSysfsIsIdentifiedDeviceByDevice) {
  std::string why;
  const auto devices = real_outcomes(why);
  if (!devices) GTEST_SKIP() << why;
  start(false);
  // The harness sets SYSFS_PATH; env takes it away again.
  itest::DaemonOptions options;
  options.wrapper = {"/usr/bin/env", "-u", "SYSFS_PATH"};
  ASSERT_TRUE(h().start_daemon(options));
  std::ifstream environ("/proc/" + std::to_string(h().daemon_pid()) + "/environ");
  const std::string env((std::istreambuf_iterator<char>(environ)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(env.empty());
  EXPECT_EQ(env.find("SYSFS_PATH="), std::string::npos);
  wait_until_looping();

  const std::vector<SyslogLine> lines = h().log_lines();
  size_t general = 0, end = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].message() == "scan devices" && !general) general = i;
    if (lines[i].message() == "select() triggered" && general) {
      end = i;
      break;
    }
  }
  ASSERT_GT(general, 0u);
  std::map<std::string, Strings> said;  // devpath -> messages of its refusal
  Strings pending;
  std::set<std::string> not_matching, added;
  for (size_t i = 0; i < end; ++i) {
    const std::string m = lines[i].message();
    EXPECT_EQ(m.find("not able to access sysfs class"), std::string::npos) << m;
    if (auto devpath = devpath_of(m, "subsystem not matching (subsystem=platform,devpath="))
      not_matching.insert(*devpath);
    if (auto devpath = devpath_of(m, "devpath added as a hwdev (devpath=")) added.insert(*devpath);
    if (i < general) continue;
    if (auto devpath = devpath_of(m, "devpath is not a hwdev (devpath=")) {
      said[*devpath] = pending;
      pending.clear();
    } else {
      pending.push_back(m);
    }
  }
  ASSERT_FALSE(devices->empty());
  size_t tracked = 0;
  for (const RealDevice &d : *devices) {
    SCOPED_TRACE(d.devpath);
    EXPECT_TRUE(not_matching.count(d.devpath));
    tracked += d.refusal.empty();
    EXPECT_EQ(added.count(d.devpath), d.refusal.empty() ? 1u : 0u);
    if (d.refusal.empty()) continue;
    ASSERT_TRUE(said.count(d.devpath));
    EXPECT_NE(std::find(said[d.devpath].begin(), said[d.devpath].end(), d.refusal), said[d.devpath].end());
  }
  EXPECT_EQ(said.size() + tracked, devices->size());
  EXPECT_EQ(added.size(), tracked);
  EXPECT_EQ(h().rdb_names("sys.hw.dev.").size(), 6 * tracked);
  EXPECT_EQ(h().rdb_names("sys.hw.class.").size(), 7 * tracked);

  // A real kernel event for one of them goes the same way.
  const std::string uevent = "/sys/class/tty/ttyS0/uevent";
  if (access(uevent.c_str(), W_OK) == 0) {
    const std::string devpath = fs::canonical("/sys/class/tty/ttyS0").string().substr(4);
    const size_t from = h().log_count();
    ASSERT_TRUE(itest::Harness::trigger_kernel_uevent(uevent, "add"));
    ASSERT_TRUE(h().wait_for_log(
        [&](const SyslogLine &l) {
          return l.message().starts_with("UEVENT[") && l.message().find(devpath) != std::string::npos;
        },
        itest::within(), from));
    const bool ttys0_tracked = std::any_of(devices->begin(), devices->end(),
                                           [&](const RealDevice &d) { return d.devpath == devpath && d.refusal.empty(); });
    EXPECT_TRUE(h().wait_for_log(ttys0_tracked ? "###hwtrack### device added (devpath=" + devpath + ")"
                                               : "###hwtrack### no device added",
                                 itest::within(), from));
  }
  EXPECT_EQ(h().rdb_names("sys.hw.dev.").size(), 6 * tracked);
  EXPECT_EQ(h().stop_daemon(), 0);
}

}  // namespace
