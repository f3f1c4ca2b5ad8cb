// SPDX-License-Identifier: MIT
// Device add and remove: attaches each identified device to its class entry,
// mirrors both in the RDB and runs the class script on every change of a
// class entry's status.

#include "core/devmgr.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/log.h"
#include "base/path_size.h"
#include "base/strutil.h"
#include "core/identify.h"
#include "core/script.h"
#include "rdb/rdb.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

constexpr char kHwclassScriptVar[] = "sys.hw.cfg.hwclass_script";
constexpr size_t kScriptCmdlineSize = 1024;

// Set by a remove that freed a record devices wait for; taken by the loop.
bool rescan_wanted = false;

// The lines that describe a device, logged on behalf of the caller.
void log_device_lines(hwlog_site at, int level, const hwdev *hd) {
  HWLOG_AT(at, level, "name    : %s", hd->name.c_str());
  HWLOG_AT(at, level, "loc     : %s", hd->loc.c_str());
  HWLOG_AT(at, level, "id      : %s", hd->id.c_str());
  HWLOG_AT(at, level, "devpath : %s", hd->devpath.c_str());
}

// The script sees the entry "removed" while "dev", "name" and "mac" still
// name the device; only then is the device cleared from the entry.
void detach_class(hwcls *cls) {
  cls->status = HWCLS_STATUS_REMOVED;
  hwcls_write_to_rdb(cls, 0);
  hwtrack_call_script(cls);
  cls->hd = nullptr;
  hwcls_write_to_rdb(cls, 1);
}

// One devpath announced twice without a remove in between (a lost remove
// event, or a device both found by the start-up scan and announced) means
// the earlier record is gone: release it as a remove would, so that no
// phantom record, stale "sys.hw.dev." variables or lost pool slot remain.
// taken is the entry the new record is about to be attached to; when the
// earlier record held it, the duplicate block has already reported it removed.
void release_earlier_record(hwdev *earlier, hwcls *taken) {
  hwcls *cls = earlier->cls;
  if (cls && cls->hd == earlier) {
    if (cls == taken) {
      cls->hd = nullptr;
    } else if (cls->status == HWCLS_STATUS_INSERTED) {
      detach_class(cls);
    } else {
      cls->hd = nullptr;
      hwcls_write_to_rdb(cls, 1);
    }
  }
  earlier->cls = nullptr;
  hwdev_write_to_rdb(earlier, 1);
  hwdev_put(earlier, 1);
}

// The record holds its entry for the very device identified again: same
// identity and name. A device both found by the start-up scan and announced
// by its queued add event is one such.
bool holds_same_device(const hwdev *earlier, const hwdev *hd) {
  return earlier->cls && earlier->cls->hd == earlier && strcmp(earlier->id.c_str(), hd->id.c_str()) == 0 &&
         strcmp(earlier->loc.c_str(), hd->loc.c_str()) == 0 && strcmp(earlier->name.c_str(), hd->name.c_str()) == 0;
}

bool is_device_type(int type) {
  return type == HWDEV_TYPE_SERIAL || type == HWDEV_TYPE_ETH || type == HWDEV_TYPE_STORAGE;
}

// Links the entry and the record both ways, makes the entry "inserted",
// writes both and runs the script; the lines are logged on behalf of the
// caller.
void attach_class(hwcls *cls, hwdev *hd, hwlog_site at) {
  cls->id.set(hd->id.c_str());
  cls->loc.set(hd->loc.c_str());
  cls->hd = hd;
  hd->cls = cls;
  if (is_device_type(hd->type)) {
    cls->type = hd->type;
  } else {
    cls->type = HWCLS_TYPE_NONE;
    HWLOG_AT(at, LOG_ERR, "###hwtrack### unknown hwdev type (hd->type=%d)", hd->type);
  }
  cls->status = HWCLS_STATUS_INSERTED;
  (void)hwcls_fixup(cls, 0);

  hwdev_write_to_rdb(hd, 0);
  hwcls_write_to_rdb(cls, 0);

  HWLOG_AT(at, LOG_DEBUG, "* update class info");
  HWLOG_AT(at, LOG_DEBUG, "name    : %s", hd->name.c_str());
  HWLOG_AT(at, LOG_DEBUG, "idx     : %d", cls->index);
  HWLOG_AT(at, LOG_DEBUG, "loc     : %s", hd->loc.c_str());
  HWLOG_AT(at, LOG_DEBUG, "id      : %s", hd->id.c_str());
  HWLOG_AT(at, LOG_DEBUG, "devpath : %s", hd->devpath.c_str());

  hwtrack_call_script(cls);
}

// A present device that took the entry with the same identity before the
// holder did (another port of one platform device), to hold it now.
hwdev *present_sharer_of(const hwcls *cls) {
  for (hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd))
    if (hd->cls == cls && hd != cls->hd && sysfs_device_get(hd->devpath.c_str())) return hd;
  return nullptr;
}

// A script that failed left the entry's users (links, connections) as they
// were: the field log says which entry and how. status is a wait status.
void report_script_failure(const hwcls *cls, int status) {
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    HWLOG(LOG_WARNING, "class script failed for %s%s (%s) - exit status %d", kHwclsRdbPrefix, hwcls_rdb_name(cls),
          hwcls_status_name(cls), WEXITSTATUS(status));
  else if (WIFSIGNALED(status))
    HWLOG(LOG_WARNING, "class script failed for %s%s (%s) - ended by signal %d", kHwclsRdbPrefix,
          hwcls_rdb_name(cls), hwcls_status_name(cls), WTERMSIG(status));
}

// Attaches the identified record to the entry it matches, or to a new one
// (the add from its class lookup on); earlier is the record filed under the
// same devpath before it, if any. -1 when no entry could be had: the record
// is left to the caller.
int attach_identified(hwdev *hd, hwdev *earlier, hwlog_site at) {
  hwcls *cls = nullptr;
  if (hwcls_find_for_hwdev(hd, &cls) < 0 || !cls) {
    HWLOG_AT(at, LOG_DEBUG, "* new device found");
    log_device_lines(at, LOG_DEBUG, hd);
    cls = hwcls_get();
    if (!cls) {
      HWLOG_AT(at, LOG_ERR, "failed in hwcls_get()");
      return -1;
    }
  }

  // The entry is held by a device whose remove was never seen: report that
  // device gone before the new one takes the entry over.
  if (cls->status == HWCLS_STATUS_INSERTED) {
    HWLOG_AT(at, LOG_WARNING, "device already inserted - possibly missing udev message");
    HWLOG_AT(at, LOG_WARNING, "* detail of duplicated device");
    log_device_lines(at, LOG_WARNING, hd);
    HWLOG_AT(at, LOG_WARNING, "remove the previously inserted device (name:'%s')", hd->name.c_str());
    cls->status = HWCLS_STATUS_REMOVED;
    hwcls_write_to_rdb(cls, 0);
    hwtrack_call_script(cls);
  }
  if (earlier) release_earlier_record(earlier, cls);

  attach_class(cls, hd, at);
  return 0;
}

// Takes the record's device off its class entry as a remove does; the entry
// it held, if any. Only the holder of an entry detaches it. A record whose
// entry another device took over (a duplicate add, a device sharing its
// identity, a remove arriving late) leaves the entry to that device.
hwcls *detach_record(hwdev *hd, const char *devpath, hwlog_site at) {
  hwcls *held = hd->cls && hd->cls->hd == hd ? hd->cls : nullptr;
  if (held)
    detach_class(held);
  else if (hd->cls)
    HWLOG_AT(at, LOG_DEBUG, "###hwtrack### class entry held by another device - left alone (devpath=%s)", devpath);
  else
    HWLOG_AT(at, LOG_ERR, "###hwtrack### orphan hwdev detected");
  hd->cls = nullptr;
  hwdev_write_to_rdb(hd, 1);
  return held;
}

// Hands a detached record back to the pool (last in line); the entry it
// held goes to a present device sharing its identity.
void hand_back(hwdev *hd, hwcls *held, hwlog_site at) {
  hwdev_put(hd, 1);

  // The entry's identity is still present: the device that shared it holds it now.
  if (hwdev *heir = held ? present_sharer_of(held) : nullptr) attach_class(held, heir, at);

  // Devices refused while every record was in use are in sysfs still: the
  // record freed here is theirs, once the loop rescans.
  if (hwdev_pool_ran_out()) {
    HWLOG_AT(at, LOG_INFO, "hwdev freed while devices wait for one - rescanning");
    rescan_wanted = true;
  }
}

void empty_texts(hwdev *hd) {
  for (char *text : {hd->name.data(), hd->loc.data(), hd->id.data(), hd->devpath.data(), hd->driver.data(),
                     hd->mac.data()})
    text[0] = '\0';
}

}  // namespace

namespace {

// A partition that appears on a disk tracked whole (a card written with a
// partition table, or whose partitions the kernel read after the disk's
// change) takes the disk's identity: the disk, no longer a partition of its
// own, is removed first.
void release_whole_disk(hwlog_site at, const char *partition_devpath) {
  const char *slash = strrchr(partition_devpath, '/');
  if (!slash) return;
  char disk[hw::kPathSize];
  hw::strlcpy(disk, partition_devpath, std::min(sizeof(disk), static_cast<size_t>(slash - partition_devpath) + 1));
  if (!hwdev_find_by_devpath(disk)) return;
  HWLOG_AT(at, LOG_INFO, "disk tracked whole got a partition - removed (devpath=%s)", disk);
  hwtrack_remove_hwdev(SUBSYSTEM_BLOCK, disk);
}

}  // namespace

int hwtrack_add_new_hwdev(subsystem_code code, const char *devpath) {
  if (code == SUBSYSTEM_BLOCK) release_whole_disk(HWLOG_SITE(__func__), devpath);
  // Looked up before the new record is filed under the same devpath.
  hwdev *earlier = hwdev_find_by_devpath(devpath);

  hwdev *hd = hwdev_get();
  if (!hd) {
    HWLOG(LOG_ERR, "failed in hwdev_get()");
    return -1;
  }

  if (hwtrack_set_hd_by_devpath(code, hd, devpath) < 0) {
    HWLOG(LOG_DEBUG, "failed in hwtrack_set_hd_by_devpath()");
    hwdev_put(hd, 0);
    return -1;
  }

  if (earlier && holds_same_device(earlier, hd)) {
    HWLOG(LOG_DEBUG, "###hwtrack### device already added - nothing changed (devpath=%s)", devpath);
    hwdev_put(hd, 0);
    return 0;
  }

  if (attach_identified(hd, earlier, HWLOG_SITE(__func__)) < 0) {
    hwdev_put(hd, 0);
    return -1;
  }
  return 0;
}

int hwtrack_remove_hwdev(subsystem_code, const char *devpath) {
  hwdev *hd = hwdev_find_by_devpath(devpath);
  if (!hd) {
    HWLOG(LOG_DEBUG, "no hwdev found");
    return -1;
  }
  hwcls *held = detach_record(hd, devpath, HWLOG_SITE(__func__));
  hand_back(hd, held, HWLOG_SITE(__func__));
  return 0;
}

int hwtrack_move_hwdev(subsystem_code code, const char *devpath, const char *devpath_old) {
  hwdev *hd = hwdev_find_by_devpath(devpath_old);
  if (!hd) {
    HWLOG(LOG_DEBUG, "no hwdev found");
    return -1;
  }
  if (sysfs_device_get(devpath_old) && hwtrack_same_device(hd)) {
    HWLOG(LOG_DEBUG, "###hwtrack### device still at its old devpath - not moved (devpath_old=%s)", devpath_old);
    return -1;
  }
  hwdev *earlier = hwdev_find_by_devpath(devpath);
  if (earlier == hd) earlier = nullptr;  // moved to where it was: another device is there now

  // The record stays out of the pool throughout: with every record in use,
  // one handed back here would go to a device waiting for one, and the
  // moved device would find none.
  hwcls *held = detach_record(hd, devpath_old, HWLOG_SITE(__func__));
  empty_texts(hd);
  if (hwtrack_set_hd_by_devpath(code, hd, devpath) < 0) {
    HWLOG(LOG_DEBUG, "failed in hwtrack_set_hd_by_devpath()");
  } else if (attach_identified(hd, earlier, HWLOG_SITE(__func__)) == 0) {
    return 0;
  }
  hand_back(hd, held, HWLOG_SITE(__func__));
  return -1;
}

int hwtrack_change_hwdev(subsystem_code code, const char *devpath) {
  // Only a USB disk keeps its device while its medium comes and goes (the
  // slot of a card reader); an SD card brings a disk of its own.
  sysfs_device *dev = code == SUBSYSTEM_BLOCK ? sysfs_device_get(devpath) : nullptr;
  if (!dev || sysfs_attr_get_value(devpath, "partition") || !sysfs_device_get_parent_with_subsystem(dev, "usb"))
    return -1;
  hwdev *hd = hwdev_find_by_devpath(devpath);
  if (hd && hwtrack_same_device(hd)) return -1;
  int done = -1;
  if (hd && hwtrack_remove_hwdev(code, devpath) == 0) done = ACTION_REMOVE;
  if (hwtrack_add_new_hwdev(code, devpath) == 0) done = ACTION_ADD;
  return done;
}

bool hwtrack_take_rescan_request() { return std::exchange(rescan_wanted, false); }

int hwtrack_call_script(hwcls *cls) {
  const char *script = rdb_get_value(kHwclassScriptVar);
  if (!script || !*script) {
    HWLOG(LOG_ERR, "hwtrack script not specified [%s]", kHwclassScriptVar);
    return -1;
  }

  // Only the entry's own names reach the shell, never a text that a device
  // reported.
  char cmdline[kScriptCmdlineSize];
  hw::formatf(cmdline, sizeof(cmdline), "%s %s%s %s %d %s", script, kHwclsRdbPrefix, hwcls_rdb_name(cls),
              hwcls_type_name(cls), cls->index, hwcls_status_name(cls));

  const int status = hwtrack_run_script(cmdline);
  if (status == -1) return -1;
  report_script_failure(cls, status);
  return (status >> 8) & 0xff;
}
