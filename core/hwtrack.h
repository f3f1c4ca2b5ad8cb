// SPDX-License-Identifier: MIT
#pragma once
// The daemon core of the hwtrack module: start-up and shutdown, the two
// event sockets, the select loop and the parsing and dispatch of events.

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdio>

#include "base/unique_fd.h"
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

// Set by signal_handler on SIGINT and SIGTERM; the loop tests it every pass.
extern volatile sig_atomic_t stop_flag;

// The udev monitor socket and the kernel's netlink socket. Both belong to
// the event loop's file, from their open at start-up to the shutdown.
enum class event_socket { monitor, netlink };
// The socket's descriptor, -1 while it is closed.
int event_socket_fd(event_socket which);
// Closes it; nothing happens when it is closed already.
void close_event_socket(event_socket which);
// For tests: puts fd in the socket's place and hands back what was there.
hw::unique_fd exchange_event_socket(event_socket which, hw::unique_fd fd);

// The daemon's whole life; main() only calls this.
int hwtrack_main(int argc, char **argv);
void print_usage(FILE *stream);
void signal_handler(int signo);

// Log mask for a value of "sys.hw.cfg.debug" (nullptr when absent).
int hwtrack_log_mask(const char *debug_value);

// Both report 0 on success and -1 on failure (message on standard error).
int open_monitor_socket();
int open_netlink_socket();

// Runs passes until stop_flag is found set.
void hwtrack_event_loop();
// One pass of the loop; false when stop_flag was set and nothing was done.
// SIGINT and SIGTERM are let through only while it waits (pselect), so a
// stop request can never slip in between the flag test and the wait.
bool hwtrack_event_pass();

// Value of key among the KEY=value strings in [start, end), or nullptr. The
// value ends at its NUL, or at end when the last string has none, so the
// caller keeps a NUL at *end (the loop's receive buffer has one byte spare).
const char *get_uevent_value(const char *key, const char *start, const char *end);
// The code of an ACTION or SUBSYSTEM value: its name's position in
// action_names or subsystem_names, the last (unknown) for any other value
// and for none.
action_code get_action_code(const char *value);
subsystem_code get_subsystem_code(const char *value);

// Why a devpath must not be looked up ("." or ".." component, too long), or
// nullptr when it is safe.
const char *hwtrack_devpath_refusal(const char *devpath);

// Parses one received message of n bytes (at most kUeventBufferSize are
// looked at), prints and logs its event line and dispatches it. label is
// "UEVENT" or "UDEV  ". msg need not be NUL-terminated.
void hwtrack_handle_message(const char *label, const char *timestamp, const char *msg, size_t n);

// Receive one datagram from the monitor (udev) or the netlink (kernel)
// socket into buf. Result: the byte count of an accepted message (> 0); 0
// when the datagram was refused (untrusted sender, truncated), logged once
// (within kRefusalLinesPerSecond);
// -1 on failure with errno set (ENODATA for an empty datagram, ENOBUFS on
// netlink when the kernel dropped events).
ssize_t receive_monitor_message(int fd, char *buf, size_t size);
ssize_t receive_netlink_message(int fd, char *buf, size_t size);

// Called after the kernel reported that uevents were lost on the netlink
// socket (ENOBUFS, logged at once), as soon as the events it had queued
// before the loss are handled; nullptr removes it.
using hwtrack_overrun_handler = void (*)();
void hwtrack_set_overrun_handler(hwtrack_overrun_handler handler);

// Where the event lines go; nullptr restores stdout.
void hwtrack_set_event_stream(FILE *stream);

// Work between events that cannot wait for the next event (retrying the
// RDB): called at the top of every pass, before the wait. Returns the
// milliseconds after which it wants to run again even if no event comes,
// or -1 when nothing is pending (the wait then has no time limit).
// nullptr removes it.
using hwtrack_upkeep_handler = long (*)();
void hwtrack_set_upkeep_handler(hwtrack_upkeep_handler handler);

// Milliseconds on CLOCK_MONOTONIC, for what the daemon spaces out in time.
long long hwtrack_now_ms();

// Refused datagrams are logged at most this many lines a second per cause
// (untrusted sender, oversized, bad devpath); the count of those held back
// is logged once their second is over.
inline constexpr unsigned kRefusalLinesPerSecond = 5;
// Forgets the refusals counted so far, held-back ones unreported: for a
// caller that starts over in the same process (each test).
void hwtrack_forget_refusals();
