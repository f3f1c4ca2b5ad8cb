// SPDX-License-Identifier: MIT
// Add and remove of devices on a simulated board: the RDB variables, the
// class entries they are attached to and the class script's runs.

#include "core/devmgr.h"
#include "core/identify.h"
#include "core/uevent_private.h"

#include <sys/wait.h>
#include <syslog.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/script.h"
#include "core/startup.h"
#include "rdb/rdbdrv.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "tests/devmgr/devmgr_fixture.h"
#include "tools/board/boards.h"

namespace devmgr_test {
namespace {

using board::Device;
using Vars = std::map<std::string, std::string>;
using Strings = std::vector<std::string>;

board::UsbIds adapter_ids(std::optional<std::string> serial = std::nullopt) {
  return {.vendor = "1a2b", .product = "3c4d", .serial = std::move(serial)};
}

int in_use_count() {
  int n = 0;
  for (hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd)) ++n;
  return n;
}

using AddRemove = DevmgrTest;

TEST_F(AddRemove, FirstAddWritesDeviceAndClassVariablesAndRunsTheScriptOnce) {
  const Device tty = usb_serial_adapter(2, adapter_ids("XYZ"), "ttyUSB0");

  ASSERT_EQ(add(TTY, tty), 0);

  EXPECT_EQ(vars("sys.hw.dev."), (Vars{
                                     {"0.name", "/dev/ttyUSB0"},
                                     {"0.location", "usb1-1.2:1.0"},
                                     {"0.id", "1a2b-3c4d-XYZ"},
                                     {"0.devpath", tty.devpath},
                                     {"0.driver", "ftdi_sio"},
                                     {"0.type", "serial"},
                                 }));
  EXPECT_EQ(vars("sys.hw.class."), (Vars{
                                       {"serial.0.dev", "dev.0"},
                                       {"serial.0.name", "/dev/ttyUSB0"},
                                       {"serial.0.mac", ""},
                                       {"serial.0.id", "1a2b-3c4d-XYZ"},
                                       {"serial.0.location", "usb1-1.2:1.0"},
                                       {"serial.0.status", "inserted"},
                                       {"serial.0.enable", "1"},
                                   }));
  for (const char *key : {"name", "location", "id", "devpath", "driver", "type"})
    EXPECT_FALSE(rdb.persistent(std::string("sys.hw.dev.0.") + key)) << key;
  for (const char *key : {"mac", "id", "location", "enable"})
    EXPECT_TRUE(rdb.persistent(std::string("sys.hw.class.serial.0.") + key)) << key;
  for (const char *key : {"dev", "name", "status"})
    EXPECT_FALSE(rdb.persistent(std::string("sys.hw.class.serial.0.") + key)) << key;

  ASSERT_EQ(script_runs().size(), 1u);
  EXPECT_EQ(script_runs()[0].cmdline, "/etc/hwclass.sh sys.hw.class.serial.0 serial 0 inserted");
  EXPECT_EQ(script_runs()[0].entry.at("status"), "inserted");
  EXPECT_EQ(script_runs()[0].entry.at("dev"), "dev.0");
}

TEST_F(AddRemove, EachKindGetsItsClassType) {
  const Device eth = sys.net(platform_eth(), "eth0", "00:11:22:33:44:55", "0x0");
  const Device sda1 = sys.partition(usb_stick(2, "STICK1", "sda"), 1);
  ASSERT_EQ(add(NET, eth), 0);
  ASSERT_EQ(add(BLOCK, sda1), 0);

  EXPECT_EQ(vars("sys.hw.class.eth.0."), (Vars{
                                             {"dev", "dev.0"},
                                             {"name", "eth0"},
                                             {"mac", "00:11:22:33:44:55"},
                                             {"id", "platform-2188000.ethernet"},
                                             {"location", "platform"},
                                             {"status", "inserted"},
                                             {"enable", "1"},
                                         }));
  EXPECT_EQ(rdb.get("sys.hw.dev.0.type"), "eth");
  EXPECT_EQ(vars("sys.hw.class.storage.0."), (Vars{
                                                 {"dev", "dev.1"},
                                                 {"name", "/dev/sda1"},
                                                 {"mac", ""},
                                                 {"id", "0781-5567-STICK1-1"},
                                                 {"location", "usb1-2:1.0-1"},
                                                 {"status", "inserted"},
                                                 {"enable", "1"},
                                             }));
  EXPECT_EQ(rdb.get("sys.hw.dev.1.type"), "storage");
  EXPECT_EQ(script_args(), (std::vector<std::string>{"sys.hw.class.eth.0 eth 0 inserted",
                                                     "sys.hw.class.storage.0 storage 0 inserted"}));
}

TEST_F(AddRemove, RemoveRunsTheScriptWhileDevStillNamesTheDevice) {
  const Device tty = usb_serial_adapter(2, adapter_ids("XYZ"), "ttyUSB0");
  ASSERT_EQ(add(TTY, tty), 0);
  clear_script_runs();

  ASSERT_EQ(remove(tty), 0);

  ASSERT_EQ(script_runs().size(), 1u);
  EXPECT_EQ(script_args()[0], "sys.hw.class.serial.0 serial 0 removed");
  EXPECT_EQ(script_runs()[0].entry.at("status"), "removed");
  EXPECT_EQ(script_runs()[0].entry.at("dev"), "dev.0");
  EXPECT_EQ(script_runs()[0].entry.at("name"), "/dev/ttyUSB0");

  EXPECT_EQ(vars("sys.hw.class.serial.0."), (Vars{
                                                {"dev", ""},
                                                {"name", ""},
                                                {"mac", ""},
                                                {"id", "1a2b-3c4d-XYZ"},
                                                {"location", "usb1-1.2:1.0"},
                                                {"status", "removed"},
                                                {"enable", "1"},
                                            }));
  EXPECT_TRUE(vars("sys.hw.dev.").empty());
  EXPECT_EQ(hwdev_find_by_devpath(tty.devpath.c_str()), nullptr);
  EXPECT_EQ(in_use_count(), 0);
}

TEST_F(AddRemove, RemoveOfUnknownDevpathChangesNothing) {
  rdb.clear_ops();
  EXPECT_EQ(hwtrack_remove_hwdev(TTY, "/devices/platform/nothing"), -1);
  EXPECT_TRUE(logged(LOG_DEBUG, "no hwdev found"));
  EXPECT_TRUE(rdb.ops().empty());
  EXPECT_TRUE(script_runs().empty());
}

TEST_F(AddRemove, ReplugOnAnotherPortReusesTheClassAndUpdatesItsLocation) {
  const Device first = usb_serial_adapter(2, adapter_ids("XYZ"), "ttyUSB0");
  ASSERT_EQ(add(TTY, first), 0);
  ASSERT_EQ(remove(first), 0);
  sys.unplug(first.parent().parent().parent().parent());  // the adapter

  const Device moved = usb_serial_adapter(4, adapter_ids("XYZ"), "ttyUSB0");
  ASSERT_EQ(add(TTY, moved), 0);

  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.location"), "usb1-1.4:1.0");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.status"), "inserted");
  EXPECT_FALSE(rdb.exists("sys.hw.class.serial.1.id"));
  // The removed record went to the back of the pool.
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.dev"), "dev.1");
  EXPECT_EQ(script_args().back(), "sys.hw.class.serial.0 serial 0 inserted");
}

TEST_F(AddRemove, IdenticalDevicesWithoutSerialEachGetTheirOwnClass) {
  const Device a = usb_serial_adapter(2, adapter_ids(), "ttyUSB0");
  const Device b = usb_serial_adapter(3, adapter_ids(), "ttyUSB1");
  ASSERT_EQ(add(TTY, a), 0);
  ASSERT_EQ(add(TTY, b), 0);
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.location"), "usb1-1.2:1.0");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.1.location"), "usb1-1.3:1.0");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.1.dev"), "dev.1");

  // Both gone, then the second one back alone: it finds the class of its port.
  ASSERT_EQ(remove(a), 0);
  ASSERT_EQ(remove(b), 0);
  clear_script_runs();
  ASSERT_EQ(add(TTY, b), 0);
  EXPECT_EQ(script_args(), std::vector<std::string>{"sys.hw.class.serial.1 serial 1 inserted"});
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.status"), "removed");
}

TEST_F(AddRemove, NewIdAtAKnownLocationGetsANewClass) {
  const Device a = usb_serial_adapter(2, adapter_ids("AAA"), "ttyUSB0");
  ASSERT_EQ(add(TTY, a), 0);
  ASSERT_EQ(remove(a), 0);
  const Device b = usb_serial_adapter(2, adapter_ids("BBB"), "ttyUSB0");
  ASSERT_EQ(add(TTY, b), 0);
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.id"), "1a2b-3c4d-AAA");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.status"), "removed");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.1.id"), "1a2b-3c4d-BBB");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.1.location"), "usb1-1.2:1.0");
}

TEST_F(AddRemove, DuplicateAddOfTheSameDeviceChangesNothing) {
  // Found by the start-up scan, then announced by its queued add event.
  const Device tty = usb_serial_adapter(2, adapter_ids("XYZ"), "ttyUSB0");
  ASSERT_EQ(add(TTY, tty), 0);
  clear_script_runs();
  log.clear();
  const Vars before = vars("sys.hw.");

  ASSERT_EQ(add(TTY, tty), 0);

  EXPECT_TRUE(messages_at(LOG_WARNING).empty());
  EXPECT_TRUE(logged(LOG_DEBUG, "###hwtrack### device already added - nothing changed (devpath=" + tty.devpath + ")"));
  EXPECT_TRUE(script_runs().empty());
  EXPECT_EQ(vars("sys.hw."), before);
  EXPECT_EQ(in_use_count(), 1);
  hwdev *hd = hwdev_find_by_devpath(tty.devpath.c_str());
  ASSERT_NE(hd, nullptr);
  EXPECT_EQ(hd->index, 0);

  // The remove that follows leaves nothing behind.
  ASSERT_EQ(remove(tty), 0);
  EXPECT_EQ(in_use_count(), 0);
  EXPECT_TRUE(vars("sys.hw.dev.").empty());
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.status"), "removed");

  // The record the second add looked with is the next one taken again.
  const Device other = sys.tty(uart(), "ttymxc0");
  ASSERT_EQ(add(TTY, other), 0);
  EXPECT_EQ(rdb.get("sys.hw.class.serial.1.dev"), "dev.1");
}

TEST_F(AddRemove, DuplicateAddOfAnotherDeviceOnTheSameDevpathRemovesTheEarlierClass) {
  // A remove was lost and another adapter now sits on the same port.
  const Device first = usb_serial_adapter(2, adapter_ids("AAA"), "ttyUSB0");
  ASSERT_EQ(add(TTY, first), 0);
  const Device second = usb_serial_adapter(2, adapter_ids("BBB"), "ttyUSB0");
  ASSERT_EQ(second.devpath, first.devpath);
  clear_script_runs();

  ASSERT_EQ(add(TTY, second), 0);

  EXPECT_EQ(script_args(), (std::vector<std::string>{"sys.hw.class.serial.0 serial 0 removed",
                                                     "sys.hw.class.serial.1 serial 1 inserted"}));
  EXPECT_EQ(script_runs()[0].entry.at("dev"), "dev.0");
  EXPECT_EQ(vars("sys.hw.class.serial.0."), (Vars{
                                                {"dev", ""},
                                                {"name", ""},
                                                {"mac", ""},
                                                {"id", "1a2b-3c4d-AAA"},
                                                {"location", "usb1-1.2:1.0"},
                                                {"status", "removed"},
                                                {"enable", "1"},
                                            }));
  EXPECT_EQ(rdb.get("sys.hw.class.serial.1.dev"), "dev.1");
  EXPECT_EQ(in_use_count(), 1);
  EXPECT_FALSE(rdb.exists("sys.hw.dev.0.id"));
}

TEST_F(AddRemove, DevicesSharingIdAndLocationOnOtherDevpathsAreNotReleased) {
  // Two network functions of one gadget whose order cannot be read (no
  // ifindex) share its id and "gadget".
  const Device udc = sys.platform_device("ci_hdrc.0", "ci_hdrc", sys.platform_device("2184000.usb", "imx_usb", soc()));
  const Device gadget = sys.usb_gadget(udc, "gadget", "g_multi");
  const Device s1 = sys.net(gadget, "usb0");
  const Device s2 = sys.net(gadget, "usb1");
  for (const Device &d : {s1, s2}) std::filesystem::remove(sys.path_of(d) / "ifindex");
  ASSERT_EQ(add(NET, s1), 0);
  clear_script_runs();
  log.clear();
  ASSERT_EQ(add(NET, s2), 0);

  EXPECT_EQ(messages_at(LOG_WARNING), (std::vector<std::string>{
                                          "device already inserted - possibly missing udev message",
                                          "* detail of duplicated device",
                                          "name    : usb1",
                                          "loc     : gadget",
                                          "id      : gadget-net-2184000.usb",
                                          "devpath : " + s2.devpath,
                                          "remove the previously inserted device (name:'usb1')",
                                      }));
  EXPECT_EQ(sources_of("* detail of duplicated device"), std::vector<std::string>{"hwtrack:hwtrack_add_new_hwdev"});
  EXPECT_EQ(sources_of("loc     : gadget").front(), "hwtrack:hwtrack_add_new_hwdev");
  EXPECT_EQ(script_args(), (std::vector<std::string>{"sys.hw.class.eth.0 eth 0 removed",
                                                     "sys.hw.class.eth.0 eth 0 inserted"}));
  EXPECT_EQ(in_use_count(), 2);
  EXPECT_EQ(rdb.get("sys.hw.dev.0.name"), "usb0");
  EXPECT_EQ(rdb.get("sys.hw.dev.1.name"), "usb1");
  EXPECT_EQ(rdb.get("sys.hw.class.eth.0.dev"), "dev.1");

  clear_script_runs();
  ASSERT_EQ(remove(s1), 0);  // not the holder: the entry stays with usb1
  EXPECT_TRUE(script_runs().empty());
  EXPECT_EQ(rdb.get("sys.hw.class.eth.0.dev"), "dev.1");
  ASSERT_EQ(add(NET, s1), 0);
  ASSERT_EQ(remove(s1), 0);  // the holder: usb1, of the same identity, holds it again
  EXPECT_EQ(rdb.get("sys.hw.class.eth.0.dev"), "dev.1");
  EXPECT_EQ(rdb.get("sys.hw.class.eth.0.status"), "inserted");
}

TEST_F(AddRemove, CardsInAReaderComeAndGoAsChangesOfItsDisk) {
  const Device disk = usb_stick(2, "RDR", "sdb"), part = disk.child("sdb1");
  const std::string in = "sys.hw.class.storage.0 storage 0 inserted", out = "sys.hw.class.storage.0 storage 0 removed";
  const struct {
    const char *size;  // of the disk: "0" without a card
    bool partition;
    const char *action;
    const Device &dev;
    std::vector<std::string> runs;
  } steps[] = {
      {"0", false, "change", disk, {}},  // an empty slot
      {"3000", false, "change", disk, {in}},  // a card without partitions: the disk is its partition 1
      {"3000", false, "change", disk, {}},       {"3000", false, "bind", disk, {}},
      {"3000", true, "add", part, {out, in}},  // its partitions read: the disk gives way
      {"3000", true, "change", disk, {}},        {"0", false, "remove", part, {out}},
      {"0", false, "change", disk, {}},          {"3000", false, "change", disk, {in}},
      {"0", false, "change", disk, {out}},
  };
  FILE *devnull = fopen("/dev/null", "w");
  hwtrack_set_event_stream(devnull);
  for (const auto &step : steps) {
    sys.attr(disk, "size", step.size);
    step.partition ? (void)sys.partition(disk, 1) : sys.unplug(part);
    next_event();
    clear_script_runs();
    board::Uevent event;
    event.action = step.action, event.devpath = step.dev.devpath, event.subsystem = "block";
    const std::string datagram = event.datagram();
    hwtrack_handle_message("UEVENT", "0", datagram.data(), datagram.size());
    EXPECT_EQ(script_args(), step.runs) << step.action << " " << step.size;
  }
  hwtrack_set_event_stream(nullptr);
  fclose(devnull);
}

TEST_F(AddRemove, TheHundredthDeviceIsRefused) {
  std::vector<Device> ttys;
  for (int i = 0; i < 100; ++i)
    ttys.push_back(
        sys.tty(sys.platform_device("uart" + std::to_string(i), "imx-uart", soc()), "ttymxc" + std::to_string(i)));
  for (int i = 0; i < 99; ++i) ASSERT_EQ(add(TTY, ttys[i]), 0) << i;
  log.clear();
  clear_script_runs();

  EXPECT_EQ(add(TTY, ttys[99]), -1);

  EXPECT_TRUE(logged(LOG_ERR, "no hwdev available"));
  EXPECT_TRUE(logged(LOG_ERR, "failed in hwdev_get()"));
  EXPECT_TRUE(script_runs().empty());
  EXPECT_EQ(rdb.get("sys.hw.dev.98.name"), "/dev/ttymxc98");
  EXPECT_FALSE(rdb.exists("sys.hw.class.serial.99.id"));

  // The first record freed goes to the device refused, by the rescan the
  // remove asks the loop for.
  sys.unplug(ttys[0].parent().parent());
  ASSERT_EQ(remove(ttys[0]), 0);
  ASSERT_TRUE(hwtrack_take_rescan_request());
  hwtrack_resync();
  EXPECT_EQ(rdb.get("sys.hw.class.serial.99.name"), "/dev/ttymxc99");
}

// A move only moves a record whose device has left DEVPATH_OLD, and keeps
// the record: with every record in use and a device waiting for one too.
TEST_F(AddRemove, MoveOnlyMovesWhatLeftItsDevpathAndKeepsItsRecord) {
  const Device eth = sys.net(platform_eth(), "eth0", "00:11:22:33:44:55", "0x0");
  std::vector<Device> ttys = {sys.tty(uart(), "ttymxc0")};
  ASSERT_EQ(add(NET, eth), 0);
  ASSERT_EQ(add(TTY, ttys[0]), 0);
  const std::vector<std::string> moved = {"sys.hw.class.eth.0 eth 0 removed", "sys.hw.class.eth.0 eth 0 inserted"};
  // Moves from devpath_old to to; then eth.0 holds the interface called name.
  const auto move = [&](const std::string &devpath_old, const Device &to, const std::vector<std::string> &runs,
                        const std::string &name) {
    clear_script_runs();
    next_event();
    hwtrack_move_hwdev(NET, to.devpath.c_str(), devpath_old.c_str());
    if (hwtrack_take_rescan_request()) hwtrack_resync();
    EXPECT_EQ(script_args(), runs) << devpath_old;
    EXPECT_EQ(vars("sys.hw.class.eth.0."), (Vars{{"dev", "dev.0"}, {"name", name}, {"mac", "00:11:22:33:44:55"},
                                                 {"id", "platform-2188000.ethernet"}, {"location", "platform"},
                                                 {"status", "inserted"}, {"enable", "1"}}))
        << devpath_old;
    EXPECT_EQ(rdb.get("sys.hw.dev.1.devpath"), ttys[0].devpath) << devpath_old;
  };
  const Device wan0 = sys.rename_net(eth, "wan0");
  for (const std::string &devpath_old : {ttys[0].devpath, std::string(), std::string("/devices/never-seen")})
    move(devpath_old, wan0, {}, "eth0");  // its device still there, none, or never known: nothing moves
  move(eth.devpath, wan0, moved, "wan0");
  for (const std::string &devpath_old : {eth.devpath, std::string(), std::string("/devices/never-seen")})
    move(devpath_old, wan0, {}, "wan0");  // the same move again (the kernel's, then udev's), or a stray one

  for (int i = 1; i < 99; ++i) {
    ttys.push_back(sys.tty(sys.platform_device("uart" + std::to_string(i), "imx-uart", soc()), "ttymxc" + std::to_string(i)));
    add(TTY, ttys.back());  // the last waits for a record
  }
  move(wan0.devpath, sys.rename_net(wan0, "wan1"), moved, "wan1");
}

TEST_F(AddRemove, FailedAddLeavesTheIndexForTheNextAdd) {
  const Device virtual_tty = sys.virtual_tty("tty1");
  const Device tty = sys.tty(uart(), "ttymxc0");
  log.clear();
  EXPECT_EQ(add(TTY, virtual_tty), -1);
  EXPECT_TRUE(logged(LOG_DEBUG, "failed in hwtrack_set_hd_by_devpath()"));
  EXPECT_TRUE(vars("sys.hw.").size() == 1);  // the script setting only

  ASSERT_EQ(add(TTY, tty), 0);
  EXPECT_EQ(rdb.get("sys.hw.dev.0.name"), "/dev/ttymxc0");
}

TEST_F(AddRemove, NewDeviceIsLoggedBeforeItsClassIsMade) {
  const Device tty = sys.tty(uart(), "ttymxc0");
  ASSERT_EQ(add(TTY, tty), 0);
  const std::vector<std::string> debug = messages_at(LOG_DEBUG);
  const std::vector<std::string> want_new = {"* new device found", "name    : /dev/ttymxc0", "loc     : platform",
                                             "id      : platform-2020000.serial", "devpath : " + tty.devpath};
  const std::vector<std::string> want_update = {"* update class info",
                                                "name    : /dev/ttymxc0",
                                                "idx     : 0",
                                                "loc     : platform",
                                                "id      : platform-2020000.serial",
                                                "devpath : " + tty.devpath};
  auto contains_run = [&](const std::vector<std::string> &run) {
    return std::search(debug.begin(), debug.end(), run.begin(), run.end()) != debug.end();
  };
  EXPECT_TRUE(contains_run(want_new));
  EXPECT_TRUE(contains_run(want_update));
}

// --- The class script --------------------------------------------------------

using ClassScript = DevmgrTest;

TEST_F(ClassScript, UnsetOrEmptyScriptOnlyLogs) {
  const Device tty = sys.tty(uart(), "ttymxc0");
  for (const bool empty : {false, true}) {
    SCOPED_TRACE(empty ? "empty" : "unset");
    if (empty)
      rdb.put(kScriptVar, "", true);
    else
      rdb.erase(kScriptVar);
    log.clear();
    ASSERT_EQ(add(TTY, tty), 0);
    EXPECT_TRUE(logged(LOG_ERR, "hwtrack script not specified [sys.hw.cfg.hwclass_script]"));
    EXPECT_TRUE(script_runs().empty());
    EXPECT_EQ(rdb.get("sys.hw.class.serial.0.status"), "inserted");
    ASSERT_EQ(remove(tty), 0);
    EXPECT_EQ(rdb.get("sys.hw.class.serial.0.status"), "removed");
  }
}

TEST_F(ClassScript, ResultIsTheExitStatus) {
  const Device tty = sys.tty(uart(), "ttymxc0");
  ASSERT_EQ(add(TTY, tty), 0);
  hwcls *cls = hwdev_find_by_devpath(tty.devpath.c_str())->cls;
  ASSERT_NE(cls, nullptr);

  // A wait status, what the call returns, and the warning that names the entry (-1: not started, logged there).
  const std::string failed = "class script failed for sys.hw.class.serial.0 (inserted) - ";
  for (const auto &[status, result, warning] : {std::tuple{0, 0, ""}, {-1, -1, ""}, {3 << 8, 3, "exit status 3"},
                                                {SIGKILL, 0, "ended by signal 9"}}) {
    log.clear(), set_script_status(status);
    EXPECT_EQ(hwtrack_call_script(cls), result) << status;
    EXPECT_EQ(messages_at(LOG_WARNING), *warning ? Strings{failed + warning} : Strings{}) << status;
  }
  rdb.erase(kScriptVar);
  EXPECT_EQ(hwtrack_call_script(cls), -1);
}

TEST_F(ClassScript, RealShellReportsFailingAndMissingScripts) {
  const Device tty = sys.tty(uart(), "ttymxc0");
  ASSERT_EQ(add(TTY, tty), 0);
  hwcls *cls = hwdev_find_by_devpath(tty.devpath.c_str())->cls;
  hwtrack_set_script_runner(nullptr);

  // The value may carry arguments of its own; the entry's four follow them.
  rdb.put(kScriptVar, "sh -c 'exit 3'", true);
  EXPECT_EQ(hwtrack_call_script(cls), 3);
  rdb.put(kScriptVar, "sh -c 'test \"$0 $*\" = \"sys.hw.class.serial.0 serial 0 inserted\"'", true);
  EXPECT_EQ(hwtrack_call_script(cls), 0);
  rdb.put(kScriptVar, "/nonexistent/hwclass-script", true);
  EXPECT_EQ(hwtrack_call_script(cls), 127);
}

TEST_F(ClassScript, CommandLineIsCutAt1023Characters) {
  const Device tty = sys.tty(uart(), "ttymxc0");
  ASSERT_EQ(add(TTY, tty), 0);
  hwcls *cls = hwdev_find_by_devpath(tty.devpath.c_str())->cls;
  const std::string long_script = "/" + std::string(1010, 'x');
  rdb.put(kScriptVar, long_script, true);
  clear_script_runs();
  hwtrack_call_script(cls);
  ASSERT_EQ(script_runs().size(), 1u);
  EXPECT_EQ(script_runs()[0].cmdline, (long_script + " sys.hw.class.serial.0 serial 0 inserted").substr(0, 1023));
}

}  // namespace
}  // namespace devmgr_test
