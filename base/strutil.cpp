// SPDX-License-Identifier: MIT
#include "base/strutil.h"

#include <cstring>

namespace hw {

int code_from_name(const char *text, std::span<const char *const> names, int fallback) {
  if (!text) return fallback;
  for (size_t code = 0; code < names.size(); ++code)
    if (names[code] && strcmp(names[code], text) == 0) return static_cast<int>(code);
  return fallback;
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
