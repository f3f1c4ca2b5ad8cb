// SPDX-License-Identifier: MIT
#pragma once
// Steps of identification (identify.cpp) that tests check on their own; the
// daemon reaches them through hwtrack_set_hd_by_devpath.

struct sysfs_device;

// The platform device a device belongs to, or nullptr when it sits below a
// USB device or on no platform device.
sysfs_device *get_platform_node(sysfs_device *dev);
// Whether an SD card's disk has a partition table (1: it has a first
// partition, 0: it has none, -1: no mmc card above it).
int check_mmc_partition(sysfs_device *dev);
