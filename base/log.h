// SPDX-License-Identifier: MIT
#pragma once
// The one door to the system log. Every message carries the prefix
// "<module:function:line> " so that a line in a field log leads straight back
// to the code that wrote it; HWLOG fills the prefix from the call site.
//
// A module names itself once, in its .cpp:
//     namespace { constexpr char HWLOG_MODULE[] = "rdb"; }
// and logs with
//     HWLOG(LOG_ERR, "failed to open rdb driver - %s", strerror(errno));

#include <syslog.h>

// Receives each formatted line (prefix included) instead of syslog; tests use
// it to capture what the daemon logs without a syslog daemon.
using hwlog_sink = void (*)(int priority, const char *line);

// openlog("hwtrackd", LOG_PID, LOG_DAEMON).
void hwlog_open();

// Sets the mask of priorities that pass (LOG_UPTO style). It is applied
// before formatting, to syslog and to a capture sink alike.
void hwlog_set_mask(int mask);
int hwlog_mask();

// nullptr restores syslog.
void hwlog_set_sink(hwlog_sink sink);

void hwlog_write(int priority, const char *module, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

#define HWLOG(priority, fmt, ...) \
  hwlog_write((priority), HWLOG_MODULE, __func__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
