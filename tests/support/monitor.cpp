// SPDX-License-Identifier: MIT
#include "core/uevent.h"
#include "tests/support/monitor.h"

#include <linux/netlink.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>


namespace testsupport {
namespace {

constexpr int kSendTimeoutSeconds = 60;
constexpr auto kUnboundWait = std::chrono::seconds(5);

}  // namespace

std::string make_datagram(const std::vector<std::string> &strings) {
  std::string out;
  for (const auto &s : strings) {
    out += s;
    out.push_back('\0');
  }
  return out;
}

sockaddr_un monitor_socket_address(socklen_t *len) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // A leading NUL, then the name without a terminating NUL.
  memcpy(addr.sun_path + 1, kMonitorSocketName, sizeof kMonitorSocketName - 1);
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kMonitorSocketName);
  return addr;
}

MonitorSender::MonitorSender() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  const timeval timeout{kSendTimeoutSeconds, 0};
  if (fd_) setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

bool MonitorSender::send(std::string_view datagram) {
  socklen_t len;
  const sockaddr_un addr = monitor_socket_address(&len);
  const auto unbound_until = std::chrono::steady_clock::now() + kUnboundWait;
  for (;;) {
    const ssize_t n =
        sendto(fd_.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr *>(&addr), len);
    if (n == static_cast<ssize_t>(datagram.size())) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ECONNREFUSED && std::chrono::steady_clock::now() < unbound_until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    return false;  // the time-out (EAGAIN): the daemon stopped reading
  }
}

std::string monitor_socket_listed_name() {
  socklen_t len;
  const sockaddr_un addr = monitor_socket_address(&len);
  return "@" + std::string(addr.sun_path + 1, len - offsetof(sockaddr_un, sun_path) - 1);
}

hw::unique_fd netlink_socket(uint32_t groups) {
  hw::unique_fd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = groups;
  if (fd && bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) fd.reset();
  return fd;
}

bool send_netlink(int from, uint32_t to_port, std::string_view datagram) {
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = to_port;
  to.nl_groups = to_port == 0 ? 1 : 0;
  return sendto(from, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
         static_cast<ssize_t>(datagram.size());
}

}  // namespace testsupport
