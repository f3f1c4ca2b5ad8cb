// SPDX-License-Identifier: MIT
#include "tools/rdbd/readiness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rdbd {
namespace {

constexpr char kNotifySocketVar[] = "NOTIFY_SOCKET";
constexpr char kReadyFdVar[] = "RDBD_READY_FD";

bool send_datagram(const std::string &path, std::string_view message) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.data(), path.size());
  const bool abstract = path[0] == '@';
  if (abstract) addr.sun_path[0] = '\0';  // no terminating NUL counts
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 0 : 1));
  const hw::unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  return fd && sendto(fd.get(), message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr *>(&addr), len) >= 0;
}

// The descriptor's flags belong to whoever shares it: it is not made
// non-blocking; the newline goes only when there is room for it now.
bool write_newline_now(int fd) {
  pollfd p{fd, POLLOUT, 0};
  if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) {
    errno = EAGAIN;
    return false;
  }
  ssize_t n;
  while ((n = write(fd, "\n", 1)) < 0 && errno == EINTR) {
  }
  return n == 1;
}

}  // namespace

Readiness take_readiness() {
  Readiness r;
  if (const char *text = getenv(kReadyFdVar)) {
    const char *end = text + strlen(text);
    int fd = -1;
    const auto [stop, ec] = std::from_chars(text, end, fd);
    // 0 to 2 are refused: closing one after the report would hand its
    // number to the next file opened, which would then get the log.
    if (ec == std::errc() && stop == end && fd > 2 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0)
      r.ready_fd.reset(fd);
    else
      r.refused = std::string(kReadyFdVar) + " ignored: not an open descriptor above 2 (" + text + ")";
    unsetenv(kReadyFdVar);
  }
  if (const char *path = getenv(kNotifySocketVar)) {
    const size_t n = strlen(path);
    if ((path[0] == '/' || path[0] == '@') && n > 1 && n < sizeof(sockaddr_un::sun_path))
      r.notify_socket = path;
    else
      r.refused = std::string(kNotifySocketVar) + " ignored: not a socket path or @name (" + path + ")";
    unsetenv(kNotifySocketVar);
  }
  return r;
}

void report_ready(Readiness &readiness) {
  if (!readiness.refused.empty()) fprintf(stderr, "rdbd: %s\n", readiness.refused.c_str());
  if (!readiness.notify_socket.empty() && !send_datagram(readiness.notify_socket, "READY=1"))
    fprintf(stderr, "rdbd: cannot notify %s: %s\n", readiness.notify_socket.c_str(), strerror(errno));
  if (readiness.ready_fd && !write_newline_now(readiness.ready_fd.get()))
    fprintf(stderr, "rdbd: cannot write to %s: %s\n", kReadyFdVar, strerror(errno));
  readiness = Readiness{};
}

}  // namespace rdbd
