#include "tests/rdb/rdbd_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace rdbtest {
namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Builds everything exec needs before fork: the child only calls
// async-signal-safe functions.
struct ExecArgs {
  std::vector<std::string> storage;
  std::vector<char *> argv, envp;
  ExecArgs(const std::vector<std::string> &args, const std::vector<std::string> &env) {
    storage = args;
    for (std::string &a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (char **e = environ; *e; ++e) envp.push_back(*e);
    env_storage = env;
    for (std::string &e : env_storage) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  std::vector<std::string> env_storage;
};

pid_t spawn(const ExecArgs &args, const std::string &out, const std::string &err) {
  const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    execve(args.argv[0], args.argv.data(), args.envp.data());
    _exit(127);
  }
  close(out_fd);
  close(err_fd);
  return pid;
}

int status_of(int wstatus) { return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1; }

}  // namespace

TempDir::TempDir() {
  char tmpl[] = "/tmp/rdbd-test-XXXXXX";
  path_ = mkdtemp(tmpl);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool can_connect(const std::string &path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

RdbdProcess::RdbdProcess(std::string socket, std::string store, std::string log)
    : socket_(std::move(socket)), store_(std::move(store)), log_(std::move(log)) {}

RdbdProcess::~RdbdProcess() {
  if (running()) kill9();
}

bool RdbdProcess::start() {
  const ExecArgs args({RDBD_BIN, "--socket", socket_, "--store", store_}, {});
  pid_ = spawn(args, log_, log_);
  // reap gives -2 while the server is still running.
  wait_until([&] { return reap(false) != -2 || can_connect(socket_); });
  return running() && can_connect(socket_);
}

int RdbdProcess::reap(bool wait) {
  if (!running()) return exit_status_;
  int wstatus = 0;
  const pid_t r = waitpid(pid_, &wstatus, wait ? 0 : WNOHANG);
  if (r != pid_) return -2;
  pid_ = -1;
  exit_status_ = status_of(wstatus);
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

std::string RdbdProcess::log() const { return slurp(log_); }

ProgramResult run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
  TempDir dir;
  const ExecArgs args(argv, env);
  const pid_t pid = spawn(args, dir.file("out"), dir.file("err"));
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return {status_of(wstatus), slurp(dir.file("out")), slurp(dir.file("err"))};
}

}  // namespace rdbtest
