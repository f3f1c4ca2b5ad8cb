// SPDX-License-Identifier: MIT
// send_uevent: sends one event datagram to the udev monitor socket, as udev
// does, so that shell tests can plug and unplug devices of a simulated board.
//
//   send_uevent ACTION DEVPATH SUBSYSTEM
//
// Exit status 0 when the datagram was sent, 1 when it could not be, 2 on
// bad arguments.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/support/monitor.h"
#include "tools/board/boards.h"

int main(int argc, char **argv) {
  if (argc != 4) {
    fputs("usage: send_uevent ACTION DEVPATH SUBSYSTEM\n", stderr);
    return 2;
  }
  const std::string msg = board::Uevent{argv[1], argv[2], argv[3], {}, 1}.datagram();

  testsupport::MonitorSender sender;
  if (!sender.ok()) {
    fprintf(stderr, "send_uevent: socket: %s\n", strerror(errno));
    return 1;
  }
  if (!sender.send(msg)) {
    fprintf(stderr, "send_uevent: sendto: %s\n", strerror(errno));
    return 1;
  }
  return 0;
}
