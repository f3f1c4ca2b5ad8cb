// SPDX-License-Identifier: MIT
#include "tests/support/procfs.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {
namespace {

namespace fs = std::filesystem;

std::string proc_path(pid_t pid, const std::string &file) { return "/proc/" + std::to_string(pid) + "/" + file; }

// A small /proc file read with one read(): cheap enough to poll.
bool read_small(const std::string &path, char (&buf)[512]) {
  const hw::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  const ssize_t n = read(fd.get(), buf, sizeof buf - 1);
  if (n <= 0) return false;
  buf[n] = '\0';
  return true;
}

}  // namespace

std::string read_proc(pid_t pid, const std::string &file) {
  std::ifstream in(proc_path(pid, file));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

long proc_status_kb(pid_t pid, const std::string &key) {
  std::istringstream in(read_proc(pid, "status"));
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ':')
      return strtol(line.c_str() + key.size() + 1, nullptr, 10);
  return -1;
}

char process_state(pid_t pid) {
  char buf[512];
  if (!read_small(proc_path(pid, "stat"), buf)) return '?';
  const char *paren = strrchr(buf, ')');
  return paren && paren[1] == ' ' ? paren[2] : '?';
}

SchedStat sched_stat(pid_t pid) {
  char buf[512];
  if (!read_small(proc_path(pid, "schedstat"), buf)) return {};
  // on-CPU ns, waiting ns, timeslices
  char *p = buf;
  SchedStat s;
  s.cpu_ns = strtod(p, &p);
  strtod(p, &p);
  s.runs = strtol(p, nullptr, 10);
  return s;
}

long descriptor_count(pid_t pid) {
  std::error_code ec;
  long n = 0;
  for (auto it = fs::directory_iterator(proc_path(pid, "fd"), ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    ++n;
  return ec ? -1 : n;
}

std::map<int, std::string> socket_inodes(pid_t pid) {
  std::map<int, std::string> out;
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(proc_path(pid, "fd"), ec)) {
    std::error_code link_ec;
    const std::string target = fs::read_symlink(entry.path(), link_ec).string();
    if (link_ec || !target.starts_with("socket:[") || !target.ends_with("]")) continue;
    out[atoi(entry.path().filename().c_str())] = target.substr(8, target.size() - 9);
  }
  return out;
}

std::vector<std::vector<std::string>> proc_table_rows(const std::string &path) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> row;
    for (std::string f; fields >> f;) row.push_back(f);
    rows.push_back(std::move(row));
  }
  return rows;
}

hw::unique_fd duplicate_descriptor(pid_t pid, int fd) {
  hw::unique_fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd) return {};
  hw::unique_fd dup(static_cast<int>(syscall(SYS_pidfd_getfd, pidfd.get(), fd, 0)));
  const int saved = errno;
  pidfd.reset();
  errno = saved;
  return dup;
}

}  // namespace testsupport
