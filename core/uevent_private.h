// SPDX-License-Identifier: MIT
#pragma once
// The steps of uevent.cpp that tests, benchmarks and fuzzers drive one at a
// time; the event loop reaches them through take_event_message.

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "base/unique_fd.h"
#include "core/uevent.h"

// Puts fd in the socket's place and hands back what was there.
hw::unique_fd exchange_event_socket(event_socket which, hw::unique_fd fd);

// Where the event lines go; nullptr restores stdout.
void hwtrack_set_event_stream(FILE *stream);

// Forgets the refusals counted so far, held-back ones unreported: for a
// caller that starts over in the same process (each test).
void hwtrack_forget_refusals();

// Receive one datagram from the monitor (udev) or the netlink (kernel)
// socket into buf. Result: the byte count of an accepted message (> 0); 0
// when the datagram was refused (untrusted sender, truncated), logged once
// (within kRefusalLinesPerSecond);
// -1 on failure with errno set (ENODATA for an empty datagram, ENOBUFS on
// netlink when the kernel dropped events).
ssize_t receive_monitor_message(int fd, char *buf, size_t size);
ssize_t receive_netlink_message(int fd, char *buf, size_t size);

// Value of key among the KEY=value strings in [start, end), or nullptr. The
// value ends at its NUL, or at end when the last string has none, so the
// caller keeps a NUL at *end (the loop's receive buffer has one byte spare).
const char *get_uevent_value(const char *key, const char *start, const char *end);

// The code of an ACTION value: its name's position in action_names, the
// last (unknown) for any other value and for none.
action_code get_action_code(const char *value);

// Why a devpath must not be looked up ("." or ".." component, too long), or
// nullptr when it is safe.
const char *hwtrack_devpath_refusal(const char *devpath);

// Parses one received message of n bytes (at most kUeventBufferSize are
// looked at), prints and logs its event line and dispatches it. label is
// "UEVENT" or "UDEV  ". msg need not be NUL-terminated.
void hwtrack_handle_message(const char *label, const char *timestamp, const char *msg, size_t n);
