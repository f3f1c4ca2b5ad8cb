// SPDX-License-Identifier: MIT
// Start-up reconciliation: brings the RDB and both tables in line with the
// hardware before the first event is handled, and again whenever the kernel
// reports lost events.

#include "core/startup.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "base/dir_handle.h"
#include "base/log.h"
#include "base/path_size.h"
#include "base/strutil.h"
#include "core/devmgr.h"
#include "core/identify.h"
#include "core/signals.h"
#include "core/startup_private.h"
#include "rdb/rdb.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

// The longest name an RDB names list can hold.
constexpr size_t kRdbNameBufSize = 4096;

// A devpath the class scan resolves, or a record holds, fits either.
static_assert(decltype(hwdev::devpath)::capacity == decltype(sysfs_device::devpath)::capacity);

struct class_scan_row {
  subsystem_code code;
  const char *dir;
};

constexpr class_scan_row class_scan_table[] = {
    {SUBSYSTEM_TTY, "/class/tty"},
    {SUBSYSTEM_NET, "/class/net"},
    {SUBSYSTEM_BLOCK, "/class/block"},
};

// Walks the entries of the class directories in class_scan_table order and
// resolves each link. It logs nothing, so that each caller's messages carry
// the caller's name.
class class_scan {
 public:
  enum class step { device, unopened_dir, unresolved_link, done };

  step next() {
    for (;;) {
      if (!dir_) {
        if (row_ == std::size(class_scan_table)) return step::done;
        code_ = class_scan_table[row_].code;
        class_dir_ = class_scan_table[row_].dir;
        ++row_;
        if (hw::join_path(path_, {sysfs_path(), "/", class_dir_})) dir_.reset(opendir(path_));
        if (!dir_) return step::unopened_dir;
      }
      const dirent *entry = readdir(dir_.get());
      if (!entry) {
        dir_.reset();
        continue;
      }
      if (entry->d_name[0] == '.') continue;
      hw::formatf(path_, sizeof(path_), "%s/%s", class_dir_, entry->d_name);
      if (sysfs_resolve_link(path_, sizeof(path_)) < 0) {
        error_ = errno;
        return step::unresolved_link;
      }
      return step::device;
    }
  }

  // The class directory that failed to open, the link that failed to
  // resolve, or the resolved devpath of a device.
  const char *path() const { return path_; }
  // The subsystem code of the directory being walked.
  subsystem_code code() const { return code_; }
  int error() const { return error_; }

 private:
  size_t row_ = 0;
  subsystem_code code_ = SUBSYSTEM_UNKNOWN;
  const char *class_dir_ = nullptr;
  hw::dir_handle dir_;
  char path_[hw::kPathSize] = {};
  int error_ = 0;
};

}  // namespace

int delete_hwdev_rdbs() {
  HWLOG(LOG_INFO, "delete RDBs (rdb=%s,regex=%s)", kHwdevRdbPrefix, kHwdevRdbRegex);
  return rdb_regex_enum(kHwdevRdbPrefix, kHwdevRdbRegex, enum_cb_on_delete_hwdev_rdbs, 0);
}

namespace {

// Reads the stored class entry whose id variable is name and files it, as
// kept in the RDB (its type and index); the entry, or nullptr when it is
// left out (logged on behalf of the caller).
hwcls *file_stored_class(const char *name, hwlog_site at) {
  const std::string_view full(name);
  const size_t id_at = full.find(".id");
  if (id_at == std::string_view::npos || id_at >= kRdbNameBufSize) {
    HWLOG_AT(at, LOG_ERR, "hwclass id rdb format is incorrect");
    return nullptr;
  }
  char prefix[kRdbNameBufSize];
  memcpy(prefix, name, id_at);
  prefix[id_at] = '\0';

  hwcls *cls = hwcls_get();
  if (!cls) {
    HWLOG_AT(at, LOG_ERR, "failed in hwcls_get()");
    return nullptr;
  }
  if (hwcls_read_from_rdb(cls, prefix) < 0) {
    HWLOG_AT(at, LOG_ERR, "failed in hwcls_read_from_rdb()");
    hwcls_release(cls);
    return nullptr;
  }
  // Refused when another stored name already led to this entry.
  if (hwcls_fixup(cls, 1) < 0) {
    hwcls_release(cls);
    return nullptr;
  }
  return cls;
}

// Logs as the callback the start-up names.
int enum_cb_on_load_hwcls_from_rdb(const char *name, int) {
  file_stored_class(name, HWLOG_SITE("enum_cb_on_build_hwcls_from_rdb"));
  return 0;
}

// A class entry the RDB still held "inserted" when it was read back (the
// daemon stopped, or died, with its device present), with what the device
// was called then.
struct stored_insertion {
  hwcls *cls;
  hw::fixed_text<kHwdevTextSize> name;
  hw::fixed_text<kHwdevMacSize> mac;
};
std::vector<stored_insertion> stored_insertions;

// Read before the entry is written back "removed", which loses it.
void note_stored_insertion(hwcls *cls) {
  const char *status = rdb_get_value(rdb_format_name("%s%s.status", kHwclsRdbPrefix, hwcls_rdb_name(cls)));
  if (!status || strcmp(status, "inserted") != 0) return;
  stored_insertion noted{cls, {}, {}};
  if (const char *name = rdb_get_value(rdb_format_name("%s%s.name", kHwclsRdbPrefix, hwcls_rdb_name(cls))))
    noted.name.set(name);
  if (const char *mac = rdb_get_value(rdb_format_name("%s%s.mac", kHwclsRdbPrefix, hwcls_rdb_name(cls))))
    noted.mac.set(mac);
  try {
    stored_insertions.push_back(noted);
  } catch (const std::bad_alloc &) {
    HWLOG(LOG_ERR, "failed in malloc() - %s", strerror(ENOMEM));
  }
}

int enum_cb_on_build_hwcls_from_rdb(const char *name, int) {
  if (hwcls *cls = file_stored_class(name, HWLOG_SITE(__func__))) {
    note_stored_insertion(cls);
    hwcls_write_to_rdb(cls, 0);
  }
  return 0;
}

// The script's call sees the device as every "removed" call does, by the
// name and mac it had; its device record ("dev") went with the last run.
void show_departed_device(const stored_insertion &gone) {
  if (gone.cls->is_static) return;  // its name is its own, written with it
  rdb_set_value(rdb_format_name("%s%s.name", kHwclsRdbPrefix, hwcls_rdb_name(gone.cls)), gone.name.c_str(), 0);
  rdb_set_value(rdb_format_name("%s%s.mac", kHwclsRdbPrefix, hwcls_rdb_name(gone.cls)), gone.mac.c_str(), 1);
}

}  // namespace

int build_hwcls_from_rdb() {
  stored_insertions.clear();
  return rdb_regex_enum(kHwclsRdbPrefix, kHwclsRdbRegex, enum_cb_on_build_hwcls_from_rdb, 0);
}

int report_departed_entries() {
  int reported = 0;
  for (const stored_insertion &gone : stored_insertions) {
    hwcls *cls = gone.cls;
    if (cls->status != HWCLS_STATUS_REMOVED || stop_flag) continue;
    HWLOG(LOG_INFO, "###hwtrack### device gone since the last run (rdb=%s%s,name=%s)", kHwclsRdbPrefix,
          hwcls_rdb_name(cls), gone.name.c_str());
    show_departed_device(gone);
    hwtrack_call_script(cls);
    hwcls_write_to_rdb(cls, 1);
    ++reported;
  }
  stored_insertions.clear();
  return reported;
}

int load_hwcls_from_rdb() {
  return rdb_regex_enum(kHwclsRdbPrefix, kHwclsRdbRegex, enum_cb_on_load_hwcls_from_rdb, 0);
}

int build_legacy_devices() {
  hwcls *cls = nullptr;
  for (int stat = hwcls_first(&cls); stat == 0 && cls; stat = hwcls_next(&cls)) {
    if (!cls->enable || !cls->is_static) continue;
    cls->status = HWCLS_STATUS_INSERTED;
    hwcls_write_to_rdb(cls, 0);
    hwtrack_call_script(cls);
  }
  return 0;
}

int is_subsystem(const char *devpath, const char *subsystem) {
  sysfs_device *dev = sysfs_device_get(devpath);
  if (!dev) {
    HWLOG(LOG_ERR, "unable to access '%s'", devpath);
    return 0;
  }
  const sysfs_device *phys = get_physical_device(dev);
  if (!phys) return 0;
  return strcmp(phys->subsystem.c_str(), subsystem) == 0 ? 1 : 0;
}

int build_hwdev_from_sysfs(const char *subsystem, int exclude) {
  class_scan scan;
  for (class_scan::step step; (step = scan.next()) != class_scan::step::done;) {
    if (step == class_scan::step::unopened_dir) {
      HWLOG(LOG_ERR, "not able to access sysfs class (base=%s)", scan.path());
      continue;
    }
    if (step == class_scan::step::unresolved_link) {
      HWLOG(LOG_ERR, "failed in sysfs_resolve_link(devpath=%s) - %s", scan.path(), strerror(scan.error()));
      continue;
    }
    const char *devpath = scan.path();
    const int m = is_subsystem(devpath, subsystem);
    if (m == 1 && exclude) {
      HWLOG(LOG_DEBUG, "subsystem excluded (subsystem=%s,devpath=%s)", subsystem, devpath);
      continue;
    }
    if (m == 0 && !exclude) {
      HWLOG(LOG_DEBUG, "subsystem not matching (subsystem=%s,devpath=%s)", subsystem, devpath);
      continue;
    }
    if (hwtrack_add_new_hwdev(scan.code(), devpath) < 0)
      HWLOG(LOG_DEBUG, "devpath is not a hwdev (devpath=%s)", devpath);
    else
      HWLOG(LOG_INFO, "devpath added as a hwdev (devpath=%s)", devpath);
  }
  return 0;
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

// Whether the device at the record's devpath is still the one the record
// describes: another adapter on the same port has the same devpath.
bool same_device(const hwdev *hd) {
  hwdev now;
  for (bool ok : {now.name.allocate(), now.loc.allocate(), now.id.allocate(), now.devpath.allocate(),
                  now.driver.allocate(), now.mac.allocate()})
    if (!ok) return true;  // no memory to tell: leave the record alone
  return hwtrack_identify(code_of_type(hd->type), &now, hd->devpath.c_str()) == 0 &&
         strcmp(now.id.c_str(), hd->id.c_str()) == 0 && strcmp(now.loc.c_str(), hd->loc.c_str()) == 0;
}

// Removes every record whose devpath is gone from sysfs, or holds another
// device now, as the lost remove event would have.
int remove_vanished_devices() {
  int removed = 0;
  hwdev *next = nullptr;
  for (hwdev *hd = hwdev_first_in_use(); hd; hd = next) {
    next = hwdev_next_in_use(hd);
    if (sysfs_device_get(hd->devpath.c_str()) && same_device(hd)) continue;
    char devpath[hw::kPathSize];
    hw::strlcpy(devpath, hd->devpath.c_str(), sizeof(devpath));
    if (hwtrack_remove_hwdev(SUBSYSTEM_UNKNOWN, devpath) == 0) {
      HWLOG(LOG_INFO, "vanished hwdev removed (devpath=%s)", devpath);
      ++removed;
    }
  }
  return removed;
}

// Adds the device when it has no record; counts it in *added.
void add_unknown_device(subsystem_code code, const char *devpath, void *added) {
  if (hwdev_find_by_devpath(devpath)) return;
  if (hwtrack_add_new_hwdev(code, devpath) < 0) {
    HWLOG(LOG_DEBUG, "devpath is not a hwdev (devpath=%s)", devpath);
    return;
  }
  HWLOG(LOG_INFO, "devpath added as a hwdev (devpath=%s)", devpath);
  ++*static_cast<int *>(added);
}

// Adds the devices of the class directories that have no record, in the
// start-up scans' order, so new class entries get their indexes in the
// same order. Directories and links that fail were reported by the
// start-up scan already.
int add_unknown_devices() {
  int added = 0;
  hwtrack_for_each_scanned_device(add_unknown_device, &added);
  return added;
}

}  // namespace

void hwtrack_for_each_scanned_device(hwtrack_scan_visitor visit, void *context) {
  for (const int platform_pass : {1, 0}) {
    class_scan scan;
    for (class_scan::step step; (step = scan.next()) != class_scan::step::done;) {
      if (step != class_scan::step::device) continue;
      const char *devpath = scan.path();
      if (is_subsystem(devpath, "platform") == platform_pass) visit(scan.code(), devpath, context);
    }
  }
}

int hwtrack_resync() {
  HWLOG(LOG_INFO, "resync hwdevs with sysfs");
  // Answers cached earlier in this pass may predate the lost events.
  sysfs_cleanup();
  sysfs_init();
  // Removals first: a device that moved to another port while events were
  // lost then finds its class entry free again.
  const int removed = remove_vanished_devices();
  const int added = add_unknown_devices();
  HWLOG(LOG_INFO, "resync done (added=%d,removed=%d)", added, removed);
  return added + removed;
}
