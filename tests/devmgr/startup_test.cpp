// SPDX-License-Identifier: MIT
// Start-up reconciliation and the resync after lost events, on a simulated
// board with an RDB left behind by an earlier run.

#include <syslog.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/identify.h"
#include "core/startup.h"
#include "core/startup_private.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "tests/devmgr/devmgr_fixture.h"

namespace devmgr_test {
namespace {

using board::Device;
using Vars = std::map<std::string, std::string>;
using Strings = std::vector<std::string>;

// Seeds a class entry as an earlier run (or the configuration) left it.
void store_class(testsupport::MemoryRdb &rdb, const std::string &prefix, const Vars &vars) {
  for (const auto &[key, value] : vars) rdb.put(prefix + "." + key, value, key != "status" && key != "dev");
}

// The daemon's start-up order, with the script runs of each scan apart.
struct StartupRuns {
  Strings platform_scan, legacy, general_scan;
};

using Startup = DevmgrTest;

TEST_F(Startup, DeletesStaleDeviceVariablesOnly) {
  rdb.put("sys.hw.dev.0.name", "/dev/ttyUSB0");
  rdb.put("sys.hw.dev.12.type", "serial");
  rdb.put("sys.hw.dev.x", "kept");
  rdb.put("sys.hw.devx.1.name", "kept");

  EXPECT_EQ(delete_hwdev_rdbs(), 0);

  EXPECT_FALSE(rdb.exists("sys.hw.dev.0.name"));
  EXPECT_FALSE(rdb.exists("sys.hw.dev.12.type"));
  EXPECT_EQ(rdb.get("sys.hw.dev.x"), "kept");
  EXPECT_EQ(rdb.get("sys.hw.devx.1.name"), "kept");
  EXPECT_TRUE(logged(LOG_INFO, R"(delete RDBs (rdb=sys.hw.dev.,regex=^sys\.hw\.dev\.[0-9]\+\..*))"));
}

TEST_F(Startup, RestoresStoredClassesAsRemoved) {
  store_class(rdb, "sys.hw.class.eth.3",
              {{"id", "1a2b-3c4d-NET"},
               {"location", "usb1-1.9:1.0"},
               {"enable", "7"},
               {"dev", "dev.5"},
               {"name", "usb0"},
               {"mac", "02:00:00:00:00:01"},
               {"status", "inserted"}});
  store_class(rdb, "sys.hw.class.serial.0", {{"id", "platform-2020000.serial"}, {"location", "platform"}});

  EXPECT_EQ(build_hwcls_from_rdb(), 0);

  EXPECT_EQ(vars("sys.hw.class.eth.3."), (Vars{
                                             {"dev", ""},
                                             {"name", ""},
                                             {"mac", ""},
                                             {"id", "1a2b-3c4d-NET"},
                                             {"location", "usb1-1.9:1.0"},
                                             {"status", "removed"},
                                             {"enable", "1"},
                                         }));
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.enable"), "1");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.status"), "removed");

  // The stored serial entry is found again by its id; a new eth entry comes
  // after the highest stored eth index.
  const Device tty = sys.tty(uart(), "ttymxc0");
  const Device eth = sys.net(platform_eth(), "eth0", "00:11:22:33:44:55");
  ASSERT_EQ(add(TTY, tty), 0);
  ASSERT_EQ(add(NET, eth), 0);
  EXPECT_EQ(script_args(), (Strings{"sys.hw.class.serial.0 serial 0 inserted", "sys.hw.class.eth.4 eth 4 inserted"}));
}

TEST_F(Startup, RejectsUnreadableStoredClasses) {
  store_class(rdb, "sys.hw.class.modem.0", {{"id", "x"}, {"location", "y"}});
  store_class(rdb, "sys.hw.class.serial.5", {{"id", "static-5"}, {"location", "static"}, {"static", "1"}});
  store_class(rdb, "sys.hw.class.serial.7", {{"idx", "7"}, {"location", "z"}});
  store_class(rdb, "sys.hw.class.eth.4", {{"id", "e"}, {"location", "f"}});
  rdb.put("sys.hw.class.eth.04.id", "e", true);  // leads to eth.4 too

  EXPECT_EQ(build_hwcls_from_rdb(), 0);
  EXPECT_TRUE(logged(LOG_ERR, "###hwcls## class already read (rdb=sys.hw.class.eth.4)"));

  EXPECT_TRUE(logged(LOG_ERR, "id of hwclass missing (rdb=sys.hw.class.(null).0.id)"));
  EXPECT_TRUE(logged(LOG_ERR, "dev of hwclass missing (rdb=sys.hw.class.serial.5.name)"));
  // A name that goes on after ".id" is cut there like an id variable.
  EXPECT_TRUE(logged(LOG_ERR, "id of hwclass missing (rdb=sys.hw.class.serial.7.id)"));
  const Strings errors = messages_at(LOG_ERR);
  EXPECT_EQ(errors.size(), 7u);
  EXPECT_EQ(std::count(errors.begin(), errors.end(), "failed in hwcls_read_from_rdb()"), 3);

  // Left as they were, and the serial counter was not raised by them.
  EXPECT_FALSE(rdb.exists("sys.hw.class.modem.0.status"));
  EXPECT_FALSE(rdb.exists("sys.hw.class.serial.5.status"));
  ASSERT_EQ(add(TTY, sys.tty(uart(), "ttymxc0")), 0);
  EXPECT_EQ(script_args(), Strings{"sys.hw.class.serial.0 serial 0 inserted"});
}

TEST_F(Startup, LegacyDevicesInsertsEnabledStaticEntriesOnly) {
  store_class(rdb, "sys.hw.class.serial.1",
              {{"id", "static-1"}, {"location", "static"}, {"static", "1"}, {"name", "/dev/ttyS1"}});
  store_class(rdb, "sys.hw.class.serial.2",
              {{"id", "static-2"}, {"location", "static"}, {"static", "1"}, {"name", "/dev/ttyS2"}, {"enable", "0"}});
  store_class(rdb, "sys.hw.class.serial.3", {{"id", "plain-3"}, {"location", "usb1-1.3:1.0"}});
  build_hwcls_from_rdb();

  EXPECT_EQ(build_legacy_devices(), 0);

  EXPECT_EQ(script_args(), Strings{"sys.hw.class.serial.1 serial 1 inserted"});
  EXPECT_EQ(vars("sys.hw.class.serial.1."), (Vars{
                                                {"dev", ""},
                                                {"name", "/dev/ttyS1"},
                                                {"mac", ""},
                                                {"id", "static-1"},
                                                {"location", "static"},
                                                {"static", "1"},
                                                {"status", "inserted"},
                                                {"enable", "1"},
                                            }));
  EXPECT_EQ(rdb.get("sys.hw.class.serial.2.status"), "removed");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.2.enable"), "0");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.3.status"), "removed");
}

TEST_F(Startup, ScansPlatformDevicesFirstThenTheRest) {
  const Device ttymxc0 = sys.tty(uart(), "ttymxc0");
  const Device eth0 = sys.net(platform_eth(), "eth0", "00:11:22:33:44:55");
  const Device ttyUSB0 = usb_serial_adapter(2, {.vendor = "1a2b", .product = "3c4d", .serial = "XYZ"}, "ttyUSB0");
  const Device tty1 = sys.virtual_tty("tty1");
  const Device sda1 = sys.partition(usb_stick(2, "STICK1", "sda"), 1);
  store_class(rdb, "sys.hw.class.serial.1",
              {{"id", "static-1"}, {"location", "static"}, {"static", "1"}, {"name", "/dev/ttyS1"}});
  rdb.put("sys.hw.dev.7.name", "/dev/gone");

  StartupRuns runs;
  delete_hwdev_rdbs();
  build_hwcls_from_rdb();
  next_event();  // the sockets are opened in between; one sysfs pass from here
  log.clear();
  EXPECT_EQ(build_hwdev_from_sysfs("platform", 0), 0);
  runs.platform_scan = script_args();
  const std::vector<Message> platform_log = messages();
  clear_script_runs();
  build_legacy_devices();
  runs.legacy = script_args();
  clear_script_runs();
  log.clear();
  EXPECT_EQ(build_hwdev_from_sysfs("platform", 1), 0);
  runs.general_scan = script_args();
  const std::vector<Message> general_log = messages();

  EXPECT_EQ(runs.platform_scan,
            (Strings{"sys.hw.class.serial.2 serial 2 inserted", "sys.hw.class.eth.0 eth 0 inserted"}));
  EXPECT_EQ(runs.legacy, Strings{"sys.hw.class.serial.1 serial 1 inserted"});
  EXPECT_EQ(runs.general_scan,
            (Strings{"sys.hw.class.serial.3 serial 3 inserted", "sys.hw.class.storage.0 storage 0 inserted"}));

  auto has = [](const std::vector<Message> &lines, int level, const std::string &text) {
    return std::find(lines.begin(), lines.end(), Message{level, text}) != lines.end();
  };
  EXPECT_TRUE(has(platform_log, LOG_INFO, "devpath added as a hwdev (devpath=" + ttymxc0.devpath + ")"));
  EXPECT_TRUE(has(platform_log, LOG_INFO, "devpath added as a hwdev (devpath=" + eth0.devpath + ")"));
  EXPECT_TRUE(
      has(platform_log, LOG_DEBUG, "subsystem not matching (subsystem=platform,devpath=" + ttyUSB0.devpath + ")"));
  EXPECT_TRUE(has(platform_log, LOG_DEBUG, "subsystem not matching (subsystem=platform,devpath=" + tty1.devpath + ")"));
  EXPECT_TRUE(has(general_log, LOG_DEBUG, "subsystem excluded (subsystem=platform,devpath=" + ttymxc0.devpath + ")"));
  EXPECT_TRUE(has(general_log, LOG_INFO, "devpath added as a hwdev (devpath=" + ttyUSB0.devpath + ")"));
  EXPECT_TRUE(has(general_log, LOG_INFO, "devpath added as a hwdev (devpath=" + sda1.devpath + ")"));
  EXPECT_TRUE(has(general_log, LOG_DEBUG, "devpath is not a hwdev (devpath=" + tty1.devpath + ")"));

  // Devices are stored under their resolved devpaths; the stale variable is gone.
  EXPECT_EQ(rdb.get("sys.hw.dev.0.devpath"), ttymxc0.devpath);
  EXPECT_FALSE(rdb.exists("sys.hw.dev.7.name"));
  for (const auto &[level, text] : general_log) EXPECT_EQ(text.find("sysfs_resolve_link"), std::string::npos) << text;
}

TEST_F(Startup, ScanSkipsWhatItCannotResolveOrOpen) {
  const Device tty = sys.tty(uart(), "ttymxc0");
  sys.dir("/class/tty/bogus");
  sys.dir("/class/tty/.hidden");
  std::filesystem::remove_all(sys.path_of("/class/net"));
  next_event();

  EXPECT_EQ(build_hwdev_from_sysfs("platform", 0), 0);

  EXPECT_TRUE(logged(LOG_ERR, "failed in sysfs_resolve_link(devpath=/class/tty/bogus) - Invalid argument"));
  EXPECT_TRUE(logged(LOG_ERR, "not able to access sysfs class (base=" + sys.root().string() + "//class/net)"));
  for (const std::string &text : messages_at(LOG_ERR)) EXPECT_EQ(text.find(".hidden"), std::string::npos) << text;
  EXPECT_EQ(sources_of("failed in sysfs_resolve_link(devpath=/class/tty/bogus) - Invalid argument"),
            Strings{"hwtrack:build_hwdev_from_sysfs"});
  EXPECT_EQ(sources_of("not able to access sysfs class (base=" + sys.root().string() + "//class/net)"),
            Strings{"hwtrack:build_hwdev_from_sysfs"});
  EXPECT_EQ(sources_of("devpath added as a hwdev (devpath=" + tty.devpath + ")"),
            Strings{"hwtrack:build_hwdev_from_sysfs"});
  EXPECT_EQ(script_args(), Strings{"sys.hw.class.serial.0 serial 0 inserted"});
}

TEST_F(Startup, IsSubsystemLooksAtThePhysicalDevice) {
  const Device tty = sys.tty(uart(), "ttymxc0");
  const Device tty1 = sys.virtual_tty("tty1");
  next_event();
  EXPECT_EQ(is_subsystem(tty.devpath.c_str(), "platform"), 1);
  EXPECT_EQ(is_subsystem(tty.devpath.c_str(), "usb"), 0);
  EXPECT_EQ(is_subsystem(tty1.devpath.c_str(), "platform"), 0);
  log.clear();
  EXPECT_EQ(is_subsystem("/devices/platform/nothing", "platform"), 0);
  EXPECT_EQ(messages(), (std::vector<Message>{{LOG_ERR, "unable to access '/devices/platform/nothing'"}}));
}

// --- Upgrade to the current identification rules ----------------------------------

TEST_F(Startup, AnUpgradedBoardKeepsItsEntriesOnce) {
  // Named by the first rules after the PCIe host and the SoC's platform
  // device; the second radio shared the first one's entry then, as the
  // second port of the legacy UART device shared the first one's.
  const Device pcie = sys.pci_root(sys.platform_device("1e140000.pcie", "mt7621-pci", soc()));
  const Device wlan0 = sys.wlan(sys.pci_function(pcie, "0000:01:00.0", "mt7915e"), "wlan0");
  const Device wlan1 = sys.wlan(sys.pci_function(pcie, "0000:02:00.0", "mt7915e"), "wlan1", 1, 1, "phy1");
  const Device ama0 = sys.tty(sys.amba_device("fe201000.serial", "uart-pl011", soc()), "ttyAMA0");
  const Device uarts = sys.platform_device("serial8250", "serial8250");
  const Device ttyS0 = sys.tty(uarts, "ttyS0"), ttyS1 = sys.tty(uarts, "ttyS1");
  const Device eth0 = sys.net(platform_eth(), "eth0", "00:11:22:33:44:55");
  store_class(rdb, "sys.hw.class.eth.1", {{"id", "platform-1e140000.pcie"}, {"location", "platform"}});
  store_class(rdb, "sys.hw.class.eth.0", {{"id", "platform-2188000.ethernet"}, {"location", "platform"}});
  store_class(rdb, "sys.hw.class.serial.3", {{"id", "platform-soc"}, {"location", "platform"}});
  store_class(rdb, "sys.hw.class.serial.0", {{"id", "platform-serial8250"}, {"location", "platform"}});

  const std::map<std::string, std::string> holders = {
      {"eth.0", eth0.devpath},  {"eth.1", wlan0.devpath},   {"eth.2", wlan1.devpath},
      {"serial.0", ttyS0.devpath}, {"serial.3", ama0.devpath}, {"serial.4", ttyS1.devpath}};
  for (int start = 0; start < 2; ++start) {
    hwcls_fini(), hwdev_fini(), hwdev_init(), hwcls_init();
    delete_hwdev_rdbs(), build_hwcls_from_rdb(), next_event();
    clear_script_runs();
    EXPECT_EQ(upgrade_class_identities(), start == 0 ? 2 : 0);
    build_hwdev_from_sysfs("platform", 0), build_legacy_devices(), build_hwdev_from_sysfs("platform", 1);
    for (const auto &[entry, devpath] : holders)
      EXPECT_EQ(rdb.get("sys.hw." + rdb.get("sys.hw.class." + entry + ".dev").value_or("?") + ".devpath"), devpath)
          << entry;
    // Every device inserted once; no entry was made and thrown away.
    EXPECT_EQ(script_args().size(), holders.size());
    for (const std::string &run : script_args()) EXPECT_TRUE(run.ends_with(" inserted")) << run;
    EXPECT_EQ(rdb.get(kHwtrackRulesVar), "2");
    EXPECT_TRUE(rdb.persistent(kHwtrackRulesVar));
    // Once: an entry of a former identity stored now stays as it is.
    store_class(rdb, "sys.hw.class.serial.9", {{"id", "platform-soc"}, {"location", "platform"}});
  }
  EXPECT_EQ(rdb.get("sys.hw.class.serial.3.id"), "platform-fe201000.serial");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.9.id"), "platform-soc");
}

// --- Resync after lost events -------------------------------------------------

using Resync = DevmgrTest;

TEST_F(Resync, AddsNewRemovesVanishedAndLeavesTheRestAlone) {
  const Device uart_tty = sys.tty(uart(), "ttymxc0");
  const Device gone = usb_serial_adapter(2, {.vendor = "1a2b", .product = "3c4d", .serial = "OLD"}, "ttyUSB0");
  next_event();
  build_hwdev_from_sysfs("platform", 0);
  build_hwdev_from_sysfs("platform", 1);
  ASSERT_EQ(script_args().size(), 2u);
  clear_script_runs();

  // Events lost meanwhile: one adapter went, another came.
  sys.unplug(gone.parent().parent().parent().parent());
  const Device came = usb_serial_adapter(3, {.vendor = "1a2b", .product = "3c4d", .serial = "NEW"}, "ttyUSB1");

  EXPECT_EQ(hwtrack_resync(), 2);

  EXPECT_EQ(script_args(),
            (Strings{"sys.hw.class.serial.1 serial 1 removed", "sys.hw.class.serial.2 serial 2 inserted"}));
  EXPECT_EQ(hwdev_find_by_devpath(gone.devpath.c_str()), nullptr);
  ASSERT_NE(hwdev_find_by_devpath(came.devpath.c_str()), nullptr);
  ASSERT_NE(hwdev_find_by_devpath(uart_tty.devpath.c_str()), nullptr);
  EXPECT_FALSE(rdb.exists("sys.hw.dev.1.devpath"));
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.status"), "inserted");
  EXPECT_EQ(rdb.get("sys.hw.class.serial.0.dev"), "dev.0");

  clear_script_runs();
  EXPECT_EQ(hwtrack_resync(), 0);
  EXPECT_TRUE(script_runs().empty());
}

}  // namespace
}  // namespace devmgr_test
