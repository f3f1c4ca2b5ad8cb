// SPDX-License-Identifier: MIT
// Device add and remove: attaches each identified device to its class entry,
// mirrors both in the RDB and runs the class script on every change of a
// class entry's status.

#include "core/devmgr.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/log.h"
#include "base/path_size.h"
#include "base/strutil.h"
#include "core/hwtrack.h"
#include "core/identify.h"
#include "core/startup.h"
#include "rdb/rdb.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

constexpr char kHwclassScriptVar[] = "sys.hw.cfg.hwclass_script";
constexpr size_t kScriptCmdlineSize = 1024;

// A stop request waits this long for a class script that is running, then
// the script's process group gets SIGTERM, and SIGKILL this long after that.
constexpr auto kScriptStopWait = std::chrono::seconds(10);
constexpr auto kScriptTermWait = std::chrono::seconds(2);

using script_clock = std::chrono::steady_clock;

// "/bin/sh -c cmdline", as system() runs it, but with every signal the
// daemon blocks or ignores (SIGPIPE) back to its default and nothing
// blocked, and in a process group of its own, which a stop can end whole.
// The script gets the daemon's environment and its descriptors 0 to 2
// (every other descriptor is close-on-exec). -1 when it cannot be started.
pid_t spawn_shell(const char *cmdline) {
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return -1;
  sigset_t defaults, none;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signo : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signo);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  char sh[] = "sh", dash_c[] = "-c";
  char *argv[] = {sh, dash_c, const_cast<char *>(cmdline), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    HWLOG(LOG_ERR, "failed to start the class script - %s", strerror(rc));
    return -1;
  }
  return pid;
}

timespec time_left(script_clock::time_point deadline) {
  const auto left = std::max(deadline - script_clock::now(), script_clock::duration::zero());
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  return ts;
}

// Waits for the script and returns its wait status (-1 if it cannot be
// had). wake holds SIGCHLD, SIGINT and SIGTERM, blocked by the caller: they
// are taken here with sigtimedwait, so a stop request is heard while the
// script runs (and stop_flag set as the handler would set it).
int wait_for_script(pid_t pid, const sigset_t &wake) {
  enum class stage { running, stopping, terminated, killed } now_at = stage::running;
  script_clock::time_point deadline{};
  int status = -1;
  bool reaped = false;
  for (;;) {
    if (now_at == stage::running && stop_flag) {
      HWLOG(LOG_INFO, "stop requested - waiting up to %d s for the class script (pid %d)",
            static_cast<int>(kScriptStopWait.count()), static_cast<int>(pid));
      now_at = stage::stopping;
      deadline = script_clock::now() + kScriptStopWait;
    } else if (now_at == stage::stopping && script_clock::now() >= deadline) {
      HWLOG(LOG_ERR, "class script (pid %d) still runs %d s after the stop request - sending SIGTERM",
            static_cast<int>(pid), static_cast<int>(kScriptStopWait.count()));
      kill(-pid, SIGTERM);
      now_at = stage::terminated;
      deadline = script_clock::now() + kScriptTermWait;
    } else if (now_at == stage::terminated && script_clock::now() >= deadline) {
      HWLOG(LOG_ERR, "class script (pid %d) still runs %d s after SIGTERM - sending SIGKILL", static_cast<int>(pid),
            static_cast<int>(kScriptTermWait.count()));
      kill(-pid, SIGKILL);
      now_at = stage::killed;
    }

    if (!reaped) {
      const pid_t r = waitpid(pid, &status, WNOHANG);
      if (r < 0 && errno != EINTR) return -1;
      reaped = r == pid;
    }
    // The shell may end on SIGTERM while a command it started ignores it:
    // what is left of the script's process group gets SIGKILL in time.
    if (reaped && (now_at != stage::terminated || kill(-pid, 0) < 0)) return status;

    const bool timed = now_at == stage::stopping || now_at == stage::terminated;
    const timespec left = timed ? time_left(deadline) : timespec{};
    const int signo = sigtimedwait(&wake, nullptr, timed ? &left : nullptr);
    if (signo == SIGINT || signo == SIGTERM) signal_handler(signo);
  }
}

// What system() would return for "/bin/sh -c cmdline", without system()'s
// SIGINT ignored and SIGCHLD blocked in the daemon meanwhile.
int run_with_shell(const char *cmdline) {
  // SIGCHLD ignored (a parent's choice, kept across exec) would have the
  // kernel reap the script without a signal, and the wait below never end.
  struct sigaction child_default {};
  child_default.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &child_default, nullptr);
  sigset_t wake, saved;
  sigemptyset(&wake);
  for (int signo : {SIGCHLD, SIGINT, SIGTERM}) sigaddset(&wake, signo);
  sigprocmask(SIG_BLOCK, &wake, &saved);
  const pid_t pid = spawn_shell(cmdline);
  const int status = pid < 0 ? -1 : wait_for_script(pid, wake);
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  return status;
}

hwtrack_script_runner script_runner = run_with_shell;

// The lines that describe a device, logged on behalf of func.
void log_device_lines(int level, const char *func, const hwdev *hd) {
  hwlog_write(level, HWLOG_MODULE, func, __LINE__, "name    : %s", hd->name.c_str());
  hwlog_write(level, HWLOG_MODULE, func, __LINE__, "loc     : %s", hd->loc.c_str());
  hwlog_write(level, HWLOG_MODULE, func, __LINE__, "id      : %s", hd->id.c_str());
  hwlog_write(level, HWLOG_MODULE, func, __LINE__, "devpath : %s", hd->devpath.c_str());
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

bool is_device_type(int type) {
  return type == HWDEV_TYPE_SERIAL || type == HWDEV_TYPE_ETH || type == HWDEV_TYPE_STORAGE;
}

// Links the entry and the record both ways, makes the entry "inserted",
// writes both and runs the script; the lines are logged on behalf of func.
void attach_class(hwcls *cls, hwdev *hd, const char *func) {
  cls->id.set(hd->id.c_str());
  cls->loc.set(hd->loc.c_str());
  cls->hd = hd;
  hd->cls = cls;
  if (is_device_type(hd->type)) {
    cls->type = hd->type;
  } else {
    cls->type = HWCLS_TYPE_NONE;
    hwlog_write(LOG_ERR, HWLOG_MODULE, func, __LINE__, "###hwtrack### unknown hwdev type (hd->type=%d)", hd->type);
  }
  cls->status = HWCLS_STATUS_INSERTED;
  (void)hwcls_fixup(cls, 0);

  hwdev_write_to_rdb(hd, 0);
  hwcls_write_to_rdb(cls, 0);

  hwlog_write(LOG_DEBUG, HWLOG_MODULE, func, __LINE__, "* update class info");
  hwlog_write(LOG_DEBUG, HWLOG_MODULE, func, __LINE__, "name    : %s", hd->name.c_str());
  hwlog_write(LOG_DEBUG, HWLOG_MODULE, func, __LINE__, "idx     : %d", cls->index);
  hwlog_write(LOG_DEBUG, HWLOG_MODULE, func, __LINE__, "loc     : %s", hd->loc.c_str());
  hwlog_write(LOG_DEBUG, HWLOG_MODULE, func, __LINE__, "id      : %s", hd->id.c_str());
  hwlog_write(LOG_DEBUG, HWLOG_MODULE, func, __LINE__, "devpath : %s", hd->devpath.c_str());

  hwtrack_call_script(cls);
}

// A present device that took the entry with the same identity before the
// holder did (another port of one platform device), to hold it now.
hwdev *present_sharer_of(const hwcls *cls) {
  for (hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd))
    if (hd->cls == cls && hd != cls->hd && sysfs_device_get(hd->devpath.c_str())) return hd;
  return nullptr;
}

}  // namespace

void hwtrack_set_script_runner(hwtrack_script_runner runner) { script_runner = runner ? runner : run_with_shell; }

namespace {

// A partition that appears on a disk tracked whole (a card written with a
// partition table, or whose partitions the kernel read after the disk's
// change) takes the disk's identity: the disk, no longer a partition of its
// own, is removed first.
void release_whole_disk(const char *partition_devpath) {
  const char *slash = strrchr(partition_devpath, '/');
  if (!slash) return;
  char disk[hw::kPathSize];
  hw::strlcpy(disk, partition_devpath, std::min(sizeof(disk), static_cast<size_t>(slash - partition_devpath) + 1));
  if (!hwdev_find_by_devpath(disk)) return;
  HWLOG(LOG_INFO, "disk tracked whole got a partition - removed (devpath=%s)", disk);
  hwtrack_remove_hwdev(SUBSYSTEM_BLOCK, disk);
}

}  // namespace

int hwtrack_add_new_hwdev(subsystem_code code, const char *devpath) {
  if (code == SUBSYSTEM_BLOCK) release_whole_disk(devpath);
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

  hwcls *cls = nullptr;
  if (hwcls_find_for_hwdev(hd, &cls) < 0 || !cls) {
    HWLOG(LOG_DEBUG, "* new device found");
    log_device_lines(LOG_DEBUG, __func__, hd);
    cls = hwcls_get();
    if (!cls) {
      HWLOG(LOG_ERR, "failed in hwcls_get()");
      hwdev_put(hd, 0);
      return -1;
    }
  }

  // The entry is held by a device whose remove was never seen: report that
  // device gone before the new one takes the entry over.
  if (cls->status == HWCLS_STATUS_INSERTED) {
    HWLOG(LOG_WARNING, "device already inserted - possibly missing udev message");
    HWLOG(LOG_WARNING, "* detail of duplicated device");
    log_device_lines(LOG_WARNING, __func__, hd);
    HWLOG(LOG_WARNING, "remove the previously inserted device (name:'%s')", hd->name.c_str());
    cls->status = HWCLS_STATUS_REMOVED;
    hwcls_write_to_rdb(cls, 0);
    hwtrack_call_script(cls);
  }
  if (earlier) release_earlier_record(earlier, cls);

  attach_class(cls, hd, __func__);
  return 0;
}

int hwtrack_remove_hwdev(subsystem_code, const char *devpath) {
  hwdev *hd = hwdev_find_by_devpath(devpath);
  if (!hd) {
    HWLOG(LOG_DEBUG, "no hwdev found");
    return -1;
  }

  // Only the holder of an entry detaches it. A record whose entry another
  // device took over (a duplicate add, a device sharing its identity, a
  // remove arriving late) leaves the entry to that device.
  hwcls *held = hd->cls && hd->cls->hd == hd ? hd->cls : nullptr;
  if (held)
    detach_class(held);
  else if (hd->cls)
    HWLOG(LOG_DEBUG, "###hwtrack### class entry held by another device - left alone (devpath=%s)", devpath);
  else
    HWLOG(LOG_ERR, "###hwtrack### orphan hwdev detected");

  hwdev_write_to_rdb(hd, 1);
  hwdev_put(hd, 1);

  // The entry's identity is still present: the device that shared it holds it now.
  if (hwdev *heir = held ? present_sharer_of(held) : nullptr) attach_class(held, heir, __func__);

  // Devices refused while every record was in use are in sysfs still: the
  // record freed here is theirs.
  if (hwdev_pool_ran_out()) {
    HWLOG(LOG_INFO, "hwdev freed while devices wait for one - rescanning");
    hwtrack_resync();
  }
  return 0;
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
              hwcls_type_text(cls), cls->index, hwcls_status_name(cls));

  int status = script_runner(cmdline);
  if (status == -1) return -1;
  return (status >> 8) & 0xff;
}
