// SPDX-License-Identifier: MIT
#pragma once
// Running programs from tests, benchmarks and fuzzers: deadlines, spawning
// with chosen standard descriptors, environment and user, reaping, and
// running a program to its end for what it wrote.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// Generous: the machine that runs the tests may be loaded.
inline constexpr std::chrono::milliseconds kDefaultWait{30000};
inline Deadline within(std::chrono::milliseconds span = kDefaultWait) { return Clock::now() + span; }

// Polls cond every few milliseconds until it holds (true) or the deadline
// passes (false); nothing sleeps and hopes.
bool wait_until(const std::function<bool()> &cond, Deadline deadline = within());

// What failed, with errno's text: "what: No such file or directory".
std::string errno_text(const std::string &what);

// Variables added to, or overriding, this process's environment.
using Env = std::vector<std::pair<std::string, std::string>>;

struct SpawnOptions {
  Env env = {};
  // Descriptors the program gets as 0, 1 and 2; -1 keeps this process's own.
  int in = -1;
  int out = -1;
  int err = -1;
  // No descriptor 0 to 2 at all.
  bool no_stdio = false;
  // Descriptors the program gets as 3, 4, ... in this order (a pipe to
  // report readiness on, say); nothing else above 2 reaches it.
  std::vector<int> extra = {};
  // Run as this user and group (setgroups, setgid, setuid before exec);
  // both 0 leaves them.
  uid_t uid = 0;
  gid_t gid = 0;
};

// fork and exec of argv (argv[0] a path), with everything prepared before
// the fork, so a process with threads may call it. Only descriptors 0 to 2
// and the extra ones reach the program, no signal is blocked in it. -1 when
// fork fails; a program that cannot be run exits with 127, one that cannot
// become the user with 126.
pid_t spawn(const std::vector<std::string> &argv, const SpawnOptions &options = {});

// Drops every supplementary group, then becomes gid and uid, by raw system
// calls: safe in the child of a fork, where the C library's wrappers would
// wait for threads that are not there. false when any step fails.
bool become_user(uid_t uid, gid_t gid);

// A wait status as an exit status: 128 + the signal for a killed process,
// -1 for one that is neither.
int decode_status(int wait_status);
// The decoded status of pid once it has ended (-1 for a process that is
// not our child), nullopt while it runs.
std::optional<int> try_reap(pid_t pid);
std::optional<int> reap_by(pid_t pid, Deadline deadline);
// Sends signo and reaps pid; SIGKILL once the deadline has passed. Its
// decoded status.
int stop_process(pid_t pid, int signo, Deadline deadline);

struct RunResult {
  int status = -1;  // decoded; -1 when it could not be run
  std::string out;
  std::string err;
};

// Runs argv to its end with standard input /dev/null, as uid (group uid
// too), and returns what it wrote; killed when the deadline passes.
RunResult run_program(const std::vector<std::string> &argv, const Env &env = {}, Deadline deadline = within(),
                      uid_t uid = 0);

}  // namespace testsupport
