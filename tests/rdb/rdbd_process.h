#pragma once
// Runs the real rdbd (and the rdb client) for the tests that need a process:
// a private temporary folder, rdbd's standard error kept in a file there.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace rdbtest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Polls cond until it holds or the (generous) deadline passes.
bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds deadline = std::chrono::seconds(30));

// True when a connection to the Unix socket at path is accepted.
bool can_connect(const std::string &path);

class RdbdProcess {
 public:
  RdbdProcess(std::string socket, std::string store, std::string log);
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
  std::string log() const;

 private:
  int reap(bool wait);

  std::string socket_, store_, log_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

struct ProgramResult {
  int status = -1;  // exit status, -1 when killed
  std::string out;
  std::string err;
};

// Runs argv[0] with extra environment entries ("NAME=value"), waiting for it.
ProgramResult run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});

}  // namespace rdbtest
