// SPDX-License-Identifier: MIT
// hold_netlink_port PROGRAM [ARGS...]
//
// Binds a NETLINK_KOBJECT_UEVENT socket to the port id that equals this
// process's id, keeps it open across exec and runs PROGRAM in this process:
// PROGRAM then finds its own process id taken as a netlink port id, as a
// daemon in a container can when another socket in the network namespace
// got there first.

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: hold_netlink_port PROGRAM [ARGS...]\n");
    return 2;
  }
  const int fd = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);  // no CLOEXEC: it must outlive exec
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_pid = static_cast<__u32>(getpid());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
    fprintf(stderr, "hold_netlink_port: %s\n", strerror(errno));
    return 2;
  }
  execv(argv[1], argv + 1);
  fprintf(stderr, "hold_netlink_port: %s: %s\n", argv[1], strerror(errno));
  return 127;
}
