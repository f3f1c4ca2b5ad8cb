// SPDX-License-Identifier: MIT
#pragma once
// Parts of the daemon's life (daemon.cpp) that tests drive one at a time;
// the daemon itself reaches them only through hwtrack_main.

#include <cstdio>

void print_usage(FILE *stream);

// Log mask for a value of "sys.hw.cfg.debug" (nullptr when absent).
int hwtrack_log_mask(const char *debug_value);

// Runs passes until stop_flag is found set.
void hwtrack_event_loop();
// One pass of the loop; false when stop_flag was set and nothing was done.
// SIGINT, SIGTERM and SIGHUP are let through only while it waits (pselect),
// so a request can never slip in between the flag test and the wait. A
// reload (reload_flag) is done before the wait: the settings are read
// again and the devices rescanned. The pass ends with the rescans that are
// due (see hwtrack_resync). The RDB is
// retried between events only in a daemon that has started (hwtrack_main):
// a test's passes leave it alone.
bool hwtrack_event_pass();
