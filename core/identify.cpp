// SPDX-License-Identifier: MIT
// Device identification: decides from sysfs whether the device behind a
// devpath is one we track and fills its hwdev record (name, type, id, loc,
// driver, mac). Nothing here touches the RDB, the class table or the script.

#include "core/identify.h"

#include <dirent.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/dir_handle.h"
#include "base/log.h"
#include "base/path_size.h"
#include "base/strutil.h"
#include "core/identify_private.h"
#include "core/settings.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

constexpr char kSuffixSeparator[] = "-";

bool text_equals(const char *a, const char *b) { return strcmp(a, b) == 0; }

const char *subsystem_name(subsystem_code code) {
  return hw::name_from_code(code, subsystem_names, subsystem_names[SUBSYSTEM_UNKNOWN]);
}

template <typename Text>
void append_suffix(Text &text, const char *suffix) {
  if (!suffix) return;
  text.append(kSuffixSeparator);
  text.append(suffix);
}

// The version of the rules the identification follows: the current one, or
// the first one while the upgrade asks what a device was called before.
int rules = kHwtrackRulesCurrent;

// The mends that give a device that is alone of its kind another identity
// than the first rules gave it; the others only tell apart devices that the
// first rules lumped together, and leave the first of them as it was.
bool renaming_mends() { return rules >= 2; }

// A decimal number and nothing else, as the kernel prints one.
bool parse_decimal(std::string_view text, unsigned long long *value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// An index to append: 0 adds nothing, larger ones are kept in an int.
int as_index(unsigned long long value) { return value > INT_MAX ? INT_MAX : static_cast<int>(value); }

// "-<n>" for a non-zero index, nothing (nullptr) for 0.
struct index_suffix {
  char text[24] = {};
  const char *get() const { return text[0] ? text : nullptr; }
  explicit index_suffix(unsigned long long n) {
    if (n) hw::formatf(text, sizeof text, "%llu", n);
  }
};

// A USB network interface reports a colon-separated MAC; some modem firmware
// instead publishes "0x02<n>", whose bit 2 marks an address worth telling
// identical modems apart by.
bool address_qualifies(const char *address) {
  if (!address) return false;
  int n = 0;
  if (sscanf(address, "0x02%d", &n) != 1) return false;
  return ((n >> 1) & 1) == 1;
}

hwtrack_identify_trace *trace = nullptr;

// Notes a device the identification looked at, once, under the role it
// played first. Kept out of line: the daemon, which sets no trace, pays one
// call at each place.
// The setting that made the identification refuse the device, for
// hwtrack-explain.
[[gnu::noinline]] void refused_by_setting(const char *setting, const char *value) {
  if (trace) hw::formatf(trace->setting, sizeof(trace->setting), "%s=\"%s\"", setting, value);
}

[[gnu::noinline]] void consulted(const sysfs_device *dev, const char *role) {
  if (!trace || !dev || trace->count == hwtrack_identify_trace::max_consulted) return;
  for (int i = 0; i < trace->count; ++i)
    if (trace->consulted[i].dev == dev) return;
  trace->consulted[trace->count++] = {role, dev};
}

// --- selection of the kind function --------------------------------------

enum class phys_test { none, any, gadget, other };
enum class bus_test {
  always,
  on_platform,
  not_on_platform,
  on_pci,
  phys_usb_serial,
  phys_usb,
  virtual_gadget_tty,
  no_uart,
  added_wireless,
};
enum class refusal { none, device_not_found, unknown_subsystem, pci_storage, no_uart, added_wireless };

constexpr unsigned code_bit(subsystem_code code) { return 1u << code; }

using kind_function = int (*)(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys);

// The kind functions: each fills the record of one kind of device.
int hwtrack_set_gadget_hd(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys);
// A gadget serial port without a parent (/devices/virtual/tty/ttyGS<n>),
// named after the board's only device-side controller.
int hwtrack_set_gadget_serial_hd(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys);
int hwtrack_set_platform_hd_with_extra(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys,
                                       const char *id_suffix, const char *loc_suffix);
int hwtrack_set_platform_hd(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys);
int hwtrack_set_usb_hd_with_extra(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *start, const char *id_suffix,
                                  const char *loc_suffix);
int hwtrack_set_usb_hd(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys);
int hwtrack_set_platform_block_hd(subsystem_code code, hwdev *hd, sysfs_device *dev);
int hwtrack_set_usb_block_hd(subsystem_code code, hwdev *hd, sysfs_device *dev);

int call_platform_block(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *) {
  return hwtrack_set_platform_block_hd(code, hd, dev);
}
int call_usb_block(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *) {
  return hwtrack_set_usb_block_hd(code, hd, dev);
}

struct selection_row {
  phys_test phys;
  unsigned codes;  // code_bit() of each subsystem code the row applies to
  bus_test bus;
  kind_function kind;     // nullptr: the row refuses the device
  const char *kind_name;  // named in the failure message
  refusal message;        // what a row without a kind function logs
  int level;
};

// Tested top to bottom; the first matching row decides.
constexpr selection_row selection_table[] = {
    {phys_test::none, code_bit(SUBSYSTEM_TTY), bus_test::virtual_gadget_tty, hwtrack_set_gadget_serial_hd,
     "hwtrack_set_gadget_serial_hd", refusal::none, LOG_DEBUG},
    {phys_test::none, code_bit(SUBSYSTEM_TTY) | code_bit(SUBSYSTEM_NET), bus_test::always, nullptr, nullptr, refusal::device_not_found,
     LOG_DEBUG},
    {phys_test::any, code_bit(SUBSYSTEM_BLOCK), bus_test::on_pci, nullptr, nullptr, refusal::pci_storage, LOG_DEBUG},
    {phys_test::any, code_bit(SUBSYSTEM_BLOCK), bus_test::on_platform, call_platform_block, "hwtrack_set_platform_block_hd",
     refusal::none, LOG_DEBUG},
    {phys_test::any, code_bit(SUBSYSTEM_BLOCK), bus_test::not_on_platform, call_usb_block, "hwtrack_set_usb_block_hd", refusal::none,
     LOG_DEBUG},
    {phys_test::gadget, code_bit(SUBSYSTEM_TTY), bus_test::always, hwtrack_set_gadget_hd, "hwtrack_set_gadget_hd", refusal::none,
     LOG_DEBUG},
    {phys_test::gadget, code_bit(SUBSYSTEM_NET), bus_test::always, hwtrack_set_gadget_hd, "hwtrack_set_gadget_hd", refusal::none,
     LOG_ERR},
    {phys_test::other, code_bit(SUBSYSTEM_TTY), bus_test::no_uart, nullptr, nullptr, refusal::no_uart, LOG_DEBUG},
    {phys_test::other, code_bit(SUBSYSTEM_NET), bus_test::added_wireless, nullptr, nullptr, refusal::added_wireless, LOG_DEBUG},
    {phys_test::other, code_bit(SUBSYSTEM_TTY), bus_test::on_platform, hwtrack_set_platform_hd, "hwtrack_set_platform_hd",
     refusal::none, LOG_ERR},
    {phys_test::other, code_bit(SUBSYSTEM_TTY), bus_test::phys_usb_serial, hwtrack_set_usb_hd, "hwtrack_set_usb_hd", refusal::none,
     LOG_DEBUG},
    {phys_test::other, code_bit(SUBSYSTEM_TTY), bus_test::phys_usb, hwtrack_set_usb_hd, "hwtrack_set_usb_hd", refusal::none,
     LOG_DEBUG},
    {phys_test::other, code_bit(SUBSYSTEM_TTY), bus_test::always, nullptr, nullptr, refusal::unknown_subsystem, LOG_ERR},
    {phys_test::other, code_bit(SUBSYSTEM_NET), bus_test::on_platform, hwtrack_set_platform_hd, "hwtrack_set_platform_hd",
     refusal::none, LOG_ERR},
    {phys_test::other, code_bit(SUBSYSTEM_NET), bus_test::phys_usb, hwtrack_set_usb_hd, "hwtrack_set_usb_hd", refusal::none,
     LOG_DEBUG},
    {phys_test::other, code_bit(SUBSYSTEM_NET), bus_test::always, nullptr, nullptr, refusal::unknown_subsystem, LOG_ERR},
};

// What each test of a row asks, as hwtrack-explain tells why a row was taken.
const char *phys_test_text(phys_test test) {
  switch (test) {
    case phys_test::none: return "no physical device";
    case phys_test::any: return "any physical device";
    case phys_test::gadget: return "the physical device is a gadget";
    case phys_test::other: return "a physical device that is not a gadget";
  }
  return "";
}

const char *bus_test_text(bus_test test) {
  switch (test) {
    case bus_test::always: return nullptr;
    case bus_test::on_platform: return "on the platform bus";
    case bus_test::not_on_platform: return "not on the platform bus";
    case bus_test::on_pci: return "on pci";
    case bus_test::phys_usb_serial: return "the physical device is on usb-serial";
    case bus_test::phys_usb: return "the physical device is on usb";
    case bus_test::virtual_gadget_tty: return "a gadget serial port in /devices/virtual/tty";
    case bus_test::no_uart: return "a serial port without a uart";
    case bus_test::added_wireless: return "a wireless interface its driver did not create";
  }
  return nullptr;
}

[[gnu::noinline]] void trace_selection(subsystem_code code, const selection_row *row) {
  if (!trace) return;
  if (!row) {
    hw::formatf(trace->why, sizeof(trace->why), "subsystem code %d is not tracked", code);
    return;
  }
  trace->kind = row->kind_name;
  const char *bus = bus_test_text(row->bus);
  hw::formatf(trace->why, sizeof(trace->why), "subsystem %s, %s%s%s", subsystem_name(code), phys_test_text(row->phys),
              bus ? ", " : "", bus ? bus : "");
}

// Whether text is prefix followed by a decimal number and nothing else.
bool is_numbered(std::string_view text, std::string_view prefix) {
  return text.starts_with(prefix) && text.size() > prefix.size() &&
         text.find_first_not_of("0123456789", prefix.size()) == std::string_view::npos;
}

// The gadget device: "gadget" until 6.0, "gadget.<n>" on the gadget bus since.
bool is_gadget(const sysfs_device *phys) {
  if (!phys) return false;
  const std::string_view kernel = phys->kernel.c_str();
  return kernel == "gadget" || is_numbered(kernel, "gadget.");
}

// u_serial registers its ttys without a parent (3.9 and later): ttyGS<n>
// lies in /devices/virtual/tty with no "device" link to the gadget.
bool is_virtual_gadget_tty(const sysfs_device *dev) {
  return is_numbered(dev->devpath.c_str(), "/devices/virtual/tty/ttyGS");
}

bool phys_matches(phys_test test, const sysfs_device *phys) {
  switch (test) {
    case phys_test::none: return phys == nullptr;
    case phys_test::any: return true;
    case phys_test::gadget: return is_gadget(phys);
    case phys_test::other: return phys != nullptr && !is_gadget(phys);
  }
  return false;
}

// The serial core's placeholders (the 8250 driver's nr_uarts ports that no
// UART took) read type 0, PORT_UNKNOWN. Ttys of other drivers have no type.
bool is_port_without_uart(const sysfs_device *dev) {
  const char *type = sysfs_attr_get_value(dev->devpath.c_str(), "type");
  return type && text_equals(type, "0");
}

// Of a radio's interfaces only the one its driver made with it belongs to
// the hardware. mac80211 names that one itself (name_assign_type 1,
// NET_NAME_ENUM, or 4 once renamed); an interface that configuration adds
// over nl80211 carries the name it was given (3, NET_NAME_USER). The master
// interface wmaster0 of kernels before 2.6.32, which predate that
// attribute, is told by its type, 801 (ARPHRD_IEEE80211).
bool is_added_wireless(const sysfs_device *dev) {
  const char *devpath = dev->devpath.c_str();
  if (!sysfs_attr_get_value(devpath, "phy80211")) return false;
  const char *assigned = sysfs_attr_get_value(devpath, "name_assign_type");
  const char *type = sysfs_attr_get_value(devpath, "type");
  return (assigned && text_equals(assigned, "3")) || (type && text_equals(type, "801"));
}

bool bus_matches(bus_test test, const sysfs_device *node, const sysfs_device *dev, const sysfs_device *phys) {
  switch (test) {
    case bus_test::always: return true;
    case bus_test::on_platform: return node != nullptr;
    case bus_test::not_on_platform: return node == nullptr;
    case bus_test::on_pci: return node && text_equals(node->subsystem.c_str(), "pci");
    case bus_test::phys_usb_serial: return phys && text_equals(phys->subsystem.c_str(), "usb-serial");
    case bus_test::phys_usb: return phys && text_equals(phys->subsystem.c_str(), "usb");
    case bus_test::virtual_gadget_tty: return is_virtual_gadget_tty(dev);
    case bus_test::no_uart: return is_port_without_uart(dev);
    case bus_test::added_wireless: return is_added_wireless(dev);
  }
  return false;
}

const selection_row *select_row(subsystem_code code, const sysfs_device *node, const sysfs_device *dev,
                                const sysfs_device *phys) {
  if (code < 0 || code >= SUBSYSTEM_UNKNOWN) return nullptr;
  for (const selection_row &row : selection_table) {
    if ((row.codes & code_bit(code)) && phys_matches(row.phys, phys) && bus_matches(row.bus, node, dev, phys))
      return &row;
  }
  return nullptr;
}

// Since 6.5 the serial core puts a "serial-base" controller and port device
// between a UART and its tty, and the tty's "device" link names the port.
// What identification asks of the physical device (its driver, its bus)
// belongs to the UART above them, as on the kernels before.
sysfs_device *beyond_serial_base(sysfs_device *dev) {
  sysfs_device *outside = dev;
  while (outside && text_equals(outside->subsystem.c_str(), "serial-base"))
    outside = sysfs_device_get_parent(outside);
  return outside ? outside : dev;
}

void complete_record(subsystem_code code, hwdev *hd, const sysfs_device *dev, const char *devpath) {
  switch (code) {
    case SUBSYSTEM_TTY:
      hd->type = HWDEV_TYPE_SERIAL;
      hd->name.format("/dev/%s", dev->kernel.c_str());
      break;
    case SUBSYSTEM_NET:
      hd->type = HWDEV_TYPE_ETH;
      hd->name.set(dev->kernel.c_str());
      break;
    default:
      hd->type = HWDEV_TYPE_STORAGE;
      hd->name.format("/dev/%s", dev->kernel.c_str());
      break;
  }
  hd->devpath.set(devpath);
}

}  // namespace

sysfs_device *get_physical_device(sysfs_device *dev) {
  if (!dev) return nullptr;
  // A devpath without room for "/device" has no physical device to name:
  // cut, the path would be "<devpath>/dev", an attribute file.
  char path[hw::kPathSize];
  if (!hw::join_path(path, {dev->devpath.c_str(), "/device"})) return nullptr;
  sysfs_device *linked = sysfs_device_get(path);
  sysfs_device *phys = beyond_serial_base(linked);
  if (phys != linked) consulted(linked, "serial-base port");
  return phys;
}

namespace {

// The devices a device below them is named after. The first rules knew the
// platform bus only; AMBA devices (PL011 UARTs, PL18x MMC hosts), PnP
// devices (x86 COM ports) and PCI functions (radios, NICs, serial cards)
// are on-board devices of their own as much.
bool is_platform_node(const sysfs_device *dev) {
  const char *subsystem = dev->subsystem.c_str();
  if (text_equals(subsystem, "platform")) return true;
  return renaming_mends() &&
         (text_equals(subsystem, "amba") || text_equals(subsystem, "pnp") || text_equals(subsystem, "pci"));
}

}  // namespace

sysfs_device *get_platform_node(sysfs_device *dev) {
  if (!dev) return nullptr;
  // A platform device below a USB device (a USB-attached SoC function, say)
  // is still a USB device as far as identity goes; so is a USB device below
  // a PCI host controller.
  if (sysfs_device_get_parent_with_subsystem(dev, "usb")) return nullptr;
  // The nearest one: a platform device below a PCI function (the UARTs of
  // intel-lpss or of a Raspberry Pi 5's RP1) rather than the function, the
  // function rather than the PCIe host above it.
  for (sysfs_device *at = dev; at; at = sysfs_device_get_parent(at))
    if (is_platform_node(at)) return at;
  return nullptr;
}

int check_mmc_partition(sysfs_device *dev) {
  if (!dev) return -1;
  const sysfs_device *card = sysfs_device_get_parent_with_subsystem(dev, "mmc");
  consulted(card, "mmc card");
  if (!card) return -1;
  // Below the sysfs root in use, like every other lookup, so that a tree
  // under SYSFS_PATH answers for its own cards. A path that does not fit
  // tells nothing: the card is not taken for one without partitions.
  char path[hw::kPathSize];
  if (!hw::join_path(path, {sysfs_path(), dev->devpath.c_str(), "/", dev->kernel.c_str(), "p1"})) return -1;
  hw::dir_handle dir(opendir(path));
  return dir ? 1 : 0;
}

namespace {

// While a trace is set, the lines an identification logs are kept in it.
void keep_traced_line(int, const char *line) {
  if (trace && trace->line_count < hwtrack_identify_trace::max_lines)
    hw::strlcpy(trace->lines[trace->line_count++], line, sizeof trace->lines[0]);
}

class traced_lines {
 public:
  traced_lines() {
    if (trace) hwlog_set_tap(keep_traced_line);
  }
  ~traced_lines() {
    if (trace) hwlog_set_tap(nullptr);
  }
  traced_lines(const traced_lines &) = delete;
  traced_lines &operator=(const traced_lines &) = delete;
};

// Its own lines are logged on behalf of the entry point that called it.
int identify(subsystem_code code, hwdev *hd, const char *devpath, hwlog_site at) {
  if (trace) *trace = hwtrack_identify_trace{};
  const traced_lines keep;
  // The record keeps the devpath whole, or the device is refused.
  sysfs_device *dev = strlen(devpath) < hw::kPathSize ? sysfs_device_get(devpath) : nullptr;
  if (!dev) {
    HWLOG_AT(at, LOG_ERR, "unable to access '%s'", devpath);
    return -1;
  }
  consulted(dev, "class device");
  sysfs_device *phys = get_physical_device(dev);
  consulted(phys, "physical device");
  const sysfs_device *platform_node = get_platform_node(phys ? phys : dev);
  consulted(platform_node, "platform node");

  const selection_row *row = select_row(code, platform_node, dev, phys);
  trace_selection(code, row);
  if (!row) return -1;

  if (!row->kind) {
    if (row->message == refusal::device_not_found)
      HWLOG_AT(at, row->level, "###hwtrack### device not found");
    else if (row->message == refusal::unknown_subsystem)
      HWLOG_AT(at, row->level, "###hwtrack### unknown subsystem (subsystem=%s)", phys->subsystem.c_str());
    else if (row->message == refusal::pci_storage)
      HWLOG_AT(at, row->level, "###hwtrack### storage on pci not tracked (devpath=%s)", dev->devpath.c_str());
    else if (row->message == refusal::no_uart)
      HWLOG_AT(at, row->level, "###hwtrack### serial port without uart not tracked (devpath=%s)", dev->devpath.c_str());
    else if (row->message == refusal::added_wireless)
      HWLOG_AT(at, row->level, "###hwtrack### wireless interface not created by its driver (devpath=%s)",
               dev->devpath.c_str());
    return -1;
  }

  if (row->kind(code, hd, dev, phys) < 0) {
    HWLOG_AT(at, row->level, "###hwtrack### failed in %s()", row->kind_name);
    return -1;
  }

  // A device unplugged while its add is handled reads as missing or empty
  // attributes, and an identity made of what was left (an adapter without
  // its serial number) would be a new, lasting class entry. Its folder goes
  // before its parents' attributes do, so a folder still there after every
  // read vouches for what was read.
  if (!sysfs_device_present(dev)) {
    HWLOG_AT(at, LOG_DEBUG, "###hwtrack### device vanished while identified (devpath=%s)", dev->devpath.c_str());
    return -1;
  }

  complete_record(code, hd, dev, devpath);
  return 0;
}

}  // namespace

// Both entry points log as the one the rules name.
int hwtrack_identify(subsystem_code code, hwdev *hd, const char *devpath) {
  return identify(code, hd, devpath, HWLOG_SITE("hwtrack_set_hd_by_devpath"));
}

int hwtrack_identify_by_rules(int version, subsystem_code code, hwdev *hd, const char *devpath) {
  const int saved = rules;
  rules = version;
  const int result = identify(code, hd, devpath, HWLOG_SITE("hwtrack_set_hd_by_devpath"));
  rules = saved;
  return result;
}

bool hwtrack_make_probe(hwdev &probe) {
  bool ok = true;
  for (bool allocated : {probe.name.allocate(), probe.loc.allocate(), probe.id.allocate(), probe.devpath.allocate(),
                         probe.driver.allocate(), probe.mac.allocate()})
    ok = ok && allocated;
  return ok;
}

namespace {

// The subsystem code a record of this type was added with.
subsystem_code code_of_type(int type) {
  switch (type) {
    case HWDEV_TYPE_SERIAL: return SUBSYSTEM_TTY;
    case HWDEV_TYPE_ETH: return SUBSYSTEM_NET;
    case HWDEV_TYPE_STORAGE: return SUBSYSTEM_BLOCK;
    default: return SUBSYSTEM_UNKNOWN;
  }
}

}  // namespace

bool hwtrack_same_device(const hwdev *hd) {
  hwdev now;
  if (!hwtrack_make_probe(now)) return true;
  return hwtrack_identify(code_of_type(hd->type), &now, hd->devpath.c_str()) == 0 &&
         strcmp(now.id.c_str(), hd->id.c_str()) == 0 && strcmp(now.loc.c_str(), hd->loc.c_str()) == 0;
}

void hwtrack_trace_identification(hwtrack_identify_trace *to) { trace = to; }

int hwtrack_set_hd_by_devpath(subsystem_code code, hwdev *hd, const char *devpath) {
  if (identify(code, hd, devpath, HWLOG_SITE(__func__)) < 0) return -1;
  (void)hwdev_fixup(hd);
  return 0;
}

namespace {

// Calls visit with the devpath of every other device in the folder that
// holds dev ("<uart>/tty", "<interface>/tty"): the siblings one driver
// registered beside it.
template <typename Visit>
void for_each_sibling(const sysfs_device *dev, Visit visit) {
  const char *own = strrchr(dev->devpath.c_str(), '/');
  if (!own) return;
  char folder[hw::kPathSize], path[hw::kPathSize];
  hw::strlcpy(folder, dev->devpath.c_str(), static_cast<size_t>(own - dev->devpath.c_str()) + 1);
  ++own;
  hw::dir_handle dir(hw::join_path(path, {sysfs_path(), folder}) ? opendir(path) : nullptr);
  for (const dirent *entry; dir && (entry = readdir(dir.get()));) {
    if (entry->d_name[0] == '.' || text_equals(entry->d_name, own)) continue;
    if (hw::join_path(path, {folder, "/", entry->d_name})) visit(static_cast<const char *>(path));
  }
}

// The minor number of a device node ("dev" reads "<major>:<minor>"), or -1.
long long minor_number(const char *devpath) {
  const char *dev = sysfs_attr_get_value(devpath, "dev");
  const char *colon = dev ? strchr(dev, ':') : nullptr;
  unsigned long long minor = 0;
  return colon && parse_decimal(colon + 1, &minor) ? static_cast<long long>(minor) : -1;
}

// The interface index of a network device, which counts up as interfaces
// are made; -1 without one.
long long interface_index(const char *devpath) {
  const char *text = sysfs_attr_get_value(devpath, "ifindex");
  unsigned long long value = 0;
  return text && parse_decimal(text, &value) ? static_cast<long long>(value) : -1;
}

// How many devices in dev's folder have a smaller number than dev's, as
// number_of reads it (-1: none): the order one driver made them in.
unsigned long long rank_among_siblings(const sysfs_device *dev, long long (*number_of)(const char *devpath)) {
  const long long own = number_of(dev->devpath.c_str());
  unsigned long long rank = 0;
  if (own < 0) return 0;
  for_each_sibling(dev, [own, number_of, &rank](const char *sibling) {
    const long long other = number_of(sibling);
    if (other >= 0 && other < own) ++rank;
  });
  return rank;
}

unsigned long long rank_by_ifindex(const sysfs_device *dev) { return rank_among_siblings(dev, interface_index); }

// The device that holds dev, which names a gadget. A device right on a bus
// root (/devices/platform: a UDC with no controller of its own above it) is
// named by itself: the root is no device, and its name ("platform") would
// be every such controller's.
sysfs_device *device_above(sysfs_device *dev) {
  sysfs_device *parent = sysfs_device_get_parent(dev);
  return parent && parent->subsystem.empty() ? dev : parent;
}

// The functions of one gadget are told apart: serial ones by their port
// number, ttyGS<n>; network ones (an ECM and an RNDIS function: usb0, usb1
// below one gadget) by the order the gadget made them in. The first adds
// nothing.
index_suffix gadget_port_suffix(subsystem_code code, const sysfs_device *dev) {
  const std::string_view kernel = dev->kernel.c_str();
  unsigned long long port = 0;
  if (code == SUBSYSTEM_TTY && is_numbered(kernel, "ttyGS")) parse_decimal(kernel.substr(5), &port);
  if (code == SUBSYSTEM_NET) port = rank_by_ifindex(dev);
  return index_suffix(port);
}

int hwtrack_set_gadget_hd(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys) {
  // The gadget function hangs below the UDC, which hangs below the SoC's
  // USB controller: the controller two platform levels up names the gadget.
  // A UDC on PCI (the dwc3 of a PCI glue, a UDC that is a PCI function) has
  // fewer platform levels: the device the gadget hangs from stands in for
  // the UDC, and whatever holds the UDC names the gadget.
  sysfs_device *udc = sysfs_device_get_parent_with_subsystem(dev, "platform");
  if (!udc && renaming_mends() && phys) udc = sysfs_device_get_parent(phys);
  sysfs_device *controller = !udc                ? nullptr
                             : renaming_mends() ? device_above(udc)
                                                : sysfs_device_get_parent_with_subsystem(udc, "platform");
  consulted(udc, "platform parent");
  consulted(controller, "names the gadget");
  if (!controller) {
    HWLOG(LOG_ERR, "platform sysfs node not found (devpath=%s)", dev->devpath.c_str());
    return -1;
  }

  hd->id.format("gadget-%s-%s", subsystem_name(code), controller->kernel.c_str());
  append_suffix(hd->id, gadget_port_suffix(code, dev).get());
  hd->loc.set("gadget");
  hd->driver.set(phys ? phys->driver.c_str() : "");
  return 0;
}

constexpr char kUdcClassDir[] = "/class/udc";

// The name of the only device-side controller in /class/udc; the number of
// controllers found otherwise (0, or 2 for "several").
int only_udc(char (&name)[hw::kPathSize]) {
  char path[hw::kPathSize];
  hw::dir_handle dir(hw::join_path(path, {sysfs_path(), kUdcClassDir}) ? opendir(path) : nullptr);
  int count = 0;
  for (const dirent *entry; dir && count < 2 && (entry = readdir(dir.get()));) {
    if (entry->d_name[0] == '.') continue;
    hw::strlcpy(name, entry->d_name, sizeof(name));
    ++count;
  }
  return count;
}

int hwtrack_set_gadget_serial_hd(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *) {
  // The serial function belongs to the board's device-side controller;
  // with none, or several to choose from, it belongs to none we can name.
  char name[hw::kPathSize];
  const int count = only_udc(name);
  if (count != 1) {
    HWLOG(LOG_DEBUG, "###hwtrack### gadget tty not tracked - %s udc controller", count == 0 ? "no" : "more than one");
    return -1;
  }
  char path[hw::kPathSize];
  sysfs_device *udc = hw::join_path(path, {kUdcClassDir, "/", name}) ? sysfs_device_get(path) : nullptr;
  // The udc device hangs from the controller (ci_hdrc.0), which hangs from
  // the SoC's USB block (2184000.usb): the platform device that named the
  // gadget's functions on the kernels that parented them to the gadget.
  sysfs_device *controller = get_physical_device(udc);
  sysfs_device *named_by = controller ? device_above(controller) : nullptr;
  consulted(udc, "udc");
  consulted(controller, "udc controller");
  consulted(named_by, "names the gadget");
  if (!named_by) {
    HWLOG(LOG_DEBUG, "###hwtrack### gadget tty not tracked - udc controller without parent (udc=%s)", name);
    return -1;
  }
  // The gadget device, linked from its udc since 6.0 ("gadget.<n>").
  if (!hw::join_path(path, {udc->devpath.c_str(), "/gadget"})) {
    HWLOG(LOG_DEBUG, "###hwtrack### gadget tty not tracked - udc devpath too long (udc=%s)", name);
    return -1;
  }
  const sysfs_device *gadget = sysfs_device_get(path);
  consulted(gadget, "gadget device");

  hd->id.format("gadget-%s-%s", subsystem_name(code), named_by->kernel.c_str());
  append_suffix(hd->id, gadget_port_suffix(code, dev).get());
  hd->loc.set("gadget");
  hd->driver.set(gadget ? gadget->driver.c_str() : "");
  return 0;
}

namespace {

// A serial-core port's line (its index in its driver: ttyS<line>), or, on
// kernels before the serial core published it, its minor number, which
// counts the same way within one driver; -1 when it has neither.
long long serial_line(const char *devpath) {
  const char *line = sysfs_attr_get_value(devpath, "line");
  unsigned long long value = 0;
  if (line && parse_decimal(line, &value)) return static_cast<long long>(value);
  return minor_number(devpath);
}

// The index of a serial-core port within its device (several ports of one
// legacy 8250 platform device, of a PCI serial card). Since 6.5 the serial
// core names it: the tty's "device" link names the port device
// "<device>:<controller>.<index>" below the controller "<device>:<controller>".
// Before, it is the port's line counted from the lowest line among the
// device's ports that have a UART.
unsigned long long serial_port_index(sysfs_device *dev) {
  char path[hw::kPathSize];
  sysfs_device *port = hw::join_path(path, {dev->devpath.c_str(), "/device"}) ? sysfs_device_get(path) : nullptr;
  if (port && text_equals(port->subsystem.c_str(), "serial-base")) {
    const std::string_view name = port->kernel.c_str();
    const size_t dot = name.rfind('.');
    const sysfs_device *controller = sysfs_device_get_parent(port);
    unsigned long long index = 0;
    if (dot != std::string_view::npos && controller && name.substr(0, dot) == controller->kernel.c_str() &&
        parse_decimal(name.substr(dot + 1), &index))
      return index;
    return 0;
  }
  const long long line = serial_line(dev->devpath.c_str());
  if (line < 0) return 0;
  long long lowest = line;
  for_each_sibling(dev, [&lowest](const char *sibling) {
    const long long other = serial_line(sibling);
    const sysfs_device *tty = other >= 0 && other < lowest ? sysfs_device_get(sibling) : nullptr;
    if (tty && !is_port_without_uart(tty)) lowest = other;
  });
  return static_cast<unsigned long long>(line - lowest);
}

// The number after the "@" of a device-tree node's name, its unit address
// ("mac@1", "port@a"), hexadecimal up to a "," or the end; -1 without one.
long long unit_address(const char *node) {
  const char *at = node ? strchr(node, '@') : nullptr;
  if (!at) return -1;
  const std::string_view text(at + 1);
  const std::string_view digits = text.substr(0, text.find(','));
  unsigned long long value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  return ec == std::errc() && end == digits.data() + digits.size() && !digits.empty() ? as_index(value) : -1;
}

// The interface's own device-tree node ("mac@1" of an Ethernet controller,
// "port@2" of a switch), not one it shares with its device.
const char *own_of_node(const sysfs_device *dev, const sysfs_device *phys) {
  const char *node = sysfs_attr_get_value(dev->devpath.c_str(), "of_node");
  if (!node || !phys) return node;
  const char *shared = sysfs_attr_get_value(phys->devpath.c_str(), "of_node");
  return shared && text_equals(shared, node) ? nullptr : node;
}

// The port number of a switch port (DSA, and switchdev drivers alike):
// phys_port_name "p<n>", else the unit address of its own node
// "port@<n>" (or "ethernet-port@<n>"); -1 for an interface of another kind.
long long switch_port_number(const sysfs_device *dev, const sysfs_device *phys) {
  const char *name = sysfs_attr_get_value(dev->devpath.c_str(), "phys_port_name");
  unsigned long long port = 0;
  if (name && name[0] == 'p' && parse_decimal(name + 1, &port)) return as_index(port);
  const char *node = own_of_node(dev, phys);
  const char *at = node ? strchr(node, '@') : nullptr;
  if (!at || !std::string_view(node, static_cast<size_t>(at - node)).ends_with("port")) return -1;
  return unit_address(node);
}

// What tells apart the interfaces of one device once dev_id reads 0: dev_port
// (ports of one PCI function), the switch port's number, the unit address of
// the interface's own device-tree node ("mac@1": the second MAC of an
// Ethernet controller, eth0 and wan on MT7621). The first non-zero one.
int interface_number(const sysfs_device *dev, const sysfs_device *phys) {
  const char *devpath = dev->devpath.c_str();
  unsigned long long port = 0;
  const char *dev_port = sysfs_attr_get_value(devpath, "dev_port");
  if (dev_port && parse_decimal(dev_port, &port) && port) return as_index(port);
  if (const long long n = switch_port_number(dev, phys); n > 0) return static_cast<int>(n);
  const long long unit = unit_address(own_of_node(dev, phys));
  return unit > 0 ? static_cast<int>(unit) : 0;
}

}  // namespace

int hwtrack_set_platform_hd_with_extra(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys,
                                       const char *id_suffix, const char *loc_suffix) {
  sysfs_device *node = get_platform_node(dev);
  // A switch port is named after its switch, which sits on an MDIO, SPI or
  // I2C bus below the Ethernet controller whose platform device names the
  // conduit interface.
  if (code == SUBSYSTEM_NET && renaming_mends() && node && phys && switch_port_number(dev, phys) >= 0) node = phys;
  consulted(node, "platform node");
  if (!node) {
    HWLOG(LOG_ERR, "platform sysfs node not found (devpath=%s)", dev->devpath.c_str());
    return -1;
  }

  // Several interfaces of one platform device (the ports of a multi-port
  // Ethernet controller) differ only in dev_id.
  const char *dev_id_text = sysfs_attr_get_value(dev->devpath.c_str(), "dev_id");
  int dev_id = 0;
  if (dev_id_text) {
    if (sscanf(dev_id_text, "%i", &dev_id) != 1) dev_id = 0;
    HWLOG(LOG_DEBUG, "###hwtrack### dev_id found - (sys_str_dev_id=%s,dev_id=%d)", dev_id_text, dev_id);
  } else {
    HWLOG(LOG_DEBUG, "###hwtrack### skip dev_id - not existing (devpath=%s)", dev->devpath.c_str());
  }

  const char *address = sysfs_attr_get_value(dev->devpath.c_str(), "address");
  if (address) {
    hd->mac.format("%s", address);
    HWLOG(LOG_DEBUG, "###hwtrack### address found - (sys_str_dev_id=%s,dev_id=%d)",
          dev_id_text ? dev_id_text : "(null)", dev_id);
  } else {
    hd->mac.set("");
    HWLOG(LOG_DEBUG, "###hwtrack### skip addressdev_id - not existing (devpath=%s)", dev->devpath.c_str());
  }

  // Where dev_id tells nothing, the device's own numbers do, appended as
  // dev_id is.
  int number = dev_id;
  if (number == 0 && code == SUBSYSTEM_NET) number = interface_number(dev, phys);
  if (number == 0 && code == SUBSYSTEM_TTY) number = as_index(serial_port_index(dev));
  if (number != dev_id) HWLOG(LOG_DEBUG, "###hwtrack### port number found - (devpath=%s,number=%d)", dev->devpath.c_str(), number);

  if (number != 0)
    hd->id.format("platform-%s-%d", node->kernel.c_str(), number);
  else
    hd->id.format("platform-%s", node->kernel.c_str());
  append_suffix(hd->id, id_suffix);

  hd->loc.set("platform");
  append_suffix(hd->loc, loc_suffix);

  hd->driver.set(phys ? phys->driver.c_str() : "");
  return 0;
}

int hwtrack_set_platform_hd(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys) {
  return hwtrack_set_platform_hd_with_extra(code, hd, dev, phys, nullptr, nullptr);
}

// The attributes a USB identity is built from; all read before the record is
// touched, so a refusal leaves the record as it was.
struct usb_attrs {
  const char *interface_number = nullptr;
  const char *driver = nullptr;
  const char *vendor = nullptr;
  const char *product = nullptr;
  const char *busnum = nullptr;
  const char *port_path = nullptr;
  const char *configuration = nullptr;
  const char *serial = nullptr;
  const char *address = nullptr;
};

// Logs a missing attribute on behalf of the caller. An empty one counts as
// missing: it is what a device being torn down reads as, and it would make
// a location such as "usb1-1.2:.0".
const char *required_attr(hwlog_site at, const sysfs_device *dev, const char *name) {
  const char *value = sysfs_attr_get_value(dev->devpath.c_str(), name);
  if (value && !*value) value = nullptr;
  if (!value) HWLOG_AT(at, LOG_ERR, "###hwtrack### missing attr (attr=%s,devpath=%s)", name, dev->devpath.c_str());
  return value;
}

int hwtrack_set_usb_hd_with_extra(subsystem_code, hwdev *hd, sysfs_device *dev, sysfs_device *start, const char *id_suffix,
                                  const char *loc_suffix) {
  sysfs_device *interface = nullptr;
  if (start) {
    interface =
        text_equals(start->subsystem.c_str(), "usb") ? start : sysfs_device_get_parent_with_subsystem(start, "usb");
  }
  if (!interface) {
    HWLOG(LOG_ERR, "###hwtrack### no usb parent found");
    return -1;
  }
  sysfs_device *usb_dev = sysfs_device_get_parent(interface);
  consulted(interface, "usb interface");
  consulted(usb_dev, "usb device");
  if (!usb_dev) {
    HWLOG(LOG_ERR, "###hwtrack### no parent found");
    return -1;
  }

  usb_attrs a;
  if (!(a.interface_number = required_attr(HWLOG_SITE(__func__), interface, "bInterfaceNumber"))) return -1;
  if (!(a.driver = required_attr(HWLOG_SITE(__func__), interface, "driver"))) return -1;
  if (!(a.vendor = required_attr(HWLOG_SITE(__func__), usb_dev, "idVendor"))) return -1;
  if (!(a.product = required_attr(HWLOG_SITE(__func__), usb_dev, "idProduct"))) return -1;
  if (!(a.busnum = required_attr(HWLOG_SITE(__func__), usb_dev, "busnum"))) return -1;

  // Devices wired to the board's internal buses are part of the board itself.
  if (hwtrack_is_internal_usb(usb_dev, a.busnum)) {
    refused_by_setting(kInternalUsbBusVar, hwtrack_internal_usb_bus());
    HWLOG(LOG_DEBUG, "!!! internal device detected - ignored !!!");
    return -1;
  }

  if (!(a.port_path = required_attr(HWLOG_SITE(__func__), usb_dev, "devpath"))) return -1;
  if (!(a.configuration = required_attr(HWLOG_SITE(__func__), usb_dev, "bConfigurationValue"))) return -1;
  a.serial = sysfs_attr_get_value(usb_dev->devpath.c_str(), "serial");
  a.address = sysfs_attr_get_value(dev->devpath.c_str(), "address");

  if (address_qualifies(a.address))
    hd->id.format("%s-%s-%s", a.vendor, a.product, a.address);
  else if (a.serial)
    hd->id.format("%s-%s-%s", a.vendor, a.product, a.serial);
  else
    hd->id.format("%s-%s", a.vendor, a.product);

  if (a.address)
    hd->mac.format("%s", a.address);
  else
    hd->mac.set("");

  append_suffix(hd->id, id_suffix);

  hd->loc.format("usb%s-%s:%s.%d", a.busnum, a.port_path, a.configuration, hw::leading_int(a.interface_number));
  append_suffix(hd->loc, loc_suffix);

  hd->driver.set(a.driver);
  return 0;
}

namespace {

// The rank by minor number of a tty among the ttys its driver registered in
// the same folder: the ports a vendor driver creates on one USB interface in
// one probe, numbered in the order it made them.
unsigned long long rank_by_minor(const sysfs_device *dev) { return rank_among_siblings(dev, minor_number); }

// Which serial port of its USB interface a tty is: a usb-serial port's
// port_number (the ports of a legacy modem or a multi-port adapter on one
// interface), else its rank among the ttys on the interface.
unsigned long long usb_serial_port_index(const sysfs_device *dev, const sysfs_device *phys) {
  if (!phys || !text_equals(phys->subsystem.c_str(), "usb-serial")) return rank_by_minor(dev);
  const char *port = sysfs_attr_get_value(phys->devpath.c_str(), "port_number");
  unsigned long long index = 0;
  return port && parse_decimal(port, &index) ? index : 0;
}

}  // namespace

int hwtrack_set_usb_hd(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys) {
  const index_suffix port(code == SUBSYSTEM_TTY ? usb_serial_port_index(dev, phys) : 0);
  return hwtrack_set_usb_hd_with_extra(code, hd, dev, phys, nullptr, port.get());
}

// An empty "partition" is one being torn down: no partition number.
const char *partition_of(const sysfs_device *dev) {
  const char *partition = sysfs_attr_get_value(dev->devpath.c_str(), "partition");
  return partition && *partition ? partition : nullptr;
}

bool is_nested_disk(sysfs_device *dev) {
  const sysfs_device *parent = sysfs_device_get_parent(dev);
  const bool nested = parent && text_equals(parent->subsystem.c_str(), "block");
  if (nested) consulted(parent, "nested in disk");
  return nested;
}

int hwtrack_set_platform_block_hd(subsystem_code code, hwdev *hd, sysfs_device *dev) {
  const char *partition = partition_of(dev);
  if (!partition) {
    // An SD card without a partition table is used whole, as its first
    // partition; a card with one is tracked through its partitions. A disk
    // nested in another disk's folder (an eMMC's boot areas mmcblk1boot0
    // and mmcblk1boot1) is neither: as partition "1" it would take the
    // identity of the main disk's first partition.
    if (is_nested_disk(dev) || check_mmc_partition(dev) != 0) {
      HWLOG(LOG_DEBUG, "###hwtrack### no partition found");
      return -1;
    }
    partition = "1";
  }
  return hwtrack_set_platform_hd_with_extra(code, hd, dev, dev, partition, partition);
}

namespace {

// The logical unit of a SCSI disk: the last field of its SCSI device's name,
// "<host>:<channel>:<target>:<lun>" (the slots of a multi-slot card reader).
unsigned long long scsi_lun(sysfs_device *dev) {
  const sysfs_device *unit = sysfs_device_get_parent_with_subsystem(dev, "scsi");
  const std::string_view name = unit ? unit->kernel.c_str() : "";
  unsigned long long lun = 0;
  if (std::count(name.begin(), name.end(), ':') != 3 || !parse_decimal(name.substr(name.rfind(':') + 1), &lun)) return 0;
  return lun;
}

// Whether the block device is a disk of the SCSI disk driver (sd: direct
// access and its kin), not a CD-ROM (sr), such as the driver CD a modem
// shows beside its ports, which holds a medium too.
bool is_scsi_disk(sysfs_device *dev) {
  const sysfs_device *unit = get_physical_device(dev);
  return unit && text_equals(unit->driver.c_str(), "sd");
}

// Whether a removable disk holds a medium: a reader's empty slot reads size 0.
bool has_medium(const sysfs_device *dev) {
  const char *size = sysfs_attr_get_value(dev->devpath.c_str(), "size");
  unsigned long long sectors = 0;
  return size && parse_decimal(size, &sectors) && sectors > 0;
}

// Whether the disk's folder holds a partition of it ("sda1", "mmcblk0p1").
bool has_partitions(const sysfs_device *dev) {
  char path[hw::kPathSize];
  const char *devpath = dev->devpath.c_str();
  const std::string_view disk = strrchr(devpath, '/') ? strrchr(devpath, '/') + 1 : devpath;
  hw::dir_handle dir(hw::join_path(path, {sysfs_path(), devpath}) ? opendir(path) : nullptr);
  for (const dirent *entry; dir && (entry = readdir(dir.get()));) {
    if (!std::string_view(entry->d_name).starts_with(disk)) continue;
    if (hw::join_path(path, {devpath, "/", entry->d_name}) && sysfs_attr_get_value(path, "partition")) return true;
  }
  return false;
}

}  // namespace

int hwtrack_set_usb_block_hd(subsystem_code code, hwdev *hd, sysfs_device *dev) {
  const char *partition = partition_of(dev);
  sysfs_device *interface = sysfs_device_get_parent_with_subsystem(dev, "usb");
  // A USB disk with a medium but no partition table (a card in a reader, a
  // stick formatted whole) is used whole, as its first partition, as an SD
  // card is; an empty slot is not tracked.
  if (!partition && interface && is_scsi_disk(dev) && has_medium(dev) && !has_partitions(dev)) partition = "1";
  if (!partition) {
    HWLOG(LOG_DEBUG, "###hwtrack### no partition found");
    return -1;
  }
  if (!interface) {
    HWLOG(LOG_ERR, "###hwtrack### usb subsystem not found");
    return -1;
  }
  // The slots of a card reader share its interface: a unit other than the
  // first comes before the partition.
  char suffix[48];
  if (const unsigned long long lun = scsi_lun(dev))
    hw::formatf(suffix, sizeof(suffix), "%llu%s%s", lun, kSuffixSeparator, partition);
  else
    hw::strlcpy(suffix, partition, sizeof(suffix));
  return hwtrack_set_usb_hd_with_extra(code, hd, dev, interface, suffix, suffix);
}

}  // namespace
