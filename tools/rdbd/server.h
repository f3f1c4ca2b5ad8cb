// SPDX-License-Identifier: MIT
#pragma once
// rdbd's connection handling: one thread, poll(), non-blocking sockets.
// Each client has its own input and output buffers, so a client that sends
// half a frame or stops reading its replies holds up nobody else, and the
// clients together are bounded in number and buffered bytes, per user and
// in all: at a bound, the longest-idle connection of the user that holds
// the most is closed.
//
// Who may do what is told by the credentials the kernel gives each
// connection (SO_PEERCRED, SO_PEERGROUPS): root and the user rdbd runs as
// may read and write; members of the read group, when there is one, may
// read; anyone else gets EACCES. The socket's mode says the same: 0600, or
// 0660 with the read group as its group.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "tools/rdbd/store.h"

namespace rdbd {

// True when something accepts connections on path already.
bool another_server_listens(const std::string &path);

class Server {
 public:
  // read_group: the group whose members may read; none: root and rdbd's
  // own user only.
  Server(rdbstore::Store &store, std::string store_file, std::optional<gid_t> read_group)
      : store_(store), store_file_(std::move(store_file)), read_group_(read_group), logged_trouble_(store.trouble()) {}
  ~Server();

  // Binds and listens under a temporary name, with its mode and group set,
  // and renames it to path, so the path exists only once connections are
  // accepted. 0, or -1 with the reason in *error.
  int listen_on(const std::string &path, std::string *error);

  // Serves until SIGINT or SIGTERM arrives (they must be blocked by the
  // caller). 0 on a signal, -1 when polling itself fails.
  int run();

 private:
  using Clock = std::chrono::steady_clock;
  enum class Access { none, read, write };

  struct Client {
    hw::unique_fd fd;
    uid_t uid = 0;
    Access access = Access::none;
    std::string in;  // requests not served yet
    std::string out;
    size_t out_pos = 0;  // out[0, out_pos) is sent
    Clock::time_point last_active{};
    bool dead = false;
    // Bytes of memory its buffers hold beyond their own size.
    size_t held() const;
  };

  void accept_clients();
  Access access_of(int fd, uid_t *uid) const;
  void read_from(Client &client);
  void serve_buffered(Client &client);
  bool allowed(Client &client, const rdbproto::Request &req);
  void flush(Client &client);
  // Room for more replies.
  bool can_serve(const Client &client) const;
  // Room for more replies, and no whole request waiting.
  bool wants_input(const Client &client) const;
  // Closes connections until the clients are within their bounds again.
  void enforce_bounds();
  // Closes the longest-idle connection of the user holding the most
  // connections (by_bytes false) or bytes; false when there is none.
  bool close_one(bool by_bytes, std::optional<uid_t> of_uid = std::nullopt);
  void log_store_trouble();
  void remove_socket();

  rdbstore::Store &store_;
  std::string store_file_;
  std::optional<gid_t> read_group_;
  hw::unique_fd listener_;
  hw::unique_fd signals_;
  std::string path_;
  dev_t socket_dev_ = 0;
  ino_t socket_ino_ = 0;
  bool accept_paused_ = false;
  size_t max_clients_ = 0;
  std::vector<Client> clients_;
  std::set<uid_t> told_refused_;  // users whose refusal was logged
  unsigned long closed_at_bounds_ = 0;  // since the last line about it
  Clock::time_point last_bounds_line_{};
  std::string logged_trouble_;
  unsigned long refused_writes_ = 0;  // since the last line about them
  Clock::time_point last_refused_line_{};
};

}  // namespace rdbd
