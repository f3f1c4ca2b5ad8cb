// SPDX-License-Identifier: MIT
// rdbd: the RDB stand-in server. Holds the variables in memory, keeps the
// persistent ones in a store file, and answers the driver requests that
// rdbdrv sends over a Unix stream socket.

#include <getopt.h>
#include <grp.h>
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "tools/rdbd/readiness.h"
#include "tools/rdbd/server.h"
#include "tools/rdbd/store.h"

namespace {

constexpr char kUsage[] =
    "usage: rdbd --socket PATH --store FILE [--read-group GROUP]\n"
    "       rdbd --repair --store FILE\n";

struct Options {
  std::string socket;
  std::string store;
  std::string read_group;
  bool repair = false;
};

// 0 with the options filled, 2 on a usage error, 1 when help was asked for.
int parse_options(int argc, char **argv, Options &opts) {
  static const option long_options[] = {
      {"socket", required_argument, nullptr, 's'},
      {"store", required_argument, nullptr, 'f'},
      {"read-group", required_argument, nullptr, 'g'},
      {"repair", no_argument, nullptr, 'r'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  while ((c = getopt_long(argc, argv, "h", long_options, nullptr)) != -1) {
    switch (c) {
      case 's':
        opts.socket = optarg;
        break;
      case 'f':
        opts.store = optarg;
        break;
      case 'g':
        opts.read_group = optarg;
        break;
      case 'r':
        opts.repair = true;
        break;
      case 'h':
        return 1;
      default:
        return 2;
    }
  }
  const bool serves = !opts.socket.empty() && !opts.repair;
  const bool repairs = opts.repair && opts.socket.empty() && opts.read_group.empty();
  if (optind != argc || opts.store.empty() || !(serves || repairs)) return 2;
  return 0;
}

// A group name, or a number.
std::optional<gid_t> group_id(const std::string &name) {
  if (const group *g = getgrnam(name.c_str())) return g->gr_gid;
  unsigned long id = 0;
  const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), id);
  if (ec != std::errc() || end != name.data() + name.size() || id >= static_cast<gid_t>(-1)) return std::nullopt;
  return static_cast<gid_t>(id);
}

int repair(const std::string &file) {
  hw::unique_fd lock;
  std::string error;
  if (rdbstore::lock_store(file, &lock, &error) < 0) {
    fprintf(stderr, "rdbd: %s; stop it before the repair\n", error.c_str());
    return 1;
  }
  rdbstore::Findings found;
  if (rdbstore::repair(file, &found, &error) < 0) {
    fprintf(stderr, "rdbd: cannot repair store %s: %s\n", file.c_str(), error.c_str());
    return 1;
  }
  if (found.skipped.empty()) {
    printf("rdbd: store %s is sound; nothing to repair\n", file.c_str());
    return 0;
  }
  std::string lines;
  for (size_t line : found.skipped) lines += (lines.empty() ? "" : ", ") + std::to_string(line);
  printf("rdbd: store %s repaired: passed over the damaged line%s %s; the damaged file is kept as %s.damaged\n",
         file.c_str(), found.skipped.size() == 1 ? "" : "s", lines.c_str(), file.c_str());
  return 0;
}

// Loads the store and makes it ready for appends; false when it cannot be
// served at all.
bool open_store(rdbstore::Store &store, const std::string &file) {
  std::string error;
  if (store.load(&error) < 0) {
    fprintf(stderr, "rdbd: cannot load store %s: %s\n", file.c_str(), error.c_str());
    return false;
  }
  if (store.findings().torn_tail)
    fprintf(stderr, "rdbd: store %s: dropped an incomplete last record (a write never acknowledged)\n", file.c_str());
  if (store.damaged()) {
    // Left exactly as it is: what follows the damage may still be read
    // back by the repair.
    fprintf(stderr,
            "rdbd: STORE DAMAGED: %s, %s: serving what precedes it (%zu variables); persistent writes fail "
            "(EIO) until the store is repaired with: rdbd --repair --store %s\n",
            file.c_str(), error.c_str(), store.variables().size(), file.c_str());
    return true;
  }
  // Appends then start from a file without dead records or a torn tail.
  if (const int rc = store.compact(); rc < 0)
    fprintf(stderr, "rdbd: cannot rewrite store %s: %s; serving it as loaded\n", file.c_str(), strerror(-rc));
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options opts;
  switch (parse_options(argc, argv, opts)) {
    case 1:
      fputs(kUsage, stdout);
      return 0;
    case 2:
      fputs(kUsage, stderr);
      return 2;
  }
  if (opts.repair) return repair(opts.store);
  rdbd::Readiness readiness = rdbd::take_readiness();
  std::optional<gid_t> read_group;
  if (!opts.read_group.empty() && !(read_group = group_id(opts.read_group))) {
    fprintf(stderr, "rdbd: no such group: %s\n", opts.read_group.c_str());
    return 2;
  }

  // The stop signals are taken from a signalfd in the poll set; a client
  // that hangs up mid-reply must not kill the server.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // A second server leaves the store alone: the socket is asked first, and
  // the lock decides between servers on different sockets.
  if (rdbd::another_server_listens(opts.socket)) {
    fprintf(stderr, "rdbd: another server is listening on %s\n", opts.socket.c_str());
    return 1;
  }
  hw::unique_fd lock;
  std::string error;
  if (rdbstore::lock_store(opts.store, &lock, &error) < 0) {
    fprintf(stderr, "rdbd: %s\n", error.c_str());
    return 1;
  }
  rdbstore::Store store(opts.store);
  if (!open_store(store, opts.store)) return 1;

  rdbd::Server server(store, opts.store, read_group);
  if (server.listen_on(opts.socket, &error) < 0) {
    fprintf(stderr, "rdbd: %s\n", error.c_str());
    return 1;
  }
  fprintf(stderr, "rdbd: serving %s (store %s, %zu variables)\n", opts.socket.c_str(), opts.store.c_str(),
          store.variables().size());
  rdbd::report_ready(readiness);

  const int rc = server.run();
  // A last chance to rewrite a store that could not be written: a refused
  // record that could not be cut off is gone once it is.
  if (!store.trouble().empty() && !store.damaged()) store.compact();
  fprintf(stderr, "rdbd: %s\n", rc == 0 ? "stopped" : "failed");
  return rc == 0 ? 0 : 1;
}
