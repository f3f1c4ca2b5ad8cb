// SPDX-License-Identifier: MIT
#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kLineSize = kHwlogLineSize;

int g_mask = 0xff;  // syslog's own default: every priority passes
hwlog_sink g_sink = nullptr;
hwlog_sink g_tap = nullptr;

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Texts that devices and senders choose reach the log (a USB serial number,
// a devpath from a datagram): a newline in one would start a forged line in
// the log file, an escape sequence would rewrite a terminal. Each control
// character becomes "\xHH". A backslash stays as it is (regular expressions
// are logged), except before an "x", where it becomes "\x5c": so every
// "\x" in a line is an escape, and the line reads back unambiguously.
// keep_newline leaves a last "\n" alone: it ends a format, it is no text.
void escape_controls(const char *in, char *out, size_t size, bool keep_newline) {
  static constexpr char hex[] = "0123456789abcdef";
  size_t n = strlen(in);
  const bool final_newline = keep_newline && n > 0 && in[n - 1] == '\n';
  if (final_newline) --n;
  size_t used = 0;
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(in[i]);
    const bool escape = is_control(c) || (c == '\\' && in[i + 1] == 'x');
    if (used + (escape ? 4 : 1) >= size) break;
    if (escape) {
      out[used++] = '\\';
      out[used++] = 'x';
      out[used++] = hex[c >> 4];
      out[used++] = hex[c & 0xf];
    } else {
      out[used++] = static_cast<char>(c);
    }
  }
  if (final_newline && used + 1 < size) out[used++] = '\n';
  out[used] = '\0';
}

}  // namespace

void hwlog_open() { openlog("hwtrackd", LOG_PID, LOG_DAEMON); }

void hwlog_set_mask(int mask) {
  g_mask = mask;
  setlogmask(mask);
}

int hwlog_mask() { return g_mask; }

void hwlog_set_sink(hwlog_sink sink) { g_sink = sink; }

void hwlog_set_tap(hwlog_sink tap) { g_tap = tap; }

void hwlog_write(int priority, const char *module, const char *func, int line, const char *fmt, ...) {
  const bool passes = (LOG_MASK(LOG_PRI(priority)) & g_mask) != 0;
  if (!passes && !g_tap) return;

  char text[kLineSize];
  int used = snprintf(text, sizeof text, "<%s:%s:%d> ", module, func, line);
  if (used < 0) return;
  if (used < kLineSize) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text + used, sizeof text - used, fmt, ap);
    va_end(ap);
  }

  char escaped[kLineSize];
  const size_t fmt_length = strlen(fmt);
  escape_controls(text, escaped, sizeof escaped, fmt_length > 0 && fmt[fmt_length - 1] == '\n');

  if (g_tap) g_tap(priority, escaped);
  if (!passes) return;
  if (g_sink)
    g_sink(priority, escaped);
  else
    syslog(priority, "%s", escaped);
}
