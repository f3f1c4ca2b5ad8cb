// SPDX-License-Identifier: MIT
#pragma once
// The device manager of the hwtrack module: add and remove of a device with
// its class entry and the class script. Identification is in identify.h,
// the script's process in script.h; the start-up reconciliation and the
// resync (startup.h) call in here, never the other way round.

#include "core/codes.h"

struct hwcls;

int hwtrack_add_new_hwdev(subsystem_code code, const char *devpath);
int hwtrack_remove_hwdev(subsystem_code code, const char *devpath);
// A "move" (a renamed network interface): the record filed under
// devpath_old, when its device has left that devpath, is identified afresh
// at devpath and filed there, keeping its index; its entry hears "removed",
// then the entry the device matches now "inserted", as after a remove and
// an add. The record never goes back to the pool meanwhile, so it cannot
// be lost to a device waiting for one. Nothing else: a device still at
// devpath_old is not removed, and nothing is added that was not removed.
// 0 when a device was moved, -1 otherwise.
int hwtrack_move_hwdev(subsystem_code code, const char *devpath, const char *devpath_old);
int hwtrack_call_script(hwcls *cls);
// A "change" of a whole disk: a card put into or taken out of a reader's
// slot. A disk tracked as its own first partition that holds no medium now
// (or another card) is removed, an untracked one that holds a medium without
// partitions is added. ACTION_ADD or ACTION_REMOVE for the last of these
// done, -1 when nothing was.
int hwtrack_change_hwdev(subsystem_code code, const char *devpath);

// Whether a remove since the last call freed a device record while devices
// were refused for want of one: they are in sysfs still, and a rescan
// (hwtrack_resync) gives them the record. The request is taken by the call;
// the event loop asks after each event.
bool hwtrack_take_rescan_request();
