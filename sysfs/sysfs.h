// SPDX-License-Identifier: MIT
#pragma once
// Cached lookups in the kernel's device tree below the sysfs root
// ($SYSFS_PATH, or /sys). Records and attribute values live until the next
// sysfs_cleanup(); the event loop empties the caches before every event.

#include <cstddef>

#include "base/path_size.h"
#include "base/strutil.h"

inline constexpr size_t kSysfsNameSize = 256;   // subsystem, kernel, driver
inline constexpr size_t kSysfsValueSize = 256;  // attribute values

struct sysfs_device {
  sysfs_device *parent = nullptr;  // set once sysfs_device_get_parent found it
  hw::fixed_text<hw::kPathSize> devpath;
  hw::fixed_text<kSysfsNameSize> subsystem;
  hw::fixed_text<kSysfsNameSize> kernel;
  hw::fixed_text<kSysfsNameSize> kernel_number;
  hw::fixed_text<kSysfsNameSize> driver;
};

// The sysfs root in use, without trailing "/" ("" when SYSFS_PATH is "/").
const char *sysfs_path();

int sysfs_init();
void sysfs_cleanup();

sysfs_device *sysfs_device_get(const char *devpath);
sysfs_device *sysfs_device_get_parent(sysfs_device *dev);
sysfs_device *sysfs_device_get_parent_with_subsystem(sysfs_device *dev, const char *subsystem);
const char *sysfs_attr_get_value(const char *devpath, const char *attr_name);
// The link's target is taken relative to the link's directory and resolved
// lexically; a target that climbs above the sysfs root is refused (-1).
int sysfs_resolve_link(char *devpath, size_t size);

// Whether the device's folder is still there, asked of the file system
// rather than the caches: a device can go while it is being identified.
bool sysfs_device_present(const sysfs_device *dev);
