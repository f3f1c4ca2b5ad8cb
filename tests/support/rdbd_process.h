#pragma once
// The real rdbd, run for a test or a benchmark: started on a socket and a
// store, waited for until it accepts connections, stopped or killed.

#include <sys/types.h>

#include <string>

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

  // Starts rdbd and waits until it accepts connections; false when it
  // exited instead (exit_status() then tells how).
  bool start();
  // SIGTERM; returns the exit status (-1 when it did not exit normally).
  int stop();
  void kill9();
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  int exit_status() const { return exit_status_; }
  const std::string &socket() const { return socket_; }
  std::string log() const;

 private:
  int reap(bool wait);

  std::string program_, socket_, store_, log_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

}  // namespace testsupport
