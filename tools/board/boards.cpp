// SPDX-License-Identifier: MIT
#include "tools/board/boards.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace board {

namespace {

std::string read_text(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// "1-1.1:1.2" before "1-1.1:1.10": the kernel creates interfaces, ports and
// partitions in numeric order, and announces them so.
bool natural_less(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
    const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
    if (da && db) {
      size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
      std::string_view na = a.substr(i, ie - i), nb = b.substr(j, je - j);
      while (na.size() > 1 && na.front() == '0') na.remove_prefix(1);
      while (nb.size() > 1 && nb.front() == '0') nb.remove_prefix(1);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ie;
      j = je;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

// --- Kernel names --------------------------------------------------------------

// Entry names of /class/<cls>.
std::set<std::string> class_names(const SysfsTree &tree, const std::string &cls) {
  std::set<std::string> names;
  const fs::path dir = tree.root() / "class" / cls;
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) names.insert(entry.path().filename().string());
  return names;
}

// prefix + the lowest number not taken in /class/<cls>: ttyUSB, wwan, eth
// and scsi host numbers are handed out so.
std::string lowest_free(const SysfsTree &tree, const std::string &cls, const std::string &prefix) {
  const std::set<std::string> taken = class_names(tree, cls);
  for (int n = 0;; ++n)
    if (!taken.contains(prefix + std::to_string(n))) return prefix + std::to_string(n);
}

int lowest_free_number(const SysfsTree &tree, const std::string &cls, const std::string &prefix) {
  return std::stoi(lowest_free(tree, cls, prefix).substr(prefix.size()));
}

// The first free SCSI disk name: sda, sdb, ...
std::string free_disk_name(const SysfsTree &tree) {
  const std::set<std::string> taken = class_names(tree, "block");
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    std::string name = std::string("sd") + letter;
    if (!taken.contains(name)) return name;
  }
  throw BoardError("no free SCSI disk name left");
}

// --- Ports ---------------------------------------------------------------------

std::string usb_port_label(const Device &hub, int port) {
  const std::string kernel = hub.kernel();
  const bool root_hub = kernel.starts_with("usb");
  const std::string bus = root_hub ? kernel.substr(3) : kernel.substr(0, kernel.find('-'));
  return (root_hub ? "root hub " : "hub ") + kernel + " port " + std::to_string(port) + " (bus " + bus + ")";
}

// Ports "usb<first>".. on ports 1..count of hub.
void add_usb_ports(std::vector<Port> &ports, const Device &hub, int first, int count) {
  for (int port = 1; port <= count; ++port)
    ports.push_back({"usb" + std::to_string(first + port - 1), PortKind::usb, hub, port, usb_port_label(hub, port)});
}

void add_sd_slot(std::vector<Port> &ports, const Device &mmc_host, int index) {
  const std::string controller = mmc_host.parent().parent().kernel();
  ports.push_back({"sd" + std::to_string(index), PortKind::sd, mmc_host, index,
                   "SD slot of " + controller + " (" + mmc_host.kernel() + ")"});
}

// --- Boards --------------------------------------------------------------------

void lay_out_virtual_devices(SysfsTree &t) {
  // Consoles and the pty master: ttys without a "device" link.
  for (const char *name : {"console", "ptmx", "tty", "tty0", "tty1"}) t.virtual_tty(name);
  t.net({}, "lo", "00:00:00:00:00:00");
  t.loop_device(0);
  t.loop_device(1);
}

// A UART's tty: on 6.5 and later below the serial core's serial-base
// controller and port devices; with the serial core's "line" (its index in
// the driver) and "type" (the UART's, or 0 for a port without one).
Device uart_tty(SysfsTree &t, Kernel kernel, const Device &uart, const std::string &name, int line, int type,
                int port = 0) {
  const Device tty = kernel == Kernel::v6_6 ? t.serial_base_tty(uart, name, 0, port) : t.tty(uart, name);
  t.uart_attrs(tty, line, type);
  return tty;
}

constexpr int kPortImx = 20;  // PORT_IMX of the serial core

// An SoC router with everything the daemon tells apart: each of the SoC's
// USB controllers is a platform device with the chipidea core as a platform
// child, so the gadget's controller sits two platform levels above it.
std::vector<Port> lay_out_gateway(SysfsTree &t, Kernel kernel) {
  const Device soc = t.platform_device("soc");
  auto usb_core = [&](const std::string &glue, int n) {
    return t.platform_device("ci_hdrc." + std::to_string(n), "ci_hdrc", t.platform_device(glue, "imx_usb", soc));
  };

  // One platform device per UART; ttymxc0 is the console.
  uart_tty(t, kernel, t.platform_device("2020000.serial", "imx-uart", soc), "ttymxc0", 0, kPortImx);
  uart_tty(t, kernel, t.platform_device("21e8000.serial", "imx-uart", soc), "ttymxc1", 1, kPortImx);

  // A two-port Ethernet controller: the ports share the platform device and
  // are told apart by dev_id.
  const Device ethernet = t.platform_device("2188000.ethernet", "fec", soc);
  t.net(ethernet, "eth0", "02:1a:11:00:00:01", "0x0");
  t.net(ethernet, "eth1", "02:1a:11:00:00:02", "0x1");

  // The USB device-side controller with a serial and a network function:
  // before 3.9 both below a bare "gadget" device; on 6.6 the gadget is
  // "gadget.0" on the gadget bus and ttyGS0 has no parent.
  const Device udc = usb_core("2184000.usb", 0);
  if (kernel == Kernel::v6_6) {
    t.net(t.usb_gadget(udc, "gadget.0", "g_multi"), "usb0", "d6:3a:5e:01:02:03");
    t.virtual_tty("ttyGS0");
  } else {
    const Device gadget = t.usb_gadget(udc);
    t.tty(gadget, "ttyGS0");
    t.net(gadget, "usb0", "d6:3a:5e:01:02:03");
  }

  // Bus 1: a four-port hub on the root hub's only port.
  const Device hub1 = t.usb_hub(t.usb_host(usb_core("2184200.usb", 1), 1), 1);

  // Bus 2 is wired inside the board: a USB Ethernet chip the daemon leaves to
  // the board's own configuration.
  const Device bus2 = t.usb_host(usb_core("2184400.usb", 2), 2);
  const Device lan = t.usb_device(bus2, 1, {.vendor = "0424", .product = "ec00", .serial = "00000001",
                                            .manufacturer = "", .product_name = "LAN Controller",
                                            .device_class = "ff"});
  t.net(t.usb_interface(lan, 0, "smsc95xx"), "eth2", "02:1a:11:00:00:03");

  // Bus 3: another four-port hub.
  const Device hub3 = t.usb_hub(t.usb_host(usb_core("2184600.usb", 3), 3), 1);

  // Two SD slots, empty.
  const Device sd0 = t.mmc_host(t.platform_device("2190000.mmc", "sdhci-esdhc-imx", soc), 0);
  const Device sd1 = t.mmc_host(t.platform_device("2194000.mmc", "sdhci-esdhc-imx", soc), 1);

  // An eMMC with two partitions; 6.6 shows its boot areas as disks too.
  const Device emmc_host = t.mmc_host(t.platform_device("2198000.mmc", "sdhci-esdhc-imx", soc), 2);
  const Device emmc = t.block_disk(t.mmc_card(emmc_host, "0001", "MMC"), "mmcblk2");
  t.partition(emmc, 1);
  t.partition(emmc, 2);
  if (kernel == Kernel::v6_6) {
    t.boot_area(emmc, 0);
    t.boot_area(emmc, 1);
  }

  // An on-board SATA disk used whole, without a partition table.
  const Device sata = t.platform_device("2200000.sata", "ahci-imx", soc);
  t.scsi_disk(t.dir(sata.devpath + "/ata1"), "sda", lowest_free_number(t, "scsi_host", "host"));

  lay_out_virtual_devices(t);

  std::vector<Port> ports;
  add_usb_ports(ports, hub1, 1, 4);
  add_usb_ports(ports, hub3, 5, 4);
  add_sd_slot(ports, sd0, 0);
  add_sd_slot(ports, sd1, 1);
  return ports;
}

// A small router: two legacy UARTs on one platform device (told apart by
// the port's index within it) and the 8250 driver's two placeholders of its
// nr_uarts 4, one Ethernet port, two USB ports straight on the root hub.
std::vector<Port> lay_out_mini(SysfsTree &t, Kernel kernel) {
  const Device uarts = t.platform_device("serial8250", "serial8250");
  for (int line = 0; line < 4; ++line)
    uart_tty(t, kernel, uarts, "ttyS" + std::to_string(line), line,
             line < 2 ? SysfsTree::kPort16550A : SysfsTree::kPortUnknown, line);
  t.net(t.platform_device("19000000.ethernet", "ag71xx"), "eth0", "02:1a:22:00:00:01", "0x0");
  const Device root_hub = t.usb_host(t.platform_device("1b000000.usb", "ehci-platform"), 1);
  t.attr(root_hub, "maxchild", "2");
  lay_out_virtual_devices(t);

  std::vector<Port> ports;
  add_usb_ports(ports, root_hub, 1, 2);
  return ports;
}

struct BoardDef {
  BoardInfo info;
  std::vector<Port> (*lay_out)(SysfsTree &, Kernel);
};

const std::vector<BoardDef> &board_defs() {
  static const std::vector<BoardDef> defs = {
      {{"gateway",
        "SoC router: two UARTs, a two-port Ethernet controller, a USB gadget (serial and network), "
        "USB ports usb1-usb4 (hub on bus 1) and usb5-usb8 (hub on bus 3), an Ethernet chip on the "
        "internal bus 2, SD slots sd0 and sd1, an eMMC with two partitions, a whole SATA disk, "
        "virtual ttys, lo and loop devices"},
       lay_out_gateway},
      {{"mini",
        "small router: two legacy UARTs of one platform device and two placeholder ports, one "
        "Ethernet port, USB ports usb1 and usb2 on the root hub, virtual ttys, lo and loop devices"},
       lay_out_mini},
  };
  return defs;
}

// --- The catalogue ---------------------------------------------------------------

Device usb_serial_adapter(SysfsTree &t, const Port &p, const UsbIds &ids, const std::string &driver,
                          const std::string &port_driver) {
  const Device dev = t.usb_device(p.hub, p.number, ids);
  t.usb_serial_port(t.usb_interface(dev, 0, driver), lowest_free(t, "tty", "ttyUSB"), port_driver);
  return dev;
}

// Serial mode: three usb-serial ports (modem data, AT commands, GNSS) and a
// network interface on interfaces 0 to 3. Network mode: the data port's
// interface 0 is an Ethernet (ECM) interface instead.
Device plug_modem(SysfsTree &t, const Port &p, std::string_view mode) {
  const Device dev = t.usb_device(p.hub, p.number,
                                  {.vendor = "2c7c", .product = "0125", .serial = std::nullopt,
                                   .manufacturer = "Acme", .product_name = "LTE Module"});
  t.attr(dev, "bNumInterfaces", " 4");
  for (int n = 0; n < 3; ++n) {
    if (n == 0 && mode == "net")
      t.net(t.usb_interface(dev, 0, "cdc_ether", "02"), lowest_free(t, "net", "eth"), "02:50:f3:00:00:01");
    else
      t.usb_serial_port(t.usb_interface(dev, n, "option"), lowest_free(t, "tty", "ttyUSB"), "option1");
  }
  t.net(t.usb_interface(dev, 3, "qmi_wwan"), lowest_free(t, "net", "wwan"), "02:50:f3:00:00:00");
  return dev;
}

Device plug_stick(SysfsTree &t, const Port &p, std::string_view) {
  const Device dev = t.usb_device(p.hub, p.number,
                                  {.vendor = "0781", .product = "5567", .serial = "4C530001090312109353",
                                   .manufacturer = "Acme", .product_name = "Flash Drive"});
  const Device storage = t.usb_interface(dev, 0, "usb-storage", "08");
  const Device disk = t.scsi_disk(storage, free_disk_name(t), lowest_free_number(t, "scsi_host", "host"));
  t.partition(disk, 1);
  t.partition(disk, 2);
  return dev;
}

Device plug_ftdi(SysfsTree &t, const Port &p, std::string_view) {
  return usb_serial_adapter(t, p,
                            {.vendor = "0403", .product = "6001", .serial = "FT5XK3C1", .manufacturer = "Acme",
                             .product_name = "USB Serial"},
                            "ftdi_sio", "ftdi_sio");
}

// Cheap adapters report no serial number: two of them share one identity.
Device plug_twin(SysfsTree &t, const Port &p, std::string_view) {
  return usb_serial_adapter(t, p,
                            {.vendor = "1a86", .product = "7523", .serial = std::nullopt, .manufacturer = "",
                             .product_name = "USB Serial"},
                            "ch341", "ch341-uart");
}

Device plug_usbnet(SysfsTree &t, const Port &p, std::string_view) {
  const Device dev = t.usb_device(p.hub, p.number,
                                  {.vendor = "0b95", .product = "772b", .serial = std::nullopt,
                                   .manufacturer = "Acme", .product_name = "USB Ethernet"});
  t.net(t.usb_interface(dev, 0, "asix"), lowest_free(t, "net", "eth"), "02:0e:c6:a1:b2:c3");
  return dev;
}

// A CDC ACM device: its tty hangs straight from the USB interface, without a
// usb-serial port in between.
Device plug_acm(SysfsTree &t, const Port &p, std::string_view) {
  const Device dev = t.usb_device(p.hub, p.number,
                                  {.vendor = "1546", .product = "01a8", .serial = std::nullopt,
                                   .manufacturer = "Acme", .product_name = "GNSS receiver",
                                   .device_class = "02"});
  t.attr(dev, "bNumInterfaces", " 2");
  t.tty(t.usb_interface(dev, 0, "cdc_acm", "02"), lowest_free(t, "tty", "ttyACM"));
  t.usb_interface(dev, 1, "cdc_acm", "0a");
  return dev;
}

// The block device of a card is named after its host: mmcblk<host index>.
Device sd_card(SysfsTree &t, const Port &p, int partitions) {
  const Device card = t.mmc_card(p.hub);
  const Device disk = t.block_disk(card, "mmcblk" + std::to_string(p.number));
  for (int n = 1; n <= partitions; ++n) t.partition(disk, n);
  return card;
}

Device plug_sdcard(SysfsTree &t, const Port &p, std::string_view) { return sd_card(t, p, 2); }
Device plug_sdcard_raw(SysfsTree &t, const Port &p, std::string_view) { return sd_card(t, p, 0); }

struct PluggableDef {
  CatalogueEntry entry;
  Device (*plug)(SysfsTree &, const Port &, std::string_view mode);
};

const std::vector<PluggableDef> &pluggable_defs() {
  static const std::vector<PluggableDef> defs = {
      {{"modem", PortKind::usb,
        "cellular modem 2c7c:0125: three usb-serial ports and a wwan interface; in mode net an "
        "Ethernet interface in place of the first serial port",
        {"serial", "net"}},
       plug_modem},
      {{"stick", PortKind::usb, "USB stick 0781:5567 with a serial number and two partitions", {}}, plug_stick},
      {{"ftdi", PortKind::usb, "USB serial adapter 0403:6001 with a serial number", {}}, plug_ftdi},
      {{"twin-a", PortKind::usb, "USB serial adapter 1a86:7523 without a serial number", {}}, plug_twin},
      {{"twin-b", PortKind::usb, "a second adapter identical to twin-a", {}}, plug_twin},
      {{"usbnet", PortKind::usb, "USB Ethernet adapter 0b95:772b with a MAC address", {}}, plug_usbnet},
      {{"acm", PortKind::usb, "CDC ACM receiver 1546:01a8: its tty hangs from the USB interface (refused)", {}},
       plug_acm},
      {{"sdcard", PortKind::sd, "SD card with a partition table (two partitions)", {}}, plug_sdcard},
      {{"sdcard-raw", PortKind::sd, "SD card without a partition table, used whole", {}}, plug_sdcard_raw},
  };
  return defs;
}

const PluggableDef &find_pluggable(std::string_view device) {
  for (const PluggableDef &def : pluggable_defs())
    if (def.entry.name == device) return def;
  throw BoardError("unknown device '" + std::string(device) + "'");
}

// --- Events ---------------------------------------------------------------------

std::optional<Uevent> uevent_of(const SysfsTree &tree, const std::string &devpath, std::string_view action) {
  const fs::path dir = tree.path_of(devpath);
  std::error_code ec;
  const fs::path subsystem = fs::read_symlink(dir / "subsystem", ec);
  if (ec) return std::nullopt;
  Uevent event{std::string(action), devpath, subsystem.filename().string(), {}, 0};
  std::istringstream lines(read_text(dir / "uevent"));
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) event.env.push_back(line);
  return event;
}

bool has_subsystem(const SysfsTree &tree, const std::string &devpath) {
  return fs::is_symlink(tree.path_of(devpath) / "subsystem");
}

// Children of a device come in two sorts: devices of their own (interfaces,
// usb-serial ports, SCSI targets, partitions) and class folders ("tty",
// "net", "block", "scsi_host") that hold the class devices registered for
// it. The kernel registers a device's class devices before it scans for
// children (a SCSI host's scsi_host device before its targets) and takes
// them down after the children are gone, so on "add" the class folders come
// first and on "remove" last; each sort in natural order, as the kernel
// walks interfaces, ports and partitions.
// With binding, a device bound to a driver is also announced "bind" once
// the devices its driver's probe registered are added, and "unbind" once
// they are removed, right before its own "remove", as kernels since 4.14 do
// on every plug and unplug.
void collect_uevents(const SysfsTree &tree, const std::string &devpath, std::string_view action, bool removal,
                     bool binding, std::vector<Uevent> &out) {
  const std::optional<Uevent> self = uevent_of(tree, devpath, action);
  if (self && !removal) out.push_back(*self);

  std::vector<std::string> devices, folders;
  for (const auto &entry : fs::directory_iterator(tree.path_of(devpath))) {
    if (entry.is_symlink() || !entry.is_directory()) continue;
    const std::string name = entry.path().filename().string();
    (has_subsystem(tree, devpath + "/" + name) ? devices : folders).push_back(name);
  }
  std::sort(devices.begin(), devices.end(), natural_less);
  std::sort(folders.begin(), folders.end(), natural_less);
  const std::vector<std::string> &first = removal ? devices : folders;
  const std::vector<std::string> &second = removal ? folders : devices;
  for (const std::string &child : first) collect_uevents(tree, devpath + "/" + child, action, removal, binding, out);
  for (const std::string &child : second) collect_uevents(tree, devpath + "/" + child, action, removal, binding, out);

  if (self && binding && fs::is_symlink(tree.path_of(devpath) / "driver"))
    out.push_back(*uevent_of(tree, devpath, removal ? "unbind" : "bind"));
  if (self && removal) out.push_back(*self);
}

// --- State file -------------------------------------------------------------------

std::optional<PortKind> parse_port_kind(std::string_view text) {
  if (text == "usb") return PortKind::usb;
  if (text == "sd") return PortKind::sd;
  return std::nullopt;
}

}  // namespace

// --- Public ------------------------------------------------------------------------

std::string Uevent::datagram() const {
  std::string out;
  auto add = [&out](std::string_view text) {
    out.append(text);
    out.push_back('\0');
  };
  add(action + "@" + devpath);
  add("ACTION=" + action);
  add("DEVPATH=" + devpath);
  add("SUBSYSTEM=" + subsystem);
  for (const std::string &var : env) add(var);
  add("SEQNUM=" + std::to_string(seqnum));
  return out;
}

std::vector<Uevent> subtree_uevents(const SysfsTree &tree, const Device &top, std::string_view action) {
  std::vector<Uevent> events;
  if (!fs::is_directory(tree.path_of(top))) return events;
  collect_uevents(tree, top.devpath, action, action == "remove", false, events);
  return events;
}

namespace {

// A plug's or an unplug's events with the driver's "bind" or "unbind" of
// each device bound to one.
std::vector<Uevent> plug_uevents(const SysfsTree &tree, const Device &top, bool removal) {
  std::vector<Uevent> events;
  collect_uevents(tree, top.devpath, removal ? "remove" : "add", removal, true, events);
  return events;
}

}  // namespace

const char *port_kind_name(PortKind kind) { return kind == PortKind::sd ? "sd" : "usb"; }

const char *kernel_name(Kernel kernel) { return kernel == Kernel::v6_6 ? "6.6" : "old"; }

std::optional<Kernel> parse_kernel(std::string_view name) {
  if (name == "old") return Kernel::old;
  if (name == "6.6") return Kernel::v6_6;
  return std::nullopt;
}

const std::vector<CatalogueEntry> &catalogue() {
  static const std::vector<CatalogueEntry> entries = [] {
    std::vector<CatalogueEntry> out;
    for (const PluggableDef &def : pluggable_defs()) out.push_back(def.entry);
    return out;
  }();
  return entries;
}

const std::vector<BoardInfo> &boards() {
  static const std::vector<BoardInfo> infos = [] {
    std::vector<BoardInfo> out;
    for (const BoardDef &def : board_defs()) out.push_back(def.info);
    return out;
  }();
  return infos;
}

fs::path state_path(const fs::path &root) {
  fs::path normal = root.lexically_normal();
  if (!normal.has_filename()) normal = normal.parent_path();  // "sys/" -> "sys"
  return normal.parent_path() / (normal.filename().string() + ".board");
}

Board Board::lay_out(SysfsTree &tree, std::string_view name, Kernel kernel) {
  for (const BoardDef &def : board_defs()) {
    if (def.info.name != name) continue;
    Board board(tree, def.info.name, kernel);
    board.ports_ = def.lay_out(tree, kernel);
    return board;
  }
  throw BoardError("unknown board '" + std::string(name) + "'");
}

const Port *Board::find_port(std::string_view port) const {
  for (const Port &p : ports_)
    if (p.name == port) return &p;
  return nullptr;
}

std::optional<std::string> Board::port_of(std::string_view device) const {
  for (const Plugged &p : plugged_)
    if (p.device == device) return p.port;
  return std::nullopt;
}

std::optional<std::string> Board::device_on(std::string_view port) const {
  for (const Plugged &p : plugged_)
    if (p.port == port) return p.device;
  return std::nullopt;
}

std::optional<Device> Board::top_of(std::string_view device) const {
  for (const Plugged &p : plugged_)
    if (p.device == device) return p.top;
  return std::nullopt;
}

const Port &Board::choose_port(const CatalogueEntry &entry, std::string_view port) const {
  const char *kind = port_kind_name(entry.kind);
  if (port.empty()) {
    for (const Port &p : ports_)
      if (p.kind == entry.kind && !device_on(p.name)) return p;
    throw BoardError("no free " + std::string(kind) + " port on board " + name_ + " for " + entry.name);
  }
  const Port *p = find_port(port);
  if (!p) throw BoardError("board " + name_ + " has no port '" + std::string(port) + "'");
  if (p->kind != entry.kind)
    throw BoardError(entry.name + " needs a " + kind + " port; " + p->name + " is a " + port_kind_name(p->kind) +
                     " port");
  if (const auto taken = device_on(p->name)) throw BoardError("port " + p->name + " is taken by " + *taken);
  return *p;
}

void Board::number(std::vector<Uevent> &events) {
  for (Uevent &event : events) event.seqnum = ++last_seqnum_;
}

namespace {

std::string chosen_mode(const CatalogueEntry &entry, std::string_view mode) {
  if (entry.modes.empty() && mode.empty()) return "";
  if (mode.empty()) return entry.modes.front();
  if (std::find(entry.modes.begin(), entry.modes.end(), mode) == entry.modes.end())
    throw BoardError(entry.name + " has no mode '" + std::string(mode) + "'");
  return std::string(mode);
}

}  // namespace

std::vector<Uevent> Board::plug(std::string_view device, std::string_view port, std::string_view mode) {
  const PluggableDef &def = find_pluggable(device);
  if (const auto where = port_of(device)) throw BoardError(def.entry.name + " is already plugged on " + *where);
  const std::string chosen = chosen_mode(def.entry, mode);
  const Port &p = choose_port(def.entry, port);
  const Device top = def.plug(*tree_, p, chosen);
  plugged_.push_back({def.entry.name, p.name, top, chosen});
  std::vector<Uevent> events = plug_uevents(*tree_, top, false);
  number(events);
  return events;
}

std::vector<Uevent> Board::unplug(std::string_view device) {
  const PluggableDef &def = find_pluggable(device);
  const auto it = std::find_if(plugged_.begin(), plugged_.end(), [&](const Plugged &p) { return p.device == device; });
  if (it == plugged_.end()) throw BoardError(def.entry.name + " is not plugged");
  std::vector<Uevent> events = plug_uevents(*tree_, it->top, true);
  tree_->unplug(it->top);
  plugged_.erase(it);
  number(events);
  return events;
}

std::vector<Uevent> Board::switch_mode(std::string_view device, std::string_view mode) {
  const PluggableDef &def = find_pluggable(device);
  const auto current = mode_of(device);
  if (!current) throw BoardError(def.entry.name + " is not plugged");
  if (mode.empty() || chosen_mode(def.entry, mode) == *current)
    throw BoardError(def.entry.name + " is in mode '" + *current + "' already");
  const std::string port = *port_of(device);
  std::vector<Uevent> events = unplug(device);
  for (Uevent &e : plug(device, port, mode)) events.push_back(std::move(e));
  return events;
}

std::optional<std::string> Board::mode_of(std::string_view device) const {
  for (const Plugged &p : plugged_)
    if (p.device == device) return p.mode;
  return std::nullopt;
}

void Board::plug_as(const Board &other) {
  for (const Plugged &p : other.plugged_) plug(p.device, p.port, p.mode);
}

// One line per fact, words separated by spaces; a port's label, which has
// spaces of its own, comes last.
void Board::save(const fs::path &state_file) const {
  std::ostringstream out;
  out << "# board simulator state of " << tree_->root().string() << "\n";
  out << "board " << name_ << "\n";
  out << "kernel " << kernel_name(kernel_) << "\n";
  out << "seqnum " << last_seqnum_ << "\n";
  for (const Port &p : ports_)
    out << "port " << p.name << " " << port_kind_name(p.kind) << " " << p.hub.devpath << " " << p.number << " "
        << p.label << "\n";
  for (const Plugged &p : plugged_)
    out << "plugged " << p.device << " " << p.port << " " << p.top.devpath << (p.mode.empty() ? "" : " ") << p.mode
        << "\n";

  // Written aside and renamed, so an interrupted save leaves the old state.
  const fs::path temp = state_file.string() + ".new";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    file << out.str();
    file.flush();
    if (!file) throw BoardError("cannot write " + temp.string());
  }
  fs::rename(temp, state_file);
}

Board Board::load(SysfsTree &tree, const fs::path &state_file) {
  std::ifstream in(state_file);
  if (!in) throw BoardError("no board laid out in " + tree.root().string() + " (" + state_file.string() + " missing)");
  std::optional<Board> board;
  int line_number = 0;
  auto broken = [&](const std::string &why) {
    return BoardError(state_file.string() + ":" + std::to_string(line_number) + ": " + why);
  };
  for (std::string line; std::getline(in, line);) {
    ++line_number;
    if (line.empty() || line.starts_with('#')) continue;
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "board") {
      std::string name;
      words >> name;
      if (name.empty()) throw broken("board without a name");
      board.emplace(Board(tree, name, Kernel::old));
      continue;
    }
    if (!board) throw broken("'" + key + "' before the board line");
    if (key == "kernel") {
      std::string name;
      words >> name;
      const auto kernel = parse_kernel(name);
      if (!kernel) throw broken("unknown kernel '" + name + "'");
      board->kernel_ = *kernel;
    } else if (key == "seqnum") {
      if (!(words >> board->last_seqnum_)) throw broken("bad seqnum");
    } else if (key == "port") {
      Port p;
      std::string kind;
      if (!(words >> p.name >> kind >> p.hub.devpath >> p.number)) throw broken("bad port line");
      const auto parsed = parse_port_kind(kind);
      if (!parsed) throw broken("unknown port kind '" + kind + "'");
      p.kind = *parsed;
      std::getline(words >> std::ws, p.label);
      board->ports_.push_back(p);
    } else if (key == "plugged") {
      Plugged p;
      if (!(words >> p.device >> p.port >> p.top.devpath)) throw broken("bad plugged line");
      words >> p.mode;
      if (!board->find_port(p.port)) throw broken("no port '" + p.port + "'");
      board->plugged_.push_back(p);
    } else {
      throw broken("unknown line '" + key + "'");
    }
  }
  if (!board) throw BoardError(state_file.string() + ": no board line");
  return std::move(*board);
}

}  // namespace board
