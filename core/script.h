// SPDX-License-Identifier: MIT
#pragma once
// The class script's process: started as "/bin/sh -c cmdline", waited for,
// and ended when a stop request outlasts it. A stop is checked and recorded
// through core/signals.h: one that comes while the script runs is let in by
// the wait, recorded in stop_flag by the daemon's handler, and seen by the
// loop afterwards. The script's output is drained while it runs (output.h).

// Runs cmdline and returns what system() would: the wait status, or -1 when
// the shell cannot be started or waited for. The real runner starts the
// shell in a process group of its own, with default signal actions; on a
// stop request the script gets 10 s, then SIGTERM, 2 s more, then SIGKILL.
int hwtrack_run_script(const char *cmdline);

// Seam for tests and hwtrack-explain: a runner in the real one's place.
// nullptr restores the real runner.
using hwtrack_script_runner = int (*)(const char *cmdline);
void hwtrack_set_script_runner(hwtrack_script_runner runner);
