// SPDX-License-Identifier: MIT
#pragma once
// The board settings the daemon reads from the RDB ("sys.hw.cfg."), besides
// the log level and the class script: how this board is wired. They are
// read at start-up and at the start-over after a late RDB; a reload reads
// them again through the same call.

struct sysfs_device;

// Which USB buses are the board's own (a LAN chip, an on-board modem):
// devices on them are never tracked. A list, separated by commas or blanks,
// of bus numbers ("2"), host controllers named by their device
// ("fc000000.usb", any device above the bus's root hub) or root hubs by
// devpath ("/devices/platform/fc000000.usb/xhci-hcd.0.auto/usb3");
// "none" or empty: no bus is. Absent: INTERNAL_USB_BUS.
inline constexpr char kInternalUsbBusVar[] = "sys.hw.cfg.internal_usb_bus";
inline constexpr char INTERNAL_USB_BUS[] = "2";

// (Re)reads every board setting; an absent variable, or an RDB that cannot
// be read, gives the default. Logs the values in use at LOG_INFO.
void hwtrack_read_settings();

// The value of sys.hw.cfg.internal_usb_bus in use.
const char *hwtrack_internal_usb_bus();
// Whether a USB device is on one of the internal buses: its bus number
// (busnum, as the device reports it), its root hub or a device above that
// is named by the setting.
bool hwtrack_is_internal_usb(sysfs_device *usb_dev, const char *busnum);
