#include "tools/rdbd/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

#include "base/unique_fd.h"
#include "rdb/rdbdrv.h"

namespace rdbstore {
namespace {

using rdbproto::Reply;
using rdbproto::Request;

constexpr std::string_view kHeader = "rdbd-store 1";
constexpr std::string_view kEnd = "end ";
constexpr char kHex[] = "0123456789ABCDEF";

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

}  // namespace

bool Variable::persistent() const { return (flags & RDBDRV_PERSIST) != 0; }

std::string serialize(const Variables &vars) {
  std::string out(kHeader);
  out += '\n';
  size_t count = 0;
  for (const auto &[name, var] : vars) {
    if (!var.persistent()) continue;
    for (int32_t word : {var.flags, var.attr_a, var.attr_b, var.attr_c}) {
      out += std::to_string(word);
      out += ' ';
    }
    append_escaped(out, name);
    out += ' ';
    append_escaped(out, var.value);
    out += '\n';
    ++count;
  }
  out += kEnd;
  out += std::to_string(count);
  out += '\n';
  return out;
}

int parse(std::string_view text, Variables &vars, std::string *error) {
  auto bad = [error](std::string why, size_t line_no) {
    if (error) *error = "line " + std::to_string(line_no) + ": " + why;
    return -EBADMSG;
  };
  vars.clear();
  if (text.empty() || text.back() != '\n') return bad("not terminated by a newline", 0);
  text.remove_suffix(1);
  const auto lines = split(text, '\n');
  if (lines.front() != kHeader) return bad("not a store file", 1);

  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.starts_with(kEnd)) {
      int32_t count = 0;
      if (!parse_int(line.substr(kEnd.size()), count) || count < 0 || static_cast<size_t>(count) != vars.size())
        return bad("count does not match", i + 1);
      if (i + 1 != lines.size()) return bad("text after the end", i + 2);
      return 0;
    }
    const auto fields = split(line, ' ');
    if (fields.size() != 6) return bad("expected 6 fields", i + 1);
    Variable var;
    std::string name;
    if (!parse_int(fields[0], var.flags) || !parse_int(fields[1], var.attr_a) || !parse_int(fields[2], var.attr_b) ||
        !parse_int(fields[3], var.attr_c))
      return bad("bad number", i + 1);
    if (!unescape(fields[4], name) || !valid_name(name)) return bad("bad name", i + 1);
    if (!unescape(fields[5], var.value)) return bad("bad value", i + 1);
    if (!vars.emplace(std::move(name), std::move(var)).second) return bad("name repeated", i + 1);
  }
  return bad("no end line", lines.size());
}

int replace_file(const std::string &path, std::string_view text) {
  const std::string temp = path + ".tmp";
  hw::unique_fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return -errno;
  int rc = write_all(fd.get(), text);
  if (rc == 0 && fsync(fd.get()) < 0) rc = -errno;
  if (rc == 0 && close(fd.release()) < 0) rc = -errno;
  if (rc == 0 && rename(temp.c_str(), path.c_str()) < 0) rc = -errno;
  if (rc < 0) {
    unlink(temp.c_str());
    return rc;
  }
  // The rename is only durable once the folder's entry is on disk.
  hw::unique_fd dir(open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return -errno;
  if (fsync(dir.get()) < 0) return -errno;
  return 0;
}

int Store::load(std::string *error) {
  vars_.clear();
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
  return parse(text, vars_, error);
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
  std::string joined;
  for (auto it = vars_.lower_bound(req.name); it != vars_.end() && it->first.starts_with(req.name); ++it) {
    if (joined.size() > rdbproto::kMaxValue) break;  // too long to carry anyway
    if (!joined.empty()) joined += '&';
    joined += it->first;
  }
  if (joined.empty()) return failure(ENOENT, 0);
  if (joined.size() >= rdbproto::kMaxValue) return failure(E2BIG, static_cast<int32_t>(joined.size()));
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
  if (touches_file && !file_.empty() && save() < 0) {
    // Not acknowledged, so not kept either: memory stays what the file says.
    if (before)
      vars_.insert_or_assign(req.name, *before);
    else
      erase(req.name);
    return failure(EIO, req.len);
  }
  return Reply{0, req.len, {}};
}

int Store::save() const { return replace_file(file_, serialize(vars_)); }

}  // namespace rdbstore
