// SPDX-License-Identifier: MIT
#include "tools/rdbd/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "base/unique_fd.h"
#include "rdb/rdbdrv.h"

namespace rdbstore {
namespace {

using rdbproto::Reply;
using rdbproto::Request;

constexpr std::string_view kHeader = "rdbd-store 2";
// The one snapshot that rdbd rewrote whole on every write, read so that a
// store carries over; the next rewrite turns it into a log.
constexpr std::string_view kSnapshotHeader = "rdbd-store 1";
constexpr std::string_view kEnd = "end ";
constexpr std::string_view kSetRecord = "set ";
constexpr std::string_view kDelRecord = "del ";
constexpr char kHex[] = "0123456789ABCDEF";
// A small log is not worth rewriting however many records are dead.
constexpr size_t kCompactionSlack = 64 * 1024;

Reply failure(int err, int32_t len = 0) { return Reply{-err, len, {}}; }

bool needs_escape(unsigned char c) { return c <= ' ' || c >= 0x7f || c == '%'; }

void append_escaped(std::string &out, std::string_view text) {
  for (unsigned char c : text) {
    if (needs_escape(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Only the exact form append_escaped writes is accepted.
bool unescape(std::string_view in, std::string &out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c != '%') {
      if (needs_escape(c)) return false;
      out += static_cast<char>(c);
      continue;
    }
    if (in.size() - i < 3) return false;
    const int hi = hex_digit(in[i + 1]), lo = hex_digit(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    const auto byte = static_cast<unsigned char>(hi << 4 | lo);
    if (byte == '\0' || !needs_escape(byte)) return false;
    out += static_cast<char>(byte);
    i += 2;
  }
  return true;
}

bool parse_int(std::string_view text, int32_t &v) {
  const auto *end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  return !text.empty() && ec == std::errc() && p == end;
}

std::vector<std::string_view> split(std::string_view line, char sep) {
  std::vector<std::string_view> fields;
  for (;;) {
    const size_t at = line.find(sep);
    fields.push_back(line.substr(0, at));
    if (at == std::string_view::npos) return fields;
    line.remove_prefix(at + 1);
  }
}

constexpr std::array<uint32_t, 256> kCrcTable = [] {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}();

// CRC-32 as zlib computes it, as eight hex digits.
std::string checksum(std::string_view bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : bytes) c = kCrcTable[(c ^ b) & 0xff] ^ (c >> 8);
  char text[9];
  snprintf(text, sizeof text, "%08X", c ^ 0xFFFFFFFFu);
  return text;
}

std::string sealed(std::string line) {
  line += ' ' + checksum(line);
  line += '\n';
  return line;
}

// The whole state of a persistent variable.
std::string set_record(std::string_view name, const Variable &var) {
  std::string line(kSetRecord);
  for (int32_t word : {var.flags, var.attr_a, var.attr_b, var.attr_c}) {
    line += std::to_string(word);
    line += ' ';
  }
  append_escaped(line, name);
  line += ' ';
  append_escaped(line, var.value);
  return sealed(std::move(line));
}

// A persistent variable deleted, or made volatile.
std::string del_record(std::string_view name) {
  std::string line(kDelRecord);
  append_escaped(line, name);
  return sealed(std::move(line));
}

// Names that a listing could not carry, or that no caller can mean.
bool valid_name(std::string_view name) {
  return !name.empty() && name.find_first_of("&;") == std::string_view::npos;
}

// The text the driver keeps: the bytes up to the first NUL.
std::string_view text_of(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

std::string directory_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

int append_durably(int fd, std::string_view record) {
  if (const int rc = write_all(fd, record); rc < 0) return rc;
  return fdatasync(fd) < 0 ? -errno : 0;
}

// One variable's fields of an old snapshot or of a set record: flags,
// three attribute words, name, value.
bool parse_variable(const std::vector<std::string_view> &fields, std::string &name, Variable &var) {
  return fields.size() == 6 && parse_int(fields[0], var.flags) && parse_int(fields[1], var.attr_a) &&
         parse_int(fields[2], var.attr_b) && parse_int(fields[3], var.attr_c) && unescape(fields[4], name) &&
         valid_name(name) && unescape(fields[5], var.value);
}

// Applies one record line (without its newline) to vars; false, with vars
// untouched, when it is not a sound record of a change that can follow
// what vars holds.
bool replay(std::string_view line, Variables &vars) {
  const size_t seal = line.rfind(' ');
  if (seal == std::string_view::npos || checksum(line.substr(0, seal)) != line.substr(seal + 1)) return false;
  line = line.substr(0, seal);
  if (line.starts_with(kSetRecord)) {
    std::string name;
    Variable var;
    if (!parse_variable(split(line.substr(kSetRecord.size()), ' '), name, var) || !var.persistent()) return false;
    vars.insert_or_assign(std::move(name), std::move(var));
    return true;
  }
  std::string name;
  if (!line.starts_with(kDelRecord) || !unescape(line.substr(kDelRecord.size()), name)) return false;
  const auto it = vars.find(name);
  if (it == vars.end()) return false;
  vars.erase(it);
  return true;
}

int complain(std::string *error, std::string why, size_t line_no) {
  if (error) *error = "line " + std::to_string(line_no) + ": " + why;
  return -EBADMSG;
}

// The old snapshot: strict, with a count at its end.
int parse_snapshot(std::string_view text, Variables &vars, std::string *error) {
  if (text.back() != '\n') return complain(error, "not terminated by a newline", 0);
  text.remove_suffix(1);
  const auto lines = split(text, '\n');
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.starts_with(kEnd)) {
      int32_t count = 0;
      if (!parse_int(line.substr(kEnd.size()), count) || count < 0 || static_cast<size_t>(count) != vars.size())
        return complain(error, "count does not match", i + 1);
      if (i + 1 != lines.size()) return complain(error, "text after the end", i + 2);
      return 0;
    }
    std::string name;
    Variable var;
    if (!parse_variable(split(line, ' '), name, var)) return complain(error, "bad variable", i + 1);
    if (!vars.emplace(std::move(name), std::move(var)).second) return complain(error, "name repeated", i + 1);
  }
  return complain(error, "no end line", lines.size());
}

}  // namespace

bool Variable::persistent() const { return (flags & RDBDRV_PERSIST) != 0; }

std::string serialize(const Variables &vars) {
  std::string out(kHeader);
  out += '\n';
  for (const auto &[name, var] : vars)
    if (var.persistent()) out += set_record(name, var);
  return out;
}

int parse(std::string_view text, Variables &vars, std::string *error, bool *torn_tail) {
  vars.clear();
  if (torn_tail) *torn_tail = false;
  const std::string_view first = text.substr(0, text.find('\n'));
  if (first == kSnapshotHeader) return parse_snapshot(text, vars, error);
  if (first != kHeader || first.size() == text.size()) return complain(error, "not a store file", 1);

  size_t line_no = 1;
  for (size_t pos = first.size() + 1; pos < text.size();) {
    ++line_no;
    const size_t end = text.find('\n', pos);
    const bool last = end == std::string_view::npos || end + 1 == text.size();
    if (end == std::string_view::npos || !replay(text.substr(pos, end - pos), vars)) {
      // Only an append that a crash cut short can be damaged, and nothing
      // is ever appended after it.
      if (!last) return complain(error, "damaged record", line_no);
      if (torn_tail) *torn_tail = true;
      return 0;
    }
    pos = end + 1;
  }
  return 0;
}

int replace_file(const std::string &path, std::string_view text, hw::unique_fd *keep) {
  const std::string temp = path + ".tmp";
  hw::unique_fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
  if (!fd) return -errno;
  int rc = write_all(fd.get(), text);
  if (rc == 0 && fsync(fd.get()) < 0) rc = -errno;
  if (rc == 0 && !keep && close(fd.release()) < 0) rc = -errno;
  if (rc == 0 && rename(temp.c_str(), path.c_str()) < 0) rc = -errno;
  if (rc < 0) {
    unlink(temp.c_str());
    return rc;
  }
  // The rename is only durable once the folder's entry is on disk.
  hw::unique_fd dir(open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return -errno;
  if (fsync(dir.get()) < 0) return -errno;
  if (keep) *keep = std::move(fd);
  return 0;
}

int Store::load(std::string *error) {
  vars_.clear();
  log_.reset();
  torn_tail_ = false;
  if (file_.empty()) return 0;
  hw::unique_fd fd(open(file_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return 0;
    if (error) *error = strerror(errno);
    return -errno;
  }
  std::string text;
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = strerror(errno);
      return -errno;
    }
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  const int rc = parse(text, vars_, error, &torn_tail_);
  if (rc < 0) vars_.clear();
  return rc;
}

int Store::compact() {
  log_.reset();  // whatever happens, the old descriptor may no longer be the file's
  if (file_.empty()) return 0;
  const std::string text = serialize(vars_);
  if (const int rc = replace_file(file_, text, &log_); rc < 0) return rc;
  log_bytes_ = live_bytes_ = text.size();
  return 0;
}

int Store::log_change(std::string_view name, const Variable *before, const Variable *after) {
  const bool kept = after && after->persistent();
  const std::string record = kept ? set_record(name, *after) : del_record(name);
  if (!log_) return compact();
  if (const int rc = append_durably(log_.get(), record); rc < 0) {
    // The record may be on disk all the same: cut it off, so that a write
    // reported failed does not come back at the next start, and rewrite the
    // file before anything is appended after it.
    if (ftruncate(log_.get(), static_cast<off_t>(log_bytes_)) < 0) {
      // compacted at the next write all the same
    }
    log_.reset();
    return rc;
  }
  log_bytes_ += record.size();
  if (before && before->persistent()) live_bytes_ -= set_record(name, *before).size();
  if (kept) live_bytes_ += record.size();
  // The write is on disk already; a failed rewrite only means the next
  // write rewrites instead of appending.
  if (log_bytes_ > 2 * live_bytes_ + kCompactionSlack) compact();
  return 0;
}

const Variable *Store::find(std::string_view name) const {
  const auto it = vars_.find(name);
  return it == vars_.end() ? nullptr : &it->second;
}

void Store::erase(std::string_view name) {
  const auto it = vars_.find(name);
  if (it != vars_.end()) vars_.erase(it);
}

int Store::serve(unsigned long request, rdbdrv_request &rec) {
  Request req;
  const int carried = rdbproto::request_from_record(request, rec, req);
  if (carried < 0) {
    errno = -carried;
    return -1;
  }
  return serve(request, req, rec);
}

int Store::serve(unsigned long request, const Request &req, rdbdrv_request &rec) {
  const int32_t result = rdbproto::apply_reply(request, execute(req), rec, req.len);
  if (result < 0) {
    errno = -result;
    return -1;
  }
  return 0;
}

Reply Store::execute(const Request &req) {
  switch (rdbproto::op_of(req.request)) {
    case rdbproto::Op::get:
      return get(req);
    case rdbproto::Op::write:
      return write(req);
    case rdbproto::Op::getnames:
      return getnames(req);
    case rdbproto::Op::unknown:
      break;
  }
  return failure(ENOTTY, req.len);
}

Reply Store::get(const Request &req) const {
  if (!req.has_name) return failure(EFAULT, req.len);
  if (req.len < 0) return failure(EINVAL, req.len);
  const Variable *var = find(req.name);
  if (!var) return failure(ENOENT, req.len);
  const auto needed = static_cast<int32_t>(var->value.size() + 1);
  if (req.len < needed) return failure(EOVERFLOW, needed);
  if (!req.has_value) return failure(EFAULT, req.len);
  Reply reply{0, needed, var->value};
  reply.value += '\0';
  return reply;
}

Reply Store::getnames(const Request &req) const {
  if (!req.has_name) return failure(EFAULT, req.len);
  if (req.len < 0) return failure(EINVAL, req.len);
  // The persist flag asks for the persistent variables only.
  const bool persistent_only = req.flags != -1 && (req.flags & RDBDRV_PERSIST);
  std::string joined;
  for (auto it = vars_.lower_bound(req.name); it != vars_.end() && it->first.starts_with(req.name); ++it) {
    if (persistent_only && !it->second.persistent()) continue;
    if (joined.size() > rdbproto::kMaxListing) break;  // too long to carry anyway
    if (!joined.empty()) joined += '&';
    joined += it->first;
  }
  if (joined.empty()) return failure(ENOENT, 0);
  if (joined.size() >= rdbproto::kMaxListing) return failure(E2BIG, static_cast<int32_t>(joined.size()));
  const auto needed = static_cast<int32_t>(joined.size());
  if (req.len < needed) return failure(EOVERFLOW, needed);
  if (!req.has_value) return failure(EFAULT, req.len);
  // The NUL goes along when there is room for it, as a text would.
  if (req.len > needed) joined += '\0';
  return Reply{0, needed, std::move(joined)};
}

Reply Store::write(const Request &req) {
  if (!req.has_name) return failure(EFAULT, req.len);
  const auto it = vars_.find(req.name);
  const std::optional<Variable> before = it == vars_.end() ? std::nullopt : std::optional<Variable>(it->second);

  if (!req.has_value) {  // a delete
    if (!before) return failure(ENOENT, req.len);
    vars_.erase(it);
  } else {
    if (req.len < 0 || req.value.size() != static_cast<size_t>(req.len)) return failure(EINVAL, req.len);
    const std::string_view text = text_of(req.value);
    if (text.size() >= rdbproto::kMaxValue) return failure(E2BIG, req.len);
    const bool create = req.flags != -1 && (req.flags & RDBDRV_CREATE);
    if (create) {
      if (before) return failure(EEXIST, req.len);
      if (!valid_name(req.name)) return failure(EINVAL, req.len);
      if (vars_.size() >= kMaxVariables) return failure(ENOSPC, req.len);
      Variable var;
      var.value = text;
      var.flags = req.flags & ~RDBDRV_CREATE;
      var.attr_a = req.attr_a == -1 ? 0 : req.attr_a;
      var.attr_b = req.attr_b == -1 ? 0 : req.attr_b;
      var.attr_c = req.attr_c == -1 ? 0 : req.attr_c;
      vars_.emplace(req.name, std::move(var));
    } else {
      if (!before) return failure(ENOENT, req.len);
      Variable &var = it->second;
      var.value = text;
      // -1 in a word leaves it as it is; that is how an update keeps flags.
      if (req.flags != -1) var.flags = req.flags;
      if (req.attr_a != -1) var.attr_a = req.attr_a;
      if (req.attr_b != -1) var.attr_b = req.attr_b;
      if (req.attr_c != -1) var.attr_c = req.attr_c;
    }
  }

  const Variable *after = find(req.name);
  const bool touches_file = (before && before->persistent()) || (after && after->persistent());
  if (touches_file && !file_.empty() && log_change(req.name, before ? &*before : nullptr, after) < 0) {
    // Not acknowledged, so not kept either: memory stays what the file says.
    if (before)
      vars_.insert_or_assign(req.name, *before);
    else
      erase(req.name);
    return failure(EIO, req.len);
  }
  return Reply{0, req.len, {}};
}

}  // namespace rdbstore
