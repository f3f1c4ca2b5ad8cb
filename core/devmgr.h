// SPDX-License-Identifier: MIT
#pragma once
// The device manager of the hwtrack module: add and remove of a device with
// its class entry and the class script. Identification is in identify.h, the
// start-up reconciliation and the resync in startup.h.

#include "core/codes.h"

struct hwcls;

int hwtrack_add_new_hwdev(subsystem_code code, const char *devpath);
int hwtrack_remove_hwdev(subsystem_code code, const char *devpath);
int hwtrack_call_script(hwcls *cls);
// A "change" of a whole disk: a card put into or taken out of a reader's
// slot. A disk tracked as its own first partition that holds no medium now
// (or another card) is removed, an untracked one that holds a medium without
// partitions is added. ACTION_ADD or ACTION_REMOVE for the last of these
// done, -1 when nothing was.
int hwtrack_change_hwdev(subsystem_code code, const char *devpath);

// Seam for tests: runs a command line and returns what system() would.
// nullptr restores the real runner: "/bin/sh -c" in a process group of its
// own, default signal actions, and a stop request (SIGINT, SIGTERM) heard
// while it runs: the script then gets 10 s, SIGTERM, 2 s more, SIGKILL.
using hwtrack_script_runner = int (*)(const char *cmdline);
void hwtrack_set_script_runner(hwtrack_script_runner runner);
