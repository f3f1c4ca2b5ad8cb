// SPDX-License-Identifier: MIT
#pragma once
// The event sockets from the other side: the udev monitor socket's address
// and a sender of the datagrams udev would send, and user-space netlink
// senders, which the daemon must refuse.

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"

namespace testsupport {

// Strings each followed by a NUL byte, concatenated: a raw event message.
std::string make_datagram(const std::vector<std::string> &strings);

// The abstract address the daemon binds, and its length.
sockaddr_un monitor_socket_address(socklen_t *len);

// The same name as /proc/net/unix lists it: "@" for the leading NUL.
std::string monitor_socket_listed_name();

// One socket for many datagrams to the monitor socket of the caller's
// network namespace. A send waits while the daemon's queue is full (a Unix
// datagram sender waits for its reader) and while nobody has bound the name
// yet (a daemon still starting), each up to a generous time-out, so that a
// burst is paced by the daemon and nothing is lost.
class MonitorSender {
 public:
  MonitorSender();
  bool ok() const { return static_cast<bool>(fd_); }
  // false, errno set, when the datagram could not be sent in time.
  bool send(std::string_view datagram);

 private:
  hw::unique_fd fd_;
};

// A NETLINK_KOBJECT_UEVENT socket bound to a port id of the kernel's
// choosing, in groups; none on failure.
hw::unique_fd netlink_socket(uint32_t groups = 0);
// datagram from the netlink socket from: to port to_port, or to multicast
// group 1 when to_port is 0. true when all of it was sent.
bool send_netlink(int from, uint32_t to_port, std::string_view datagram);

}  // namespace testsupport
