// SPDX-License-Identifier: MIT
#pragma once
// Identification of a device from sysfs: whether the device behind a devpath
// is one the daemon tracks, and its record's name, type, id, location,
// driver and mac. Nothing here touches the RDB, the class table or the
// script.

#include "base/log.h"
#include "core/codes.h"

struct hwdev;
struct sysfs_device;

int hwtrack_set_hd_by_devpath(subsystem_code code, hwdev *hd, const char *devpath);
// hwtrack_set_hd_by_devpath without filing the record under its devpath:
// what the device would be identified as now.
int hwtrack_identify(subsystem_code code, hwdev *hd, const char *devpath);

// Versions of the identification rules. 1: the first releases'. 2: the
// rules for the boards firmware teams ship, which name some devices that
// are alone of their kind otherwise (AMBA, PCI and switch-port devices, a
// gadget on PCI). The class table stores the version its entries were made
// by (kHwtrackRulesVar, see startup.h), so that an upgrade keeps names.
inline constexpr int kHwtrackRulesFirst = 1;
inline constexpr int kHwtrackRulesCurrent = 2;
// hwtrack_identify by the given version of the rules.
int hwtrack_identify_by_rules(int version, subsystem_code code, hwdev *hd, const char *devpath);

// Gives a record of the caller's own (not from the pool) its text buffers,
// for hwtrack_identify; false when memory runs out.
bool hwtrack_make_probe(hwdev &probe);
// Whether the device at the record's devpath is still the one the record
// describes: another adapter on the same port has the same devpath, and a
// card reader's disk loses its medium without going. True when memory runs
// out to tell.
bool hwtrack_same_device(const hwdev *hd);

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
  // The board setting that made it refuse the device, and its value
  // ("sys.hw.cfg.internal_usb_bus=\"2\""), or empty.
  char setting[160] = {};
  // The lines the identification logged, as the log has them (whatever
  // the log mask).
  static constexpr int max_lines = 8;
  char lines[max_lines][kHwlogLineSize] = {};
  int line_count = 0;
};
void hwtrack_trace_identification(hwtrack_identify_trace *trace);

// The device the "device" link names; past the serial core's "serial-base"
// port and controller devices, the UART they stand for.
sysfs_device *get_physical_device(sysfs_device *dev);
