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

// Seam for tests: runs a command line and returns what system() would.
// nullptr restores the real runner: "/bin/sh -c" in a process group of its
// own, default signal actions, and a stop request (SIGINT, SIGTERM) heard
// while it runs: the script then gets 10 s, SIGTERM, 2 s more, SIGKILL.
using hwtrack_script_runner = int (*)(const char *cmdline);
void hwtrack_set_script_runner(hwtrack_script_runner runner);
