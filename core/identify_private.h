// SPDX-License-Identifier: MIT
#pragma once
// Steps of identification (identify.cpp) that tests check on their own; the
// daemon reaches them through hwtrack_set_hd_by_devpath.

struct sysfs_device;

// The device a device is named after: the nearest of it and its parents on
// the platform, AMBA or PnP bus or a PCI function; nullptr when it sits below
// a USB device or on none.
sysfs_device *get_platform_node(sysfs_device *dev);
// Whether an SD card's disk has a partition table (1: it has a first
// partition, 0: it has none, -1: no mmc card above it).
int check_mmc_partition(sysfs_device *dev);
