// SPDX-License-Identifier: MIT
#pragma once
// The start-up reconciliation: stale device variables deleted, the class
// table rebuilt from the RDB, the devices already present scanned; and the
// resync that does the same after the kernel dropped events.

#include "core/codes.h"
#include "records/hwcls.h"
#include "records/hwdev.h"

int delete_hwdev_rdbs();
int build_hwcls_from_rdb();
// build_hwcls_from_rdb without writing the entries back: the class table
// as the RDB holds it, for a reader that must not write (hwtrack-explain).
int load_hwcls_from_rdb();
int build_legacy_devices();
// After the start-up scans: every class entry that was "inserted" when the
// RDB was read back (build_hwcls_from_rdb) and that no device or static
// binding holds now gets one "removed" run of the class script, while its
// "name" and "mac" are those of the last run; they are emptied after it.
// Returns the number of entries reported.
int report_departed_entries();
int build_hwdev_from_sysfs(const char *subsystem, int exclude);
// Every device the start-up scans offer to hwtrack_add_new_hwdev, in their
// order (on-board devices first), with its subsystem code and resolved
// devpath; nothing is added. Failures are left to the scans to report.
using hwtrack_scan_visitor = void (*)(subsystem_code code, const char *devpath, void *context);
void hwtrack_for_each_scanned_device(hwtrack_scan_visitor visit, void *context);

// The version of the identification rules (kHwtrackRulesCurrent) that the
// stored class entries' identities were made by; persistent, written by the
// daemon. Absent: the first rules, an RDB from before they changed. Not
// below "sys.hw.class.", whose names readers take for class entries.
inline constexpr char kHwtrackRulesVar[] = "sys.hw.cfg.id_rules";

// Moves stored class entries on to the current identification rules, once
// a board: a stored entry that carries the identity (id and location) a
// present device had under the first rules, and that no present device has
// under the current ones, takes that device's current identity, keeping its
// type and index, so the start-up scans attach the device to it. Runs
// before the scans attach anything (no script runs, no index is used up),
// and stores the current version, so nothing is decided twice. Returns the
// number of entries moved on.
int upgrade_class_identities();

// Brings the hwdev table back in line with sysfs after the kernel dropped
// uevents: devices present but unknown are added, records whose devpath is
// gone from sysfs are removed (as a remove event would), devices present
// throughout are left alone. Returns the number of records added plus
// removed. A rescan its removes ask for (hwtrack_take_rescan_request) is
// done already: its adds come after them.
int hwtrack_resync();

// What the start-up reconciliation keeps of the RDB's names: POSIX basic
// expressions, with GNU's "\+" for one or more, as rdb_regex_enum compiles
// them.

// Volatile device variables, listed under kHwdevRdbPrefix.
inline constexpr char kHwdevRdbRegex[] = "^sys\\.hw\\.dev\\.[0-9]\\+\\..*";
// Stored class entries, one match each through its id variable, listed
// under kHwclsRdbPrefix. No end anchor: a name that goes on after ".id" is
// taken for the id too.
inline constexpr char kHwclsRdbRegex[] = "^sys\\.hw\\.class\\.[^\\.]\\+\\.[0-9]\\+\\.id";
