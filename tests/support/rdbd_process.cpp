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
#include "tests/support/process.h"

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

RdbdProcess::~RdbdProcess() {
  if (running()) kill9();
}

bool RdbdProcess::start() {
  const hw::unique_fd log(open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  pid_ = spawn({program_, "--socket", socket_, "--store", store_}, {.out = log.get(), .err = log.get()});
  // reap gives -2 while the server is still running.
  wait_until([&] { return reap(false) != -2 || can_connect(socket_); }, within(std::chrono::seconds(30)));
  return running() && can_connect(socket_);
}

int RdbdProcess::reap(bool wait) {
  if (!running()) return exit_status_;
  int wstatus = 0;
  const pid_t r = waitpid(pid_, &wstatus, wait ? 0 : WNOHANG);
  if (r != pid_) return -2;
  pid_ = -1;
  exit_status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return exit_status_;
}

int RdbdProcess::stop() {
  if (!running()) return exit_status_;
  kill(pid_, SIGTERM);
  return reap(true);
}

void RdbdProcess::kill9() {
  if (!running()) return;
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
