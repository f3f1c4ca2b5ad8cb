// SPDX-License-Identifier: MIT
#pragma once
// Captures what the daemon logs while an instance is alive.

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct LogLine {
  int priority;
  std::string text;  // with the "<module:function:line> " prefix
};

class LogCapture {
 public:
  LogCapture();   // installs the sink and lets every priority pass
  ~LogCapture();  // restores syslog and the previous mask
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  const std::vector<LogLine> &lines() const;
  void clear();
  // Lines whose text (prefix removed) contains needle.
  std::vector<LogLine> matching(std::string_view needle) const;
  bool contains(std::string_view needle) const { return !matching(needle).empty(); }
  // Texts with the prefix removed, in order.
  std::vector<std::string> messages() const;

  // The text after "<module:function:line> ".
  static std::string_view strip_prefix(std::string_view line);

 private:
  int saved_mask_;
};

}  // namespace testsupport
