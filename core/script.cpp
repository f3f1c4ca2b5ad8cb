// SPDX-License-Identifier: MIT
// The class script's process: spawned in a process group of its own and
// waited for, with SIGINT and SIGTERM taken in meanwhile.

#include "core/script.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/log.h"
#include "core/output.h"
#include "core/signals.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

// A stop request waits this long for a class script that is running, then
// the script's process group gets SIGTERM, and SIGKILL this long after that.
constexpr auto kScriptStopWait = std::chrono::seconds(10);
constexpr auto kScriptTermWait = std::chrono::seconds(2);

using script_clock = std::chrono::steady_clock;

// "/bin/sh -c cmdline", as system() runs it, but with every signal the
// daemon blocks or ignores (SIGPIPE) back to its default and nothing
// blocked, and in a process group of its own, which a stop can end whole.
// The script gets the daemon's environment, /dev/null as its input and the
// daemon's pipes to the log as its output and error (output.h); every other
// descriptor is close-on-exec. -1 when it cannot be started.
pid_t spawn_shell(const char *cmdline) {
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return -1;
  posix_spawn_file_actions_t stdio;
  if (posix_spawn_file_actions_init(&stdio) != 0) {
    posix_spawnattr_destroy(&attr);
    return -1;
  }
  add_script_stdio(&stdio);
  sigset_t defaults, none;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signo : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signo);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  char sh[] = "sh", dash_c[] = "-c";
  char *argv[] = {sh, dash_c, const_cast<char *>(cmdline), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, "/bin/sh", &stdio, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&stdio);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    HWLOG(LOG_ERR, "failed to start the class script - %s", strerror(rc));
    return -1;
  }
  return pid;
}

timespec time_left(script_clock::time_point deadline) {
  const auto left = std::max(deadline - script_clock::now(), script_clock::duration::zero());
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  return ts;
}

// Waits for the script and returns its wait status (-1 if it cannot be
// had). SIGCHLD, SIGINT and SIGTERM are blocked by the caller and let in by
// let_in only while the wait sleeps: a stop request is heard while the
// script runs (the daemon's handler, signal_handler, sets stop_flag), and
// the script's end wakes the wait. The script's output is drained meanwhile:
// a script that writes more than a pipe holds must not stall.
int wait_for_script(pid_t pid, const sigset_t &let_in) {
  enum class stage { running, stopping, terminated, killed } now_at = stage::running;
  script_clock::time_point deadline{};
  int status = -1;
  bool reaped = false;
  for (;;) {
    if (now_at == stage::running && stop_flag) {
      HWLOG(LOG_INFO, "stop requested - waiting up to %d s for the class script (pid %d)",
            static_cast<int>(kScriptStopWait.count()), static_cast<int>(pid));
      now_at = stage::stopping;
      deadline = script_clock::now() + kScriptStopWait;
    } else if (now_at == stage::stopping && script_clock::now() >= deadline) {
      HWLOG(LOG_ERR, "class script (pid %d) still runs %d s after the stop request - sending SIGTERM",
            static_cast<int>(pid), static_cast<int>(kScriptStopWait.count()));
      kill(-pid, SIGTERM);
      now_at = stage::terminated;
      deadline = script_clock::now() + kScriptTermWait;
    } else if (now_at == stage::terminated && script_clock::now() >= deadline) {
      HWLOG(LOG_ERR, "class script (pid %d) still runs %d s after SIGTERM - sending SIGKILL", static_cast<int>(pid),
            static_cast<int>(kScriptTermWait.count()));
      kill(-pid, SIGKILL);
      now_at = stage::killed;
    }

    if (!reaped) {
      const pid_t r = waitpid(pid, &status, WNOHANG);
      if (r < 0 && errno != EINTR) return -1;
      reaped = r == pid;
    }
    // The shell may end on SIGTERM while a command it started ignores it:
    // what is left of the script's process group gets SIGKILL in time.
    if (reaped && (now_at != stage::terminated || kill(-pid, 0) < 0)) return status;

    const bool timed = now_at == stage::stopping || now_at == stage::terminated;
    const timespec left = timed ? time_left(deadline) : timespec{};
    wait_draining_script_output(timed ? &left : nullptr, &let_in);
  }
}

// Only wakes the wait for the script; waitpid() tells what happened.
void note_child(int) {}

// What system() would return for "/bin/sh -c cmdline", without system()'s
// SIGINT ignored and SIGCHLD blocked in the daemon meanwhile.
int run_with_shell(const char *cmdline) {
  // SIGCHLD ignored (a parent's choice, kept across exec) would have the
  // kernel reap the script without a signal, and at its default action it
  // would not wake the wait below: it gets a handler that does nothing.
  struct sigaction child_noted {};
  child_noted.sa_handler = note_child;
  sigemptyset(&child_noted.sa_mask);
  child_noted.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigaction(SIGCHLD, &child_noted, nullptr);
  sigset_t wake, saved;
  sigemptyset(&wake);
  for (int signo : {SIGCHLD, SIGINT, SIGTERM}) sigaddset(&wake, signo);
  sigprocmask(SIG_BLOCK, &wake, &saved);
  sigset_t let_in = saved;
  for (int signo : {SIGCHLD, SIGINT, SIGTERM}) sigdelset(&let_in, signo);
  const pid_t pid = spawn_shell(cmdline);
  const int status = pid < 0 ? -1 : wait_for_script(pid, let_in);
  flush_script_output();
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  return status;
}

hwtrack_script_runner script_runner = run_with_shell;

}  // namespace

int hwtrack_run_script(const char *cmdline) { return script_runner(cmdline); }

void hwtrack_set_script_runner(hwtrack_script_runner runner) { script_runner = runner ? runner : run_with_shell; }
