#include "base/log.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Longer lines are cut; syslog itself would not carry much more.
constexpr int kLineSize = 1024;

int g_mask = 0xff;  // syslog's own default: every priority passes
hwlog_sink g_sink = nullptr;

}  // namespace

void hwlog_open() { openlog("hwtrackd", LOG_PID, LOG_DAEMON); }

void hwlog_set_mask(int mask) {
  g_mask = mask;
  setlogmask(mask);
}

int hwlog_mask() { return g_mask; }

void hwlog_set_sink(hwlog_sink sink) { g_sink = sink; }

void hwlog_write(int priority, const char *module, const char *func, int line, const char *fmt, ...) {
  if (!(LOG_MASK(LOG_PRI(priority)) & g_mask)) return;

  char text[kLineSize];
  int used = snprintf(text, sizeof text, "<%s:%s:%d> ", module, func, line);
  if (used < 0) return;
  if (used < kLineSize) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text + used, sizeof text - used, fmt, ap);
    va_end(ap);
  }

  if (g_sink)
    g_sink(priority, text);
  else
    syslog(priority, "%s", text);
}
