// SPDX-License-Identifier: MIT
#pragma once
// Telling a supervisor that rdbd serves: one datagram "READY=1" to
// NOTIFY_SOCKET (a path, or "@" and an abstract name), and a newline on the
// descriptor RDBD_READY_FD names (above 2), which is closed then. Neither
// ever blocks: a supervisor that cannot take the message does not stop the
// server.

#include <string>

#include "base/unique_fd.h"

namespace rdbd {

struct Readiness {
  std::string notify_socket;
  hw::unique_fd ready_fd;
  std::string refused;  // what the environment held that cannot be used
};

// Takes both ways from the environment and removes them from it, so that
// nothing rdbd might start inherits them.
Readiness take_readiness();
// Reports readiness on each way once; failures go to standard error.
void report_ready(Readiness &readiness);

}  // namespace rdbd
