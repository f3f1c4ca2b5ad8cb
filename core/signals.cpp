// SPDX-License-Identifier: MIT
#include "core/signals.h"

volatile sig_atomic_t stop_flag = 0;

void signal_handler(int signo) {
  if (signo == SIGINT || signo == SIGTERM) stop_flag = 1;
}
