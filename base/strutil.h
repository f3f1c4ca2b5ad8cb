// SPDX-License-Identifier: MIT
#pragma once
// Bounded string functions with BSD semantics, and the two fixed-capacity
// text types built on them. Every fixed-width text of the daemon is filled
// through these, so a value that does not fit is cut the same way everywhere:
// at capacity - 1 characters, always NUL-terminated, without a report.
//
// They live in namespace hw because musl, uClibc-ng, bionic and glibc 2.38
// on declare their own strlcpy/strlcat in <string.h>: call them as
// hw::strlcpy, never through a using-declaration, which makes an unqualified
// call ambiguous wherever <string.h> declares the C library's.

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include "base/path_size.h"

namespace hw {

// Copies at most size - 1 bytes and terminates when size is not 0.
// Returns strlen(src); a result >= size means the copy was cut.
size_t strlcpy(char *dst, const char *src, size_t size);

// Appends so that dst holds at most size - 1 characters. Returns the length
// dst had (bounded by size) plus strlen(src); >= size means it was cut.
size_t strlcat(char *dst, const char *src, size_t size);

// Overwrites every trailing occurrence of c with NUL.
void remove_trailing_chars(char *text, char c);

// The code a name stands for in a table of names whose positions are the
// codes: the position of the first present name equal to text, or fallback
// when there is none (or text is null).
int code_from_name(const char *text, std::span<const char *const> names, int fallback);

// The name at position code of such a table, or fallback when code is out
// of its range or the table has no name there.
const char *name_from_code(int code, std::span<const char *const> names, const char *fallback);

// atoi's reading of the start of text: white space, an optional sign, then
// decimal digits up to the first other character; 0 when there are none. A
// number beyond int reads as INT_MAX or INT_MIN, where atoi's result would
// be undefined.
int leading_int(std::string_view text);

// Concatenates parts into a path buffer. A path that does not fit is refused
// (false, errno ENAMETOOLONG) rather than cut: a cut path names another
// file, and "<devpath>/device" cut to "<devpath>/dev" reads an attribute.
bool join_path(char (&buf)[kPathSize], std::initializer_list<const char *> parts);

// snprintf into a bounded buffer; a longer result is cut.
int formatf(char *dst, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int vformatf(char *dst, size_t size, const char *fmt, va_list ap) __attribute__((format(printf, 3, 0)));

// A text of N bytes held inline (class entries, sysfs records).
template <size_t N>
class fixed_text {
 public:
  static constexpr size_t capacity = N;

  const char *c_str() const { return buf_; }
  char *data() { return buf_; }
  bool empty() const { return buf_[0] == '\0'; }

  size_t set(const char *src) { return hw::strlcpy(buf_, src, N); }
  size_t append(const char *src) { return hw::strlcat(buf_, src, N); }
  int format(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    int r = vformatf(buf_, N, fmt, ap);
    va_end(ap);
    return r;
  }
  void clear() { buf_[0] = '\0'; }

 private:
  char buf_[N] = {};
};

// A text of N bytes on the heap that is absent until allocate() (hwdev
// records hold their buffers only while in use). c_str() of an absent text is
// nullptr; writing to an absent text is a caller bug.
template <size_t N>
class heap_text {
 public:
  static constexpr size_t capacity = N;

  bool present() const { return buf_ != nullptr; }
  // Makes the text present and empty; false when memory runs out.
  bool allocate() {
    if (!buf_) buf_.reset(new (std::nothrow) char[N]);
    if (!buf_) return false;
    buf_[0] = '\0';
    return true;
  }
  void release() { buf_.reset(); }

  const char *c_str() const { return buf_.get(); }
  char *data() { return buf_.get(); }
  bool empty() const { return !buf_ || buf_[0] == '\0'; }

  size_t set(const char *src) { return hw::strlcpy(buf_.get(), src, N); }
  size_t append(const char *src) { return hw::strlcat(buf_.get(), src, N); }
  int format(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    int r = vformatf(buf_.get(), N, fmt, ap);
    va_end(ap);
    return r;
  }

 private:
  std::unique_ptr<char[]> buf_;
};

}  // namespace hw
