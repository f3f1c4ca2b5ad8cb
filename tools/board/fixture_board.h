// SPDX-License-Identifier: MIT
#pragma once
// Fixture boards: sysfs trees of real boards, written down from what their
// owners published (`udevadm info -a` walks, `ls -l /sys/class/...`
// listings), with the class table the daemon should build on them.
//
// A .board file is plain text, one statement a line; "#" starts a comment.
// The comment lines at the top are the board's notes: they name the sources
// ("# source: ...") and the kernel ("# kernel: ..."). Then, in any order:
//
//   looking at device '/devices/platform/soc/fe201000.serial/tty/ttyAMA0':
//     SUBSYSTEM=="tty"
//   looking at parent device '/devices/platform/soc/fe201000.serial':
//     SUBSYSTEMS=="amba"
//     DRIVERS=="uart-pl011"
//     ATTRS{id}=="00241011"
//     LINK{of_node}=="/firmware/devicetree/base/soc/serial@7e201000"
//
// exactly as `udevadm info -a` prints a walk (KERNEL, SUBSYSTEM, DRIVER and
// ATTR keys, with or without the trailing S); walks of several devices may
// repeat their common parents. LINK{name} is not udevadm's: a symbolic link
// the walk does not show (of_node, most often), to a path below the sysfs
// root. From each device the loader makes what the kernel makes: the
// "subsystem" link (to /bus/<name> for a bus, /class/<name> otherwise), the
// /bus/<bus>/devices or /class/<class> entry (and /block/<disk>), the
// "driver" link with its back link, and the "device" link of a class
// device to the device above it (none for partitions and virtual devices).
//
//   setting sys.hw.cfg.internal_usb_bus none   an RDB variable the daemon reads
//   expect serial.0 /dev/ttyAMA0 platform-fe201000.serial platform
//   refuse /dev/tty* virtual
//
// "expect" names a class entry the daemon's start-up on an empty RDB makes:
// type.index, the device's name, id and location. "refuse" names a device
// (a trailing "*" matches any rest) the daemon must leave untracked, and
// why, in a word.

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tools/board/sysfs_tree.h"

namespace board {

struct FixtureDevice {
  std::string devpath;
  std::string subsystem;  // "" for a directory with no subsystem
  std::string driver;
  std::vector<std::pair<std::string, std::string>> attrs;
  std::vector<std::pair<std::string, std::string>> links;  // name, devpath of the target
  int line = 0;
};

struct ExpectedEntry {
  std::string entry;  // "serial.0"
  std::string name, id, location;
  int line = 0;
};

struct ExpectedRefusal {
  std::string name;  // may end in "*"
  std::string reason;
  int line = 0;
};

struct FixtureBoard {
  std::string name;                // the file's stem
  std::filesystem::path file;
  std::vector<std::string> notes;  // the leading comment lines
  std::vector<FixtureDevice> devices;  // in the order first named
  std::vector<std::pair<std::string, std::string>> settings;
  std::vector<ExpectedEntry> expected;
  std::vector<ExpectedRefusal> refused;

  // The expectation or refusal a device's name falls under (an exact name
  // before a pattern), or nullptr.
  const ExpectedEntry *expectation_for(const std::string &name) const;
  const ExpectedRefusal *refusal_for(const std::string &name) const;
};

// Reads a .board file; a malformed one throws BoardError naming file and line.
FixtureBoard read_fixture_board(const std::filesystem::path &file);
// The .board files in dir, sorted by name.
std::vector<std::filesystem::path> fixture_board_files(const std::filesystem::path &dir);
// Lays the board's devices out in tree.
void lay_out_fixture(const FixtureBoard &board, SysfsTree &tree);

// One class entry as a start-up left it.
struct ActualEntry {
  std::string entry;  // "serial.0"
  std::string name, id, location;
  // Which start-up scan added it (0 the platform scan, 1 the other). Indexes
  // within one scan follow the order the kernel lists a class folder in,
  // which a fixture cannot fix, so only their set is compared.
  int scan = 0;
};

// The name hwtrackd gives a class device of class cls ("tty", "net",
// "block"): its device node, or the interface's name.
std::string class_device_name(const std::string &devpath, const std::string &cls);
// Whether hwtrackd's first start-up scan takes the device: its physical
// device, past the serial core's port devices, is on the platform bus.
bool in_platform_scan(const SysfsTree &tree, const std::string &devpath);
// The names of the tree's tty, net and block devices that actual leaves out.
std::vector<std::string> untracked_devices(const SysfsTree &tree, const std::vector<ActualEntry> &actual);

// Compares a start-up's class table and the names of the devices it left
// untracked (every tty, net and block device not in actual) with what the
// board expects; one line per difference.
std::vector<std::string> compare_fixture(const FixtureBoard &board, const std::vector<ActualEntry> &actual,
                                         const std::vector<std::string> &untracked);
// The board's expected and actual tables side by side, for people.
std::string fixture_report(const FixtureBoard &board, const std::vector<ActualEntry> &actual,
                           const std::vector<std::string> &untracked);

}  // namespace board
