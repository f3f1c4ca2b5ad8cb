// rdb: reads and writes RDB variables from the shell, through the same
// layers as the daemon, so it works against the driver on a board and
// against rdbd on a host alike ($RDB_DEVICE chooses the device).

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "rdb/rdb.h"

namespace {

constexpr char kUsage[] =
    "usage: rdb get NAME | set [-p] NAME VALUE | del NAME | list [PREFIX] | dump [PREFIX]\n";

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

// The sorted names below prefix; false when the listing failed for another
// reason than that there is nothing to list.
bool list_names(const char *prefix, std::vector<std::string> &names, int &err) {
  errno = 0;
  char *list = rdb_get_names(prefix, 0);
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

int do_list(const char *prefix, bool with_values) {
  std::vector<std::string> names;
  int err = 0;
  if (!list_names(prefix, names, err)) return fail("cannot list", prefix, err);
  for (const std::string &name : names) {
    if (!with_values) {
      printf("%s\n", name.c_str());
      continue;
    }
    errno = 0;
    const char *value = rdb_get_long_value(name.c_str());
    if (value)
      printf("%s=%s\n", name.c_str(), value);
    else if (errno != ENOENT)  // gone since the listing: not an error
      return fail("cannot read", name, errno);
  }
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
  if (command == "set" && !rest.empty() && rest[0] == "-p") {
    persist = true;
    rest.erase(rest.begin());
  }
  // A value may begin with "-"; a name that does is a mistyped option.
  if (!rest.empty() && looks_like_option(rest[0])) return usage_error();

  enum class Cmd { get, set, del, list, dump } cmd;
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
      rc = do_list(first, false);
      break;
    case Cmd::dump:
      rc = do_list(first, true);
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
