// SPDX-License-Identifier: MIT
#pragma once
// The hwdev table: one record per device present now, from a pool of 99
// made at start-up, mirrored as volatile "sys.hw.dev.<index>.<key>".

#include <cstddef>

#include "base/path_size.h"
#include "base/strutil.h"

struct hwcls;

// The records' variables are named "<prefix><index>.<key>".
inline constexpr char kHwdevRdbPrefix[] = "sys.hw.dev.";

inline constexpr int kHwdevPoolSize = 99;
inline constexpr size_t kHwdevTextSize = 128;
inline constexpr size_t kHwdevMacSize = 48;

enum hwdev_type { HWDEV_TYPE_UNKNOWN = 0, HWDEV_TYPE_SERIAL = 1, HWDEV_TYPE_ETH = 2, HWDEV_TYPE_STORAGE = 3 };

struct hwdev {
  int index = 0;  // pool slot, 0..98, the number in its RDB names
  hw::heap_text<kHwdevTextSize> name;
  int type = HWDEV_TYPE_UNKNOWN;
  hw::heap_text<kHwdevTextSize> loc;
  hw::heap_text<kHwdevTextSize> id;
  // A whole sysfs devpath: a record filed under a cut devpath would never
  // meet its remove event.
  hw::heap_text<hw::kPathSize> devpath;
  hw::heap_text<kHwdevTextSize> driver;
  hwcls *cls = nullptr;
  hw::heap_text<kHwdevMacSize> mac;
};

int hwdev_init();
void hwdev_fini();

hwdev *hwdev_get();
void hwdev_put(hwdev *hd, int to_back);
int hwdev_fixup(hwdev *hd);
hwdev *hwdev_find_by_devpath(const char *devpath);
int hwdev_write_to_rdb(hwdev *hd, int remove);
const char *hwdev_rdb_name(const hwdev *hd);
// "unknown", "serial", "eth" or "storage"; "unknown" for a type out of range.
const char *hwdev_type_name(int type);

// Whether hwdev_get found the pool empty since the last call (or since
// hwdev_init): devices were refused that a freed record could take.
bool hwdev_pool_ran_out();

// Walk over the records in use, front of the in-use list (the most recently
// taken) first. Fetch the next record before handing the current one back
// with hwdev_put; nullptr at the end or for a record that is not in use.
hwdev *hwdev_first_in_use();
hwdev *hwdev_next_in_use(const hwdev *hd);
