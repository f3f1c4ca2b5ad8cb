// SPDX-License-Identifier: MIT
#pragma once
// The real rdbd, run for a test or a benchmark: started on a socket and a
// store, waited for until it accepts connections, stopped or killed.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace testsupport {

// True when a connection to the Unix socket at path is accepted.
bool can_connect(const std::string &path);

class RdbdProcess {
 public:
  // program: the rdbd to run; its standard output and error go to log.
  RdbdProcess(std::string program, std::string socket, std::string store, std::string log);
  ~RdbdProcess();  // kills a server still running
  RdbdProcess(const RdbdProcess &) = delete;
  RdbdProcess &operator=(const RdbdProcess &) = delete;

  // Arguments the next starts add after --socket and --store.
  void set_args(std::vector<std::string> args) { args_ = std::move(args); }
  // Starts rdbd and waits until it accepts connections; false when it
  // exited instead (exit_status() then tells how) or the deadline passed.
  bool start(Deadline deadline = within());
  // SIGTERM; returns the exit status (-1 when it did not exit normally).
  int stop();
  // Sends signo and reaps the server by the deadline: its status as
  // decode_status gives it (128 + the signal when killed); -1 when no server
  // ran, or it still runs at the deadline.
  int stop(int signo, Deadline deadline);
  void kill9();
  // True while the server runs; one that has ended is reaped here.
  bool running();
  pid_t pid() const { return pid_; }
  int exit_status() const;
  const std::string &socket() const { return socket_; }
  std::string log() const;

 private:
  // Takes the status of a server that has ended (waiting for the end when
  // asked); true once it has.
  bool reap(bool wait);

  std::string program_, socket_, store_, log_;
  std::vector<std::string> args_;
  pid_t pid_ = -1;
  std::optional<int> wait_status_;
};

}  // namespace testsupport
