// SPDX-License-Identifier: MIT
#include "tools/board/sysfs_tree.h"

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <system_error>

extern char **environ;

namespace fs = std::filesystem;

namespace board {

namespace {

std::string hex2(int n) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02x", n);
  return buf;
}

std::string dec3(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%03d", n);
  return buf;
}

// The run of digits at the end of a kernel name, as a number (0 if none).
int trailing_number(const std::string &name) {
  size_t start = name.size();
  while (start > 0 && std::isdigit(static_cast<unsigned char>(name[start - 1]))) --start;
  return start == name.size() ? 0 : std::stoi(name.substr(start));
}

bool ends_in_digit(const std::string &name) {
  return !name.empty() && std::isdigit(static_cast<unsigned char>(name.back()));
}

// Hex ids as uevent's PRODUCT= prints them: without leading zeros.
std::string hex_without_zeros(const std::string &hex) {
  size_t first = hex.find_first_not_of('0');
  return first == std::string::npos ? "0" : hex.substr(first);
}

void write_file(const fs::path &path, std::string_view content, unsigned mode) {
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path.string());
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
  fs::permissions(path, static_cast<fs::perms>(mode), fs::perm_options::replace);
}

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The target text the kernel writes for a link in link_dir to target: it
// climbs from link_dir until it reaches a proper ancestor of the target, one
// "../" a step, then names the rest of the target. So a class device's
// "device" link reads "../../../serial8250", never "../..": code that resolves
// links by counting "../" relies on that.
std::string kernel_link_target(const fs::path &link_dir, const fs::path &target) {
  std::vector<std::string> from, to;
  for (const auto &part : link_dir.relative_path()) from.push_back(part.string());
  for (const auto &part : target.relative_path()) to.push_back(part.string());
  size_t common = 0;
  while (common < from.size() && common + 1 < to.size() && from[common] == to[common]) ++common;
  std::string text;
  for (size_t i = common; i < from.size(); ++i) text += "../";
  for (size_t i = common; i < to.size(); ++i) text += (i == common ? "" : "/") + to[i];
  return text;
}

bool is_inside(const fs::path &path, const fs::path &dir) {
  auto [dir_end, path_it] = std::mismatch(dir.begin(), dir.end(), path.begin(), path.end());
  return dir_end == dir.end();
}

}  // namespace

// --- Device ------------------------------------------------------------------

std::string Device::kernel() const {
  size_t slash = devpath.rfind('/');
  return slash == std::string::npos ? devpath : devpath.substr(slash + 1);
}

Device Device::parent() const {
  size_t slash = devpath.rfind('/');
  if (slash == std::string::npos || slash == 0) return {};
  return {devpath.substr(0, slash)};
}

Device Device::child(std::string_view name) const { return {devpath + "/" + std::string(name)}; }

// --- TempDir -----------------------------------------------------------------

TempDir::TempDir(std::string_view prefix) {
  const char *tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + std::string(prefix) + "-XXXXXX";
  if (!mkdtemp(templ.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp " + templ);
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

// --- SysfsTree: construction ---------------------------------------------------

SysfsTree::SysfsTree() : temp_(std::make_unique<TempDir>("hwboard")), root_(temp_->path() / "sys") {
  lay_out_skeleton();
}

SysfsTree::SysfsTree(fs::path root) : root_(std::move(root)) { lay_out_skeleton(); }

SysfsTree::~SysfsTree() = default;
SysfsTree::SysfsTree(SysfsTree &&) noexcept = default;
SysfsTree &SysfsTree::operator=(SysfsTree &&) noexcept = default;

void SysfsTree::lay_out_skeleton() {
  for (const char *dir : {"devices/platform", "devices/virtual", "class", "bus/platform/devices",
                          "bus/platform/drivers", "block", "module"})
    fs::create_directories(root_ / dir);
}

fs::path SysfsTree::path_of(std::string_view devpath) const {
  std::string_view rel = devpath;
  while (rel.starts_with('/')) rel.remove_prefix(1);
  return root_ / rel;
}

// --- Raw access ----------------------------------------------------------------

void SysfsTree::attr(const Device &dev, const std::string &name, std::string_view value) {
  raw_attr(dev, name, std::string(value) + "\n");
}

void SysfsTree::raw_attr(const Device &dev, const std::string &name, std::string_view content, unsigned mode) {
  write_file(path_of(dev) / name, content, mode);
}

void SysfsTree::remove_attr(const Device &dev, const std::string &name) { fs::remove(path_of(dev) / name); }

Device SysfsTree::dir(const std::string &devpath) {
  fs::create_directories(path_of(devpath));
  return {devpath};
}

void SysfsTree::raw_link(const std::string &link_devpath, const std::string &target) {
  fs::path where = path_of(link_devpath);
  fs::create_directories(where.parent_path());
  fs::remove(where);
  fs::create_symlink(target, where);
}

void SysfsTree::link(const std::string &link_devpath, const std::string &target_devpath) {
  raw_link(link_devpath, kernel_link_target(fs::path(link_devpath).parent_path(), target_devpath));
}

void SysfsTree::subsystem_link(const Device &dev, const std::string &kind, const std::string &name) {
  std::string subsystem = "/" + kind + "/" + name;
  fs::create_directories(path_of(subsystem));
  if (kind == "bus") {
    fs::create_directories(path_of(subsystem + "/devices"));
    fs::create_directories(path_of(subsystem + "/drivers"));
  }
  link(dev.devpath + "/subsystem", subsystem);
}

// --- Generic devices -------------------------------------------------------------

Device SysfsTree::bus_device(const Device &parent, const std::string &bus, const std::string &name,
                             const std::string &driver) {
  Device dev{(parent.empty() ? std::string("/devices") : parent.devpath) + "/" + name};
  fs::create_directories(path_of(dev) / "power");
  subsystem_link(dev, "bus", bus);
  link("/bus/" + bus + "/devices/" + name, dev.devpath);
  bind_driver(dev, bus, driver);
  return dev;
}

void SysfsTree::bind_driver(const Device &dev, const std::string &bus, const std::string &driver) {
  fs::path driver_link = path_of(dev) / "driver";
  if (fs::is_symlink(driver_link)) {
    fs::path old_driver = (driver_link.parent_path() / fs::read_symlink(driver_link)).lexically_normal();
    fs::remove(old_driver / dev.kernel());
    fs::remove(driver_link);
  }
  if (driver.empty()) return;
  std::string driver_dir = "/bus/" + bus + "/drivers/" + driver;
  fs::create_directories(path_of(driver_dir));
  link(dev.devpath + "/driver", driver_dir);
  link(driver_dir + "/" + dev.kernel(), dev.devpath);
}

Device SysfsTree::class_device(const Device &parent, const std::string &cls, const std::string &name,
                               const std::string &subdir) {
  const std::string &dir_name = subdir.empty() ? cls : subdir;
  std::string base = parent.empty() ? std::string("/devices/virtual") : parent.devpath;
  Device dev{base + "/" + dir_name + "/" + name};
  fs::create_directories(path_of(dev) / "power");
  subsystem_link(dev, "class", cls);
  if (!parent.empty()) link(dev.devpath + "/device", parent.devpath);
  link("/class/" + cls + "/" + name, dev.devpath);
  return dev;
}

// Plausible major:minor numbers; nothing here reads them, but udev-like
// consumers and humans looking at the tree expect them.
std::string SysfsTree::dev_numbers(const std::string &cls, const std::string &name) {
  int n = trailing_number(name);
  auto numbers = [](int major, int minor) { return std::to_string(major) + ":" + std::to_string(minor); };
  if (cls == "tty") {
    if (name.starts_with("ttyS")) return numbers(4, 64 + n);
    if (name.starts_with("ttyUSB")) return numbers(188, n);
    if (name.starts_with("ttyACM")) return numbers(166, n);
    if (name.starts_with("ttyGS")) return numbers(244, n);
    if (name.starts_with("ttyAMA")) return numbers(204, 64 + n);
    if (name.starts_with("ttymxc")) return numbers(207, 16 + n);
    if (name.starts_with("tty")) return numbers(4, n);
    return numbers(5, n);
  }
  if (name.starts_with("sd") && name.size() >= 3) return numbers(8, 16 * (name[2] - 'a'));
  if (name.starts_with("mmcblk")) return numbers(179, 8 * n);
  if (name.starts_with("loop")) return numbers(7, n);
  return numbers(259, n);
}

// --- Platform bus and class devices ----------------------------------------------

Device SysfsTree::platform_device(const std::string &name, const std::string &driver, const Device &parent) {
  Device dev = bus_device(parent.empty() ? Device{"/devices/platform"} : parent, "platform", name, driver);
  std::string modalias = "platform:" + (driver.empty() ? name : driver);
  attr(dev, "modalias", modalias);
  attr(dev, "driver_override", "(null)");
  raw_attr(dev, "uevent", (driver.empty() ? "" : "DRIVER=" + driver + "\n") + "MODALIAS=" + modalias + "\n");
  return dev;
}

Device SysfsTree::amba_device(const std::string &name, const std::string &driver, const Device &parent) {
  Device dev = bus_device(parent, "amba", name, driver);
  attr(dev, "id", "00241011");
  raw_attr(dev, "uevent", (driver.empty() ? "" : "DRIVER=" + driver + "\n") + "AMBA_ID=00241011\n");
  return dev;
}

Device SysfsTree::pnp_device(const std::string &name, const std::string &driver, const std::string &id) {
  Device dev = bus_device(dir("/devices/pnp0"), "pnp", name, driver);
  attr(dev, "id", id);
  raw_attr(dev, "uevent", driver.empty() ? "" : "DRIVER=" + driver + "\n");
  return dev;
}

Device SysfsTree::pci_root(const Device &parent, const std::string &name) {
  return dir((parent.empty() ? std::string("/devices") : parent.devpath) + "/" + name);
}

Device SysfsTree::pci_function(const Device &parent, const std::string &name, const std::string &driver,
                               const std::string &vendor, const std::string &device) {
  Device dev = bus_device(parent, "pci", name, driver);
  attr(dev, "vendor", vendor);
  attr(dev, "device", device);
  attr(dev, "class", "0x028000");
  raw_attr(dev, "uevent",
           (driver.empty() ? "" : "DRIVER=" + driver + "\n") + "PCI_ID=" + vendor.substr(2) + ":" +
               device.substr(2) + "\nPCI_SLOT_NAME=" + name + "\n");
  return dev;
}

Device SysfsTree::mdio_device(const Device &controller, const std::string &bus, int addr, const std::string &driver) {
  const Device mii_bus = class_device(controller, "mdio_bus", bus);
  Device dev = bus_device(mii_bus, "mdio_bus", bus + ":" + hex2(addr), driver);
  raw_attr(dev, "uevent", (driver.empty() ? "" : "DRIVER=" + driver + "\n") + "MODALIAS=of:Nswitch\n");
  return dev;
}

Device SysfsTree::tty(const Device &parent, const std::string &name) {
  Device dev = class_device(parent, "tty", name);
  std::string numbers = dev_numbers("tty", name);
  attr(dev, "dev", numbers);
  size_t colon = numbers.find(':');
  raw_attr(dev, "uevent",
           "MAJOR=" + numbers.substr(0, colon) + "\nMINOR=" + numbers.substr(colon + 1) + "\nDEVNAME=" + name + "\n");
  return dev;
}

Device SysfsTree::serial_base_tty(const Device &uart, const std::string &name, int ctrl, int port) {
  std::string ctrl_name = uart.kernel() + ":" + std::to_string(ctrl);
  Device ctrl_dev = bus_device(uart, "serial-base", ctrl_name, "ctrl");
  Device port_dev = bus_device(ctrl_dev, "serial-base", ctrl_name + "." + std::to_string(port), "port");
  raw_attr(ctrl_dev, "uevent", "DEVTYPE=ctrl\nDRIVER=ctrl\n");
  raw_attr(port_dev, "uevent", "DEVTYPE=port\nDRIVER=port\n");
  return tty(port_dev, name);
}

void SysfsTree::uart_attrs(const Device &tty, int line, int type) {
  attr(tty, "line", std::to_string(line));
  attr(tty, "type", std::to_string(type));
  attr(tty, "port", "0x0");
  attr(tty, "irq", "0");
}

Device SysfsTree::net(const Device &parent, const std::string &name, std::optional<std::string> address,
                      std::optional<std::string> dev_id) {
  Device dev = class_device(parent, "net", name);
  int ifindex = next_ifindex_++;
  if (address) attr(dev, "address", *address);
  if (dev_id) attr(dev, "dev_id", *dev_id);
  attr(dev, "dev_port", "0");
  attr(dev, "ifindex", std::to_string(ifindex));
  attr(dev, "iflink", std::to_string(ifindex));
  attr(dev, "type", "1");
  attr(dev, "addr_len", "6");
  attr(dev, "mtu", "1500");
  attr(dev, "operstate", "down");
  fs::create_directories(path_of(dev) / "statistics");
  raw_attr(dev, "uevent", "INTERFACE=" + name + "\nIFINDEX=" + std::to_string(ifindex) + "\n");
  return dev;
}

Device SysfsTree::wlan(const Device &parent, const std::string &name, int name_assign_type, int type,
                       const std::string &phy) {
  const Device radio = class_device(parent, "ieee80211", phy);
  const Device dev = net(parent, name, "02:00:00:00:00:" + hex2(next_ifindex_));
  link(dev.devpath + "/phy80211", radio.devpath);
  fs::create_directories(path_of(dev) / "wireless");
  if (name_assign_type) attr(dev, "name_assign_type", std::to_string(name_assign_type));
  attr(dev, "type", std::to_string(type));
  std::string uevent = read_file(path_of(dev) / "uevent") + "\nDEVTYPE=wlan\n";
  raw_attr(dev, "uevent", uevent);
  return dev;
}

Device SysfsTree::dsa_port(const Device &sw, const std::string &name, int port, bool with_phys_port_name) {
  const Device dev = net(sw, name, "02:00:00:00:01:" + hex2(port));
  if (with_phys_port_name) attr(dev, "phys_port_name", "p" + std::to_string(port));
  char unit[16];
  std::snprintf(unit, sizeof unit, "%x", port);  // unit addresses are hexadecimal
  of_node(dev, "switch@" + sw.kernel() + "/ports/port@" + unit);
  raw_attr(dev, "uevent", read_file(path_of(dev) / "uevent") + "\nDEVTYPE=dsa\n");
  return dev;
}

void SysfsTree::of_node(const Device &dev, const std::string &node) {
  const std::string target = "/firmware/devicetree/base/" + node;
  fs::create_directories(path_of(target));
  link(dev.devpath + "/of_node", target);
}

// --- Block devices ---------------------------------------------------------------

Device SysfsTree::block_disk(const Device &parent, const std::string &name) {
  Device dev = class_device(parent, "block", name);
  link("/block/" + name, dev.devpath);
  std::string numbers = dev_numbers("block", name);
  size_t colon = numbers.find(':');
  attr(dev, "dev", numbers);
  attr(dev, "size", "7831552");
  attr(dev, "removable", "1");
  attr(dev, "ro", "0");
  attr(dev, "range", "16");
  attr(dev, "capability", "51");
  fs::create_directories(path_of(dev) / "queue");
  raw_attr(dev, "uevent",
           "MAJOR=" + numbers.substr(0, colon) + "\nMINOR=" + numbers.substr(colon + 1) + "\nDEVNAME=" + name +
               "\nDEVTYPE=disk\n");
  return dev;
}

Device SysfsTree::partition(const Device &disk, int n) {
  std::string disk_name = disk.kernel();
  std::string name = disk_name + (ends_in_digit(disk_name) ? "p" : "") + std::to_string(n);
  Device dev = disk.child(name);
  fs::create_directories(path_of(dev) / "power");
  subsystem_link(dev, "class", "block");
  link("/class/block/" + name, dev.devpath);

  std::string disk_numbers = read_file(path_of(disk) / "dev");
  size_t colon = disk_numbers.find(':');
  std::string major = disk_numbers.substr(0, colon);
  std::string minor = std::to_string(std::stoi(disk_numbers.substr(colon + 1)) + n);
  attr(dev, "dev", major + ":" + minor);
  attr(dev, "partition", std::to_string(n));
  attr(dev, "start", std::to_string(2048 * n));
  attr(dev, "size", "1048576");
  attr(dev, "ro", "0");
  raw_attr(dev, "uevent",
           "MAJOR=" + major + "\nMINOR=" + minor + "\nDEVNAME=" + name + "\nDEVTYPE=partition\nPARTN=" +
               std::to_string(n) + "\n");
  return dev;
}

Device SysfsTree::boot_area(const Device &disk, int n) {
  const std::string name = disk.kernel() + "boot" + std::to_string(n);
  Device dev = disk.child(name);
  fs::create_directories(path_of(dev) / "power");
  subsystem_link(dev, "class", "block");
  link(dev.devpath + "/device", disk.devpath);
  link("/class/block/" + name, dev.devpath);
  link("/block/" + name, dev.devpath);
  std::string disk_numbers = read_file(path_of(disk) / "dev");
  const std::string major = disk_numbers.substr(0, disk_numbers.find(':'));
  const std::string minor = std::to_string(256 + 8 * n);
  attr(dev, "dev", major + ":" + minor);
  attr(dev, "size", "8192");
  attr(dev, "ro", "1");
  attr(dev, "force_ro", "1");
  raw_attr(dev, "uevent", "MAJOR=" + major + "\nMINOR=" + minor + "\nDEVNAME=" + name + "\nDEVTYPE=disk\n");
  return dev;
}

// --- MMC -------------------------------------------------------------------------

Device SysfsTree::mmc_host(const Device &controller, int index) {
  Device host = class_device(controller, "mmc_host", "mmc" + std::to_string(index));
  raw_attr(host, "uevent", "");
  return host;
}

Device SysfsTree::mmc_card(const Device &host, const std::string &rca, const std::string &type) {
  std::string name = host.kernel() + ":" + rca;
  Device card = bus_device(host, "mmc", name, "mmcblk");
  attr(card, "type", type);
  attr(card, "name", "SD16G");
  attr(card, "serial", "0x12345678");
  attr(card, "manfid", "0x000003");
  attr(card, "oemid", "0x5344");
  attr(card, "date", "01/2020");
  raw_attr(card, "uevent", "DRIVER=mmcblk\nMMC_TYPE=" + type + "\nMMC_NAME=SD16G\nMODALIAS=mmc:block\n");
  return card;
}

// --- USB -------------------------------------------------------------------------

namespace {

// Bus number and port path of a device below hub: usb1 -> (1, ""),
// 1-2 -> (1, "2"), 1-2.3 -> (1, "2.3").
std::pair<int, std::string> usb_position(const std::string &hub_kernel) {
  if (hub_kernel.starts_with("usb")) return {std::stoi(hub_kernel.substr(3)), ""};
  size_t dash = hub_kernel.find('-');
  if (dash == std::string::npos) throw std::invalid_argument("not a USB hub: " + hub_kernel);
  return {std::stoi(hub_kernel.substr(0, dash)), hub_kernel.substr(dash + 1)};
}

}  // namespace

Device SysfsTree::usb_host(const Device &controller, int busnum) {
  Device root = bus_device(controller, "usb", "usb" + std::to_string(busnum), "usb");
  attr(root, "idVendor", "1d6b");
  attr(root, "idProduct", "0002");
  attr(root, "serial", controller.kernel());
  attr(root, "manufacturer", "Linux with ehci_hcd");
  attr(root, "product", "EHCI Host Controller");
  attr(root, "busnum", std::to_string(busnum));
  attr(root, "devnum", "1");
  attr(root, "devpath", "0");
  attr(root, "bConfigurationValue", "1");
  attr(root, "bDeviceClass", "09");
  attr(root, "bNumInterfaces", " 1");
  attr(root, "maxchild", "1");
  attr(root, "speed", "480");
  attr(root, "version", " 2.00");
  attr(root, "authorized", "1");
  raw_attr(root, "uevent",
           "MAJOR=189\nMINOR=" + std::to_string((busnum - 1) * 128) + "\nDEVNAME=bus/usb/" + dec3(busnum) +
               "/001\nDEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=1d6b/2/600\nTYPE=9/0/1\nBUSNUM=" + dec3(busnum) +
               "\nDEVNUM=001\n");
  usb_interface(root, 0, "hub", "09");
  return root;
}

Device SysfsTree::usb_device(const Device &hub, int port, const UsbIds &ids) {
  auto [busnum, hub_path] = usb_position(hub.kernel());
  std::string port_path = hub_path.empty() ? std::to_string(port) : hub_path + "." + std::to_string(port);
  std::string name = std::to_string(busnum) + "-" + port_path;
  int devnum = next_devnum_++;

  Device dev = bus_device(hub, "usb", name, "usb");
  attr(dev, "idVendor", ids.vendor);
  attr(dev, "idProduct", ids.product);
  if (ids.serial)
    attr(dev, "serial", *ids.serial);
  else
    remove_attr(dev, "serial");
  attr(dev, "manufacturer", ids.manufacturer);
  attr(dev, "product", ids.product_name);
  attr(dev, "busnum", std::to_string(busnum));
  attr(dev, "devnum", std::to_string(devnum));
  attr(dev, "devpath", port_path);
  attr(dev, "bConfigurationValue", std::to_string(ids.configuration));
  attr(dev, "bDeviceClass", ids.device_class);
  attr(dev, "bNumConfigurations", "1");
  attr(dev, "bNumInterfaces", " 1");
  attr(dev, "maxchild", ids.device_class == "09" ? "4" : "0");
  attr(dev, "speed", "480");
  attr(dev, "version", " 2.00");
  attr(dev, "authorized", "1");
  attr(dev, "dev", "189:" + std::to_string((busnum - 1) * 128 + devnum - 1));
  raw_attr(dev, "uevent",
           "MAJOR=189\nMINOR=" + std::to_string((busnum - 1) * 128 + devnum - 1) + "\nDEVNAME=bus/usb/" +
               dec3(busnum) + "/" + dec3(devnum) + "\nDEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=" +
               hex_without_zeros(ids.vendor) + "/" + hex_without_zeros(ids.product) + "/100\nTYPE=" +
               std::to_string(std::stoi(ids.device_class, nullptr, 16)) + "/0/0\nBUSNUM=" + dec3(busnum) +
               "\nDEVNUM=" + dec3(devnum) + "\n");
  return dev;
}

Device SysfsTree::usb_hub(const Device &hub, int port) {
  UsbIds ids;
  ids.vendor = "0424";
  ids.product = "2514";
  ids.manufacturer = "";
  ids.product_name = "USB 2.0 Hub";
  ids.device_class = "09";
  Device dev = usb_device(hub, port, ids);
  usb_interface(dev, 0, "hub", "09");
  return dev;
}

Device SysfsTree::usb_interface(const Device &usbdev, int number, const std::string &driver,
                                const std::string &interface_class) {
  // "<bus>-<port path>:<config>.<number>"; a root hub's port path is "0".
  std::string config = read_file(path_of(usbdev) / "bConfigurationValue");
  std::string name = read_file(path_of(usbdev) / "busnum") + "-" + read_file(path_of(usbdev) / "devpath") + ":" +
                     config + "." + std::to_string(number);
  Device ifc = bus_device(usbdev, "usb", name, driver);
  std::string vendor = read_file(path_of(usbdev) / "idVendor");
  std::string product = read_file(path_of(usbdev) / "idProduct");
  attr(ifc, "bInterfaceNumber", hex2(number));
  attr(ifc, "bAlternateSetting", " 0");
  attr(ifc, "bInterfaceClass", interface_class);
  attr(ifc, "bInterfaceSubClass", "00");
  attr(ifc, "bInterfaceProtocol", "00");
  attr(ifc, "bNumEndpoints", "02");
  std::string modalias = "usb:v" + vendor + "p" + product + "d0100dc00dsc00dp00ic" + interface_class +
                         "isc00ip00in" + hex2(number);
  attr(ifc, "modalias", modalias);
  raw_attr(ifc, "uevent",
           "DEVTYPE=usb_interface\n" + (driver.empty() ? "" : "DRIVER=" + driver + "\n") + "PRODUCT=" +
               hex_without_zeros(vendor) + "/" + hex_without_zeros(product) + "/100\nTYPE=0/0/0\nINTERFACE=" +
               std::to_string(std::stoi(interface_class, nullptr, 16)) + "/0/0\nMODALIAS=" + modalias + "\n");
  return ifc;
}

Device SysfsTree::usb_serial_port(const Device &interface, const std::string &name, const std::string &driver,
                                  int port_number) {
  std::string port_driver = driver;
  fs::path interface_driver = path_of(interface) / "driver";
  if (port_driver.empty() && fs::is_symlink(interface_driver))
    port_driver = fs::read_symlink(interface_driver).filename().string();
  Device port = bus_device(interface, "usb-serial", name, port_driver);
  attr(port, "port_number", std::to_string(port_number));
  raw_attr(port, "uevent", port_driver.empty() ? "" : "DRIVER=" + port_driver + "\n");
  return tty(port, name);
}

Device SysfsTree::scsi_disk(const Device &interface, const std::string &name, int host, int lun) {
  std::string h = std::to_string(host);
  Device host_dev = bus_device(interface, "scsi", "host" + h);
  raw_attr(host_dev, "uevent", "DEVTYPE=scsi_host\n");
  class_device(host_dev, "scsi_host", "host" + h);
  Device target = bus_device(host_dev, "scsi", "target" + h + ":0:0");
  raw_attr(target, "uevent", "DEVTYPE=scsi_target\n");
  Device unit = bus_device(target, "scsi", h + ":0:0:" + std::to_string(lun), "sd");
  attr(unit, "vendor", "Generic ");
  attr(unit, "model", "Flash Disk      ");
  attr(unit, "rev", "8.07");
  attr(unit, "type", "0");
  attr(unit, "state", "running");
  raw_attr(unit, "uevent", "DEVTYPE=scsi_device\nDRIVER=sd\nMODALIAS=scsi:t-0x00\n");
  return block_disk(unit, name);
}

// --- Gadget ----------------------------------------------------------------------

Device SysfsTree::usb_gadget(const Device &controller, const std::string &name, const std::string &driver) {
  Device gadget;
  if (driver.empty()) {
    // Kernels before the gadget bus registered the gadget as a bare device:
    // no subsystem, no driver link.
    gadget = dir(controller.devpath + "/" + name);
    fs::create_directories(path_of(gadget) / "power");
  } else {
    gadget = bus_device(controller, "gadget", name, driver);
  }
  raw_attr(gadget, "uevent", driver.empty() ? "" : "DRIVER=" + driver + "\n");
  Device udc = class_device(controller, "udc", controller.kernel());
  attr(udc, "state", "configured");
  if (!driver.empty()) link(udc.devpath + "/gadget", gadget.devpath);
  return gadget;
}

Device SysfsTree::rename_net(const Device &dev, const std::string &name) {
  const Device renamed = dev.parent().child(name);
  fs::rename(path_of(dev), path_of(renamed));
  fs::remove(path_of("/class/net/" + dev.kernel()));
  link("/class/net/" + name, renamed.devpath);
  std::string uevent = read_file(path_of(renamed) / "uevent") + "\n";
  uevent.replace(uevent.find("INTERFACE=" + dev.kernel() + "\n"), 11 + dev.kernel().size(), "INTERFACE=" + name + "\n");
  raw_attr(renamed, "uevent", uevent);
  return renamed;
}

// --- Removal ---------------------------------------------------------------------

void SysfsTree::unplug(const Device &dev) {
  if (dev.empty()) return;
  fs::path subtree = path_of(dev).lexically_normal();
  std::vector<fs::path> links_into;
  for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path &entry = it->path();
    if (it->is_directory() && !it->is_symlink() && entry == subtree) {
      it.disable_recursion_pending();  // goes with the subtree
      continue;
    }
    if (!it->is_symlink()) continue;
    fs::path target = (entry.parent_path() / fs::read_symlink(entry)).lexically_normal();
    if (is_inside(target, subtree)) links_into.push_back(entry);
  }
  for (const fs::path &link_path : links_into) fs::remove(link_path);
  fs::remove_all(subtree);
}

std::vector<std::string> SysfsTree::class_entries(const std::string &cls) const {
  std::vector<std::string> entries;
  fs::path dir = root_ / "class" / cls;
  if (!fs::exists(dir)) return entries;
  for (const auto &entry : fs::directory_iterator(dir))
    entries.push_back("/class/" + cls + "/" + entry.path().filename().string());
  std::sort(entries.begin(), entries.end());
  return entries;
}

// --- Archives --------------------------------------------------------------------

bool unpack_tarball(const fs::path &tarball, const fs::path &dir, const std::vector<std::string> &members) {
  fs::create_directories(dir);
  std::vector<std::string> args = {"tar", "-xf", tarball.string(), "-C", dir.string()};
  args.insert(args.end(), members.begin(), members.end());
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "tar", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace board
