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

// The longest line logged, prefix and NUL included; longer ones are cut
// (syslog itself would not carry much more).
inline constexpr int kHwlogLineSize = 1024;

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

// Also receives each line, whatever the mask, beside the sink or syslog:
// for a step that keeps what it logged while it ran (an identification
// traced for hwtrack-explain). nullptr: none, the daemon's case.
void hwlog_set_tap(hwlog_sink tap);

void hwlog_write(int priority, const char *module, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

#define HWLOG(priority, fmt, ...) \
  hwlog_write((priority), HWLOG_MODULE, __func__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

// Where a helper logs on behalf of a function: that function's name and the
// line of the call that led to the helper. A helper that logs for a function
// the design names takes one, so that its lines name that function and the
// caller's line, never a line of its own; all its lines then carry that one
// line number. The name is written out at the call: HWLOG_SITE(__func__) in
// the function logged for, its name in a string elsewhere.
struct hwlog_site {
  const char *func;
  int line;
};
#define HWLOG_SITE(func) (hwlog_site{(func), __LINE__})
#define HWLOG_AT(site, priority, fmt, ...) \
  hwlog_write((priority), HWLOG_MODULE, (site).func, (site).line, fmt __VA_OPT__(, ) __VA_ARGS__)
