// SPDX-License-Identifier: MIT
#pragma once
// The stop request. SIGINT and SIGTERM set stop_flag, through signal_handler
// whether the kernel delivers them to the handler (in the loop's wait) or a
// wait takes them in itself (the class script's, with sigtimedwait, which
// consumes them): either way the request is recorded, and the loop sees it
// at the top of its next pass.

#include <csignal>

// Set by signal_handler on SIGINT and SIGTERM; the loop tests it every pass.
extern volatile sig_atomic_t stop_flag;

// Sets stop_flag for SIGINT and SIGTERM and does nothing else.
void signal_handler(int signo);
