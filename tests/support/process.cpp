// SPDX-License-Identifier: MIT
#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string_view>
#include <thread>

#include "base/unique_fd.h"

extern char **environ;

namespace testsupport {
namespace {

constexpr auto kPollStep = std::chrono::milliseconds(5);

std::vector<std::string> environment_with(const Env &overrides) {
  std::map<std::string, std::string> env;
  for (char **e = environ; *e; ++e) {
    const std::string_view kv(*e);
    const size_t eq = kv.find('=');
    if (eq != std::string_view::npos) env[std::string(kv.substr(0, eq))] = std::string(kv.substr(eq + 1));
  }
  for (const auto &[k, v] : overrides) env[k] = v;
  std::vector<std::string> out;
  for (const auto &[k, v] : env) out.push_back(k + "=" + v);
  return out;
}

std::vector<char *> pointers_to(std::vector<std::string> &strings) {
  std::vector<char *> out;
  for (std::string &s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::string errno_text(const std::string &what) { return what + ": " + strerror(errno); }

bool wait_until(const std::function<bool()> &cond, Deadline deadline) {
  for (;;) {
    if (cond()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

pid_t spawn(const std::vector<std::string> &argv, const SpawnOptions &options) {
  std::vector<std::string> args = argv, env = environment_with(options.env);
  const std::vector<char *> cargv = pointers_to(args), cenv = pointers_to(env);
  std::vector<int> extra = options.extra;
  const int first_unused = 3 + static_cast<int>(extra.size());

  const pid_t pid = fork();
  if (pid != 0) return pid;
  // The child of a process that may have threads: async-signal-safe calls only.
  // An extra descriptor that sits where 0 to 2 or another extra one goes is
  // moved out of the way first; dup2 leaves the copies open across exec.
  for (int &fd : extra)
    if (fd < first_unused) fd = fcntl(fd, F_DUPFD_CLOEXEC, first_unused);
  if (options.in >= 0) dup2(options.in, 0);
  if (options.out >= 0) dup2(options.out, 1);
  if (options.err >= 0) dup2(options.err, 2);
  for (size_t i = 0; i < extra.size(); ++i) dup2(extra[i], 3 + static_cast<int>(i));
  if (options.no_stdio) syscall(SYS_close_range, 0U, 2U, 0U);
  syscall(SYS_close_range, static_cast<unsigned>(first_unused), ~0U, 0U);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if ((options.uid != 0 || options.gid != 0) && !become_user(options.uid, options.gid)) _exit(126);
  execve(cargv[0], cargv.data(), cenv.data());
  _exit(127);
}

bool become_user(uid_t uid, gid_t gid) {
  return syscall(SYS_setgroups, 0, nullptr) == 0 && syscall(SYS_setresgid, gid, gid, gid) == 0 &&
         syscall(SYS_setresuid, uid, uid, uid) == 0;
}

int decode_status(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

std::optional<int> try_reap(pid_t pid) {
  int st = 0;
  const pid_t r = waitpid(pid, &st, WNOHANG);
  if (r == pid) return decode_status(st);
  if (r < 0 && errno == ECHILD) return -1;
  return std::nullopt;
}

std::optional<int> reap_by(pid_t pid, Deadline deadline) {
  std::optional<int> status;
  wait_until([&] { return (status = try_reap(pid)).has_value(); }, deadline);
  return status;
}

int stop_process(pid_t pid, int signo, Deadline deadline) {
  kill(pid, signo);
  if (const auto status = reap_by(pid, deadline)) return *status;
  kill(pid, SIGKILL);
  return reap_by(pid, within(std::chrono::seconds(10))).value_or(-1);
}

RunResult run_program(const std::vector<std::string> &argv, const Env &env, Deadline deadline, uid_t uid) {
  RunResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) < 0) return result;
  hw::unique_fd out_r(out[0]), out_w(out[1]);
  if (pipe2(err, O_CLOEXEC) < 0) return result;
  hw::unique_fd err_r(err[0]), err_w(err[1]);
  const hw::unique_fd null(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const pid_t pid =
      spawn(argv, {.env = env, .in = null.get(), .out = out_w.get(), .err = err_w.get(), .uid = uid, .gid = uid});
  if (pid < 0) return result;
  out_w.reset();
  err_w.reset();

  pollfd fds[2] = {{out_r.get(), POLLIN, 0}, {err_r.get(), POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  while (open_streams > 0 && Clock::now() < deadline) {
    if (poll(fds, 2, 50) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }
  if (open_streams > 0) kill(pid, SIGKILL);
  result.status = reap_by(pid, open_streams > 0 ? within(std::chrono::seconds(5)) : deadline).value_or(-1);
  return result;
}

}  // namespace testsupport
