// SPDX-License-Identifier: MIT
#pragma once
// boardsim's session: `run` puts the RDB stand-in rdbd, hwtrackd and a
// syslog reader on a simulated board in private namespaces and hands over
// to a shell or a hook script; inside a run, `daemon start|stop`, `settle`
// and `report` drive and watch the daemon. Each returns boardsim's exit
// status (0 done, 1 failed, 2 usage error).

#include <string>
#include <vector>

namespace board {

int session_run(const std::vector<std::string> &args);
int session_daemon(const std::vector<std::string> &args);
int session_settle(const std::vector<std::string> &args);
int session_report(const std::vector<std::string> &args);

}  // namespace board
