// SPDX-License-Identifier: MIT
// rdb: reads and writes RDB variables from the shell, through the same
// layers as the daemon, so it works against the driver on a board and
// against rdbd on a host alike ($RDB_DEVICE chooses the device).

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "rdb/rdb.h"
#include "rdb/rdbdrv.h"

namespace {

constexpr char kUsage[] =
    "usage: rdb get NAME | set [-p] NAME VALUE | del NAME | list [PREFIX] | dump [-p] [PREFIX] | load [FILE]\n";

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The rdb layer logs for the daemon; here every failure becomes one message
// of our own on standard error instead.
void discard_log(int, const char *) {}

int fail(const char *what, std::string_view name, int err) {
  fprintf(stderr, "rdb: %s %.*s: %s\n", what, static_cast<int>(name.size()), name.data(), strerror(err));
  return kExitFailed;
}

bool looks_like_option(std::string_view arg) { return arg.size() > 1 && arg.front() == '-'; }

// The sorted names below prefix (only the persistent ones with
// RDBDRV_PERSIST in flags); false when the listing failed for another
// reason than that there is nothing to list.
bool list_names(const char *prefix, int flags, std::vector<std::string> &names, int &err) {
  errno = 0;
  char *list = rdb_get_names(prefix, flags);
  if (!list) {
    err = errno;
    return err == ENOENT;
  }
  std::string_view rest(list);
  while (!rest.empty()) {
    const size_t cut = rest.find_first_of("&;");
    const std::string_view token = rest.substr(0, cut);
    if (!token.empty() && token.starts_with(prefix)) names.emplace_back(token);
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return true;
}

// A dump line is NAME=VALUE, "p " before it for a persistent variable when
// asked for. The backslash, every control character (a newline in a USB
// serial number would otherwise start a line of its own) and, in a name,
// "=" and the space are written as C escapes, so each variable is exactly
// one line and load reads back the same bytes.
void append_escaped(std::string &out, std::string_view text, bool name) {
  for (const unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f || (name && (c == '=' || c == ' '))) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
}

// The inverse of append_escaped; false for a raw control character, an
// unknown escape or an escaped NUL, which no variable can hold.
bool unescape(std::string_view in, std::string &out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c < 0x20 || c == 0x7f) return false;
    if (c != '\\') {
      out += static_cast<char>(c);
      continue;
    }
    if (++i == in.size()) return false;
    switch (in[i]) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'x': {
        const char *digits = in.data() + i + 1;
        unsigned byte = 0;
        if (in.size() - i < 3 || std::from_chars(digits, digits + 2, byte, 16).ptr != digits + 2 || byte == 0)
          return false;
        out += static_cast<char>(byte);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

int do_get(const char *name) {
  errno = 0;
  const char *value = rdb_get_long_value(name);
  if (!value) return errno == ENOENT ? kExitFailed : fail("cannot read", name, errno);
  printf("%s\n", value);
  return kExitOk;
}

int do_set(const char *name, const char *value, bool persist) {
  if (rdb_set_value(name, value, persist ? 1 : 0) < 0) return fail("cannot write", name, errno);
  return kExitOk;
}

int do_del(const char *name) {
  const int rc = rdb_delete_value(name);
  if (rc < 0) return fail("cannot delete", name, -rc);
  return kExitOk;
}

int do_list(const char *prefix) {
  std::vector<std::string> names;
  int err = 0;
  if (!list_names(prefix, 0, names, err)) return fail("cannot list", prefix, err);
  for (const std::string &name : names) printf("%s\n", name.c_str());
  return kExitOk;
}

int do_dump(const char *prefix, bool mark_persistent) {
  std::vector<std::string> names, persistent;
  int err = 0;
  if (!list_names(prefix, 0, names, err)) return fail("cannot list", prefix, err);
  if (mark_persistent && !list_names(prefix, RDBDRV_PERSIST, persistent, err)) return fail("cannot list", prefix, err);
  std::string line;
  for (const std::string &name : names) {
    errno = 0;
    const char *value = rdb_get_long_value(name.c_str());
    if (!value) {
      if (errno == ENOENT) continue;  // gone since the listing: not an error
      return fail("cannot read", name, errno);
    }
    line.clear();
    if (mark_persistent)
      line = std::binary_search(persistent.begin(), persistent.end(), name) ? "p " : "- ";
    append_escaped(line, name, true);
    line += '=';
    append_escaped(line, value, false);
    line += '\n';
    fwrite(line.data(), 1, line.size(), stdout);
  }
  return kExitOk;
}

struct DumpLine {
  std::string name, value;
  bool persist = false;
};

// A line of dump output, with or without the persistence marks.
bool parse_dump_line(std::string_view line, DumpLine &out) {
  out.persist = line.starts_with("p ");
  if (out.persist || line.starts_with("- ")) line.remove_prefix(2);
  const size_t eq = line.find('=');
  return eq != std::string_view::npos && unescape(line.substr(0, eq), out.name) && !out.name.empty() &&
         unescape(line.substr(eq + 1), out.value);
}

// Reads all of a dump before it writes anything, so that a malformed line
// leaves the RDB as it was.
int do_load(const char *file) {
  const bool from_stdin = !*file || strcmp(file, "-") == 0;
  const char *label = from_stdin ? "standard input" : file;
  FILE *in = from_stdin ? stdin : fopen(file, "re");
  if (!in) return fail("cannot open", file, errno);
  std::string text;
  char chunk[65536];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, in)) > 0;) text.append(chunk, n);
  const bool read_failed = ferror(in);
  if (!from_stdin) fclose(in);
  if (read_failed) return fail("cannot read", label, EIO);

  std::vector<DumpLine> lines;
  std::string_view rest(text);
  for (size_t line_no = 1; !rest.empty(); ++line_no) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line.empty()) continue;
    if (!parse_dump_line(line, lines.emplace_back())) {
      fprintf(stderr, "rdb: %s:%zu: not a line of rdb dump\n", label, line_no);
      return kExitFailed;
    }
  }
  for (const DumpLine &line : lines)
    if (rdb_set_value(line.name.c_str(), line.value.c_str(), line.persist ? 1 : 0) < 0)
      return fail("cannot write", line.name, errno);
  return kExitOk;
}

int usage_error() {
  fputs(kUsage, stderr);
  return kExitUsage;
}

int run(const std::vector<std::string_view> &args) {
  if (args.empty()) return usage_error();
  const std::string_view command = args[0];
  std::vector<std::string_view> rest(args.begin() + 1, args.end());

  bool persist = false;
  if ((command == "set" || command == "dump") && !rest.empty() && rest[0] == "-p") {
    persist = true;
    rest.erase(rest.begin());
  }
  // A value may begin with "-"; a name that does is a mistyped option.
  // "load -" reads standard input.
  if (!rest.empty() && looks_like_option(rest[0])) return usage_error();

  enum class Cmd { get, set, del, list, dump, load } cmd;
  if (command == "get" && rest.size() == 1)
    cmd = Cmd::get;
  else if (command == "set" && rest.size() == 2)
    cmd = Cmd::set;
  else if (command == "del" && rest.size() == 1)
    cmd = Cmd::del;
  else if (command == "list" && rest.size() <= 1)
    cmd = Cmd::list;
  else if (command == "dump" && rest.size() <= 1)
    cmd = Cmd::dump;
  else if (command == "load" && rest.size() <= 1)
    cmd = Cmd::load;
  else
    return usage_error();
  if ((cmd == Cmd::get || cmd == Cmd::set || cmd == Cmd::del) && rest[0].empty()) return usage_error();

  hwlog_set_sink(discard_log);
  if (rdb_init() < 0) {
    const char *device = getenv("RDB_DEVICE");
    return fail("cannot open", device && *device ? device : "the RDB device", errno);
  }
  // Arguments come from argv, so they are NUL-terminated.
  const char *first = rest.empty() ? "" : rest[0].data();
  int rc = kExitOk;
  switch (cmd) {
    case Cmd::get:
      rc = do_get(first);
      break;
    case Cmd::set:
      rc = do_set(first, rest[1].data(), persist);
      break;
    case Cmd::del:
      rc = do_del(first);
      break;
    case Cmd::list:
      rc = do_list(first);
      break;
    case Cmd::dump:
      rc = do_dump(first, persist);
      break;
    case Cmd::load:
      rc = do_load(first);
      break;
  }
  rdb_fini();
  if (fflush(stdout) != 0) rc = fail("cannot write", "standard output", errno);
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  return run(args);
}
