// SPDX-License-Identifier: MIT
#pragma once
// The stop and reload requests. SIGINT and SIGTERM set stop_flag, SIGHUP
// reload_flag, through signal_handler whether the kernel delivers them to
// the handler (in the loop's wait, and the stop signals in the class
// script's) or a check takes a pending stop in itself
// (hwtrack_stop_requested): either way the request is recorded, and the
// loop sees it at the top of its next pass.

#include <csignal>

// Set by signal_handler on SIGINT and SIGTERM; the loop tests it every pass.
extern volatile sig_atomic_t stop_flag;
// Set by signal_handler on SIGHUP; the loop takes it (sets it back to 0)
// and reads its settings again.
extern volatile sig_atomic_t reload_flag;

// Sets stop_flag for SIGINT and SIGTERM, reload_flag for SIGHUP, and does
// nothing else.
void signal_handler(int signo);

// Whether a stop was requested: stop_flag, or a SIGINT or SIGTERM that is
// pending because the daemon blocks them outside its waits, which is taken
// and recorded. Long work (the start-up scans, a rescan) asks between
// devices, so that a stop never waits for the scripts of every device left.
bool hwtrack_stop_requested();
