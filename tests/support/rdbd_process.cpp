// SPDX-License-Identifier: MIT
#include "tests/support/rdbd_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "base/unique_fd.h"

namespace testsupport {

bool can_connect(const std::string &path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  const hw::unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
}

RdbdProcess::RdbdProcess(std::string program, std::string socket, std::string store, std::string log)
    : program_(std::move(program)), socket_(std::move(socket)), store_(std::move(store)), log_(std::move(log)) {}

RdbdProcess::~RdbdProcess() { kill9(); }

bool RdbdProcess::start(Deadline deadline) {
  const hw::unique_fd log(open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  wait_status_.reset();
  std::vector<std::string> argv = {program_, "--socket", socket_, "--store", store_};
  argv.insert(argv.end(), args_.begin(), args_.end());
  pid_ = spawn(argv, {.out = log.get(), .err = log.get()});
  wait_until([&] { return !running() || can_connect(socket_); }, deadline);
  return running() && can_connect(socket_);
}

bool RdbdProcess::reap(bool wait) {
  if (pid_ <= 0) return true;
  int wstatus = 0;
  if (waitpid(pid_, &wstatus, wait ? 0 : WNOHANG) != pid_) return false;
  pid_ = -1;
  wait_status_ = wstatus;
  return true;
}

bool RdbdProcess::running() { return !reap(false); }

int RdbdProcess::exit_status() const {
  return wait_status_ && WIFEXITED(*wait_status_) ? WEXITSTATUS(*wait_status_) : -1;
}

int RdbdProcess::stop() {
  if (pid_ > 0) kill(pid_, SIGTERM);
  reap(true);
  return exit_status();
}

int RdbdProcess::stop(int signo, Deadline deadline) {
  if (pid_ <= 0) return -1;
  kill(pid_, signo);
  if (!wait_until([&] { return reap(false); }, deadline)) return -1;
  return decode_status(*wait_status_);
}

void RdbdProcess::kill9() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  reap(true);
}

std::string RdbdProcess::log() const {
  std::ifstream in(log_, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace testsupport
