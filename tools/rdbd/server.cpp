// SPDX-License-Identifier: MIT
#include "tools/rdbd/server.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace rdbd {
namespace {

// A client's input holds at most one unfinished request and one chunk:
// nothing is read from it while a whole request waits.
constexpr size_t kReadChunk = 64 * 1024;
// Frames served from one client before the others get their turn.
constexpr int kFramesPerTurn = 32;
// A client that does not read its replies is neither read from nor served
// until it has taken most of them: its output holds this much and one
// reply at most.
constexpr size_t kMaxPendingOutput = 256 * 1024;
// While accepting is paused for lack of descriptors, look again this often.
constexpr int kAcceptRetryMs = 1000;

bool fill_address(const std::string &path, sockaddr_un &addr) {
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when something accepts connections on path already.
bool someone_listens(const sockaddr_un &addr) {
  hw::unique_fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return probe && connect(probe.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
}

std::string describe(const char *what, const std::string &path) {
  return std::string(what) + " " + path + ": " + strerror(errno);
}

}  // namespace

Server::~Server() { remove_socket(); }

int Server::listen_on(const std::string &path, std::string *error) {
  const std::string temp = path + "." + std::to_string(getpid()) + ".tmp";
  sockaddr_un addr, temp_addr;
  if (!fill_address(path, addr) || !fill_address(temp, temp_addr)) {
    *error = "socket path too long: " + path;
    return -1;
  }
  if (someone_listens(addr)) {
    *error = "another server is listening on " + path;
    return -1;
  }

  hw::unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    *error = describe("cannot create socket for", path);
    return -1;
  }
  unlink(temp.c_str());
  struct stat st;
  if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&temp_addr), sizeof temp_addr) < 0) {
    *error = describe("cannot bind", temp);
    return -1;
  }
  if (listen(fd.get(), SOMAXCONN) < 0 || stat(temp.c_str(), &st) < 0) {
    *error = describe("cannot listen on", temp);
    unlink(temp.c_str());
    return -1;
  }
  // Only now may clients see the path: whoever finds it can connect.
  if (rename(temp.c_str(), path.c_str()) < 0) {
    *error = describe("cannot rename socket to", path);
    unlink(temp.c_str());
    return -1;
  }
  listener_ = std::move(fd);
  path_ = path;
  socket_dev_ = st.st_dev;
  socket_ino_ = st.st_ino;
  return 0;
}

void Server::remove_socket() {
  if (path_.empty()) return;
  // Leave the path alone if another server has taken it over meanwhile.
  struct stat st;
  if (stat(path_.c_str(), &st) == 0 && st.st_dev == socket_dev_ && st.st_ino == socket_ino_) unlink(path_.c_str());
  path_.clear();
}

int Server::run() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  signals_.reset(signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signals_) {
    fprintf(stderr, "rdbd: signalfd: %s\n", strerror(errno));
    return -1;
  }

  std::vector<pollfd> fds;
  bool more_buffered = false;
  for (;;) {
    fds.clear();
    fds.push_back({signals_.get(), POLLIN, 0});
    fds.push_back({accept_paused_ ? -1 : listener_.get(), POLLIN, 0});
    for (const Client &c : clients_) {
      short events = wants_input(c) ? POLLIN : 0;
      if (c.out.size() > c.out_pos) events |= POLLOUT;
      fds.push_back({c.fd.get(), events, 0});
    }
    const int timeout = more_buffered ? 0 : accept_paused_ ? kAcceptRetryMs : -1;
    if (poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "rdbd: poll: %s\n", strerror(errno));
      return -1;
    }
    if (fds[0].revents) return 0;
    if (accept_paused_) {
      accept_paused_ = false;
    } else if (fds[1].revents & POLLIN) {
      accept_clients();
    }

    // New clients were appended after the poll set was built; they get
    // their turn next pass.
    const size_t polled = fds.size() - 2;
    for (size_t i = 0; i < polled; ++i) {
      const short revents = fds[i + 2].revents;
      // A hang-up with a whole request waiting is found when its reply is
      // sent.
      if ((revents & (POLLIN | POLLHUP | POLLERR)) && wants_input(clients_[i])) read_from(clients_[i]);
      if (revents & POLLOUT) flush(clients_[i]);
    }
    more_buffered = false;
    for (Client &c : clients_) {
      if (c.dead) continue;
      serve_buffered(c);
      flush(c);
      more_buffered |= can_serve(c) && rdbproto::request_ready(c.in);
    }
    std::erase_if(clients_, [](const Client &c) { return c.dead; });
  }
}

void Server::accept_clients() {
  for (;;) {
    hw::unique_fd fd(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd) {
      clients_.emplace_back().fd = std::move(fd);
      continue;
    }
    switch (errno) {
      case EINTR:
      case ECONNABORTED:
        continue;
      case EAGAIN:
        return;
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        // The pending connection stays queued; accepting again at once
        // would only spin.
        fprintf(stderr, "rdbd: accept: %s; pausing\n", strerror(errno));
        accept_paused_ = true;
        return;
      default:
        fprintf(stderr, "rdbd: accept: %s\n", strerror(errno));
        return;
    }
  }
}

bool Server::can_serve(const Client &client) const {
  return !client.dead && client.out.size() - client.out_pos < kMaxPendingOutput;
}

bool Server::wants_input(const Client &client) const {
  return can_serve(client) && !rdbproto::request_ready(client.in);
}

void Server::read_from(Client &client) {
  char chunk[kReadChunk];
  const ssize_t n = recv(client.fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
  if (n > 0) {
    client.in.append(chunk, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    client.dead = true;
  }
}

void Server::serve_buffered(Client &client) {
  size_t done = 0;  // client.in[0, done) is served
  for (int served = 0; served < kFramesPerTurn && can_serve(client); ++served) {
    rdbproto::Request req;
    size_t used = 0;
    const rdbproto::Decode result = rdbproto::decode_request(std::string_view(client.in).substr(done), req, &used);
    if (result == rdbproto::Decode::incomplete) break;
    if (result == rdbproto::Decode::malformed && used == 0) {
      fprintf(stderr, "rdbd: unreadable request stream; closing the connection\n");
      client.dead = true;
      return;
    }
    done += used;
    rdbproto::Reply reply;
    if (result == rdbproto::Decode::malformed) {
      fprintf(stderr, "rdbd: malformed request refused\n");
      reply.result = -EINVAL;
    } else {
      reply = store_.execute(req);
    }
    rdbproto::encode_reply(reply, client.out);
  }
  // Served frames are dropped from the front once, not one by one.
  client.in.erase(0, done);
}

void Server::flush(Client &client) {
  while (!client.dead && client.out_pos < client.out.size()) {
    const ssize_t n = send(client.fd.get(), client.out.data() + client.out_pos, client.out.size() - client.out_pos,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) client.dead = true;
      break;
    }
    client.out_pos += static_cast<size_t>(n);
  }
  if (client.out_pos == client.out.size()) {
    client.out.clear();
    client.out_pos = 0;
  } else if (client.out_pos > kMaxPendingOutput) {
    client.out.erase(0, client.out_pos);
    client.out_pos = 0;
  }
}

}  // namespace rdbd
