// SPDX-License-Identifier: MIT
#pragma once
// Simulated sysfs trees for tests and the board simulator.
//
// SysfsTree lays devices out below a root directory the way a current Linux
// kernel does, so code pointed at the root through SYSFS_PATH sees what it
// would see on a board:
//   - every device is a directory below /devices, nested under its parent;
//   - "subsystem" links to /bus/<bus> or /class/<class>, "driver" links to
//     /bus/<bus>/drivers/<driver>, class devices have a "device" link to the
//     device they hang from; all link targets are relative ("../../bus/usb");
//   - /class/<class>/<name>, /bus/<bus>/devices/<name>, /block/<disk> and
//     /bus/<bus>/drivers/<driver>/<name> are relative links into /devices;
//   - attribute files end in "\n" (attr()), as the kernel prints them.
// Layouts follow kernels of the 4.x-6.x era: USB devices have the "devpath"
// attribute, partitions the "partition" attribute, /block holds links to
// whole disks only, partitions have no "device" link.
//
// Usage:
//   board::SysfsTree sys;                       // fresh temp dir, removed at the end
//   auto soc  = sys.platform_device("soc");
//   auto uart = sys.platform_device("2020000.serial", "imx-uart", soc);
//   auto tty  = sys.tty(uart, "ttymxc0");       // tty.devpath is the event DEVPATH
//   auto eth  = sys.net(sys.platform_device("2188000.ethernet", "fec", soc),
//                       "eth0", "00:11:22:33:44:55");
//
//   auto usb1 = sys.usb_host(sys.platform_device("2184200.usb", "ci_hdrc", soc), 1);
//   auto hub  = sys.usb_hub(usb1, 1);                       // 1-1
//   auto dev  = sys.usb_device(hub, 2, {.vendor = "0403", .product = "6001",
//                                       .serial = "A600"}); // 1-1.2
//   auto ifc  = sys.usb_interface(dev, 0, "ftdi_sio");      // 1-1.2:1.0
//   auto port = sys.usb_serial_port(ifc, "ttyUSB0");        // .../ttyUSB0/tty/ttyUSB0
//
//   auto stick = sys.usb_interface(sys.usb_device(usb1, 2), 0, "usb-storage", "08");
//   auto sda   = sys.scsi_disk(stick, "sda");
//   auto sda1  = sys.partition(sda, 1);
//
//   setenv("SYSFS_PATH", sys.root().c_str(), 1);
//   ...
//   sys.unplug(dev);   // removes 1-1.2 with everything below it and every link into it
//
// Functions that create a device return its Device handle; creating the same
// device twice returns the same devpath and rewrites its links and attributes.
// Failures throw std::filesystem::filesystem_error or std::runtime_error: this
// is test code, and a fixture that cannot be built should fail the test loudly.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace board {

// A directory of the tree, named by its devpath (below the root, beginning
// with "/"). An empty devpath means "no device" (a virtual device's parent).
struct Device {
  std::string devpath;

  std::string kernel() const;  // last component of devpath
  Device parent() const;       // the directory above, as a path
  Device child(std::string_view name) const;
  bool empty() const { return devpath.empty(); }
  bool operator==(const Device &) const = default;
};

// A temporary directory that is removed with everything in it.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "hwboard");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::filesystem::path &path() const { return path_; }
  // The path of name inside it.
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// What a USB device reports about itself.
struct UsbIds {
  std::string vendor = "1a2b";          // idVendor
  std::string product = "3c4d";         // idProduct
  std::optional<std::string> serial;    // no "serial" attribute when unset
  int configuration = 1;                // bConfigurationValue
  std::string manufacturer = "Acme";
  std::string product_name = "Widget";  // "product"
  std::string device_class = "00";      // bDeviceClass; hubs "09"
};

class SysfsTree {
 public:
  // Lays out a tree in <fresh temp dir>/sys; the temp dir goes with the tree.
  SysfsTree();
  // Lays out a tree in root (created if missing; left in place afterwards).
  explicit SysfsTree(std::filesystem::path root);
  ~SysfsTree();
  SysfsTree(SysfsTree &&) noexcept;
  SysfsTree &operator=(SysfsTree &&) noexcept;

  // The value for SYSFS_PATH.
  const std::filesystem::path &root() const { return root_; }
  // root() + devpath.
  std::filesystem::path path_of(std::string_view devpath) const;
  std::filesystem::path path_of(const Device &dev) const { return path_of(dev.devpath); }

  // --- Platform bus ---------------------------------------------------------
  // /devices/platform/<name>, or <parent>/<name> for devices nested in another
  // platform device (soc/2184200.usb/ci_hdrc.0). No driver link when driver
  // is empty.
  Device platform_device(const std::string &name, const std::string &driver = "", const Device &parent = {});

  // --- Class devices --------------------------------------------------------
  // <parent>/tty/<name> with a "device" link to parent; /devices/virtual/tty/
  // <name> without one when parent is empty. /class/tty/<name> links to it.
  // Platform UARTs, cdc-acm ports (parent: the USB interface), gadget serial
  // functions (parent: the gadget) and usb-serial ports all use it.
  Device tty(const Device &parent, const std::string &name);
  Device virtual_tty(const std::string &name) { return tty({}, name); }
  // A UART's tty as kernels from 6.3 lay it out: below a serial-base
  // controller and port device, <uart>/<uart>:<ctrl>/<uart>:<ctrl>.<port>/
  // tty/<name>, so the tty's "device" link names the port device (subsystem
  // serial-base), not the platform device.
  Device serial_base_tty(const Device &uart, const std::string &name, int ctrl = 0, int port = 0);
  // The serial core's attributes of a UART's tty: "line" (the port's index
  // in its driver) and "type" (kPortUnknown for a port without a UART, as
  // the 8250 driver's nr_uarts placeholders are; 16550A otherwise).
  static constexpr int kPortUnknown = 0;
  static constexpr int kPort16550A = 4;
  void uart_attrs(const Device &tty, int line, int type = kPort16550A);
  // <parent>/net/<name> with "address" (when given), "dev_id", "ifindex",
  // "type" and the usual uevent.
  Device net(const Device &parent, const std::string &name, std::optional<std::string> address = std::nullopt,
             std::optional<std::string> dev_id = "0x0");
  // <parent>/<subdir>/<name> of class cls (subdir defaults to cls) with the
  // class link; the building block of the above.
  Device class_device(const Device &parent, const std::string &cls, const std::string &name,
                      const std::string &subdir = "");
  // A mac80211 interface on the radio phy (<parent>/ieee80211/<phy>): a
  // net device with the "phy80211" link, DEVTYPE=wlan and the given
  // name_assign_type (1: named by the kernel, as the interface the driver
  // makes with the radio; 3: named by whoever asked for it, as every
  // interface added later by configuration). type: 1 (ARPHRD_ETHER), 801
  // for the master interface "wmaster0" of kernels before 2.6.32 (which
  // had no name_assign_type: 0 leaves it out).
  Device wlan(const Device &parent, const std::string &name, int name_assign_type = 1, int type = 1,
              const std::string &phy = "phy0");
  // A switch port of a DSA switch: a net device of the switch device sw
  // with phys_port_name "p<port>" (when with_phys_port_name) and its own
  // device-tree node ".../ports/port@<port in hexadecimal>", DEVTYPE=dsa.
  Device dsa_port(const Device &sw, const std::string &name, int port, bool with_phys_port_name = true);
  // The device's "of_node" link to /firmware/devicetree/base/<node>
  // ("ethernet@1e100000/mac@1"), the directory made as well.
  void of_node(const Device &dev, const std::string &node);

  // --- Bus devices ----------------------------------------------------------
  // <parent>/<name> on bus, with /bus/<bus>/devices/<name> and, when driver
  // is given, the driver link and its back link.
  Device bus_device(const Device &parent, const std::string &bus, const std::string &name,
                    const std::string &driver = "");
  // An AMBA (PrimeCell) device: the PL011 UARTs and PL18x MMC hosts of ARM
  // SoCs, <parent>/<name> on bus amba (parent: the SoC's platform device).
  Device amba_device(const std::string &name, const std::string &driver, const Device &parent);
  // A PnP device of the firmware's tables (x86 COM ports): /devices/pnp0/
  // <name> on bus pnp, with "id" (PNP0501, a 16550A-compatible port).
  Device pnp_device(const std::string &name, const std::string &driver = "serial", const std::string &id = "PNP0501");
  // A PCI host bridge's root, <parent>/pci<domain>:<bus> (no subsystem;
  // /devices/pci0000:00 when parent is empty), and a PCI function on it or
  // below a bridge function ("0000:01:00.0"), with vendor, device and class.
  Device pci_root(const Device &parent = {}, const std::string &name = "pci0000:00");
  Device pci_function(const Device &parent, const std::string &name, const std::string &driver = "",
                      const std::string &vendor = "0x14c3", const std::string &device = "0x7915");
  // A device on an MDIO bus of an Ethernet controller: the bus's class
  // device <controller>/mdio_bus/<bus> and <bus>:<addr as 2 hex digits>
  // below it on bus mdio_bus (a switch at address 0x1f: "mdio-bus:1f").
  Device mdio_device(const Device &controller, const std::string &bus, int addr, const std::string &driver);

  // Binds (or with "" unbinds) a driver: the "driver" link and its back link.
  void bind_driver(const Device &dev, const std::string &bus, const std::string &driver);

  // --- Block devices --------------------------------------------------------
  // <parent>/block/<name>, with "device" link (unless parent is empty: then
  // /devices/virtual/block/<name>), /class/block/<name> and /block/<name>.
  Device block_disk(const Device &parent, const std::string &name);
  // Partition n of disk: <disk>/<disk><n>, or <disk>/<disk>p<n> when the
  // disk name ends in a digit (mmcblk0p1); "partition" attribute, no "device"
  // link, /class/block/<name> only.
  Device partition(const Device &disk, int n);
  Device loop_device(int n) { return block_disk({}, "loop" + std::to_string(n)); }
  // Boot area n of an eMMC disk: a whole disk nested in the disk's folder,
  // <disk>/<disk>boot<n>, "device" link to the disk, no "partition".
  Device boot_area(const Device &disk, int n);

  // --- MMC / SD -------------------------------------------------------------
  // <controller>/mmc_host/mmc<index> (class mmc_host).
  Device mmc_host(const Device &controller, int index);
  // <host>/<host>:<rca> on bus mmc, driver mmcblk. Follow with
  // block_disk(card, "mmcblk<index>").
  Device mmc_card(const Device &host, const std::string &rca = "aaaa", const std::string &type = "SD");

  // --- USB ------------------------------------------------------------------
  // Root hub usb<busnum> below the host controller, with its hub interface
  // <busnum>-0:1.0.
  Device usb_host(const Device &controller, int busnum);
  // Device on a port of a hub (root hub or usb_hub): "1-2" below usb1,
  // "1-2.3" below 1-2. Attributes idVendor, idProduct, serial (optional),
  // busnum, devnum, devpath (port path "2.3"), bConfigurationValue, ...
  Device usb_device(const Device &hub, int port, const UsbIds &ids = {});
  // A hub on a port: usb_device with hub ids plus its interface :1.0 (hub).
  Device usb_hub(const Device &hub, int port);
  // Interface <dev>:<config>.<number>, bInterfaceNumber "%02x", bound to
  // driver when given.
  Device usb_interface(const Device &usbdev, int number, const std::string &driver = "",
                       const std::string &interface_class = "ff");
  // A usb-serial port below an interface: the port device <ifc>/<name> on bus
  // usb-serial (driver: driver, or else the interface's driver) and its tty
  // <ifc>/<name>/tty/<name>. Returns the tty; tty.parent().parent() is the
  // port, which the tty's "device" link names. port_number: the port's index
  // on its USB device (the second port of a two-port adapter is 1).
  Device usb_serial_port(const Device &interface, const std::string &name, const std::string &driver = "",
                         int port_number = 0);
  // SCSI disk behind a mass-storage interface:
  // <ifc>/host<h>/target<h>:0:0/<h>:0:0:<lun>/block/<name>. Returns the
  // disk; a slot of a card reader without a card has "size" 0.
  Device scsi_disk(const Device &interface, const std::string &name, int host = 0, int lun = 0);

  // --- USB gadget -----------------------------------------------------------
  // The gadget device below the device-side controller (<controller>/gadget
  // before 6.0, "gadget.0" on the gadget bus since) and the controller's
  // /class/udc entry, which links to a gadget with a driver ("gadget").
  // Its functions are net(gadget, "usb0") and, before 3.9, tty(gadget,
  // "ttyGS0"); since then virtual_tty("ttyGS0").
  Device usb_gadget(const Device &controller, const std::string &name = "gadget", const std::string &driver = "");

  // --- Attributes and raw access ---------------------------------------------
  // Writes value + "\n", mode 0644.
  void attr(const Device &dev, const std::string &name, std::string_view value);
  // Writes content exactly, with the given mode (0200: write-only).
  void raw_attr(const Device &dev, const std::string &name, std::string_view content, unsigned mode = 0644);
  void remove_attr(const Device &dev, const std::string &name);
  // A directory (and its parents) at devpath, nothing else.
  Device dir(const std::string &devpath);
  // A relative link at link_devpath that points at target_devpath.
  void link(const std::string &link_devpath, const std::string &target_devpath);
  // A link at link_devpath with exactly this target text.
  void raw_link(const std::string &link_devpath, const std::string &target);

  // Renames a network interface as the kernel does: its folder, its
  // /class/net link and its uevent's INTERFACE= take the new name.
  Device rename_net(const Device &dev, const std::string &name);

  // --- Removal --------------------------------------------------------------
  // Removes the device's directory with everything below it, and every link
  // anywhere in the tree that points into it (class, bus, block and driver
  // links), as the kernel does when a device goes.
  void unplug(const Device &dev);

  // Devpaths of the entries of /class/<cls> (the link paths, sorted).
  std::vector<std::string> class_entries(const std::string &cls) const;

 private:
  void lay_out_skeleton();
  void subsystem_link(const Device &dev, const std::string &kind, const std::string &name);
  std::string dev_numbers(const std::string &cls, const std::string &name);

  std::unique_ptr<TempDir> temp_;
  std::filesystem::path root_;
  int next_ifindex_ = 2;
  int next_devnum_ = 2;
};

// Unpacks a tar archive (any compression tar recognises) into dir, only the
// given members (e.g. "sys/devices") when there are any. False when tar fails.
bool unpack_tarball(const std::filesystem::path &tarball, const std::filesystem::path &dir,
                    const std::vector<std::string> &members = {});

}  // namespace board
