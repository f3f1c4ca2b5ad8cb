// SPDX-License-Identifier: MIT
#pragma once
// The two event sockets, and the receiving, parsing and dispatch of one
// event message: the lower layer of the event loop (daemon.cpp), which
// decides when to wait, what to take and what follows.

#include <cstddef>

#include "core/codes.h"

inline constexpr size_t kUeventBufferSize = 4096;

// Receive buffer asked for on both event sockets. The kernel doubles it (2 MiB
// of queue) and charges each queued uevent with its buffer's true size, about
// 0.8 KiB for a 200-byte tty event and 1.5 KiB for a large USB one, so some
// 1,500 events can wait while the class script runs: a hub with a modem of
// several ports and a storage stick, or a coldplug at boot. It is a limit, not
// an allocation: the memory is used only while events wait, which matters on
// a device with 64 MiB of RAM. A burst beyond it is reported (ENOBUFS).
// The monitor socket's queue ends sooner: at net.unix.max_dgram_qlen + 1
// datagrams (10 + 1 unless the board raises it), where senders wait or,
// non-blocking, get EAGAIN.
inline constexpr int kEventSocketRcvbuf = 1024 * 1024;

// The udev monitor socket's abstract name (without the leading NUL).
inline constexpr char kMonitorSocketName[] = "/org/kernel/udev/monitor";

// The udev monitor socket and the kernel's netlink socket. Both belong to
// this file, from their open at start-up to the shutdown.
enum class event_socket { monitor, netlink };
// The socket's descriptor, -1 while it is closed.
int event_socket_fd(event_socket which);
// Closes it; nothing happens when it is closed already.
void close_event_socket(event_socket which);

// Both report 0 on success and -1 on failure (message on standard error).
int open_monitor_socket();
int open_netlink_socket();

// What taking one datagram from a readable socket came to: handled (an
// event dispatched, or a datagram refused and logged within
// kRefusalLinesPerSecond), failed (the receive failed, logged), or
// events_lost (the kernel dropped uevents on the netlink socket, logged):
// the sysfs tree must be rescanned once the events queued before the loss
// are taken.
enum class take_result { handled, failed, events_lost };
// Receives one datagram of the socket and handles it: its event line is
// printed and logged (timestamp is the pass's) and the event dispatched to
// the device manager.
take_result take_event_message(event_socket which, const char *timestamp);

// Refused datagrams are logged at most this many lines a second per cause
// (untrusted sender, oversized, bad devpath); the count of those held back
// is logged once their second is over.
inline constexpr unsigned kRefusalLinesPerSecond = 5;
// How long the loop may wait before a held-back count is due; -1: none is.
long ms_until_held_back_due();
// Logs the held-back counts whose second is over.
void report_held_back_counts();

// The code of a SUBSYSTEM value: its name's position in subsystem_names,
// the last (unknown) for any other value and for none.
subsystem_code get_subsystem_code(const char *value);

// Milliseconds on CLOCK_MONOTONIC, for what the daemon spaces out in time.
long long hwtrack_now_ms();
