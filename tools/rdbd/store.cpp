// SPDX-License-Identifier: MIT
#include "tools/rdbd/store.h"

#include <fcntl.h>
#include <sys/file.h>
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

// The record of a line whose checksum holds, without its checksum.
std::optional<std::string_view> unsealed(std::string_view line) {
  const size_t seal = line.rfind(' ');
  if (seal == std::string_view::npos || checksum(line.substr(0, seal)) != line.substr(seal + 1)) return std::nullopt;
  return line.substr(0, seal);
}

// Applies one record line (without its newline) to vars; false, with vars
// untouched, when it is not a sound record of a change that can follow
// what vars holds.
bool replay(std::string_view line, Variables &vars) {
  const std::optional<std::string_view> record = unsealed(line);
  if (!record) return false;
  line = *record;
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

// A last line without its newline is an append a crash cut short, unless
// it is a sound record and one byte more: a newline a flipped bit turned
// into another byte, which is damage.
bool torn(std::string_view last_line) {
  return last_line.size() < 2 || !unsealed(last_line.substr(0, last_line.size() - 1));
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

int parse(std::string_view text, Variables &vars, std::string *error, Findings *found, bool salvage) {
  vars.clear();
  Findings unused;
  Findings &findings = found ? *found : unused;
  findings = Findings{};
  const std::string_view first = text.substr(0, text.find('\n'));
  if (first == kSnapshotHeader) return parse_snapshot(text, vars, error);
  if (first != kHeader || first.size() == text.size()) return complain(error, "not a store file", 1);

  size_t line_no = 2;  // the header is line 1
  for (size_t pos = first.size() + 1; pos < text.size(); ++line_no) {
    const size_t end = text.find('\n', pos);
    const std::string_view line = text.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos && torn(line)) {
      findings.torn_tail = true;
      break;
    }
    if (replay(line, vars)) continue;
    if (findings.damaged_line == 0) {
      findings.damaged_line = line_no;
      complain(error, "damaged record", line_no);
    }
    if (!salvage) break;
    findings.skipped.push_back(line_no);
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

namespace {

int read_whole_file(const std::string &path, std::string &text) {
  hw::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return -errno;
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (n == 0) return 0;
    text.append(chunk, static_cast<size_t>(n));
  }
}

// True while fd is the file at path: a rewrite renames another over it.
bool names_file(int fd, const std::string &path) {
  struct stat open_st, path_st;
  return fstat(fd, &open_st) == 0 && stat(path.c_str(), &path_st) == 0 && open_st.st_dev == path_st.st_dev &&
         open_st.st_ino == path_st.st_ino;
}

}  // namespace

int Store::load(std::string *error) {
  vars_.clear();
  log_.reset();
  findings_ = Findings{};
  last_error_ = 0;
  rewrite_failed_ = refused_in_file_ = append_failed_ = false;
  if (file_.empty()) return 0;
  std::string text;
  if (const int rc = read_whole_file(file_, text); rc < 0) {
    if (rc == -ENOENT) return 0;
    if (error) *error = strerror(-rc);
    return rc;
  }
  const int rc = parse(text, vars_, error, &findings_);
  if (rc < 0) {
    vars_.clear();
    return rc;
  }
  // A sound log takes appends as it is, so a store that cannot be
  // rewritten (larger than the free space) still takes writes. Not on a
  // read-only file system, nor after a torn or damaged record, nor in an
  // old snapshot: those wait for a rewrite.
  if (text.starts_with(kHeader) && !damaged() && !findings_.torn_tail) {
    log_.reset(open(file_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    log_bytes_ = text.size();
    live_bytes_ = serialize(vars_).size();
  }
  return 0;
}

bool Store::rewrite_allowed() const {
  return !rewrite_failed_ || clock_() - last_failed_rewrite_ >= kRewriteRetry;
}

int Store::compact() {
  if (file_.empty()) return 0;
  if (damaged()) return -EBADMSG;
  const std::string text = serialize(vars_);
  hw::unique_fd fresh;
  if (const int rc = replace_file(file_, text, &fresh); rc < 0) {
    rewrite_failed_ = true;
    last_failed_rewrite_ = clock_();
    last_error_ = rc;
    // Until the rename, the file is still the old log, which takes appends
    // as before.
    if (log_ && !names_file(log_.get(), file_)) log_.reset();
    return rc;
  }
  log_ = std::move(fresh);
  log_bytes_ = live_bytes_ = text.size();
  rewrite_failed_ = refused_in_file_ = append_failed_ = false;
  last_error_ = 0;
  return 0;
}

std::string Store::trouble() const {
  std::string why;
  if (damaged()) {
    why = "damaged at line " + std::to_string(findings_.damaged_line) +
          "; persistent writes fail (EIO) until it is repaired: rdbd --repair --store " + file_;
  } else if (!log_ && last_error_ < 0) {
    why = std::string("cannot be written (") + strerror(-last_error_) +
          "); persistent writes fail (EIO) until a rewrite succeeds, tried at most every " +
          std::to_string(kRewriteRetry.count()) + " s";
  } else if (append_failed_) {
    why = std::string("cannot be appended to (") + strerror(-last_error_) +
          "); persistent writes fail (EIO) while that lasts";
  } else if (rewrite_failed_) {
    why = std::string("cannot be rewritten (") + strerror(-last_error_) + "); writes are appended meanwhile";
  }
  if (refused_in_file_)
    why += "; a refused write could not be cut off the file: it comes back at the next start unless the file is "
           "rewritten first";
  return why;
}

int Store::log_change(std::string_view name, const Variable *before, const Variable *after) {
  if (damaged()) return -EBADMSG;
  // The rewrite holds what is acknowledged so far; this change follows it.
  if (!log_) {
    if (!rewrite_allowed()) return last_error_ < 0 ? last_error_ : -EIO;
    if (const int rc = compact(); rc < 0) return rc;
  }
  const bool kept = after && after->persistent();
  const std::string record = kept ? set_record(name, *after) : del_record(name);
  if (const int rc = append_durably(log_.get(), record); rc < 0) {
    // The record may be on disk all the same: cut it off, so that a write
    // reported failed does not come back at the next start. Once it is cut
    // off the log takes appends again (space may come back); if it cannot
    // be, only a rewrite puts the file right.
    if (ftruncate(log_.get(), static_cast<off_t>(log_bytes_)) < 0 || fdatasync(log_.get()) < 0) {
      refused_in_file_ = true;
      log_.reset();
    }
    append_failed_ = true;
    last_error_ = rc;
    return rc;
  }
  append_failed_ = false;
  log_bytes_ += record.size();
  if (before && before->persistent()) live_bytes_ -= set_record(name, *before).size();
  if (kept) live_bytes_ += record.size();
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
  const Variable *before = it == vars_.end() ? nullptr : &it->second;

  std::optional<Variable> after;  // none: a delete
  if (!req.has_value) {
    if (!before) return failure(ENOENT, req.len);
  } else {
    if (req.len < 0 || req.value.size() != static_cast<size_t>(req.len)) return failure(EINVAL, req.len);
    const std::string_view text = text_of(req.value);
    if (text.size() >= rdbproto::kMaxValue) return failure(E2BIG, req.len);
    const bool create = req.flags != -1 && (req.flags & RDBDRV_CREATE);
    if (create) {
      if (before) return failure(EEXIST, req.len);
      if (!valid_name(req.name)) return failure(EINVAL, req.len);
      if (vars_.size() >= kMaxVariables) return failure(ENOSPC, req.len);
      after.emplace();
      after->flags = req.flags & ~RDBDRV_CREATE;
      after->attr_a = req.attr_a == -1 ? 0 : req.attr_a;
      after->attr_b = req.attr_b == -1 ? 0 : req.attr_b;
      after->attr_c = req.attr_c == -1 ? 0 : req.attr_c;
    } else {
      if (!before) return failure(ENOENT, req.len);
      after = *before;
      // -1 in a word leaves it as it is; that is how an update keeps flags.
      if (req.flags != -1) after->flags = req.flags;
      if (req.attr_a != -1) after->attr_a = req.attr_a;
      if (req.attr_b != -1) after->attr_b = req.attr_b;
      if (req.attr_c != -1) after->attr_c = req.attr_c;
    }
    after->value = text;
    // Nothing the store keeps changes: nothing to append or wait for.
    if (before && *after == *before) return Reply{0, req.len, {}};
  }

  // On disk first: a write that is not acknowledged changes nothing.
  const bool touches_file = (before && before->persistent()) || (after && after->persistent());
  if (touches_file && !file_.empty() && log_change(req.name, before, after ? &*after : nullptr) < 0)
    return failure(EIO, req.len);
  if (after)
    vars_.insert_or_assign(req.name, std::move(*after));
  else
    vars_.erase(it);
  // The write is on disk already; a failed rewrite is tried again later.
  if (log_ && log_bytes_ > 2 * live_bytes_ + kCompactionSlack && rewrite_allowed()) compact();
  return Reply{0, req.len, {}};
}

int lock_store(const std::string &file, hw::unique_fd *held, std::string *error) {
  const std::string path = file + ".lock";
  hw::unique_fd fd(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600));
  // A read-only file system without the lock file: the folder serves, as
  // it does for any other server on the same store there.
  if (!fd && errno != ENOENT) fd.reset(open(directory_of(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || flock(fd.get(), LOCK_EX | LOCK_NB) < 0) {
    const int err = errno;
    if (error)
      *error = err == EWOULDBLOCK ? "store " + file + " is in use by another rdbd (" + path + " is locked)"
                                  : "cannot lock " + path + ": " + strerror(err);
    return -err;
  }
  *held = std::move(fd);
  return 0;
}

namespace {

// Gives the file the name copy too (a second link costs no space), or
// writes its text there where the file system has no links.
int keep_as(const std::string &file, const std::string &copy, std::string_view text) {
  const std::string temp = copy + ".tmp";
  unlink(temp.c_str());
  if (link(file.c_str(), temp.c_str()) < 0) return replace_file(copy, text);
  if (rename(temp.c_str(), copy.c_str()) < 0) {
    const int err = errno;
    unlink(temp.c_str());
    return -err;
  }
  hw::unique_fd dir(open(directory_of(copy).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir && fsync(dir.get()) == 0 ? 0 : -errno;
}

}  // namespace

int repair(const std::string &file, Findings *found, std::string *error) {
  std::string text;
  if (const int rc = read_whole_file(file, text); rc < 0) {
    *error = "cannot read " + file + ": " + strerror(-rc);
    return rc;
  }
  Variables vars;
  if (const int rc = parse(text, vars, error, found, /*salvage=*/true); rc < 0) return rc;
  if (found->skipped.empty()) return 0;
  const std::string copy = file + ".damaged";
  if (const int rc = keep_as(file, copy, text); rc < 0) {
    *error = "cannot keep a copy as " + copy + ": " + strerror(-rc);
    return rc;
  }
  if (const int rc = replace_file(file, serialize(vars)); rc < 0) {
    *error = "cannot rewrite " + file + ": " + strerror(-rc);
    return rc;
  }
  return 0;
}

}  // namespace rdbstore
