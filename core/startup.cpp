// SPDX-License-Identifier: MIT
// Start-up reconciliation: brings the RDB and both tables in line with the
// hardware before the first event is handled, and again whenever the kernel
// reports lost events.

#include "core/startup.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <cstdlib>
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
    if (cls->status != HWCLS_STATUS_REMOVED || hwtrack_stop_requested()) continue;
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
  for (int stat = hwcls_first(&cls); stat == 0 && cls && !hwtrack_stop_requested(); stat = hwcls_next(&cls)) {
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

// A stop request ends the scan before the next device: one that is added
// is added with its script, the rest are not.
int build_hwdev_from_sysfs(const char *subsystem, int exclude) {
  class_scan scan;
  for (class_scan::step step; !hwtrack_stop_requested() && (step = scan.next()) != class_scan::step::done;) {
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

// Removes every record whose devpath is gone from sysfs, or holds another
// device now, as the lost remove event would have.
int remove_vanished_devices() {
  int removed = 0;
  hwdev *next = nullptr;
  for (hwdev *hd = hwdev_first_in_use(); hd && !hwtrack_stop_requested(); hd = next) {
    next = hwdev_next_in_use(hd);
    if (sysfs_device_get(hd->devpath.c_str()) && hwtrack_same_device(hd)) continue;
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
  if (hwdev_find_by_devpath(devpath) || hwtrack_stop_requested()) return;
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

namespace {

using identity_text = hw::fixed_text<kHwdevTextSize>;

// A present device whose identity the current rules changed.
struct renamed_device {
  int type = HWDEV_TYPE_UNKNOWN;
  identity_text was_id, was_loc, id, loc;
  hw::fixed_text<kHwdevTextSize> name;
  // A present device has was_id and was_loc under the current rules: the
  // entry that carries them is that device's.
  bool was_held = false;
};

// More than a board has: a radio or a UART renamed is one entry each.
constexpr int kMaxRenamed = 32;

struct upgrade_survey {
  renamed_device *renamed = nullptr;
  int count = 0;
  int left_out = 0;
  hwdev now, before;
};

bool same_identity(const hwdev &hd, const char *id, const char *loc) {
  return strcmp(hd.id.c_str(), id) == 0 && strcmp(hd.loc.c_str(), loc) == 0;
}

// Notes a present device whose identity the current rules changed.
void survey_device(subsystem_code code, const char *devpath, void *context) {
  auto &survey = *static_cast<upgrade_survey *>(context);
  if (hwtrack_identify(code, &survey.now, devpath) < 0) return;
  if (hwtrack_identify_by_rules(kHwtrackRulesFirst, code, &survey.before, devpath) < 0 ||
      same_identity(survey.before, survey.now.id.c_str(), survey.now.loc.c_str()))
    return;
  if (survey.count == kMaxRenamed) {
    ++survey.left_out;
    return;
  }
  renamed_device &r = survey.renamed[survey.count++];
  r.type = survey.now.type;
  r.was_id.set(survey.before.id.c_str());
  r.was_loc.set(survey.before.loc.c_str());
  r.id.set(survey.now.id.c_str());
  r.loc.set(survey.now.loc.c_str());
  r.name.set(survey.now.name.c_str());
}

// Marks the renamed devices whose former identity a present device has now.
void mark_held(subsystem_code code, const char *devpath, void *context) {
  auto &survey = *static_cast<upgrade_survey *>(context);
  if (hwtrack_identify(code, &survey.now, devpath) < 0) return;
  for (int i = 0; i < survey.count; ++i)
    if (same_identity(survey.now, survey.renamed[i].was_id.c_str(), survey.renamed[i].was_loc.c_str()))
      survey.renamed[i].was_held = true;
}

// The stored entry of type type that carries id and loc, or nullptr.
hwcls *stored_entry(int type, const char *id, const char *loc, bool of_any_type = false) {
  hwcls *cls = nullptr;
  for (int more = hwcls_first(&cls); more == 0 && cls; more = hwcls_next(&cls))
    if ((of_any_type || cls->type == type) && !cls->is_static && strcmp(cls->id.c_str(), id) == 0 &&
        strcmp(cls->loc.c_str(), loc) == 0)
      return cls;
  return nullptr;
}

// ttyAMA0 before ttyAMA1 before ttyAMA10: which of several devices that
// shared one identity under the first rules keeps its entry.
bool named_before(const renamed_device &a, const renamed_device &b) {
  const size_t la = strlen(a.name.c_str()), lb = strlen(b.name.c_str());
  return la != lb ? la < lb : strcmp(a.name.c_str(), b.name.c_str()) < 0;
}

bool has_stored_entries() {
  hwcls *cls = nullptr;
  for (int more = hwcls_first(&cls); more == 0 && cls; more = hwcls_next(&cls))
    if (!cls->is_static) return true;
  return false;
}

// Rewrites the entries the survey found; the number rewritten.
int move_entries_on(hwlog_site at, upgrade_survey &survey) {
  std::sort(survey.renamed, survey.renamed + survey.count, named_before);
  int moved = 0;
  for (int i = 0; i < survey.count; ++i) {
    const renamed_device &r = survey.renamed[i];
    // An entry of the new identity exists already (an earlier upgrade,
    // undone and done again): the device finds that one.
    if (r.was_held || stored_entry(r.type, r.id.c_str(), r.loc.c_str(), true)) continue;
    hwcls *cls = stored_entry(r.type, r.was_id.c_str(), r.was_loc.c_str());
    if (!cls) continue;
    HWLOG_AT(at, LOG_INFO, "class entry moved to the current identity (rdb=%s%s,id=%s,loc=%s,was=%s,%s)",
             kHwclsRdbPrefix, hwcls_rdb_name(cls), r.id.c_str(), r.loc.c_str(), r.was_id.c_str(), r.was_loc.c_str());
    cls->id.set(r.id.c_str());
    cls->loc.set(r.loc.c_str());
    if (hwcls_fixup(cls, 0) == 0) hwcls_write_to_rdb(cls, 0);
    ++moved;
  }
  return moved;
}

}  // namespace

int upgrade_class_identities() {
  if (!rdb_is_open()) return 0;
  const char *stored = rdb_get_value(kHwtrackRulesVar);
  long version = kHwtrackRulesFirst;
  if (stored) version = strtol(stored, nullptr, 10);
  if (version >= kHwtrackRulesCurrent) return 0;

  int moved = 0;
  if (has_stored_entries()) {
    upgrade_survey survey;
    std::unique_ptr<renamed_device[]> renamed(new (std::nothrow) renamed_device[kMaxRenamed]);
    if (!renamed || !hwtrack_make_probe(survey.now) || !hwtrack_make_probe(survey.before)) {
      HWLOG(LOG_ERR, "class entries not moved to the current identities - out of memory");
      return 0;  // tried again at the next start
    }
    survey.renamed = renamed.get();
    // The identification's refusals are the scans' to report.
    const int mask = hwlog_mask();
    hwlog_set_mask(0);
    hwtrack_for_each_scanned_device(survey_device, &survey);
    if (survey.count) hwtrack_for_each_scanned_device(mark_held, &survey);
    hwlog_set_mask(mask);
    if (survey.left_out)
      HWLOG(LOG_ERR, "class entries of %d renamed devices not moved to their current identities", survey.left_out);
    moved = move_entries_on(HWLOG_SITE(__func__), survey);
  }
  char text[16];
  hw::formatf(text, sizeof(text), "%d", kHwtrackRulesCurrent);
  if (rdb_set_value(kHwtrackRulesVar, text, 1) < 0) HWLOG(LOG_ERR, "failed to write %s", kHwtrackRulesVar);
  HWLOG(LOG_INFO, "identification rules %ld -> %d: %d class entries moved on", version, kHwtrackRulesCurrent, moved);
  return moved;
}

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
