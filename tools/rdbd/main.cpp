// SPDX-License-Identifier: MIT
// rdbd: the RDB stand-in server. Holds the variables in memory, keeps the
// persistent ones in a store file, and answers the driver requests that
// rdbdrv sends over a Unix stream socket.

#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/rdbd/server.h"
#include "tools/rdbd/store.h"

namespace {

constexpr char kUsage[] = "usage: rdbd --socket PATH --store FILE\n";

struct Options {
  std::string socket;
  std::string store;
};

// 0 with the options filled, 2 on a usage error, 1 when help was asked for.
int parse_options(int argc, char **argv, Options &opts) {
  static const option long_options[] = {
      {"socket", required_argument, nullptr, 's'},
      {"store", required_argument, nullptr, 'f'},
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
      case 'h':
        return 1;
      default:
        return 2;
    }
  }
  if (optind != argc || opts.socket.empty() || opts.store.empty()) return 2;
  return 0;
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

  // The stop signals are taken from a signalfd in the poll set; a client
  // that hangs up mid-reply must not kill the server.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  rdbstore::Store store(opts.store);
  std::string error;
  if (store.load(&error) < 0) {
    fprintf(stderr, "rdbd: cannot load store %s: %s\n", opts.store.c_str(), error.c_str());
    return 1;
  }
  if (store.dropped_torn_tail())
    fprintf(stderr, "rdbd: store %s: dropped an incomplete last record (a write never acknowledged)\n",
            opts.store.c_str());
  // Appends then start from a file without dead records or a torn tail.
  if (const int rc = store.compact(); rc < 0) {
    fprintf(stderr, "rdbd: cannot rewrite store %s: %s\n", opts.store.c_str(), strerror(-rc));
    return 1;
  }

  rdbd::Server server(store);
  if (server.listen_on(opts.socket, &error) < 0) {
    fprintf(stderr, "rdbd: %s\n", error.c_str());
    return 1;
  }
  fprintf(stderr, "rdbd: serving %s (store %s, %zu variables)\n", opts.socket.c_str(), opts.store.c_str(),
          store.variables().size());

  const int rc = server.run();
  fprintf(stderr, "rdbd: %s\n", rc == 0 ? "stopped" : "failed");
  return rc == 0 ? 0 : 1;
}
