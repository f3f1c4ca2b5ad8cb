// SPDX-License-Identifier: MIT
#include "tests/support/namespaces.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "tests/support/process.h"

namespace testsupport {
namespace {

hw::unique_fd current_net_namespace() { return hw::unique_fd(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)); }

[[noreturn]] void throw_errno(const char *what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

std::string enter_namespaces(int clone_flags) {
  if (unshare(clone_flags) < 0) return errno_text("unshare");
  if ((clone_flags & CLONE_NEWNS) && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
    return errno_text("make / private");
  return "";
}

std::string mount_tmpfs(const std::string &path, const std::string &options, unsigned long flags) {
  if (mount("tmpfs", path.c_str(), "tmpfs", flags, options.c_str()) < 0) return errno_text("tmpfs on " + path);
  return "";
}

std::string make_private_dev(const std::string &size, unsigned long flags) {
  if (std::string e = mount_tmpfs("/dev", "mode=0755,size=" + size, flags); !e.empty()) return e;
  const struct {
    const char *path;
    unsigned minor;
  } nodes[] = {{"/dev/null", 3}, {"/dev/zero", 5}, {"/dev/random", 8}, {"/dev/urandom", 9}};
  for (const auto &node : nodes) {
    if (mknod(node.path, S_IFCHR | 0666, makedev(1, node.minor)) < 0) return errno_text(node.path);
    chmod(node.path, 0666);  // whatever the umask took away
  }
  return "";
}

std::string mount_devpts() {
  if (mkdir("/dev/pts", 0755) < 0) return errno_text("mkdir /dev/pts");
  if (mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") < 0)
    return errno_text("devpts on /dev/pts");
  if (symlink("pts/ptmx", "/dev/ptmx") < 0) return errno_text("/dev/ptmx");
  return "";
}

std::string write_sysctl(const std::string &name, const std::string &value) {
  const std::string path = "/proc/sys/" + name;
  const hw::unique_fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd || write(fd.get(), value.data(), value.size()) != static_cast<ssize_t>(value.size())) return errno_text(path);
  return "";
}

std::string bind_mount(const std::string &from, const std::string &to) {
  if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) < 0) return errno_text("bind " + from + " on " + to);
  return "";
}

NetNamespace::NetNamespace() {
  const hw::unique_fd home = current_net_namespace();
  if (!home || unshare(CLONE_NEWNET) < 0) throw_errno("new network namespace");
  ns_ = current_net_namespace();
  if (setns(home.get(), CLONE_NEWNET) < 0) throw_errno("setns");
}

NetNamespace::Visit::Visit(const hw::unique_fd &ns) : home_(current_net_namespace()) {
  if (!home_ || setns(ns.get(), CLONE_NEWNET) < 0) throw_errno("setns");
}

NetNamespace::Visit::~Visit() { setns(home_.get(), CLONE_NEWNET); }

}  // namespace testsupport
