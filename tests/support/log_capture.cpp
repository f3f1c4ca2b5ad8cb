// SPDX-License-Identifier: MIT
#include "tests/support/log_capture.h"

#include "base/log.h"

namespace testsupport {
namespace {

std::vector<LogLine> g_lines;

void capture(int priority, const char *line) { g_lines.push_back({priority, line}); }

}  // namespace

LogCapture::LogCapture() : saved_mask_(hwlog_mask()) {
  g_lines.clear();
  hwlog_set_sink(capture);
  hwlog_set_mask(0xff);
}

LogCapture::~LogCapture() {
  hwlog_set_sink(nullptr);
  hwlog_set_mask(saved_mask_);
  g_lines.clear();
}

const std::vector<LogLine> &LogCapture::lines() const { return g_lines; }

void LogCapture::clear() { g_lines.clear(); }

std::string_view LogCapture::strip_prefix(std::string_view line) {
  if (line.empty() || line.front() != '<') return line;
  auto end = line.find("> ");
  return end == std::string_view::npos ? line : line.substr(end + 2);
}

std::vector<LogLine> LogCapture::matching(std::string_view needle) const {
  std::vector<LogLine> out;
  for (const auto &l : g_lines)
    if (strip_prefix(l.text).find(needle) != std::string_view::npos) out.push_back(l);
  return out;
}

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> out;
  for (const auto &l : g_lines) out.emplace_back(strip_prefix(l.text));
  return out;
}

}  // namespace testsupport
