// SPDX-License-Identifier: MIT
#pragma once
// The hwtrack daemon's entry point. The parts it is built from have headers
// of their own: the event sockets and the parsing and dispatch of events in
// uevent.h, the device manager in devmgr.h, identification in identify.h,
// the start-up reconciliation in startup.h, the class script's process in
// script.h, the stop request in signals.h.

// The daemon's whole life: options, start-up, the event loop, shutdown.
// main() only calls this.
int hwtrack_main(int argc, char **argv);
