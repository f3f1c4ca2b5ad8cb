// send_uevent: sends one event datagram to the udev monitor socket, as udev
// does, so that shell tests can plug and unplug devices of a simulated board.
//
//   send_uevent ACTION DEVPATH SUBSYSTEM
//
// Exit status 0 when the datagram was sent, 1 when it could not be, 2 on
// bad arguments.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kMonitorName[] = "/org/kernel/udev/monitor";

// "action@devpath", then KEY=value strings, every string NUL-terminated.
std::string build_message(const char *action, const char *devpath, const char *subsystem) {
  std::string msg;
  auto add = [&msg](const std::string &text) {
    msg += text;
    msg += '\0';
  };
  add(std::string(action) + "@" + devpath);
  add(std::string("ACTION=") + action);
  add(std::string("DEVPATH=") + devpath);
  add(std::string("SUBSYSTEM=") + subsystem);
  add("SEQNUM=1");
  return msg;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fputs("usage: send_uevent ACTION DEVPATH SUBSYSTEM\n", stderr);
    return 2;
  }
  const std::string msg = build_message(argv[1], argv[2], argv[3]);

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path + 1, kMonitorName, sizeof kMonitorName - 1);
  const auto addrlen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kMonitorName);

  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fprintf(stderr, "send_uevent: socket: %s\n", strerror(errno));
    return 1;
  }
  const ssize_t n = sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr *>(&addr), addrlen);
  const int err = errno;
  close(fd);
  if (n != static_cast<ssize_t>(msg.size())) {
    fprintf(stderr, "send_uevent: sendto: %s\n", n < 0 ? strerror(err) : "short write");
    return 1;
  }
  return 0;
}
