// SPDX-License-Identifier: MIT
#pragma once
// The hwcls table: the stable, persistent name of each device slot ever seen,
// mirrored as "sys.hw.class.<type>.<index>.<key>" and matched to devices by
// identity, else by location.

#include "base/strutil.h"

struct hwdev;

// The entries' variables are named "<prefix><type>.<index>.<key>".
inline constexpr char kHwclsRdbPrefix[] = "sys.hw.class.";

enum hwcls_type {
  HWCLS_TYPE_NONE = 0,
  HWCLS_TYPE_SERIAL = 1,
  HWCLS_TYPE_ETH = 2,
  HWCLS_TYPE_STORAGE = 3,
  HWCLS_TYPE_PHONEMODULE = 4,
  HWCLS_TYPE_COUNT = 5,
};

enum hwcls_status { HWCLS_STATUS_REMOVED = 0, HWCLS_STATUS_INSERTED = 1 };

struct hwcls {
  int index = -1;
  int type = HWCLS_TYPE_NONE;
  hwdev *hd = nullptr;
  hw::fixed_text<128> id;
  hw::fixed_text<128> loc;
  int status = HWCLS_STATUS_REMOVED;
  int enable = 1;
  int is_static = 0;
  hw::fixed_text<32> name;
};

int hwcls_init();
void hwcls_fini();

hwcls *hwcls_get();
void hwcls_release(hwcls *cls);
// Files cls, a record hwcls_get made (-1 for any other), under its id and loc.
int hwcls_fixup(hwcls *cls, int keep_index);
int hwcls_find_for_hwdev(const hwdev *hd, hwcls **cls);

// The rule by which the last hwcls_find_for_hwdev decided (hwtrack-explain
// tells it): none found, the entry of the device's identity at its
// location, the only entry of its identity and free (the device moved), or
// the entry at its location (its identity shared, or its entry held).
enum class hwcls_match { none, identity_and_location, unique_identity, location };
hwcls_match hwcls_last_match();

int hwcls_first(hwcls **cls);
int hwcls_next(hwcls **cls);
int hwcls_write_to_rdb(hwcls *cls, int clear_dev);
int hwcls_read_from_rdb(hwcls *cls, const char *prefix);

int hwcls_type_from_name(const char *name);
// The name of the entry's type; type 0, which has none, reads "(null)",
// as the RDB names and the script's command line spell it.
const char *hwcls_type_name(const hwcls *cls);
const char *hwcls_status_name(const hwcls *cls);
const char *hwcls_rdb_name(const hwcls *cls);
