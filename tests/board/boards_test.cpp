// SPDX-License-Identifier: MIT
// The simulated boards: every device of a fully plugged board is identified
// by the device manager as it would be on the hardware (or refused for the
// right reason), plugging and unplugging announce the kernel's events in the
// kernel's order and leave no trace, and the board's state survives a save
// and load.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "core/identify.h"
#include "core/uevent.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"
#include "tests/support/log_capture.h"
#include "tools/board/boards.h"

namespace {

namespace fs = std::filesystem;
using board::Board;
using board::BoardError;
using board::Uevent;

// What identification made of one device: its record, or why it was refused
// (the first message logged).
struct Identity {
  int type = 0;
  std::string name, id, loc, driver, mac;
  std::string refusal;
  bool operator==(const Identity &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Identity &i) {
  if (!i.refusal.empty()) return os << "refused: " << i.refusal;
  return os << "type " << i.type << " name " << i.name << " id " << i.id << " loc " << i.loc << " driver '"
            << i.driver << "' mac '" << i.mac << "'";
}

Identity tracked(int type, std::string name, std::string id, std::string loc, std::string driver,
                 std::string mac = "") {
  return {type, std::move(name), std::move(id), std::move(loc), std::move(driver), std::move(mac), ""};
}
Identity refused(std::string why) { return {0, "", "", "", "", "", std::move(why)}; }

constexpr int kSerial = HWDEV_TYPE_SERIAL, kEth = HWDEV_TYPE_ETH, kStorage = HWDEV_TYPE_STORAGE;
constexpr char kNoDevice[] = "###hwtrack### device not found";
constexpr char kNoPartition[] = "###hwtrack### no partition found";

class BoardTest : public ::testing::Test {
 protected:
  BoardTest() {
    setenv("SYSFS_PATH", sys.root().c_str(), 1);
    sysfs_init();
    hwdev_init();
  }
  ~BoardTest() override {
    hwdev_fini();
    sysfs_cleanup();
    unsetenv("SYSFS_PATH");
  }

  // Identifies the device behind /class/<cls>/<entry> as an add event of
  // that class would, on fresh caches.
  Identity identify(const std::string &cls, const std::string &entry) {
    sysfs_cleanup();
    sysfs_init();
    log.clear();
    const fs::path target = fs::canonical(sys.root() / "class" / cls / entry);
    const std::string devpath = "/" + target.lexically_relative(fs::canonical(sys.root())).string();
    hwdev *hd = hwdev_get();
    Identity out;
    if (hwtrack_set_hd_by_devpath(get_subsystem_code(cls.c_str()), hd, devpath.c_str()) == 0) {
      out = tracked(hd->type, hd->name.c_str(), hd->id.c_str(), hd->loc.c_str(), hd->driver.c_str(), hd->mac.c_str());
    } else {
      const auto messages = log.messages();
      out.refusal = messages.empty() ? "(nothing logged)" : messages.front();
    }
    hwdev_put(hd, 0);
    return out;
  }

  // Every class device of the board against the expected identities; a
  // device the table does not name fails too.
  void expect_identities(const std::map<std::string, Identity> &expected) {
    std::set<std::string> seen;
    for (const char *cls : {"tty", "net", "block"}) {
      for (const std::string &link : sys.class_entries(cls)) {
        const std::string entry = fs::path(link).filename().string();
        seen.insert(entry);
        const auto it = expected.find(entry);
        if (it == expected.end()) {
          ADD_FAILURE() << "unexpected " << cls << " device " << entry << ": " << identify(cls, entry);
          continue;
        }
        EXPECT_EQ(identify(cls, entry), it->second) << cls << " device " << entry;
      }
    }
    for (const auto &[entry, identity] : expected) EXPECT_TRUE(seen.contains(entry)) << entry << " missing";
  }

  board::SysfsTree sys;
  testsupport::LogCapture log;
};

// --- identification of whole boards -------------------------------------------------

TEST_F(BoardTest, GatewayWithEveryDeviceIsIdentifiedAsOnTheHardware) {
  Board gw = Board::lay_out(sys, "gateway");
  const std::vector<std::pair<std::string, std::string>> plugs = {
      {"modem", "usb1"},  {"stick", "usb2"},  {"ftdi", "usb3"}, {"twin-a", "usb4"},  {"twin-b", "usb5"},
      {"usbnet", "usb6"}, {"acm", "usb7"},    {"sdcard", "sd0"}, {"sdcard-raw", "sd1"},
  };
  for (const auto &[device, port] : plugs) gw.plug(device, port);

  const std::string stick = "0781-5567-4C530001090312109353";
  expect_identities({
      // On-board: one platform device per UART; a two-port Ethernet
      // controller whose second port carries dev_id 0x1.
      {"ttymxc0", tracked(kSerial, "/dev/ttymxc0", "platform-2020000.serial", "platform", "imx-uart")},
      {"ttymxc1", tracked(kSerial, "/dev/ttymxc1", "platform-21e8000.serial", "platform", "imx-uart")},
      {"eth0", tracked(kEth, "eth0", "platform-2188000.ethernet", "platform", "fec", "02:1a:11:00:00:01")},
      {"eth1", tracked(kEth, "eth1", "platform-2188000.ethernet-1", "platform", "fec", "02:1a:11:00:00:02")},
      // The gadget's functions: named after the controller two platform
      // levels up, one location for both, no MAC.
      {"ttyGS0", tracked(kSerial, "/dev/ttyGS0", "gadget-tty-2184000.usb", "gadget", "")},
      {"usb0", tracked(kEth, "usb0", "gadget-net-2184000.usb", "gadget", "")},
      // The modem: one identity, one location per interface.
      {"ttyUSB0", tracked(kSerial, "/dev/ttyUSB0", "2c7c-0125", "usb1-1.1:1.0", "option")},
      {"ttyUSB1", tracked(kSerial, "/dev/ttyUSB1", "2c7c-0125", "usb1-1.1:1.1", "option")},
      {"ttyUSB2", tracked(kSerial, "/dev/ttyUSB2", "2c7c-0125", "usb1-1.1:1.2", "option")},
      {"wwan0", tracked(kEth, "wwan0", "2c7c-0125", "usb1-1.1:1.3", "qmi_wwan", "02:50:f3:00:00:00")},
      {"sdb1", tracked(kStorage, "/dev/sdb1", stick + "-1", "usb1-1.2:1.0-1", "usb-storage")},
      {"sdb2", tracked(kStorage, "/dev/sdb2", stick + "-2", "usb1-1.2:1.0-2", "usb-storage")},
      {"ttyUSB3", tracked(kSerial, "/dev/ttyUSB3", "0403-6001-FT5XK3C1", "usb1-1.3:1.0", "ftdi_sio")},
      // Twins: one identity, told apart by location only (one on each bus).
      {"ttyUSB4", tracked(kSerial, "/dev/ttyUSB4", "1a86-7523", "usb1-1.4:1.0", "ch341")},
      {"ttyUSB5", tracked(kSerial, "/dev/ttyUSB5", "1a86-7523", "usb3-1.1:1.0", "ch341")},
      // A CDC ACM port hangs from its USB interface.
      {"ttyACM0", tracked(kSerial, "/dev/ttyACM0", "1546-01a8", "usb3-1.3:1.0", "cdc_acm")},
      // A colon-separated MAC goes to mac, never into the identity.
      {"eth3", tracked(kEth, "eth3", "0b95-772b", "usb3-1.2:1.0", "asix", "02:0e:c6:a1:b2:c3")},
      // SD cards: partitions, and a card without a table as partition 1.
      {"mmcblk0p1", tracked(kStorage, "/dev/mmcblk0p1", "platform-2190000.mmc-1", "platform-1", "")},
      {"mmcblk0p2", tracked(kStorage, "/dev/mmcblk0p2", "platform-2190000.mmc-2", "platform-2", "")},
      {"mmcblk1", tracked(kStorage, "/dev/mmcblk1", "platform-2194000.mmc-1", "platform-1", "")},
      {"mmcblk2p1", tracked(kStorage, "/dev/mmcblk2p1", "platform-2198000.mmc-1", "platform-1", "")},
      {"mmcblk2p2", tracked(kStorage, "/dev/mmcblk2p2", "platform-2198000.mmc-2", "platform-2", "")},
      // Refused.
      {"mmcblk2", refused(kNoPartition)},  // the eMMC's whole disk

      {"eth2", refused("!!! internal device detected - ignored !!!")},
      {"sda", refused(kNoPartition)},      // the whole SATA disk
      {"sdb", refused(kNoPartition)},      // the stick's whole disk
      {"mmcblk0", refused(kNoPartition)},  // a card with a partition table
      {"loop0", refused(kNoPartition)},
      {"loop1", refused(kNoPartition)},
      {"console", refused(kNoDevice)},
      {"ptmx", refused(kNoDevice)},
      {"tty", refused(kNoDevice)},
      {"tty0", refused(kNoDevice)},
      {"tty1", refused(kNoDevice)},
      {"lo", refused(kNoDevice)},
  });
}

TEST_F(BoardTest, MiniBoardTellsItsUartsApartAndUsesRootHubPorts) {
  Board mini = Board::lay_out(sys, "mini");
  mini.plug("modem");  // usb1: port 1 of the root hub
  mini.plug("stick");  // usb2; no SATA disk here, so the stick is sda
  EXPECT_EQ(mini.port_of("stick"), "usb2");

  expect_identities({
      {"ttyS0", tracked(kSerial, "/dev/ttyS0", "platform-serial8250", "platform", "serial8250")},
      {"ttyS1", tracked(kSerial, "/dev/ttyS1", "platform-serial8250-1", "platform", "serial8250")},
      {"ttyS2", refused("###hwtrack### serial port without uart not tracked (devpath=/devices/platform/serial8250/tty/ttyS2)")},
      {"ttyS3", refused("###hwtrack### serial port without uart not tracked (devpath=/devices/platform/serial8250/tty/ttyS3)")},
      {"eth0", tracked(kEth, "eth0", "platform-19000000.ethernet", "platform", "ag71xx", "02:1a:22:00:00:01")},
      {"ttyUSB0", tracked(kSerial, "/dev/ttyUSB0", "2c7c-0125", "usb1-1:1.0", "option")},
      {"ttyUSB1", tracked(kSerial, "/dev/ttyUSB1", "2c7c-0125", "usb1-1:1.1", "option")},
      {"ttyUSB2", tracked(kSerial, "/dev/ttyUSB2", "2c7c-0125", "usb1-1:1.2", "option")},
      {"wwan0", tracked(kEth, "wwan0", "2c7c-0125", "usb1-1:1.3", "qmi_wwan", "02:50:f3:00:00:00")},
      {"sda1", tracked(kStorage, "/dev/sda1", "0781-5567-4C530001090312109353-1", "usb1-2:1.0-1", "usb-storage")},
      {"sda2", tracked(kStorage, "/dev/sda2", "0781-5567-4C530001090312109353-2", "usb1-2:1.0-2", "usb-storage")},
      {"sda", refused(kNoPartition)},
      {"loop0", refused(kNoPartition)},
      {"loop1", refused(kNoPartition)},
      {"console", refused(kNoDevice)},
      {"ptmx", refused(kNoDevice)},
      {"tty", refused(kNoDevice)},
      {"tty0", refused(kNoDevice)},
      {"tty1", refused(kNoDevice)},
      {"lo", refused(kNoDevice)},
  });
}

// --- events -------------------------------------------------------------------------

// (action, devpath below the port's hub, subsystem)
using Row = std::tuple<std::string, std::string, std::string>;

std::vector<Row> rows(const std::vector<Uevent> &events, const std::string &hub) {
  std::vector<Row> out;
  for (const Uevent &e : events) {
    EXPECT_TRUE(e.devpath.starts_with(hub + "/")) << e.devpath;
    out.emplace_back(e.action, e.devpath.substr(hub.size()), e.subsystem);
  }
  return out;
}

TEST_F(BoardTest, PluggingAnnouncesParentsFirstAndEveryBusDevice) {
  Board gw = Board::lay_out(sys, "gateway");
  const std::string hub = gw.find_port("usb2")->hub.devpath;
  const std::vector<Row> expected = {
      {"add", "/1-1.2", "usb"},
      {"add", "/1-1.2/1-1.2:1.0", "usb"},
      {"add", "/1-1.2/1-1.2:1.0/ttyUSB0", "usb-serial"},
      {"add", "/1-1.2/1-1.2:1.0/ttyUSB0/tty/ttyUSB0", "tty"},
      {"bind", "/1-1.2/1-1.2:1.0/ttyUSB0", "usb-serial"},
      {"bind", "/1-1.2/1-1.2:1.0", "usb"},
      {"add", "/1-1.2/1-1.2:1.1", "usb"},
      {"add", "/1-1.2/1-1.2:1.1/ttyUSB1", "usb-serial"},
      {"add", "/1-1.2/1-1.2:1.1/ttyUSB1/tty/ttyUSB1", "tty"},
      {"bind", "/1-1.2/1-1.2:1.1/ttyUSB1", "usb-serial"},
      {"bind", "/1-1.2/1-1.2:1.1", "usb"},
      {"add", "/1-1.2/1-1.2:1.2", "usb"},
      {"add", "/1-1.2/1-1.2:1.2/ttyUSB2", "usb-serial"},
      {"add", "/1-1.2/1-1.2:1.2/ttyUSB2/tty/ttyUSB2", "tty"},
      {"bind", "/1-1.2/1-1.2:1.2/ttyUSB2", "usb-serial"},
      {"bind", "/1-1.2/1-1.2:1.2", "usb"},
      {"add", "/1-1.2/1-1.2:1.3", "usb"},
      {"add", "/1-1.2/1-1.2:1.3/net/wwan0", "net"},
      {"bind", "/1-1.2/1-1.2:1.3", "usb"},
      {"bind", "/1-1.2", "usb"},
  };
  EXPECT_EQ(rows(gw.plug("modem", "usb2"), hub), expected);
}

// The kernel takes a SCSI host's class device down after its targets, and a
// disk after its partitions.
TEST_F(BoardTest, UnpluggingAnnouncesChildrenFirstInTheKernelsOrder) {
  Board gw = Board::lay_out(sys, "gateway");
  const std::string hub = gw.find_port("usb5")->hub.devpath;
  const std::vector<Uevent> added = gw.plug("stick", "usb5");
  const std::string lun = "/3-1.1/3-1.1:1.0/host1/target1:0:0/1:0:0:0";
  const std::vector<Row> expected_add = {
      {"add", "/3-1.1", "usb"},
      {"add", "/3-1.1/3-1.1:1.0", "usb"},
      {"add", "/3-1.1/3-1.1:1.0/host1", "scsi"},
      {"add", "/3-1.1/3-1.1:1.0/host1/scsi_host/host1", "scsi_host"},
      {"add", "/3-1.1/3-1.1:1.0/host1/target1:0:0", "scsi"},
      {"add", lun, "scsi"},
      {"add", lun + "/block/sdb", "block"},
      {"add", lun + "/block/sdb/sdb1", "block"},
      {"add", lun + "/block/sdb/sdb2", "block"},
      {"bind", lun, "scsi"},
      {"bind", "/3-1.1/3-1.1:1.0", "usb"},
      {"bind", "/3-1.1", "usb"},
  };
  EXPECT_EQ(rows(added, hub), expected_add);

  const std::vector<Row> expected_remove = {
      {"remove", lun + "/block/sdb/sdb1", "block"},
      {"remove", lun + "/block/sdb/sdb2", "block"},
      {"remove", lun + "/block/sdb", "block"},
      {"unbind", lun, "scsi"},
      {"remove", lun, "scsi"},
      {"remove", "/3-1.1/3-1.1:1.0/host1/target1:0:0", "scsi"},
      {"remove", "/3-1.1/3-1.1:1.0/host1/scsi_host/host1", "scsi_host"},
      {"remove", "/3-1.1/3-1.1:1.0/host1", "scsi"},
      {"unbind", "/3-1.1/3-1.1:1.0", "usb"},
      {"remove", "/3-1.1/3-1.1:1.0", "usb"},
      {"unbind", "/3-1.1", "usb"},
      {"remove", "/3-1.1", "usb"},
  };
  const std::vector<Uevent> removed = gw.unplug("stick");
  EXPECT_EQ(rows(removed, hub), expected_remove);
  for (const Uevent &e : removed) EXPECT_FALSE(fs::exists(sys.path_of(e.devpath))) << e.devpath;

  // Sequence numbers run on across plug and unplug, as the kernel's do.
  for (size_t i = 0; i < added.size(); ++i) EXPECT_EQ(added[i].seqnum, i + 1);
  for (size_t i = 0; i < removed.size(); ++i) EXPECT_EQ(removed[i].seqnum, added.size() + i + 1);
}

TEST_F(BoardTest, EventsCarryTheDevicesOwnVariablesInTheKernelsMessageFormat) {
  Board gw = Board::lay_out(sys, "gateway");
  const std::vector<Uevent> events = gw.plug("ftdi", "usb1");
  ASSERT_EQ(events.size(), 7u);  // and the bind of the port, the interface and the device
  const Uevent &usb_device = events[0];
  EXPECT_NE(std::find(usb_device.env.begin(), usb_device.env.end(), "DEVTYPE=usb_device"), usb_device.env.end());
  const Uevent &tty = events[3];
  EXPECT_NE(std::find(tty.env.begin(), tty.env.end(), "DEVNAME=ttyUSB0"), tty.env.end());

  const Uevent e{"add", "/devices/x", "tty", {"MAJOR=4", "DEVNAME=ttyS0"}, 7};
  using namespace std::string_literals;
  EXPECT_EQ(e.datagram(),
            "add@/devices/x\0ACTION=add\0DEVPATH=/devices/x\0SUBSYSTEM=tty\0MAJOR=4\0DEVNAME=ttyS0\0SEQNUM=7\0"s);
}

// --- kernel names, ports, misuse ----------------------------------------------------------

TEST_F(BoardTest, KernelNamesAreTheLowestFreeOnes) {
  Board gw = Board::lay_out(sys, "gateway");
  gw.plug("twin-a");
  gw.plug("twin-b");
  EXPECT_TRUE(fs::exists(sys.root() / "class/tty/ttyUSB1"));
  gw.unplug("twin-a");
  gw.plug("ftdi");  // takes twin-a's name and its port
  EXPECT_EQ(gw.port_of("ftdi"), "usb1");
  const auto ftdi = gw.top_of("ftdi");
  ASSERT_TRUE(ftdi);
  EXPECT_TRUE(fs::exists(sys.path_of(ftdi->devpath + "/1-1.1:1.0/ttyUSB0/tty/ttyUSB0")));
  gw.plug("usbnet");  // eth0-eth2 are the board's
  EXPECT_TRUE(fs::exists(sys.root() / "class/net/eth3"));
  gw.plug("sdcard");  // the first free SD slot, block device named after the host
  EXPECT_EQ(gw.port_of("sdcard"), "sd0");
  EXPECT_TRUE(fs::exists(sys.root() / "class/block/mmcblk0p2"));
}

TEST_F(BoardTest, MisuseIsRefusedWithoutChangingTheBoard) {
  Board gw = Board::lay_out(sys, "gateway");
  gw.plug("modem", "usb1");
  const struct {
    std::string device, port, why;
  } cases[] = {
      {"toaster", "", "unknown device 'toaster'"},
      {"stick", "usb9", "board gateway has no port 'usb9'"},
      {"stick", "sd0", "stick needs a usb port; sd0 is a sd port"},
      {"sdcard", "usb2", "sdcard needs a sd port; usb2 is a usb port"},
      {"stick", "usb1", "port usb1 is taken by modem"},
      {"modem", "usb2", "modem is already plugged on usb1"},
  };
  for (const auto &c : cases) {
    try {
      gw.plug(c.device, c.port);
      ADD_FAILURE() << c.device << " on " << c.port << " was plugged";
    } catch (const BoardError &e) {
      EXPECT_EQ(std::string(e.what()), c.why);
    }
  }
  EXPECT_THROW(gw.unplug("stick"), BoardError);
  EXPECT_THROW(Board::lay_out(sys, "mainframe"), BoardError);
  EXPECT_EQ(gw.device_on("usb2"), std::nullopt);
  EXPECT_EQ(sys.class_entries("block").size(), 6u);  // sda, the eMMC's three, loop0, loop1

  board::SysfsTree other;
  Board mini = Board::lay_out(other, "mini");
  mini.plug("twin-a");
  mini.plug("twin-b");
  EXPECT_THROW(mini.plug("ftdi"), BoardError);  // both ports taken
  EXPECT_THROW(mini.plug("sdcard"), BoardError);  // no SD slot at all
}

// --- leaving no trace; state across runs --------------------------------------------------

// Every link and every device folder of the tree.
std::set<std::string> tree_shape(const fs::path &root) {
  std::set<std::string> shape;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = it->path().lexically_relative(root).string();
    if (it->is_symlink())
      shape.insert(rel + " -> " + fs::read_symlink(it->path()).string());
    else if (it->is_directory() && rel.starts_with("devices"))
      shape.insert(rel + "/");
  }
  return shape;
}

TEST_F(BoardTest, UnpluggingEverythingLeavesTheBoardAsLaidOut) {
  Board gw = Board::lay_out(sys, "gateway");
  const std::set<std::string> before = tree_shape(sys.root());
  for (const board::CatalogueEntry &entry : board::catalogue()) gw.plug(entry.name);
  EXPECT_NE(tree_shape(sys.root()), before);
  for (const board::CatalogueEntry &entry : board::catalogue()) gw.unplug(entry.name);
  EXPECT_EQ(tree_shape(sys.root()), before);
}

TEST_F(BoardTest, StateSurvivesSaveAndLoad) {
  const fs::path state = sys.root().parent_path() / "state";
  {
    Board gw = Board::lay_out(sys, "gateway", board::Kernel::v6_6);
    gw.plug("twin-a", "usb3");
    gw.plug("sdcard-raw", "sd1");
    gw.plug("modem", "usb1", "net");
    gw.save(state);
  }
  Board again = Board::load(sys, state);
  board::SysfsTree other;
  EXPECT_EQ(again.name(), "gateway");
  EXPECT_EQ(again.kernel(), board::Kernel::v6_6);
  EXPECT_EQ(again.mode_of("modem"), "net");
  EXPECT_EQ(again.ports().size(), 10u);
  EXPECT_EQ(again.ports(), Board::lay_out(other, "gateway").ports());
  EXPECT_EQ(again.port_of("twin-a"), "usb3");
  EXPECT_EQ(again.device_on("sd1"), "sdcard-raw");
  const std::vector<Uevent> removed = again.unplug("twin-a");
  ASSERT_FALSE(removed.empty());
  EXPECT_EQ(removed.front().seqnum, 29u);  // twin-a sent 7 events, the card 3, the modem 18
  EXPECT_FALSE(fs::exists(sys.root() / "class/tty/ttyUSB0"));
}

TEST_F(BoardTest, BrokenStateIsReportedWithItsLine) {
  const fs::path state = sys.root().parent_path() / "state";
  std::ofstream(state) << "board gateway\nport usb1 floppy /devices/x 1 a label\n";
  try {
    Board::load(sys, state);
    ADD_FAILURE() << "loaded";
  } catch (const BoardError &e) {
    EXPECT_EQ(std::string(e.what()), state.string() + ":2: unknown port kind 'floppy'");
  }
  EXPECT_THROW(Board::load(sys, sys.root() / "nothing"), BoardError);
}

TEST(BoardState, LivesBesideTheRoot) {
  EXPECT_EQ(board::state_path("/tmp/x/sys"), fs::path("/tmp/x/sys.board"));
  EXPECT_EQ(board::state_path("/tmp/x/sys/"), fs::path("/tmp/x/sys.board"));
  EXPECT_EQ(board::state_path("sys"), fs::path("sys.board"));
}

}  // namespace
