// SPDX-License-Identifier: MIT
#pragma once
// Private worlds for tests, benchmarks and fuzzers: new mount and network
// namespaces, a /dev of their own with pseudo-terminals, settings of the
// network namespace, tmpfs and bind mounts, and a network namespace held
// open to run parts of a program in.
//
// Each returns "" on success, or what failed with errno's text.

#include <sys/mount.h>

#include <string>

#include "base/unique_fd.h"

namespace testsupport {

// New namespaces (CLONE_NEWNS, CLONE_NEWNET, ...) for the calling process.
// With a new mount namespace, / is made private throughout, so that no
// mount made from here on reaches the machine.
std::string enter_namespaces(int clone_flags);

// A tmpfs on path; options as mount(8) takes them ("mode=0755,size=64m").
std::string mount_tmpfs(const std::string &path, const std::string &options, unsigned long flags = MS_NOSUID);

// A fresh tmpfs on /dev holding null, zero, random and urandom (mode 0666),
// in a mount namespace of the caller's own.
std::string make_private_dev(const std::string &size = "4m", unsigned long flags = MS_NOSUID);

// A devpts instance of the caller's own on /dev/pts, and /dev/ptmx leading
// to it: pseudo-terminals in a private /dev, any user may open one.
std::string mount_devpts();

// Writes value to a setting under /proc/sys ("net/unix/max_dgram_qlen");
// the net/ ones belong to the caller's network namespace.
std::string write_sysctl(const std::string &name, const std::string &value);

// from mounted again at to.
std::string bind_mount(const std::string &from, const std::string &to);

// A network namespace of its own, made at construction and held open: the
// udev monitor socket's abstract name and the netlink sockets are per
// network namespace, so two daemons can run side by side. Throws
// std::system_error when a namespace cannot be made or entered.
class NetNamespace {
 public:
  NetNamespace();

  // Runs fn with the calling thread in the namespace: what it spawns lives
  // there, and the sockets it makes reach names there.
  template <typename Fn>
  auto inside(Fn fn) {
    const Visit visit(ns_);
    return fn();
  }

 private:
  // The namespace entered for its lifetime, the one before it back after.
  class Visit {
   public:
    explicit Visit(const hw::unique_fd &ns);
    ~Visit();
    Visit(const Visit &) = delete;
    Visit &operator=(const Visit &) = delete;

   private:
    hw::unique_fd home_;
  };

  hw::unique_fd ns_;
};

}  // namespace testsupport
