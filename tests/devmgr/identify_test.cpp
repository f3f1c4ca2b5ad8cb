// SPDX-License-Identifier: MIT
// Identification of devices on a simulated board: one row per kind of
// device and naming rule, one row per refusal with its exact messages.

#include <syslog.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/identify.h"
#include "core/identify_private.h"
#include "core/settings.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"
#include "tests/devmgr/devmgr_fixture.h"

namespace devmgr_test {
namespace {

using board::Device;
using Build = std::function<std::string(DevmgrTest &)>;

struct Identity {
  std::string name;
  int type;
  std::string id;
  std::string loc;
  std::string driver;
  std::string mac;
};

struct TrackedRow {
  const char *label;
  subsystem_code code;
  Build build;
  Identity want;
};

void PrintTo(const TrackedRow &row, std::ostream *os) { *os << row.label; }

board::UsbIds ids(std::optional<std::string> serial = std::nullopt) {
  return {.vendor = "1a2b", .product = "3c4d", .serial = std::move(serial)};
}

Device usb_net(DevmgrTest &t, const std::optional<std::string> &serial, const std::string &address) {
  const Device dev = t.sys.usb_device(t.hub(), 2, ids(serial));
  return t.sys.net(t.sys.usb_interface(dev, 0, "cdc_ether"), "usb0", address);
}

Device gadget(DevmgrTest &t, const std::string &glue = "2184000.usb") {
  const Device controller = t.sys.platform_device(glue, "imx_usb", t.soc());
  const Device udc = t.sys.platform_device("ci_hdrc." + glue.substr(4, 1), "ci_hdrc", controller);
  return t.sys.usb_gadget(udc, "gadget", "g_multi");
}

Device sd_card_disk(DevmgrTest &t) { return t.sys.block_disk(t.sys.mmc_card(t.sd_host()), "mmcblk0"); }

// A legacy 8250 platform device with the ports of the given lines and types.
Device serial8250_port(DevmgrTest &t, std::vector<std::pair<int, int>> lines_types, size_t wanted) {
  const Device uarts = t.sys.platform_device("serial8250", "serial8250");
  std::vector<Device> ttys;
  for (const auto &[line, type] : lines_types)
    t.sys.uart_attrs(ttys.emplace_back(t.sys.tty(uarts, "ttyS" + std::to_string(line))), line, type);
  return ttys[wanted];
}

Device pci_serial_card(DevmgrTest &t) {
  const Device card = t.sys.pci_function(t.sys.pci_root(), "0000:00:14.5", "serial");
  for (int line : {4, 5}) t.sys.uart_attrs(t.sys.tty(card, "ttyS" + std::to_string(line)), line);
  return {card.devpath + "/tty/ttyS5"};
}

// Ports on one USB interface: usb-serial ports 0 to port, or a vendor's
// ttys made in the order 7, 5, 6 when port is -1; the last one made.
Device usb_ports(DevmgrTest &t, const std::string &driver, int port, const Device &hub = {}) {
  const Device ifc = t.sys.usb_interface(t.sys.usb_device(hub.empty() ? t.hub() : hub, 2, ids()), 0, driver);
  if (port < 0) return t.sys.tty(ifc, "ttyCH9344USB7"), t.sys.tty(ifc, "ttyCH9344USB5"), t.sys.tty(ifc, "ttyCH9344USB6");
  for (int n = 0; n < port; ++n) t.sys.usb_serial_port(ifc, "ttyUSB" + std::to_string(n), "", n);
  return t.sys.usb_serial_port(ifc, "ttyUSB" + std::to_string(port), "", port);
}

std::string with(DevmgrTest &t, const Device &dev, const std::string &attr, const std::string &value) {
  t.sys.attr(dev, attr, value);
  return dev.devpath;
}

// An MT7621-style Ethernet controller, its MACs as "mac@<n>" nodes, with a
// DSA switch at MDIO address 0x1f.
Device mt7621_ethernet(DevmgrTest &t) {
  const Device eth = t.sys.platform_device("1e100000.ethernet", "mtk_soc_eth", t.sys.platform_device("1e000000.palmbus"));
  t.sys.of_node(eth, "palmbus@1e000000/ethernet@1e100000");
  return eth;
}
std::string mac_node(DevmgrTest &t, const std::string &name, int mac) {
  const Device dev = t.sys.net(mt7621_ethernet(t), name);
  t.sys.of_node(dev, "palmbus@1e000000/ethernet@1e100000/mac@" + std::to_string(mac));
  return dev.devpath;
}
Device dsa_switch(DevmgrTest &t) { return t.sys.mdio_device(mt7621_ethernet(t), "mdio-bus", 0x1f, "mt7530-mdio"); }

Device reader_lun(DevmgrTest &t, int lun) {
  const Device reader = t.sys.usb_interface(t.sys.usb_device(t.usb_bus(1), 2, ids("RDR")), 0, "usb-storage", "08");
  return t.sys.scsi_disk(reader, "sda", 0, 0), t.sys.scsi_disk(reader, "sdd", 0, lun);
}

Device amba_sd_card(DevmgrTest &t) {
  const Device host = t.sys.mmc_host(t.sys.amba_device("58005000.mmc", "mmci-pl18x", t.soc()), 0);
  return t.sys.block_disk(t.sys.mmc_card(host), "mmcblk0");
}

// A PCIe function behind the root port of an ARM SoC's PCIe host.
Device pcie_function(DevmgrTest &t, const std::string &driver) {
  const Device root = t.sys.pci_root(t.sys.platform_device("1e140000.pcie", "mt7621-pci"));
  return t.sys.pci_function(t.sys.pci_function(root, "0000:00:00.0", "pcieport"), "0000:01:00.0", driver);
}
Device x86_pci_function(DevmgrTest &t, const std::string &name, const std::string &driver) {
  return t.sys.pci_function(t.sys.pci_root(), name, driver);
}
// A platform device ("dw-apb-uart.0" of driver dw-apb-uart) below a PCI function of an x86 board.
Device x86_platform_device(DevmgrTest &t, const std::string &name, const std::string &pci_driver) {
  const std::string function = pci_driver == "intel-lpss" ? "0000:00:1e.0" : "0000:00:11.0";
  return t.sys.platform_device(name, name.substr(0, name.find('.')), x86_pci_function(t, function, pci_driver));
}

Device usb_acm_interface(DevmgrTest &t) { return t.sys.usb_interface(t.sys.usb_device(t.hub(), 2, ids()), 0, "cdc_acm", "02"); }
Device gadget_one_platform_level(DevmgrTest &t) { return t.sys.usb_gadget(t.sys.platform_device("udc0", "udc-core"), "gadget"); }

const TrackedRow tracked_rows[] = {
    {"platform_uart",
     TTY,
     [](DevmgrTest &t) { return t.sys.tty(t.uart(), "ttymxc0").devpath; },
     {"/dev/ttymxc0", 1, "platform-2020000.serial", "platform", "imx-uart", ""}},
    {"platform_eth_dev_id_hex_1",
     NET,
     [](DevmgrTest &t) { return t.sys.net(t.platform_eth(), "eth1", "00:11:22:33:44:55", "0x1").devpath; },
     {"eth1", 2, "platform-2188000.ethernet-1", "platform", "fec", "00:11:22:33:44:55"}},
    {"platform_eth_dev_id_hex_0",
     NET,
     [](DevmgrTest &t) { return t.sys.net(t.platform_eth(), "eth0", "00:11:22:33:44:55", "0x0").devpath; },
     {"eth0", 2, "platform-2188000.ethernet", "platform", "fec", "00:11:22:33:44:55"}},
    {"platform_eth_dev_id_octal",
     NET,
     [](DevmgrTest &t) { return t.sys.net(t.platform_eth(), "eth8", "00:11:22:33:44:55", "010").devpath; },
     {"eth8", 2, "platform-2188000.ethernet-8", "platform", "fec", "00:11:22:33:44:55"}},
    {"platform_eth_without_dev_id_or_address",
     NET,
     [](DevmgrTest &t) { return t.sys.net(t.platform_eth(), "eth0", std::nullopt, std::nullopt).devpath; },
     {"eth0", 2, "platform-2188000.ethernet", "platform", "fec", ""}},
    {"platform_tty_bang_name",
     TTY,
     [](DevmgrTest &t) { return t.sys.tty(t.uart(), "tts!0").devpath; },
     {"/dev/tts/0", 1, "platform-2020000.serial", "platform", "imx-uart", ""}},
    {"usb_serial_with_serial",
     TTY,
     [](DevmgrTest &t) { return t.usb_serial_adapter(2, ids("XYZ"), "ttyUSB0").devpath; },
     {"/dev/ttyUSB0", 1, "1a2b-3c4d-XYZ", "usb1-1.2:1.0", "ftdi_sio", ""}},
    {"usb_serial_without_serial",
     TTY,
     [](DevmgrTest &t) { return t.usb_serial_adapter(2, ids(), "ttyUSB0").devpath; },
     {"/dev/ttyUSB0", 1, "1a2b-3c4d", "usb1-1.2:1.0", "ftdi_sio", ""}},
    {"usb_interface_number_read_as_decimal",
     TTY,
     [](DevmgrTest &t) {
       const Device dev = t.sys.usb_device(t.hub(), 3, ids());
       return t.sys.usb_serial_port(t.sys.usb_interface(dev, 10, "option"), "ttyUSB3").devpath;
     },
     {"/dev/ttyUSB3", 1, "1a2b-3c4d", "usb1-1.3:1.0", "option", ""}},
    {"usb_net_colon_mac",
     NET,
     [](DevmgrTest &t) { return usb_net(t, "S1", "02:00:00:aa:bb:cc").devpath; },
     {"usb0", 2, "1a2b-3c4d-S1", "usb1-1.2:1.0", "cdc_ether", "02:00:00:aa:bb:cc"}},
    {"usb_net_qualifying_address",
     NET,
     [](DevmgrTest &t) { return usb_net(t, "S1", "0x026").devpath; },
     {"usb0", 2, "1a2b-3c4d-0x026", "usb1-1.2:1.0", "cdc_ether", "0x026"}},
    {"usb_net_address_without_bit_2",
     NET,
     [](DevmgrTest &t) { return usb_net(t, "S1", "0x025").devpath; },
     {"usb0", 2, "1a2b-3c4d-S1", "usb1-1.2:1.0", "cdc_ether", "0x025"}},
    {"usb_stick_partition",
     BLOCK,
     [](DevmgrTest &t) { return t.sys.partition(t.usb_stick(2, "STICK1", "sda"), 1).devpath; },
     {"/dev/sda1", 3, "0781-5567-STICK1-1", "usb1-2:1.0-1", "usb-storage", ""}},
    {"sd_card_without_partition_table",
     BLOCK,
     [](DevmgrTest &t) { return sd_card_disk(t).devpath; },
     {"/dev/mmcblk0", 3, "platform-2190000.mmc-1", "platform-1", "", ""}},
    {"sd_card_partition",
     BLOCK,
     [](DevmgrTest &t) { return t.sys.partition(sd_card_disk(t), 1).devpath; },
     {"/dev/mmcblk0p1", 3, "platform-2190000.mmc-1", "platform-1", "", ""}},
    {"gadget_tty",
     TTY,
     [](DevmgrTest &t) { return t.sys.tty(gadget(t), "ttyGS0").devpath; },
     {"/dev/ttyGS0", 1, "gadget-tty-2184000.usb", "gadget", "g_multi", ""}},
    {"gadget_net_never_writes_mac",
     NET,
     [](DevmgrTest &t) { return t.sys.net(gadget(t), "usb0", "aa:bb:cc:dd:ee:ff").devpath; },
     {"usb0", 2, "gadget-net-2184000.usb", "gadget", "g_multi", ""}},
    // Devices of one place told apart by their own number, 0 adding nothing.
    {"usb_serial_second_port_of_an_interface", TTY, [](DevmgrTest &t) { return usb_ports(t, "sierra", 1).devpath; },
     {"/dev/ttyUSB1", 1, "1a2b-3c4d", "usb1-1.2:1.0-1", "sierra", ""}},
    {"third_vendor_tty_of_an_interface", TTY, [](DevmgrTest &t) { return usb_ports(t, "ch9344", -1).devpath; },
     {"/dev/ttyCH9344USB6", 1, "1a2b-3c4d", "usb1-1.2:1.0-1", "ch9344", ""}},
    {"tty_on_usb_interface", TTY, [](DevmgrTest &t) { return t.sys.tty(usb_acm_interface(t), "ttyACM0").devpath; },
     {"/dev/ttyACM0", 1, "1a2b-3c4d", "usb1-1.2:1.0", "cdc_acm", ""}},
    {"platform_eth_dev_port", NET, [](DevmgrTest &t) { return with(t, t.sys.net(t.platform_eth(), "eth1"), "dev_port", "1"); },
     {"eth1", 2, "platform-2188000.ethernet-1", "platform", "fec", ""}},
    {"second_mac_of_an_ethernet_controller", NET, [](DevmgrTest &t) { return mac_node(t, "wan", 1); },
     {"wan", 2, "platform-1e100000.ethernet-1", "platform", "mtk_soc_eth", ""}},
    {"dsa_conduit_keeps_its_identity", NET, [](DevmgrTest &t) { return t.sys.dsa_port(dsa_switch(t), "lan1", 1), mac_node(t, "eth0", 0); },
     {"eth0", 2, "platform-1e100000.ethernet", "platform", "mtk_soc_eth", ""}},
    {"dsa_port_by_phys_port_name", NET, [](DevmgrTest &t) { return t.sys.dsa_port(dsa_switch(t), "lan2", 2).devpath; },
     {"lan2", 2, "platform-mdio-bus:1f-2", "platform", "mt7530-mdio", "02:00:00:00:01:02"}},
    {"dsa_port_by_device_tree_node", NET, [](DevmgrTest &t) { return t.sys.dsa_port(dsa_switch(t), "wan", 10, false).devpath; },
     {"wan", 2, "platform-mdio-bus:1f-10", "platform", "mt7530-mdio", "02:00:00:00:01:0a"}},
    {"partition_of_a_second_lun", BLOCK, [](DevmgrTest &t) { return t.sys.partition(reader_lun(t, 3), 1).devpath; },
     {"/dev/sdd1", 3, "1a2b-3c4d-RDR-3-1", "usb1-2:1.0-3-1", "usb-storage", ""}},
    {"second_port_of_a_legacy_8250_device", TTY, [](DevmgrTest &t) { return serial8250_port(t, {{0, 4}, {1, 4}}, 1).devpath; },
     {"/dev/ttyS1", 1, "platform-serial8250-1", "platform", "serial8250", ""}},
    {"port_index_counts_from_the_first_port_with_a_uart", TTY,
     [](DevmgrTest &t) { return serial8250_port(t, {{4, 0}, {5, 4}, {6, 4}}, 2).devpath; },
     {"/dev/ttyS6", 1, "platform-serial8250-1", "platform", "serial8250", ""}},
    {"second_port_below_serial_base", TTY,
     [](DevmgrTest &t) { return t.sys.serial_base_tty(t.sys.platform_device("serial8250", "serial8250"), "ttyS3", 0, 1).devpath; },
     {"/dev/ttyS3", 1, "platform-serial8250-1", "platform", "serial8250", ""}},
    {"second_port_of_a_pci_serial_card", TTY, [](DevmgrTest &t) { return pci_serial_card(t).devpath; },
     {"/dev/ttyS5", 1, "platform-0000:00:14.5-1", "platform", "serial", ""}},
    // AMBA, PnP and PCI devices are nodes; a platform device below a PCI function, or a USB ancestor, comes first.
    {"amba_uart", TTY,
     [](DevmgrTest &t) { return t.sys.serial_base_tty(t.sys.amba_device("fe201000.serial", "uart-pl011", t.soc()), "ttyAMA0").devpath; },
     {"/dev/ttyAMA0", 1, "platform-fe201000.serial", "platform", "uart-pl011", ""}},
    {"sd_card_of_an_amba_mmc_host", BLOCK, [](DevmgrTest &t) { return amba_sd_card(t).devpath; },
     {"/dev/mmcblk0", 3, "platform-58005000.mmc-1", "platform-1", "", ""}},
    {"pnp_com_port", TTY, [](DevmgrTest &t) { return t.sys.serial_base_tty(t.sys.pnp_device("00:01"), "ttyS0").devpath; },
     {"/dev/ttyS0", 1, "platform-00:01", "platform", "serial", ""}},
    {"pcie_radio_of_an_arm_board", NET, [](DevmgrTest &t) { return t.sys.wlan(pcie_function(t, "mt7915e"), "wlan0").devpath; },
     {"wlan0", 2, "platform-0000:01:00.0", "platform", "mt7915e", "02:00:00:00:00:02"}},
    {"net_on_pci", NET, [](DevmgrTest &t) { return t.sys.net(x86_pci_function(t, "0000:00:19.0", "e1000e"), "eth0").devpath; },
     {"eth0", 2, "platform-0000:00:19.0", "platform", "e1000e", ""}},
    {"platform_uart_below_a_pci_function", TTY,
     [](DevmgrTest &t) { return t.sys.serial_base_tty(x86_platform_device(t, "dw-apb-uart.0", "intel-lpss"), "ttyS4").devpath; },
     {"/dev/ttyS4", 1, "platform-dw-apb-uart.0", "platform", "dw-apb-uart", ""}},
    {"usb_serial_below_a_pci_host_controller", TTY,
     [](DevmgrTest &t) { return usb_ports(t, "ftdi_sio", 0, t.sys.usb_host(x86_pci_function(t, "0000:00:14.0", "xhci_hcd"), 3)).devpath; },
     {"/dev/ttyUSB0", 1, "1a2b-3c4d", "usb3-2:1.0", "ftdi_sio", ""}},
    // A gadget without two platform levels above it.
    {"gadget_net_of_dwc3_on_pci", NET,
     [](DevmgrTest &t) { return t.sys.net(t.sys.usb_gadget(x86_platform_device(t, "dwc3.0.auto", "dwc3-pci"), "gadget.0", "g_ether"), "usb0").devpath; },
     {"usb0", 2, "gadget-net-0000:00:11.0", "gadget", "g_ether", ""}},
    {"gadget_tty_one_platform_level", TTY, [](DevmgrTest &t) { return t.sys.tty(gadget_one_platform_level(t), "ttyGS0").devpath; },
     {"/dev/ttyGS0", 1, "gadget-tty-udc0", "gadget", "", ""}},
    {"second_network_function_of_a_gadget", NET, [](DevmgrTest &t) { return t.sys.net(gadget(t), "usb0"), t.sys.net(gadget(t), "usb1").devpath; },
     {"usb1", 2, "gadget-net-2184000.usb-1", "gadget", "g_multi", ""}},
    {"second_serial_function_of_a_gadget", TTY, [](DevmgrTest &t) { return t.sys.tty(gadget(t), "ttyGS1").devpath; },
     {"/dev/ttyGS1", 1, "gadget-tty-2184000.usb-1", "gadget", "g_multi", ""}},
    {"second_serial_function_without_parent", TTY, [](DevmgrTest &t) { return gadget(t), t.sys.virtual_tty("ttyGS2").devpath; },
     {"/dev/ttyGS2", 1, "gadget-tty-2184000.usb-2", "gadget", "g_multi", ""}},
    // A USB disk with a medium and no partitions is its own first partition.
    {"usb_disk_without_partitions", BLOCK, [](DevmgrTest &t) { return t.usb_stick(2, "STICK1", "sda").devpath; },
     {"/dev/sda", 3, "0781-5567-STICK1-1", "usb1-2:1.0-1", "usb-storage", ""}},
};

class TrackedDevice : public DevmgrTest, public ::testing::WithParamInterface<TrackedRow> {};

TEST_P(TrackedDevice, FillsTheRecord) {
  const TrackedRow &row = GetParam();
  const std::string devpath = row.build(*this);
  next_event();

  hwdev *hd = hwdev_get();
  ASSERT_NE(hd, nullptr);
  ASSERT_EQ(hwtrack_set_hd_by_devpath(row.code, hd, devpath.c_str()), 0);

  EXPECT_STREQ(hd->name.c_str(), row.want.name.c_str());
  EXPECT_EQ(hd->type, row.want.type);
  EXPECT_STREQ(hd->id.c_str(), row.want.id.c_str());
  EXPECT_STREQ(hd->loc.c_str(), row.want.loc.c_str());
  EXPECT_STREQ(hd->driver.c_str(), row.want.driver.c_str());
  EXPECT_STREQ(hd->mac.c_str(), row.want.mac.c_str());
  EXPECT_STREQ(hd->devpath.c_str(), devpath.c_str());
  EXPECT_EQ(hwdev_find_by_devpath(devpath.c_str()), hd);
}

INSTANTIATE_TEST_SUITE_P(Rows, TrackedDevice, ::testing::ValuesIn(tracked_rows),
                         [](const auto &row) { return std::string(row.param.label); });

// --- Refusals ----------------------------------------------------------------

struct RefusedRow {
  const char *label;
  subsystem_code code;
  Build build;
  // Every line logged, in order; "%D" stands for the devpath identified and
  // "%U" for the one the builder left in refused_devpath.
  std::vector<Message> want;
};

void PrintTo(const RefusedRow &row, std::ostream *os) { *os << row.label; }

// A devpath that a row's messages name besides the one identified.
std::string refused_devpath;

Device internal_bus_device(DevmgrTest &t) {
  const Device dev = t.sys.usb_device(t.usb_bus(2), 1, ids("SER"));
  refused_devpath = dev.devpath;
  return dev;
}

Device tty_below_usb_linked_to_platform(DevmgrTest &t, subsystem_code code) {
  const Device ifc = t.sys.usb_interface(t.sys.usb_device(t.hub(), 2, ids()), 0, "cdc_acm", "02");
  const Device dev = code == TTY ? t.sys.tty(ifc, "ttyACM0") : t.sys.net(ifc, "wwan0");
  t.sys.link(dev.devpath + "/device", t.uart().devpath);
  return dev;
}

// The driver CD a modem shows beside its ports: sr0 of the SCSI CD-ROM
// driver, SCSI type 5, with its medium in.
Device modem_cd_rom(DevmgrTest &t) {
  const Device cd = t.usb_stick(2, "MODEM", "sr0"), unit = cd.parent().parent();
  t.sys.bind_driver(unit, "scsi", "sr");
  t.sys.attr(unit, "type", "5");
  return cd;
}

const char kUsbFail[] = "###hwtrack### failed in hwtrack_set_usb_hd()";
const char kUsbBlockFail[] = "###hwtrack### failed in hwtrack_set_usb_block_hd()";
const char kPlatformBlockFail[] = "###hwtrack### failed in hwtrack_set_platform_block_hd()";
const char kNoPartition[] = "###hwtrack### no partition found";
const char kInternal[] = "!!! internal device detected - ignored !!!";
const char kGadgetSerialFail[] = "###hwtrack### failed in hwtrack_set_gadget_serial_hd()";

const RefusedRow refused_rows[] = {
    {"unknown_devpath",
     TTY,
     [](DevmgrTest &) { return std::string("/devices/platform/nothing"); },
     {{LOG_ERR, "unable to access '%D'"}}},
    {"virtual_tty",
     TTY,
     [](DevmgrTest &t) { return t.sys.virtual_tty("tty1").devpath; },
     {{LOG_DEBUG, "###hwtrack### device not found"}}},
    {"virtual_net",
     NET,
     [](DevmgrTest &t) { return t.sys.class_device({}, "net", "lo").devpath; },
     {{LOG_DEBUG, "###hwtrack### device not found"}}},
    {"tty_on_another_bus", TTY, [](DevmgrTest &t) { return t.sys.tty(t.sys.bus_device({"/devices/hsi0"}, "hsi", "port0"), "ttyHSI0").devpath; },
     {{LOG_ERR, "###hwtrack### unknown subsystem (subsystem=hsi)"}}},
    {"placeholder_port_of_the_8250_driver", TTY, [](DevmgrTest &t) { return serial8250_port(t, {{0, 4}, {1, 0}}, 1).devpath; },
     {{LOG_DEBUG, "###hwtrack### serial port without uart not tracked (devpath=%D)"}}},
    {"nvme_partition", BLOCK,
     [](DevmgrTest &t) { return t.sys.partition(t.sys.block_disk(pcie_function(t, "nvme"), "nvme0n1"), 1).devpath; },
     {{LOG_DEBUG, "###hwtrack### storage on pci not tracked (devpath=%D)"}}},
    {"wireless_interface_added_by_configuration", NET,
     [](DevmgrTest &t) { return t.sys.wlan(pcie_function(t, "mt7915e"), "wlan0"), t.sys.wlan(pcie_function(t, "mt7915e"), "wlan0-1", 3).devpath; },
     {{LOG_DEBUG, "###hwtrack### wireless interface not created by its driver (devpath=%D)"}}},
    {"wireless_master_of_old_kernels", NET, [](DevmgrTest &t) { return t.sys.wlan(pcie_function(t, "iwl3945"), "wmaster0", 0, 801).devpath; },
     {{LOG_DEBUG, "###hwtrack### wireless interface not created by its driver (devpath=%D)"}}},
    {"empty_slot_of_a_card_reader", BLOCK, [](DevmgrTest &t) { return with(t, t.usb_stick(2, "RDR", "sda"), "size", "0"); },
     {{LOG_DEBUG, kNoPartition}, {LOG_DEBUG, kUsbBlockFail}}},
    {"cd_rom_of_a_modem_with_a_medium", BLOCK, [](DevmgrTest &t) { return modem_cd_rom(t).devpath; },
     {{LOG_DEBUG, kNoPartition}, {LOG_DEBUG, kUsbBlockFail}}},
    {"usb_serial_on_internal_bus",
     TTY,
     [](DevmgrTest &t) {
       return t.sys.usb_serial_port(t.sys.usb_interface(internal_bus_device(t), 0, "option"), "ttyUSB0").devpath;
     },
     {{LOG_DEBUG, kInternal}, {LOG_DEBUG, kUsbFail}}},
    {"usb_serial_on_internal_bus_02",
     TTY,
     [](DevmgrTest &t) {
       const Device dev = internal_bus_device(t);
       t.sys.attr(dev, "busnum", "02");
       return t.sys.usb_serial_port(t.sys.usb_interface(dev, 0, "option"), "ttyUSB0").devpath;
     },
     {{LOG_DEBUG, kInternal}, {LOG_DEBUG, kUsbFail}}},
    {"usb_net_on_internal_bus",
     NET,
     [](DevmgrTest &t) {
       return t.sys.net(t.sys.usb_interface(internal_bus_device(t), 4, "qmi_wwan"), "wwan0", "0x026").devpath;
     },
     {{LOG_DEBUG, kInternal}, {LOG_DEBUG, kUsbFail}}},
    {"usb_device_missing_idProduct",
     TTY,
     [](DevmgrTest &t) {
       const Device dev = t.sys.usb_device(t.hub(), 2, ids());
       t.sys.remove_attr(dev, "idProduct");
       refused_devpath = dev.devpath;
       return t.sys.usb_serial_port(t.sys.usb_interface(dev, 0, "ftdi_sio"), "ttyUSB0").devpath;
     },
     {{LOG_ERR, "###hwtrack### missing attr (attr=idProduct,devpath=%U)"}, {LOG_DEBUG, kUsbFail}}},
    {"usb_device_missing_port_path",
     NET,
     [](DevmgrTest &t) {
       const Device dev = t.sys.usb_device(t.hub(), 2, ids());
       t.sys.remove_attr(dev, "devpath");
       refused_devpath = dev.devpath;
       return t.sys.net(t.sys.usb_interface(dev, 0, "cdc_ether"), "usb0").devpath;
     },
     {{LOG_ERR, "###hwtrack### missing attr (attr=devpath,devpath=%U)"}, {LOG_DEBUG, kUsbFail}}},
    {"usb_interface_without_driver",
     TTY,
     [](DevmgrTest &t) {
       const Device ifc = t.sys.usb_interface(t.sys.usb_device(t.hub(), 2, ids()), 0);
       refused_devpath = ifc.devpath;
       return t.sys.usb_serial_port(ifc, "ttyUSB0", "ftdi_sio").devpath;
     },
     {{LOG_ERR, "###hwtrack### missing attr (attr=driver,devpath=%U)"}, {LOG_DEBUG, kUsbFail}}},
    {"usb_serial_without_usb_parent",
     TTY,
     [](DevmgrTest &t) {
       const Device port = t.sys.bus_device(t.sys.dir("/devices/virtual/serial"), "usb-serial", "ttyUSB9");
       return t.sys.tty(port, "ttyUSB9").devpath;
     },
     {{LOG_ERR, "###hwtrack### no usb parent found"}, {LOG_DEBUG, kUsbFail}}},
    {"whole_usb_disk_with_partitions",
     BLOCK,
     [](DevmgrTest &t) {
       const Device disk = t.usb_stick(2, "STICK1", "sda");
       t.sys.partition(disk, 1);
       return disk.devpath;
     },
     {{LOG_DEBUG, kNoPartition}, {LOG_DEBUG, kUsbBlockFail}}},
    {"whole_sd_card_with_partition_table",
     BLOCK,
     [](DevmgrTest &t) {
       const Device disk = sd_card_disk(t);
       t.sys.partition(disk, 1);
       return disk.devpath;
     },
     {{LOG_DEBUG, kNoPartition}, {LOG_DEBUG, kPlatformBlockFail}}},
    {"flash_disk_without_mmc_ancestor",
     BLOCK,
     [](DevmgrTest &t) { return t.sys.block_disk(t.sys.platform_device("flash0", "", t.soc()), "mtdblock0").devpath; },
     {{LOG_DEBUG, kNoPartition}, {LOG_DEBUG, kPlatformBlockFail}}},
    {"loop_disk",
     BLOCK,
     [](DevmgrTest &t) { return t.sys.loop_device(0).devpath; },
     {{LOG_DEBUG, kNoPartition}, {LOG_DEBUG, kUsbBlockFail}}},
    {"partition_of_virtual_disk",
     BLOCK,
     [](DevmgrTest &t) { return t.sys.partition(t.sys.loop_device(0), 1).devpath; },
     {{LOG_ERR, "###hwtrack### usb subsystem not found"}, {LOG_DEBUG, kUsbBlockFail}}},
    {"gadget_tty_without_a_platform_level",
     TTY,
     [](DevmgrTest &t) { return t.sys.tty(t.sys.usb_gadget(t.sys.dir("/devices/udc0")), "ttyGS0").devpath; },
     {{LOG_ERR, "platform sysfs node not found (devpath=%D)"},
      {LOG_DEBUG, "###hwtrack### failed in hwtrack_set_gadget_hd()"}}},
    {"gadget_net_without_a_platform_level",
     NET,
     [](DevmgrTest &t) { return t.sys.net(t.sys.usb_gadget(t.sys.dir("/devices/udc0")), "usb0").devpath; },
     {{LOG_ERR, "platform sysfs node not found (devpath=%D)"},
      {LOG_ERR, "###hwtrack### failed in hwtrack_set_gadget_hd()"}}},
    {"tty_below_usb_linked_to_platform",
     TTY,
     [](DevmgrTest &t) { return tty_below_usb_linked_to_platform(t, TTY).devpath; },
     {{LOG_ERR, "platform sysfs node not found (devpath=%D)"},
      {LOG_ERR, "###hwtrack### failed in hwtrack_set_platform_hd()"}}},
    {"net_below_usb_linked_to_platform",
     NET,
     [](DevmgrTest &t) { return tty_below_usb_linked_to_platform(t, NET).devpath; },
     {{LOG_ERR, "platform sysfs node not found (devpath=%D)"},
      {LOG_ERR, "###hwtrack### failed in hwtrack_set_platform_hd()"}}},
    {"gadget_tty_with_two_udcs",
     TTY,
     [](DevmgrTest &t) { return gadget(t), gadget(t, "2184200.usb"), t.sys.virtual_tty("ttyGS0").devpath; },
     {{LOG_DEBUG, "###hwtrack### gadget tty not tracked - more than one udc controller"},
      {LOG_DEBUG, kGadgetSerialFail}}},
    {"usb_device_empty_configuration",
     NET,
     [](DevmgrTest &t) {
       const Device dev = t.sys.usb_device(t.hub(), 2, ids());
       t.sys.attr(dev, "bConfigurationValue", "");
       refused_devpath = dev.devpath;
       return t.sys.net(t.sys.usb_interface(dev, 0, "cdc_ether"), "usb0").devpath;
     },
     {{LOG_ERR, "###hwtrack### missing attr (attr=bConfigurationValue,devpath=%U)"}, {LOG_DEBUG, kUsbFail}}},
    {"other_subsystem_code", OTHER, [](DevmgrTest &t) { return t.sys.tty(t.uart(), "ttymxc0").devpath; }, {}},
};

std::string expand(std::string text, const std::string &devpath) {
  for (const auto &[mark, value] : {std::pair<std::string, std::string>{"%D", devpath}, {"%U", refused_devpath}}) {
    if (auto at = text.find(mark); at != std::string::npos) text.replace(at, mark.size(), value);
  }
  return text;
}

class RefusedDevice : public DevmgrTest, public ::testing::WithParamInterface<RefusedRow> {};

TEST_P(RefusedDevice, LogsItsMessagesAndLeavesTheRecordUntouched) {
  const RefusedRow &row = GetParam();
  refused_devpath.clear();
  const std::string devpath = row.build(*this);
  next_event();
  hwdev *hd = hwdev_get();
  ASSERT_NE(hd, nullptr);
  const int type_before = hd->type;
  log.clear();

  EXPECT_EQ(hwtrack_set_hd_by_devpath(row.code, hd, devpath.c_str()), -1);

  std::vector<Message> want;
  for (const auto &[level, text] : row.want) want.emplace_back(level, expand(text, devpath));
  EXPECT_EQ(messages(), want);
  for (const char *text :
       {hd->name.c_str(), hd->id.c_str(), hd->loc.c_str(), hd->devpath.c_str(), hd->driver.c_str(), hd->mac.c_str()})
    EXPECT_STREQ(text, "");
  EXPECT_EQ(hd->type, type_before);
  EXPECT_EQ(hwdev_find_by_devpath(devpath.c_str()), nullptr);
  // Each message names the function it belongs to.
  for (const auto &[level, text] : want) {
    const std::string source = sources_of(text).at(0);
    if (text.starts_with("###hwtrack### failed in hwtrack_set_") || text.starts_with("unable to access") ||
        text == "###hwtrack### device not found" || text.starts_with("###hwtrack### unknown subsystem")) {
      EXPECT_EQ(source, "hwtrack:hwtrack_set_hd_by_devpath") << text;
    } else if (text.starts_with("###hwtrack### missing attr") || text == kInternal) {
      EXPECT_EQ(source, "hwtrack:hwtrack_set_usb_hd_with_extra") << text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusedDevice, ::testing::ValuesIn(refused_rows),
                         [](const auto &row) { return std::string(row.param.label); });

// --- Details -----------------------------------------------------------------

using IdentifyDetails = DevmgrTest;

TEST_F(IdentifyDetails, StoresTheDevpathAsPassedNotAsResolved) {
  sys.tty(uart(), "ttymxc0");
  next_event();
  hwdev *hd = hwdev_get();
  ASSERT_EQ(hwtrack_set_hd_by_devpath(TTY, hd, "/class/tty/ttymxc0"), 0);
  EXPECT_STREQ(hd->devpath.c_str(), "/class/tty/ttymxc0");
  EXPECT_STREQ(hd->id.c_str(), "platform-2020000.serial");
  EXPECT_EQ(hwdev_find_by_devpath("/class/tty/ttymxc0"), hd);
}

TEST_F(IdentifyDetails, PlatformMessagesNameTheDevIdAndTheirFunctions) {
  const Device eth = sys.net(platform_eth(), "eth1", "00:11:22:33:44:55", "0x1");
  next_event();
  log.clear();
  hwdev *hd = hwdev_get();
  ASSERT_EQ(hwtrack_set_hd_by_devpath(NET, hd, eth.devpath.c_str()), 0);
  EXPECT_EQ(messages(), (std::vector<Message>{
                            {LOG_DEBUG, "###hwtrack### dev_id found - (sys_str_dev_id=0x1,dev_id=1)"},
                            {LOG_DEBUG, "###hwtrack### address found - (sys_str_dev_id=0x1,dev_id=1)"},
                        }));
  EXPECT_EQ(log.lines().front().text.rfind("<hwtrack:hwtrack_set_platform_hd_with_extra:", 0), 0u);
}

TEST_F(IdentifyDetails, PlatformMessagesWithoutDevIdOrAddress) {
  const Device tty = sys.tty(uart(), "ttymxc0");
  next_event();
  log.clear();
  hwdev *hd = hwdev_get();
  ASSERT_EQ(hwtrack_set_hd_by_devpath(TTY, hd, tty.devpath.c_str()), 0);
  EXPECT_EQ(messages(),
            (std::vector<Message>{
                {LOG_DEBUG, "###hwtrack### skip dev_id - not existing (devpath=" + tty.devpath + ")"},
                {LOG_DEBUG, "###hwtrack### skip addressdev_id - not existing (devpath=" + tty.devpath + ")"},
            }));
}

TEST_F(IdentifyDetails, UnreadableDevIdCountsAsZero) {
  const Device eth = sys.net(platform_eth(), "eth0", "00:11:22:33:44:55", "junk");
  next_event();
  hwdev *hd = hwdev_get();
  ASSERT_EQ(hwtrack_set_hd_by_devpath(NET, hd, eth.devpath.c_str()), 0);
  EXPECT_STREQ(hd->id.c_str(), "platform-2188000.ethernet");
  EXPECT_TRUE(logged(LOG_DEBUG, "###hwtrack### dev_id found - (sys_str_dev_id=junk,dev_id=0)"));
}

TEST_F(IdentifyDetails, LongTextsAreCutToTheirFields) {
  const std::string serial(200, 'S');
  const Device tty = usb_serial_adapter(3, ids(serial), "ttyUSB0");
  const Device net = usb_net(*this, "S1", std::string(60, 'm'));
  next_event();
  hwdev *a = hwdev_get();
  ASSERT_EQ(hwtrack_set_hd_by_devpath(TTY, a, tty.devpath.c_str()), 0);
  EXPECT_EQ(std::string(a->id.c_str()), ("1a2b-3c4d-" + serial).substr(0, 127));
  hwdev *b = hwdev_get();
  ASSERT_EQ(hwtrack_set_hd_by_devpath(NET, b, net.devpath.c_str()), 0);
  EXPECT_EQ(std::string(b->mac.c_str()), std::string(47, 'm'));
}

TEST_F(IdentifyDetails, LongDevpathIsKeptWhole) {
  // Hubs behind hubs give devpaths well past 127 characters.
  Device parent = hub();
  for (int port = 1; port <= 6; ++port) parent = sys.usb_hub(parent, port);
  const Device dev = sys.usb_device(parent, 4, ids("DEEP"));
  const Device tty = sys.usb_serial_port(sys.usb_interface(dev, 0, "ftdi_sio"), "ttyUSB7");
  ASSERT_GT(tty.devpath.size(), 127u);
  next_event();
  hwdev *hd = hwdev_get();
  ASSERT_EQ(hwtrack_set_hd_by_devpath(TTY, hd, tty.devpath.c_str()), 0);
  EXPECT_EQ(std::string(hd->devpath.c_str()), tty.devpath);
}

TEST_F(IdentifyDetails, CheckMmcPartitionLooksBelowTheSysfsRoot) {
  const Device disk = sd_card_disk(*this);
  const Device flash = sys.block_disk(sys.platform_device("flash0", "", soc()), "mtdblock0");
  next_event();
  EXPECT_EQ(check_mmc_partition(nullptr), -1);
  EXPECT_EQ(check_mmc_partition(sysfs_device_get(flash.devpath.c_str())), -1);
  EXPECT_EQ(check_mmc_partition(sysfs_device_get(disk.devpath.c_str())), 0);
  sys.partition(disk, 1);
  next_event();
  EXPECT_EQ(check_mmc_partition(sysfs_device_get(disk.devpath.c_str())), 1);
}

TEST_F(IdentifyDetails, InternalUsbBusesAreTheBoardsSetting) {
  std::vector<Device> ttys;  // an adapter on each of buses 1 to 3
  for (int bus = 1; bus <= 3; ++bus)
    ttys.push_back(sys.usb_serial_port(sys.usb_interface(sys.usb_device(usb_bus(bus), 1, ids()), 0, "option"),
                                       "ttyUSB" + std::to_string(bus)));
  const struct {
    std::optional<std::string> setting;
    std::string internal;  // the buses refused
  } rows[] = {
      {std::nullopt, "2"},
      {"none", ""},
      {"", ""},
      {"1, 3", "13"},
      {" 02\t3 ", "23"},
      {"2184300.usb", "3"},
      {"/devices/platform/soc/2184200.usb/usb2", "2"},
      {"/sys/devices/platform/soc/2184100.usb/usb1/", "1"},
      {"soc", "123"},
      {"usb4,9", ""},
  };
  for (const auto &row : rows) {
    if (row.setting)
      rdb.put(kInternalUsbBusVar, *row.setting);
    else
      rdb.erase(kInternalUsbBusVar);
    hwtrack_read_settings();
    std::string refused;
    for (int bus = 1; bus <= 3; ++bus) {
      next_event();
      hwdev *hd = hwdev_get();
      if (hwtrack_identify(TTY, hd, ttys[bus - 1].devpath.c_str()) < 0) refused += std::to_string(bus);
      hwdev_put(hd, 0);
    }
    EXPECT_EQ(refused, row.internal) << row.setting.value_or("(absent)");
  }
}

// A real x86 laptop's tree (kernel 2.6: its USB devices lack "devpath" and
// its partitions "partition", added here): the legacy UART device's four
// ports told apart, the modem's ACM port, PCI interfaces and the radio's
// station interface tracked, the radio's master, the PCI SATA disks and the
// virtual devices refused.
TEST_F(IdentifyDetails, ARealLaptop) {
  const std::filesystem::path tarball = std::filesystem::path(HWTRACK_FIXTURES_DIR) / "laptop-sysfs.tar.xz";
  if (!std::filesystem::exists(tarball)) GTEST_SKIP() << tarball << " not found";
  board::TempDir dir("laptop-sysfs");
  ASSERT_TRUE(board::unpack_tarball(tarball, dir.path(), {"sys/devices", "sys/class", "sys/block", "sys/bus"}));
  board::SysfsTree laptop(dir.path() / "sys");
  const std::string usb5 = "/devices/pci0000:00/0000:00:1d.7/usb5";
  laptop.attr({usb5 + "/5-1"}, "devpath", "1");
  laptop.attr({usb5 + "/5-2"}, "devpath", "2");
  laptop.attr({usb5 + "/5-1/5-1:1.0/host7/target7:0:0/7:0:0:0/block/sdb/sdb1"}, "partition", "1");
  setenv("SYSFS_PATH", laptop.root().c_str(), 1);
  const std::map<std::string, std::string> want = {
      {"ttyS0", "platform-serial8250 platform serial8250"},
      {"ttyS1", "platform-serial8250-1 platform serial8250"},
      {"ttyS2", "platform-serial8250-2 platform serial8250"},
      {"ttyS3", "platform-serial8250-3 platform serial8250"},
      {"ttyACM0", "0421-007b-354172020305000 usb5-2:1.0 cdc_acm"},
      {"eth0", "platform-0000:02:00.0 platform e1000e"},
      {"wlan0", "platform-0000:03:00.0 platform iwl3945"},
      {"sdb1", "1043-8012-1 usb5-1:1.0-1 usb-storage"},
  };
  std::map<std::string, std::string> got;
  for (const subsystem_code code : {TTY, NET, BLOCK}) {
    for (const std::string &link : laptop.class_entries(subsystem_names[code])) {
      next_event();
      hwdev *hd = hwdev_get();
      if (hwtrack_identify(code, hd, link.c_str()) == 0)
        got[link.substr(link.rfind('/') + 1)] =
            std::string(hd->id.c_str()) + " " + hd->loc.c_str() + " " + hd->driver.c_str();
      hwdev_put(hd, 0);
    }
  }
  EXPECT_EQ(got, want);
  EXPECT_TRUE(logged(LOG_DEBUG, "###hwtrack### wireless interface not created by its driver "
                                "(devpath=/devices/pci0000:00/0000:00:1c.1/0000:03:00.0/net/wmaster0)"));
  EXPECT_TRUE(logged(LOG_DEBUG, "###hwtrack### storage on pci not tracked "
                                "(devpath=/devices/pci0000:00/0000:00:1f.2/host0/target0:0:0/0:0:0:0/block/sda/sda1)"));
}

TEST_F(IdentifyDetails, PlatformNodeIsNoneBelowUsb) {
  const Device tty = sys.tty(uart(), "ttymxc0");
  const Device port = usb_serial_adapter(2, ids(), "ttyUSB0");
  next_event();
  sysfs_device *uart_tty = sysfs_device_get(tty.devpath.c_str());
  sysfs_device *uart_dev = get_physical_device(uart_tty);
  ASSERT_NE(uart_dev, nullptr);
  EXPECT_EQ(get_platform_node(uart_tty), uart_dev);
  EXPECT_EQ(get_platform_node(uart_dev), uart_dev);
  EXPECT_EQ(get_platform_node(get_physical_device(sysfs_device_get(port.devpath.c_str()))), nullptr);
  EXPECT_EQ(get_platform_node(nullptr), nullptr);
  EXPECT_EQ(get_physical_device(nullptr), nullptr);
}

}  // namespace
}  // namespace devmgr_test
