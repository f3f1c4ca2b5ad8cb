// SPDX-License-Identifier: MIT
#pragma once
// Whole simulated boards on a SysfsTree: the devices soldered to a board,
// the ports of its USB hubs and SD slots, and a catalogue of devices that can
// be plugged into those ports and unplugged again. Plugging and unplugging
// change the tree as the kernel does and return the uevents the kernel sends
// for it, in the kernel's order: parents before children on "add", children
// before parents on "remove". Every device of the subtree that belongs to a
// bus or class is announced (the USB device and its interfaces with
// SUBSYSTEM=usb, usb-serial ports, SCSI hosts, ...), not only the tty, net
// and block devices the daemon tracks; a device bound to a driver also
// "bind" after the devices below it were added and "unbind" before its own
// "remove", as kernels since 4.14 send them.
//
// A board is laid out as an old kernel (3.x, before 3.9) or as kernel 6.6
// does: on 6.6 UARTs hang below serial-base port devices, the gadget is
// "gadget.0" on the gadget bus, ttyGS0 has no parent, and the eMMC shows its
// two boot areas.
//
// Usage:
//   board::SysfsTree sys;
//   board::Board gw = board::Board::lay_out(sys, "gateway", board::Kernel::v6_6);
//   for (const board::Uevent &e : gw.plug("modem", "usb1")) send(e.datagram());
//   gw.plug("stick");              // on the first free USB port
//   gw.unplug("stick");
//   gw.switch_mode("modem", "net");  // re-enumerates with a network interface
//
// A Board refers to its tree and must not outlive it. Board::save and
// Board::load keep a board's wiring and what is plugged where in a small
// text file, so that the board simulator can work on one tree across
// invocations. Misuse (unknown board, device or port, a taken port, a broken
// state file) throws BoardError with a message meant for people.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/board/sysfs_tree.h"

namespace board {

class BoardError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One kernel uevent.
struct Uevent {
  std::string action;     // "add" or "remove"
  std::string devpath;    // below the sysfs root, beginning with "/"
  std::string subsystem;  // the name the device's "subsystem" link points to
  // The device's own variables, as its "uevent" file lists them (DEVTYPE=,
  // DRIVER=, MAJOR=, DEVNAME=, ...); the kernel puts them in every event.
  std::vector<std::string> env;
  unsigned long long seqnum = 0;

  // The message as the kernel sends it: "action@devpath", then ACTION=,
  // DEVPATH=, SUBSYSTEM=, the device's variables and SEQNUM=, each string
  // followed by a NUL byte.
  std::string datagram() const;
  bool operator==(const Uevent &) const = default;
};

// The uevents of every device in the subtree at top (top included) that has
// a "subsystem" link, in the kernel's order for action: "remove" children
// first, anything else parents first. A device's class devices (a SCSI
// host's scsi_host) come before its child devices on "add" and after them on
// "remove"; siblings in natural order (interface 1.2 before 1.10). Read the
// tree before it changes: for a removal, before the subtree goes.
std::vector<Uevent> subtree_uevents(const SysfsTree &tree, const Device &top, std::string_view action);

enum class Kernel { old, v6_6 };
const char *kernel_name(Kernel kernel);  // "old", "6.6"
std::optional<Kernel> parse_kernel(std::string_view name);

enum class PortKind { usb, sd };
const char *port_kind_name(PortKind kind);  // "usb", "sd"

// A place on the board where a catalogue device can be plugged.
struct Port {
  std::string name;   // "usb1", "sd0"
  PortKind kind = PortKind::usb;
  Device hub;         // the USB hub, or the SD host (its mmc_host device)
  int number = 0;     // the port number on the hub; for SD slots the host index
  std::string label;  // for people: "hub 1-1 port 2 (bus 1)"
  bool operator==(const Port &) const = default;
};

// A device that can be plugged in.
struct CatalogueEntry {
  std::string name;  // "modem", "stick", ...
  PortKind kind = PortKind::usb;
  std::string description;
  std::vector<std::string> modes;  // the first is the one plugged; none: one mode only
};
const std::vector<CatalogueEntry> &catalogue();

// A board that can be laid out.
struct BoardInfo {
  std::string name;  // "gateway", "mini"
  std::string description;
};
const std::vector<BoardInfo> &boards();
inline constexpr char kDefaultBoard[] = "gateway";

// Where the board simulator keeps the state of the board laid out in root:
// beside the root, "<root>.board", so the tree itself holds only what a
// kernel would show.
std::filesystem::path state_path(const std::filesystem::path &root);

class Board {
 public:
  // Lays the named board's own devices out in tree (which should be empty),
  // as the kernel lays them out, with nothing plugged.
  static Board lay_out(SysfsTree &tree, std::string_view name, Kernel kernel = Kernel::old);
  // A board laid out earlier in tree, as save() left it.
  static Board load(SysfsTree &tree, const std::filesystem::path &state_file);
  void save(const std::filesystem::path &state_file) const;

  const std::string &name() const { return name_; }
  Kernel kernel() const { return kernel_; }
  const std::vector<Port> &ports() const { return ports_; }
  const Port *find_port(std::string_view port) const;

  // Where a device is plugged (its port's name), or nullopt.
  std::optional<std::string> port_of(std::string_view device) const;
  // The device plugged on a port, or nullopt.
  std::optional<std::string> device_on(std::string_view port) const;
  // The top of a plugged device's subtree: the USB device or the SD card.
  std::optional<Device> top_of(std::string_view device) const;

  // Plugs a catalogue device on port (an empty port: the first free one of
  // its kind) in its first mode, or the one given, and returns the kernel's
  // "add" events. Kernel names (ttyUSB1, sdb, wwan0, ...) are the lowest free
  // ones, as the kernel picks them.
  std::vector<Uevent> plug(std::string_view device, std::string_view port = {}, std::string_view mode = {});
  // Unplugs a plugged device and returns the kernel's "remove" events.
  std::vector<Uevent> unplug(std::string_view device);
  // Switches a plugged device to another of its modes, as a modem does when
  // told to: it leaves the bus and comes back on the same port with other
  // interfaces. Returns the "remove" events, then the "add" events.
  std::vector<Uevent> switch_mode(std::string_view device, std::string_view mode);
  // The mode a plugged device is in ("" for one without modes), or nullopt.
  std::optional<std::string> mode_of(std::string_view device) const;
  // Plugs the devices plugged on other (their ports and modes) in the order
  // they were plugged there, without events: the same board after a reboot
  // into another kernel.
  void plug_as(const Board &other);

 private:
  struct Plugged {
    std::string device;
    std::string port;
    Device top;
    std::string mode;
  };

  Board(SysfsTree &tree, std::string name, Kernel kernel) : tree_(&tree), name_(std::move(name)), kernel_(kernel) {}
  const Port &choose_port(const CatalogueEntry &entry, std::string_view port) const;
  void number(std::vector<Uevent> &events);

  SysfsTree *tree_;
  std::string name_;
  Kernel kernel_ = Kernel::old;
  std::vector<Port> ports_;
  std::vector<Plugged> plugged_;
  unsigned long long last_seqnum_ = 0;
};

}  // namespace board
