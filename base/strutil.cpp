// SPDX-License-Identifier: MIT
#include "base/strutil.h"

#include <cerrno>
#include <climits>
#include <cstring>

namespace hw {

int code_from_name(const char *text, std::span<const char *const> names, int fallback) {
  if (!text) return fallback;
  for (size_t code = 0; code < names.size(); ++code)
    if (names[code] && strcmp(names[code], text) == 0) return static_cast<int>(code);
  return fallback;
}

const char *name_from_code(int code, std::span<const char *const> names, const char *fallback) {
  if (code < 0 || static_cast<size_t>(code) >= names.size() || !names[code]) return fallback;
  return names[code];
}

int leading_int(std::string_view text) {
  size_t at = text.find_first_not_of(" \t\n\v\f\r");
  if (at == std::string_view::npos) return 0;
  const bool negative = text[at] == '-';
  if (text[at] == '+' || text[at] == '-') ++at;
  long long value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    // Past int's range it stays there: more digits only move it away.
    if (value <= INT_MAX) value = value * 10 + (text[at] - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool join_path(char (&buf)[kPathSize], std::initializer_list<const char *> parts) {
  buf[0] = '\0';
  for (const char *part : parts) {
    if (strlcat(buf, part, sizeof buf) >= sizeof buf) {
      errno = ENAMETOOLONG;
      return false;
    }
  }
  return true;
}

size_t strlcpy(char *dst, const char *src, size_t size) {
  size_t len = strlen(src);
  if (size != 0) {
    size_t n = len < size - 1 ? len : size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
  }
  return len;
}

size_t strlcat(char *dst, const char *src, size_t size) {
  const char *end = static_cast<const char *>(memchr(dst, '\0', size));
  if (!end) return size + strlen(src);
  size_t used = static_cast<size_t>(end - dst);
  return used + hw::strlcpy(dst + used, src, size - used);
}

void remove_trailing_chars(char *text, char c) {
  size_t len = strlen(text);
  while (len > 0 && text[len - 1] == c) text[--len] = '\0';
}

int vformatf(char *dst, size_t size, const char *fmt, va_list ap) { return vsnprintf(dst, size, fmt, ap); }

int formatf(char *dst, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int r = vformatf(dst, size, fmt, ap);
  va_end(ap);
  return r;
}

}  // namespace hw
