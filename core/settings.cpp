// SPDX-License-Identifier: MIT
// Board settings: what the RDB says about the board's wiring, read at
// start-up (and again on request) so that identification asks a value in
// memory, never the RDB, on the event path.

#include "core/settings.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/log.h"
#include "base/strutil.h"
#include "rdb/rdb.h"
#include "sysfs/sysfs.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

constexpr std::string_view kSeparators = ", \t\r\n";
constexpr std::string_view kNothing = "none";

hw::fixed_text<256> internal_usb_bus{};
bool settings_read = false;

// The next item of a list separated by commas or blanks; empty at the end.
std::string_view next_item(std::string_view &rest) {
  const size_t start = rest.find_first_not_of(kSeparators);
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  const size_t end = std::min(rest.find_first_of(kSeparators), rest.size());
  const std::string_view item = rest.substr(0, end);
  rest.remove_prefix(end);
  return item;
}

// The root hub of the bus a USB device is on ("usb2"): its topmost USB
// ancestor.
sysfs_device *root_hub_of(sysfs_device *usb_dev) {
  sysfs_device *hub = usb_dev;
  for (sysfs_device *up = sysfs_device_get_parent(hub); up && strcmp(up->subsystem.c_str(), "usb") == 0;
       up = sysfs_device_get_parent(up))
    hub = up;
  return hub;
}

// Whether one item of the setting names the device's bus.
bool names_bus(std::string_view item, sysfs_device *usb_dev, const char *busnum) {
  if (item == kNothing) return false;
  // Bus numbers as atoi reads them, so "02" is bus 2.
  if (item.find_first_not_of("0123456789") == std::string_view::npos) return hw::leading_int(item) == hw::leading_int(busnum);
  sysfs_device *hub = root_hub_of(usb_dev);
  if (item.starts_with("/")) {
    // As sysfs shows it too: /sys/devices/...
    if (item.starts_with("/sys/")) item.remove_prefix(4);
    while (item.size() > 1 && item.ends_with('/')) item.remove_suffix(1);
    return hub && item == hub->devpath.c_str();
  }
  for (sysfs_device *up = hub; up; up = sysfs_device_get_parent(up))
    if (item == up->kernel.c_str()) return true;
  return false;
}

}  // namespace

void hwtrack_read_settings() {
  const char *value = rdb_get_value(kInternalUsbBusVar);
  internal_usb_bus.set(value ? value : INTERNAL_USB_BUS);
  settings_read = true;
  HWLOG(LOG_INFO, "internal usb buses: %s (%s%s)", internal_usb_bus.empty() ? "none" : internal_usb_bus.c_str(),
        kInternalUsbBusVar, value ? "" : " not set");
}

const char *hwtrack_internal_usb_bus() { return settings_read ? internal_usb_bus.c_str() : INTERNAL_USB_BUS; }

bool hwtrack_is_internal_usb(sysfs_device *usb_dev, const char *busnum) {
  std::string_view rest = hwtrack_internal_usb_bus();
  for (std::string_view item; !(item = next_item(rest)).empty();)
    if (names_bus(item, usb_dev, busnum)) return true;
  return false;
}
