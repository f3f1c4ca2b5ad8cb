// SPDX-License-Identifier: MIT
#pragma once
// rdbd's connection handling: one thread, poll(), non-blocking sockets.
// Each client has its own input and output buffers, so a client that sends
// half a frame or stops reading its replies holds up nobody else.

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "tools/rdbd/store.h"

namespace rdbd {

class Server {
 public:
  explicit Server(rdbstore::Store &store) : store_(store) {}
  ~Server();

  // Binds and listens under a temporary name and renames it to path, so
  // the path exists only once connections are accepted. 0, or -1 with the
  // reason in *error.
  int listen_on(const std::string &path, std::string *error);

  // Serves until SIGINT or SIGTERM arrives (they must be blocked by the
  // caller). 0 on a signal, -1 when polling itself fails.
  int run();

 private:
  struct Client {
    hw::unique_fd fd;
    std::string in;  // requests not served yet
    std::string out;
    size_t out_pos = 0;  // out[0, out_pos) is sent
    bool dead = false;
  };

  void accept_clients();
  void read_from(Client &client);
  void serve_buffered(Client &client);
  void flush(Client &client);
  // Room for more replies.
  bool can_serve(const Client &client) const;
  // Room for more replies, and no whole request waiting.
  bool wants_input(const Client &client) const;
  void remove_socket();

  rdbstore::Store &store_;
  hw::unique_fd listener_;
  hw::unique_fd signals_;
  std::string path_;
  dev_t socket_dev_ = 0;
  ino_t socket_ino_ = 0;
  bool accept_paused_ = false;
  std::vector<Client> clients_;
};

}  // namespace rdbd
