// SPDX-License-Identifier: MIT
#include "core/signals.h"

#include <signal.h>
#include <time.h>

#include <initializer_list>

volatile sig_atomic_t stop_flag = 0;
volatile sig_atomic_t reload_flag = 0;

void signal_handler(int signo) {
  if (signo == SIGINT || signo == SIGTERM) stop_flag = 1;
  if (signo == SIGHUP) reload_flag = 1;
}

bool hwtrack_stop_requested() {
  if (stop_flag) return true;
  sigset_t pending;
  if (sigpending(&pending) < 0) return false;
  for (const int signo : {SIGINT, SIGTERM}) {
    if (!sigismember(&pending, signo)) continue;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    const timespec now{};
    if (sigtimedwait(&one, nullptr, &now) == signo) signal_handler(signo);
  }
  return stop_flag != 0;
}
