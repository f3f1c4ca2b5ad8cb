// SPDX-License-Identifier: MIT
#include "bench/bigboard.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace hwbench {

namespace {

using board::Device;
using board::SysfsTree;
using board::UsbIds;

constexpr int kTracked = 99;
constexpr int kUntracked = 200;

std::string numbered(const char *prefix, int n) { return prefix + std::to_string(n); }

std::string mac(int n) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "02:1a:33:00:%02x:%02x", (n >> 8) & 0xff, n & 0xff);
  return buf;
}

// The free ports of the board's USB hubs, handed out in order.
class Ports {
 public:
  void add_hub(const Device &hub, int count) {
    for (int port = 1; port <= count; ++port) free_.push_back({hub, port});
  }
  std::pair<Device, int> take() {
    if (next_ == free_.size()) throw std::runtime_error("big board: out of USB ports");
    return free_[next_++];
  }

 private:
  std::vector<std::pair<Device, int>> free_;
  size_t next_ = 0;
};

struct Builder {
  SysfsTree &t;
  Ports ports;
  int tracked = 0;
  int untracked = 0;
  int tty_usb = 0;
  int tty_acm = 0;
  int wwan = 0;
  int eth = 0;
  int scsi_host = 0;
  char disk_letter = 'a';
  int macs = 0;

  std::string next_disk() { return std::string("sd") + disk_letter++; }

  Device usb_core(const Device &soc, const std::string &glue, int n) {
    return t.platform_device("ci_hdrc." + std::to_string(n), "ci_hdrc", t.platform_device(glue, "imx_usb", soc));
  }

  void platform(const Device &soc) {
    static const char *const uarts[] = {"2020000.serial", "21e8000.serial", "21ec000.serial", "21f0000.serial"};
    for (int i = 0; i < 4; ++i) t.tty(t.platform_device(uarts[i], "imx-uart", soc), numbered("ttymxc", i));
    tracked += 4;

    // Two two-port Ethernet controllers: ports told apart by dev_id.
    for (const char *name : {"2188000.ethernet", "218c000.ethernet"}) {
      const Device controller = t.platform_device(name, "fec", soc);
      t.net(controller, numbered("eth", eth++), mac(macs++), "0x0");
      t.net(controller, numbered("eth", eth++), mac(macs++), "0x1");
      tracked += 2;
    }

    const Device gadget = t.usb_gadget(usb_core(soc, "2184000.usb", 0));
    t.tty(gadget, "ttyGS0");
    t.net(gadget, "usb0", mac(macs++));
    tracked += 2;

    // SD slot 0: a card with two partitions (the disk itself is refused);
    // slot 1: a card used whole.
    const Device sd0 = t.mmc_host(t.platform_device("2190000.mmc", "sdhci-esdhc-imx", soc), 0);
    const Device disk0 = t.block_disk(t.mmc_card(sd0), "mmcblk0");
    t.partition(disk0, 1);
    t.partition(disk0, 2);
    tracked += 2;
    untracked += 1;
    const Device sd1 = t.mmc_host(t.platform_device("2194000.mmc", "sdhci-esdhc-imx", soc), 1);
    t.block_disk(t.mmc_card(sd1), "mmcblk1");
    tracked += 1;

    // A whole SATA disk and raw flash partitions: block devices on the
    // platform bus without a partition number, refused.
    const Device sata = t.platform_device("2200000.sata", "ahci-imx", soc);
    t.scsi_disk(t.dir(sata.devpath + "/ata1"), next_disk(), scsi_host++);
    const Device nand = t.platform_device("1800000.nand", "gpmi-nand", soc);
    for (int i = 0; i < 8; ++i) t.block_disk(nand, numbered("mtdblock", i));
    untracked += 9;
  }

  void usb_buses(const Device &soc) {
    // Buses 1 and 3: seven seven-port hubs on each root hub.
    int core = 1;
    for (int bus : {1, 3}) {
      const Device root = t.usb_host(usb_core(soc, "2184" + std::to_string(bus * 2) + "00.usb", core++), bus);
      for (int hub = 1; hub <= 7; ++hub) ports.add_hub(t.usb_hub(root, hub), 7);
    }
    // Bus 2 is wired inside the board: its Ethernet chips are refused.
    const Device bus2 = t.usb_host(usb_core(soc, "2184400.usb", core++), 2);
    for (int port = 1; port <= 2; ++port) {
      const Device lan = t.usb_device(bus2, port, {.vendor = "0424", .product = "ec00",
                                                   .serial = "0000000" + std::to_string(port)});
      t.net(t.usb_interface(lan, 0, "smsc95xx"), numbered("eth", eth++), mac(macs++));
    }
    untracked += 2;
  }

  Device usb_device(const UsbIds &ids) {
    auto [hub, port] = ports.take();
    return t.usb_device(hub, port, ids);
  }

  void usb_serial(const UsbIds &ids, const std::string &driver) {
    const Device dev = usb_device(ids);
    t.usb_serial_port(t.usb_interface(dev, 0, driver), numbered("ttyUSB", tty_usb++));
    tracked += 1;
  }

  void modem(int n) {
    UsbIds ids;
    ids.vendor = "2c7c";
    ids.product = "0125";
    ids.product_name = "LTE Module";
    if (n % 2 == 0) ids.serial = "MDM" + std::to_string(n);
    const Device dev = usb_device(ids);
    for (int i = 0; i < 3; ++i)
      t.usb_serial_port(t.usb_interface(dev, i, "option"), numbered("ttyUSB", tty_usb++), "option1");
    t.net(t.usb_interface(dev, 3, "qmi_wwan"), numbered("wwan", wwan++), mac(macs++));
    tracked += 4;
  }

  void stick(int n) {
    const Device dev = usb_device({.vendor = "0781", .product = "5567", .serial = "4C53000109" + std::to_string(n)});
    const Device disk = t.scsi_disk(t.usb_interface(dev, 0, "usb-storage", "08"), next_disk(), scsi_host++);
    t.partition(disk, 1);
    t.partition(disk, 2);
    tracked += 2;
    untracked += 1;
  }

  void usbnet(int n) {
    const Device dev = usb_device({.vendor = "0b95", .product = "772b", .serial = "AX" + std::to_string(n)});
    t.net(t.usb_interface(dev, 0, "asix"), numbered("eth", eth++), mac(macs++));
    tracked += 1;
  }

  // A CDC ACM port hangs straight from its USB interface.
  void acm() {
    UsbIds ids;
    ids.vendor = "1546";
    ids.product = "01a8";
    ids.device_class = "02";
    const Device dev = usb_device(ids);
    t.tty(t.usb_interface(dev, 0, "cdc_acm", "02"), numbered("ttyACM", tty_acm++));
    t.usb_interface(dev, 1, "cdc_acm", "0a");
    tracked += 1;
  }

  void usb_devices() {
    for (int n = 0; n < 6; ++n) modem(n);
    for (int n = 0; n < 8; ++n) stick(n);
    for (int n = 0; n < 6; ++n) usbnet(n);
    for (int n = 0; n < 4; ++n) acm();
    // Cheap adapters without a serial number: identical twins.
    UsbIds twin;
    twin.vendor = "1a86";
    twin.product = "7523";
    for (int n = 0; n < 4; ++n) usb_serial(twin, "ch341");
    // Adapters with serial numbers fill up to the pool's 99 devices.
    for (int n = 0; tracked < kTracked; ++n) {
      char serial[16];
      std::snprintf(serial, sizeof serial, "FT%05d", n);
      usb_serial({.vendor = "0403", .product = "6001", .serial = serial}, "ftdi_sio");
    }
  }

  // Consoles, ptys, loopback and virtual interfaces, RAM and loop disks:
  // class devices without a physical device, refused.
  void virtual_devices() {
    for (const char *name : {"console", "ptmx", "tty"}) {
      t.virtual_tty(name);
      ++untracked;
    }
    t.net({}, "lo", "00:00:00:00:00:00");
    ++untracked;
    for (int i = 0; i < 16; ++i) t.loop_device(i);
    for (int i = 0; i < 16; ++i) t.block_disk({}, numbered("ram", i));
    for (int i = 0; i < 24; ++i) t.net({}, numbered("veth", i), mac(macs++));
    untracked += 56;
    for (int i = 0; untracked < kUntracked; ++i) {
      t.virtual_tty(numbered("tty", i));
      ++untracked;
    }
  }
};

bool has_subsystem_block(const fs::path &dir) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(dir / "subsystem", ec);
  return !ec && target.filename() == "block";
}

std::string read_first_line(const fs::path &path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

BigBoardCounts lay_out_big_board(SysfsTree &tree) {
  Builder b{tree, {}};
  const Device soc = tree.platform_device("soc");
  b.platform(soc);
  b.usb_buses(soc);
  b.usb_devices();
  b.virtual_devices();
  return {b.tracked, b.untracked};
}

int add_dev_links(SysfsTree &tree) {
  std::set<std::string> taken;
  int links = 0;
  const fs::path devices = tree.root() / "devices";
  for (auto it = fs::recursive_directory_iterator(devices); it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_symlink() || !it->is_regular_file() || it->path().filename() != "dev") continue;
    const fs::path dir = it->path().parent_path();
    const std::string kind = has_subsystem_block(dir) ? "block" : "char";
    const std::string numbers = read_first_line(it->path());
    if (numbers.empty() || !taken.insert(kind + numbers).second) continue;
    std::string devpath = fs::relative(dir, tree.root()).string();
    devpath.insert(devpath.begin(), '/');
    tree.link("/dev/" + kind + "/" + numbers, devpath);
    ++links;
  }
  return links;
}

}  // namespace hwbench
