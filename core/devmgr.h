#pragma once
// The device manager of the hwtrack module: identification of a device from
// sysfs, add and remove with the class script, and start-up reconciliation.

struct hwdev;
struct hwcls;
struct sysfs_device;

// The internal USB bus; devices on it are never tracked.
inline constexpr char INTERNAL_USB_BUS[] = "2";

// Identification
int hwtrack_set_hd_by_devpath(int code, hwdev *hd, const char *devpath);
// hwtrack_set_hd_by_devpath without filing the record under its devpath:
// what the device would be identified as now.
int hwtrack_identify(int code, hwdev *hd, const char *devpath);

// What identifications consult and choose, recorded for hwtrack-explain
// while a trace is set (nullptr: none, the daemon's case). Each
// identification starts it afresh; its sysfs records live until the next
// sysfs_cleanup().
struct hwtrack_identify_trace {
  struct consulted_device {
    const char *role;
    const sysfs_device *dev;
  };
  static constexpr int max_consulted = 12;
  consulted_device consulted[max_consulted] = {};
  int count = 0;
  // The kind function chosen, or nullptr when the selection refused the
  // device; why: the conditions of the selection that held.
  const char *kind = nullptr;
  char why[256] = {};
};
void hwtrack_trace_identification(hwtrack_identify_trace *trace);

int hwtrack_set_gadget_hd(int code, hwdev *hd, sysfs_device *dev, sysfs_device *phys);
// A gadget serial port without a parent (/devices/virtual/tty/ttyGS<n>),
// named after the board's only device-side controller.
int hwtrack_set_gadget_serial_hd(int code, hwdev *hd, sysfs_device *dev, sysfs_device *phys);
int hwtrack_set_platform_hd_with_extra(int code, hwdev *hd, sysfs_device *dev, sysfs_device *phys,
                                       const char *id_suffix, const char *loc_suffix);
int hwtrack_set_platform_hd(int code, hwdev *hd, sysfs_device *dev, sysfs_device *phys);
int hwtrack_set_usb_hd_with_extra(int code, hwdev *hd, sysfs_device *dev, sysfs_device *start, const char *id_suffix,
                                  const char *loc_suffix);
int hwtrack_set_usb_hd(int code, hwdev *hd, sysfs_device *dev, sysfs_device *phys);
int hwtrack_set_platform_block_hd(int code, hwdev *hd, sysfs_device *dev);
int hwtrack_set_usb_block_hd(int code, hwdev *hd, sysfs_device *dev);
// The device the "device" link names; past the serial core's "serial-base"
// port and controller devices, the UART they stand for.
sysfs_device *get_physical_device(sysfs_device *dev);
sysfs_device *get_platform_node(sysfs_device *dev);
int check_mmc_partition(sysfs_device *dev);

// Add and remove
int hwtrack_add_new_hwdev(int code, const char *devpath);
int hwtrack_remove_hwdev(int code, const char *devpath);
int hwtrack_call_script(hwcls *cls);

// Seam for tests: runs a command line and returns what system() would.
// nullptr restores the real runner: "/bin/sh -c" in a process group of its
// own, default signal actions, and a stop request (SIGINT, SIGTERM) heard
// while it runs: the script then gets 10 s, SIGTERM, 2 s more, SIGKILL.
using hwtrack_script_runner = int (*)(const char *cmdline);
void hwtrack_set_script_runner(hwtrack_script_runner runner);

// Start-up reconciliation
int delete_hwdev_rdbs();
int build_hwcls_from_rdb();
int enum_cb_on_build_hwcls_from_rdb(const char *name, int ref);
// build_hwcls_from_rdb without writing the entries back: the class table
// as the RDB holds it, for a reader that must not write (hwtrack-explain).
int load_hwcls_from_rdb();
int build_legacy_devices();
int is_subsystem(const char *devpath, const char *subsystem);
int build_hwdev_from_sysfs(const char *subsystem, int exclude);
// Every device the start-up scans offer to hwtrack_add_new_hwdev, in their
// order (on-board devices first), with its subsystem code and resolved
// devpath; nothing is added. Failures are left to the scans to report.
using hwtrack_scan_visitor = void (*)(int code, const char *devpath, void *context);
void hwtrack_for_each_scanned_device(hwtrack_scan_visitor visit, void *context);

// Brings the hwdev table back in line with sysfs after the kernel dropped
// uevents: devices present but unknown are added, records whose devpath is
// gone from sysfs are removed (as a remove event would), devices present
// throughout are left alone. Returns the number of records added plus
// removed.
int hwtrack_resync();
