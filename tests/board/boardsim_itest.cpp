// SPDX-License-Identifier: MIT
// The board simulator against the real daemon: boardsim lays out the gateway
// board, plugs and unplugs its devices with real datagrams, and the class
// table in the RDB follows as it would on the hardware.
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/integration/harness.h"

namespace {

class BoardsimDaemonTest : public itest::DaemonTest {
 protected:
  itest::RunResult boardsim(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {HWTRACK_TEST_BOARDSIM};
    argv.insert(argv.end(), args.begin(), args.end());
    return itest::run_program(argv, {{"RDB_DEVICE", h().rdb_socket()}});
  }

  void run_ok(const std::vector<std::string> &args) {
    const auto r = boardsim(args);
    ASSERT_EQ(r.status, 0) << testing::PrintToString(args) << "\n" << r.err;
  }

  // rdbd, a class script that records its arguments, the board, the daemon.
  void start() {
    ASSERT_TRUE(h().start_rdbd());
    ASSERT_TRUE(h().write_file(script(), "#!/bin/sh\necho \"$*\" >>" + h().path("calls") + "\n"));
    ASSERT_EQ(chmod(script().c_str(), 0755), 0);
    ASSERT_TRUE(h().rdb_set("sys.hw.cfg.hwclass_script", script(), true));
    ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7", true));
    run_ok({"layout", root()});
    ASSERT_TRUE(h().start_daemon());
    settle();
  }

  std::string root() { return h().sysfs_root(); }
  std::string script() { return h().path("hwclass.sh"); }

  // Everything sent before has been handled once the daemon echoes this
  // event: it takes events one at a time, in order (and the start-up scans
  // before the first).
  void settle() {
    const std::string marker = "/devices/virtual/itest/settle" + std::to_string(++settles_);
    run_ok({"send", "change", marker, "itest"});
    ASSERT_TRUE(h().wait_for_stdout(marker + " (itest)")) << "the daemon did not handle " << marker;
  }

  // Class entries ("storage.0") -> key -> value.
  std::map<std::string, std::map<std::string, std::string>> classes() {
    std::map<std::string, std::map<std::string, std::string>> out;
    const std::string prefix = "sys.hw.class.";
    for (const std::string &name : h().rdb_names(prefix)) {
      const std::string rest = name.substr(prefix.size());
      const size_t key = rest.find('.', rest.find('.') + 1);
      out[rest.substr(0, key)][rest.substr(key + 1)] = h().rdb_get(name).value_or("<gone>");
    }
    return out;
  }

  // The entry holding this identity and location.
  std::string entry_of(const std::string &id, const std::string &location) {
    for (const auto &[entry, vars] : classes())
      if (vars.contains("id") && vars.at("id") == id && vars.at("location") == location) return entry;
    return "<none for " + id + " at " + location + ">";
  }

  std::vector<std::string> script_calls_for(const std::string &entry) {
    std::vector<std::string> out;
    std::ifstream in(h().path("calls"));
    const std::string lead = "sys.hw.class." + entry + " ";
    for (std::string line; std::getline(in, line);)
      if (line.starts_with(lead)) out.push_back(line.substr(line.rfind(' ') + 1));
    return out;
  }

  int settles_ = 0;
};

TEST_F(BoardsimDaemonTest, ModemAndStickFollowedAcrossPortsAndARestart) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string stick = "0781-5567-4C530001090312109353";

  // The start-up scans found the board's own devices.
  const std::string uart = entry_of("platform-2020000.serial", "platform");
  EXPECT_TRUE(uart.starts_with("serial.")) << uart;
  EXPECT_EQ(classes()[uart]["status"], "inserted");
  EXPECT_EQ(entry_of("platform-2188000.ethernet-1", "platform").substr(0, 4), "eth.");
  const size_t on_board = classes().size();
  EXPECT_EQ(on_board, 8u);  // two UARTs, two Ethernet ports, the gadget's two functions, the eMMC's partitions

  // The modem: three serial classes and one eth class, one per interface;
  // its USB device and interface events are echoed and dropped.
  run_ok({"plug", root(), "modem", "--port", "usb1"});
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_TRUE(h().wait_for_stdout("/1-1.1/1-1.1:1.3 (usb)"));
  for (const char *interface : {"0", "1", "2"}) {
    const std::string entry = entry_of("2c7c-0125", std::string("usb1-1.1:1.") + interface);
    EXPECT_TRUE(entry.starts_with("serial.")) << entry;
    EXPECT_EQ(classes()[entry]["status"], "inserted") << entry;
    EXPECT_EQ(classes()[entry]["name"], std::string("/dev/ttyUSB") + interface) << entry;
  }
  const std::string wwan = entry_of("2c7c-0125", "usb1-1.1:1.3");
  EXPECT_TRUE(wwan.starts_with("eth.")) << wwan;
  EXPECT_EQ(classes()[wwan]["name"], "wwan0");

  // The stick: its partitions, never its whole disk.
  run_ok({"plug", root(), "stick", "--port", "usb2"});
  ASSERT_NO_FATAL_FAILURE(settle());
  const std::string part1 = entry_of(stick + "-1", "usb1-1.2:1.0-1");
  const std::string part2 = entry_of(stick + "-2", "usb1-1.2:1.0-2");
  ASSERT_TRUE(part1.starts_with("storage.")) << part1;
  ASSERT_TRUE(part2.starts_with("storage.")) << part2;
  EXPECT_EQ(classes()[part1]["name"], "/dev/sdb1");
  EXPECT_EQ(classes().size(), on_board + 6);

  // Unplugged: the classes stay, removed and without a device.
  run_ok({"unplug", root(), "stick"});
  ASSERT_NO_FATAL_FAILURE(settle());
  for (const std::string &entry : {part1, part2}) {
    EXPECT_EQ(classes()[entry]["status"], "removed") << entry;
    EXPECT_EQ(classes()[entry]["dev"], "") << entry;
  }

  // Plugged on a port of another bus: the same classes, a new location.
  run_ok({"plug", root(), "stick", "--port", "usb5"});
  ASSERT_NO_FATAL_FAILURE(settle());
  EXPECT_EQ(entry_of(stick + "-1", "usb3-1.1:1.0-1"), part1);
  EXPECT_EQ(entry_of(stick + "-2", "usb3-1.1:1.0-2"), part2);
  EXPECT_EQ(classes()[part1]["status"], "inserted");
  EXPECT_EQ(classes().size(), on_board + 6);
  EXPECT_EQ(script_calls_for(part1), (std::vector<std::string>{"inserted", "removed", "inserted"}));

  // boardsim show prints the same table.
  const auto shown = boardsim({"show", "classes"});
  ASSERT_EQ(shown.status, 0) << shown.err;
  std::istringstream rows(shown.out);
  std::set<std::vector<std::string>> table;
  for (std::string row; std::getline(rows, row);) {
    std::istringstream words(row);
    std::vector<std::string> cells;
    for (std::string w; words >> w;) cells.push_back(w);
    table.insert(cells);
  }
  const size_t dot = part1.find('.');
  EXPECT_TRUE(table.contains({part1.substr(0, dot), part1.substr(dot + 1), "inserted", stick + "-1",
                              "usb3-1.1:1.0-1", classes()[part1]["dev"], "/dev/sdb1"}))
      << shown.out;

  // Restarted: every class comes back under its index, the devices present
  // are inserted again, nothing new is made.
  const auto before = classes();
  ASSERT_EQ(h().stop_daemon(), 0);
  ASSERT_TRUE(h().start_daemon());
  ASSERT_NO_FATAL_FAILURE(settle());
  const auto after = classes();
  ASSERT_EQ(after.size(), before.size());
  for (const auto &[entry, vars] : before) {
    ASSERT_TRUE(after.contains(entry)) << entry;
    EXPECT_EQ(after.at(entry).at("id"), vars.at("id")) << entry;
    EXPECT_EQ(after.at(entry).at("location"), vars.at("location")) << entry;
    EXPECT_EQ(after.at(entry).at("status"), "inserted") << entry;
  }
  EXPECT_EQ(script_calls_for(part1), (std::vector<std::string>{"inserted", "removed", "inserted", "inserted"}));
  EXPECT_TRUE(h().log_matching("build hwclass objects from RDB").size() == 1);
}

// A firmware update from an old kernel to 6.6: the same board, laid out as
// 6.6 lays it out, keeps every class entry.
TEST_F(BoardsimDaemonTest, SameBoardOnKernel66KeepsEveryEntry) {
  ASSERT_NO_FATAL_FAILURE(start());
  run_ok({"plug", root(), "modem", "--port", "usb1"});
  ASSERT_NO_FATAL_FAILURE(settle());
  const auto before = classes();
  ASSERT_EQ(h().stop_daemon(), 0);
  run_ok({"layout", root(), "--kernel", "6.6", "--again"});
  ASSERT_TRUE(h().start_daemon());
  ASSERT_NO_FATAL_FAILURE(settle());

  auto after = classes();
  ASSERT_EQ(after.size(), before.size());
  for (const auto &[entry, vars] : before) {
    EXPECT_EQ(after[entry]["id"] + " at " + after[entry]["location"], vars.at("id") + " at " + vars.at("location"));
    EXPECT_EQ(after[entry]["status"] + " " + after[entry]["name"], "inserted " + vars.at("name"));  // no boot area
  }
  EXPECT_EQ(after[entry_of("gadget-tty-2184000.usb", "gadget")]["name"], "/dev/ttyGS0");
  // The UARTs, behind serial-base ports now, are found by the platform scan, with their UART's driver.
  std::string platform_scan;
  for (const itest::SyslogLine &line : h().log_lines()) {
    if (line.message() == "scan devices") break;
    platform_scan += line.message() + "\n";
  }
  for (const std::string uart : {"2020000.serial", "21e8000.serial"}) {
    EXPECT_EQ(h().rdb_get("sys.hw." + after[entry_of("platform-" + uart, "platform")]["dev"] + ".driver"), "imx-uart");
    EXPECT_NE(platform_scan.find("devpath added as a hwdev (devpath=/devices/platform/soc/" + uart), std::string::npos);
  }
}

}  // namespace
