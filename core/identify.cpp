// SPDX-License-Identifier: MIT
// Device identification: decides from sysfs whether the device behind a
// devpath is one we track and fills its hwdev record (name, type, id, loc,
// driver, mac). Nothing here touches the RDB, the class table or the script.

#include "core/identify.h"

#include <dirent.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/dir_handle.h"
#include "base/log.h"
#include "base/path_size.h"
#include "base/strutil.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

constexpr char kSuffixSeparator[] = "-";

bool text_equals(const char *a, const char *b) { return strcmp(a, b) == 0; }

// atoi's reading (leading blanks, sign, leading digits, 0 when none) without
// its undefined behaviour on overflow.
int leading_decimal(const char *text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

const char *subsystem_name(subsystem_code code) {
  constexpr int count = sizeof(subsystem_names) / sizeof(subsystem_names[0]);
  // Compared as an int: a code read from outside may lie beyond the enum's
  // values, and clang takes the bound check on the enum for always true.
  const int index = code;
  return (index >= 0 && index < count) ? subsystem_names[index] : subsystem_names[SUBSYSTEM_UNKNOWN];
}

template <typename Text>
void append_suffix(Text &text, const char *suffix) {
  if (!suffix) return;
  text.append(kSuffixSeparator);
  text.append(suffix);
}

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
[[gnu::noinline]] void consulted(const sysfs_device *dev, const char *role) {
  if (!trace || !dev || trace->count == hwtrack_identify_trace::max_consulted) return;
  for (int i = 0; i < trace->count; ++i)
    if (trace->consulted[i].dev == dev) return;
  trace->consulted[trace->count++] = {role, dev};
}

// --- selection of the kind function --------------------------------------

enum class phys_test { none, any, gadget, other };
enum class bus_test { always, on_platform, not_on_platform, phys_usb_serial, phys_usb, virtual_gadget_tty };
enum class refusal { none, device_not_found, unknown_subsystem };

constexpr unsigned code_bit(subsystem_code code) { return 1u << code; }

using kind_function = int (*)(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys);

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
    {phys_test::any, code_bit(SUBSYSTEM_BLOCK), bus_test::on_platform, call_platform_block, "hwtrack_set_platform_block_hd",
     refusal::none, LOG_DEBUG},
    {phys_test::any, code_bit(SUBSYSTEM_BLOCK), bus_test::not_on_platform, call_usb_block, "hwtrack_set_usb_block_hd", refusal::none,
     LOG_DEBUG},
    {phys_test::gadget, code_bit(SUBSYSTEM_TTY), bus_test::always, hwtrack_set_gadget_hd, "hwtrack_set_gadget_hd", refusal::none,
     LOG_DEBUG},
    {phys_test::gadget, code_bit(SUBSYSTEM_NET), bus_test::always, hwtrack_set_gadget_hd, "hwtrack_set_gadget_hd", refusal::none,
     LOG_ERR},
    {phys_test::other, code_bit(SUBSYSTEM_TTY), bus_test::on_platform, hwtrack_set_platform_hd, "hwtrack_set_platform_hd",
     refusal::none, LOG_ERR},
    {phys_test::other, code_bit(SUBSYSTEM_TTY), bus_test::phys_usb_serial, hwtrack_set_usb_hd, "hwtrack_set_usb_hd", refusal::none,
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
    case bus_test::phys_usb_serial: return "the physical device is on usb-serial";
    case bus_test::phys_usb: return "the physical device is on usb";
    case bus_test::virtual_gadget_tty: return "a gadget serial port in /devices/virtual/tty";
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

bool bus_matches(bus_test test, bool on_platform, const sysfs_device *dev, const sysfs_device *phys) {
  switch (test) {
    case bus_test::always: return true;
    case bus_test::on_platform: return on_platform;
    case bus_test::not_on_platform: return !on_platform;
    case bus_test::phys_usb_serial: return phys && text_equals(phys->subsystem.c_str(), "usb-serial");
    case bus_test::phys_usb: return phys && text_equals(phys->subsystem.c_str(), "usb");
    case bus_test::virtual_gadget_tty: return is_virtual_gadget_tty(dev);
  }
  return false;
}

const selection_row *select_row(subsystem_code code, bool on_platform, const sysfs_device *dev, const sysfs_device *phys) {
  if (code < 0 || code >= SUBSYSTEM_UNKNOWN) return nullptr;
  for (const selection_row &row : selection_table) {
    if ((row.codes & code_bit(code)) && phys_matches(row.phys, phys) && bus_matches(row.bus, on_platform, dev, phys))
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
  char path[hw::kPathSize];
  hw::strlcpy(path, dev->devpath.c_str(), sizeof(path));
  hw::strlcat(path, "/", sizeof(path));
  hw::strlcat(path, "device", sizeof(path));
  sysfs_device *linked = sysfs_device_get(path);
  sysfs_device *phys = beyond_serial_base(linked);
  if (phys != linked) consulted(linked, "serial-base port");
  return phys;
}

sysfs_device *get_platform_node(sysfs_device *dev) {
  if (!dev) return nullptr;
  // A platform device below a USB device (a USB-attached SoC function, say)
  // is still a USB device as far as identity goes.
  if (sysfs_device_get_parent_with_subsystem(dev, "usb")) return nullptr;
  if (text_equals(dev->subsystem.c_str(), "platform")) return dev;
  return sysfs_device_get_parent_with_subsystem(dev, "platform");
}

int check_mmc_partition(sysfs_device *dev) {
  if (!dev) return -1;
  const sysfs_device *card = sysfs_device_get_parent_with_subsystem(dev, "mmc");
  consulted(card, "mmc card");
  if (!card) return -1;
  // Below the sysfs root in use, like every other lookup, so that a tree
  // under SYSFS_PATH answers for its own cards.
  char path[hw::kPathSize];
  hw::formatf(path, sizeof(path), "%s%s/%sp1", sysfs_path(), dev->devpath.c_str(), dev->kernel.c_str());
  hw::dir_handle dir(opendir(path));
  return dir ? 1 : 0;
}

namespace {

// Both entry points log as the one the rules name.
#define ENTRY_LOG(priority, fmt, ...) \
  hwlog_write((priority), HWLOG_MODULE, "hwtrack_set_hd_by_devpath", __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

int identify(subsystem_code code, hwdev *hd, const char *devpath) {
  if (trace) *trace = hwtrack_identify_trace{};
  sysfs_device *dev = sysfs_device_get(devpath);
  if (!dev) {
    ENTRY_LOG(LOG_ERR, "unable to access '%s'", devpath);
    return -1;
  }
  consulted(dev, "class device");
  sysfs_device *phys = get_physical_device(dev);
  consulted(phys, "physical device");
  const sysfs_device *platform_node = get_platform_node(phys ? phys : dev);
  consulted(platform_node, "platform node");
  const bool on_platform = platform_node != nullptr;

  const selection_row *row = select_row(code, on_platform, dev, phys);
  trace_selection(code, row);
  if (!row) return -1;

  if (!row->kind) {
    if (row->message == refusal::device_not_found)
      ENTRY_LOG(row->level, "###hwtrack### device not found");
    else if (row->message == refusal::unknown_subsystem)
      ENTRY_LOG(row->level, "###hwtrack### unknown subsystem (subsystem=%s)", phys->subsystem.c_str());
    return -1;
  }

  if (row->kind(code, hd, dev, phys) < 0) {
    ENTRY_LOG(row->level, "###hwtrack### failed in %s()", row->kind_name);
    return -1;
  }

  // A device unplugged while its add is handled reads as missing or empty
  // attributes, and an identity made of what was left (an adapter without
  // its serial number) would be a new, lasting class entry. Its folder goes
  // before its parents' attributes do, so a folder still there after every
  // read vouches for what was read.
  if (!sysfs_device_present(dev)) {
    ENTRY_LOG(LOG_DEBUG, "###hwtrack### device vanished while identified (devpath=%s)", dev->devpath.c_str());
    return -1;
  }

  complete_record(code, hd, dev, devpath);
  return 0;
}

#undef ENTRY_LOG

}  // namespace

int hwtrack_identify(subsystem_code code, hwdev *hd, const char *devpath) { return identify(code, hd, devpath); }

void hwtrack_trace_identification(hwtrack_identify_trace *to) { trace = to; }

int hwtrack_set_hd_by_devpath(subsystem_code code, hwdev *hd, const char *devpath) {
  if (identify(code, hd, devpath) < 0) return -1;
  (void)hwdev_fixup(hd);
  return 0;
}

int hwtrack_set_gadget_hd(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys) {
  // The gadget function hangs below the UDC, which hangs below the SoC's
  // USB controller: the controller two platform levels up names the gadget.
  sysfs_device *udc = sysfs_device_get_parent_with_subsystem(dev, "platform");
  sysfs_device *controller = udc ? sysfs_device_get_parent_with_subsystem(udc, "platform") : nullptr;
  consulted(udc, "platform parent");
  consulted(controller, "names the gadget");
  if (!controller) {
    HWLOG(LOG_ERR, "platform sysfs node not found (devpath=%s)", dev->devpath.c_str());
    return -1;
  }

  hd->id.format("gadget-%s-%s", subsystem_name(code), controller->kernel.c_str());
  hd->loc.set("gadget");
  hd->driver.set(phys ? phys->driver.c_str() : "");
  return 0;
}

namespace {

constexpr char kUdcClassDir[] = "/class/udc";

// The name of the only device-side controller in /class/udc; the number of
// controllers found otherwise (0, or 2 for "several").
int only_udc(char (&name)[hw::kPathSize]) {
  char path[hw::kPathSize];
  hw::formatf(path, sizeof(path), "%s%s", sysfs_path(), kUdcClassDir);
  hw::dir_handle dir(opendir(path));
  int count = 0;
  for (const dirent *entry; dir && count < 2 && (entry = readdir(dir.get()));) {
    if (entry->d_name[0] == '.') continue;
    hw::strlcpy(name, entry->d_name, sizeof(name));
    ++count;
  }
  return count;
}

}  // namespace

int hwtrack_set_gadget_serial_hd(subsystem_code code, hwdev *hd, sysfs_device *, sysfs_device *) {
  // The serial function belongs to the board's device-side controller;
  // with none, or several to choose from, it belongs to none we can name.
  char name[hw::kPathSize];
  const int count = only_udc(name);
  if (count != 1) {
    HWLOG(LOG_DEBUG, "###hwtrack### gadget tty not tracked - %s udc controller", count == 0 ? "no" : "more than one");
    return -1;
  }
  char path[hw::kPathSize];
  hw::formatf(path, sizeof(path), "%s/%s", kUdcClassDir, name);
  sysfs_device *udc = sysfs_device_get(path);
  // The udc device hangs from the controller (ci_hdrc.0), which hangs from
  // the SoC's USB block (2184000.usb): the platform device that named the
  // gadget's functions on the kernels that parented them to the gadget.
  sysfs_device *controller = get_physical_device(udc);
  sysfs_device *named_by = sysfs_device_get_parent(controller);
  consulted(udc, "udc");
  consulted(controller, "udc controller");
  consulted(named_by, "names the gadget");
  if (!named_by) {
    HWLOG(LOG_DEBUG, "###hwtrack### gadget tty not tracked - udc controller without parent (udc=%s)", name);
    return -1;
  }
  // The gadget device, linked from its udc since 6.0 ("gadget.<n>").
  hw::formatf(path, sizeof(path), "%s/gadget", udc->devpath.c_str());
  const sysfs_device *gadget = sysfs_device_get(path);
  consulted(gadget, "gadget device");

  hd->id.format("gadget-%s-%s", subsystem_name(code), named_by->kernel.c_str());
  hd->loc.set("gadget");
  hd->driver.set(gadget ? gadget->driver.c_str() : "");
  return 0;
}

int hwtrack_set_platform_hd_with_extra(subsystem_code, hwdev *hd, sysfs_device *dev, sysfs_device *phys, const char *id_suffix,
                                       const char *loc_suffix) {
  sysfs_device *node = get_platform_node(dev);
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

  if (dev_id != 0)
    hd->id.format("platform-%s-%d", node->kernel.c_str(), dev_id);
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

namespace {

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

// Logs a missing attribute on behalf of func. An empty one counts as
// missing: it is what a device being torn down reads as, and it would make
// a location such as "usb1-1.2:.0".
const char *required_attr(const char *func, const sysfs_device *dev, const char *name) {
  const char *value = sysfs_attr_get_value(dev->devpath.c_str(), name);
  if (value && !*value) value = nullptr;
  if (!value)
    hwlog_write(LOG_ERR, HWLOG_MODULE, func, __LINE__, "###hwtrack### missing attr (attr=%s,devpath=%s)", name,
                dev->devpath.c_str());
  return value;
}

}  // namespace

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
  if (!(a.interface_number = required_attr(__func__, interface, "bInterfaceNumber"))) return -1;
  if (!(a.driver = required_attr(__func__, interface, "driver"))) return -1;
  if (!(a.vendor = required_attr(__func__, usb_dev, "idVendor"))) return -1;
  if (!(a.product = required_attr(__func__, usb_dev, "idProduct"))) return -1;
  if (!(a.busnum = required_attr(__func__, usb_dev, "busnum"))) return -1;

  // Devices wired to the board's internal bus are part of the board itself.
  if (leading_decimal(a.busnum) == leading_decimal(INTERNAL_USB_BUS)) {
    HWLOG(LOG_DEBUG, "!!! internal device detected - ignored !!!");
    return -1;
  }

  if (!(a.port_path = required_attr(__func__, usb_dev, "devpath"))) return -1;
  if (!(a.configuration = required_attr(__func__, usb_dev, "bConfigurationValue"))) return -1;
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

  hd->loc.format("usb%s-%s:%s.%d", a.busnum, a.port_path, a.configuration, leading_decimal(a.interface_number));
  append_suffix(hd->loc, loc_suffix);

  hd->driver.set(a.driver);
  return 0;
}

int hwtrack_set_usb_hd(subsystem_code code, hwdev *hd, sysfs_device *dev, sysfs_device *phys) {
  return hwtrack_set_usb_hd_with_extra(code, hd, dev, phys, nullptr, nullptr);
}

namespace {

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

}  // namespace

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

int hwtrack_set_usb_block_hd(subsystem_code code, hwdev *hd, sysfs_device *dev) {
  const char *partition = partition_of(dev);
  if (!partition) {
    HWLOG(LOG_DEBUG, "###hwtrack### no partition found");
    return -1;
  }
  sysfs_device *interface = sysfs_device_get_parent_with_subsystem(dev, "usb");
  if (!interface) {
    HWLOG(LOG_ERR, "###hwtrack### usb subsystem not found");
    return -1;
  }
  return hwtrack_set_usb_hd_with_extra(code, hd, dev, interface, partition, partition);
}
