// SPDX-License-Identifier: MIT
#include "tools/rdbd/server.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
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
// Clients in all (fewer where the descriptor limit says so) and of one
// user: hwtrackd holds one connection, each rdb command one for its run.
constexpr size_t kMaxClients = 256;
constexpr size_t kMaxClientsPerUid = 64;
// Descriptors kept for the store, its rewrite and the lock.
constexpr size_t kSpareDescriptors = 16;
// Buffered bytes (unserved requests and unsent replies) in all and of one
// user: room for the largest request and the largest listing at once.
constexpr size_t kMaxBuffered = 16 << 20;
constexpr size_t kMaxBufferedPerUid = 8 << 20;
// Refused persistent writes are told about at most this often.
constexpr auto kRefusedLogInterval = std::chrono::seconds(60);
// Connections closed at the bounds are told about at most this often.
constexpr auto kBoundsLogInterval = std::chrono::seconds(10);
// The credentials a connection was made with include the connecting
// process's supplementary groups since Linux 4.13.
#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

bool fill_address(const std::string &path, sockaddr_un &addr) {
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Whether the connection's peer had group gid among its supplementary
// groups when it connected.
bool peer_in_group(int fd, gid_t gid) {
  std::vector<gid_t> groups(32);
  for (;;) {
    auto len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
      groups.resize(len / sizeof(gid_t));
      return std::find(groups.begin(), groups.end(), gid) != groups.end();
    }
    if (errno != ERANGE || len <= groups.size() * sizeof(gid_t)) return false;
    groups.resize(len / sizeof(gid_t));
  }
}

std::string describe(const char *what, const std::string &path) {
  return std::string(what) + " " + path + ": " + strerror(errno);
}

}  // namespace

bool another_server_listens(const std::string &path) {
  sockaddr_un addr;
  if (!fill_address(path, addr)) return false;
  hw::unique_fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return probe && connect(probe.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
}

Server::~Server() { remove_socket(); }

int Server::listen_on(const std::string &path, std::string *error) {
  const std::string temp = path + "." + std::to_string(getpid()) + ".tmp";
  sockaddr_un addr, temp_addr;
  if (!fill_address(path, addr) || !fill_address(temp, temp_addr)) {
    *error = "socket path too long: " + path;
    return -1;
  }
  if (another_server_listens(path)) {
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
  // The socket's mode is rdbd's, whatever the umask: nobody may connect
  // before it is set.
  const mode_t umask_before = umask(0177);
  const int bound = bind(fd.get(), reinterpret_cast<const sockaddr *>(&temp_addr), sizeof temp_addr);
  umask(umask_before);
  if (bound < 0) {
    *error = describe("cannot bind", temp);
    return -1;
  }
  if (read_group_ && (chown(temp.c_str(), static_cast<uid_t>(-1), *read_group_) < 0 || chmod(temp.c_str(), 0660) < 0)) {
    *error = describe("cannot give the read group to", temp);
    unlink(temp.c_str());
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

  rlimit files{};
  max_clients_ = kMaxClients;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
    max_clients_ = std::clamp<size_t>(files.rlim_cur > kSpareDescriptors ? files.rlim_cur - kSpareDescriptors : 1, 1,
                                      kMaxClients);

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
    enforce_bounds();
    more_buffered = false;
    for (Client &c : clients_) {
      if (c.dead) continue;
      serve_buffered(c);
      flush(c);
      more_buffered |= can_serve(c) && rdbproto::request_ready(c.in);
    }
    std::erase_if(clients_, [](const Client &c) { return c.dead; });
    log_store_trouble();
  }
}

void Server::accept_clients() {
  for (;;) {
    hw::unique_fd fd(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd) {
      Client &c = clients_.emplace_back();
      c.access = access_of(fd.get(), &c.uid);
      c.fd = std::move(fd);
      c.last_active = Clock::now();
      // Within the bounds at once, so the descriptors never run out while
      // the backlog is taken.
      enforce_bounds();
      continue;
    }
    const int err = errno;
    switch (err) {
      case EINTR:
      case ECONNABORTED:
        continue;
      case EAGAIN:
        return;
      case EMFILE:
      case ENFILE:
        if (close_one(/*by_bytes=*/false)) continue;
        [[fallthrough]];
      case ENOBUFS:
      case ENOMEM:
        // The pending connection stays queued; accepting again at once
        // would only spin.
        fprintf(stderr, "rdbd: accept: %s; pausing\n", strerror(err));
        accept_paused_ = true;
        return;
      default:
        fprintf(stderr, "rdbd: accept: %s\n", strerror(err));
        return;
    }
  }
}

Server::Access Server::access_of(int fd, uid_t *uid) const {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0) {
    *uid = static_cast<uid_t>(-1);
    return Access::none;
  }
  *uid = cred.uid;
  if (cred.uid == 0 || cred.uid == geteuid()) return Access::write;
  if (read_group_ && (cred.gid == *read_group_ || peer_in_group(fd, *read_group_))) return Access::read;
  return Access::none;
}

bool Server::allowed(Client &client, const rdbproto::Request &req) {
  const rdbproto::Op op = rdbproto::op_of(req.request);
  if (client.access == Access::write || op == rdbproto::Op::unknown) return true;
  if (client.access == Access::read && op != rdbproto::Op::write) return true;
  if (told_refused_.insert(client.uid).second)
    fprintf(stderr, "rdbd: uid %u may %s; its %s are refused (EACCES)\n", static_cast<unsigned>(client.uid),
            client.access == Access::read ? "read only" : "not use the RDB",
            client.access == Access::read ? "writes" : "requests");
  return false;
}

void Server::enforce_bounds() {
  std::map<uid_t, std::pair<size_t, size_t>> per_uid;  // connections, bytes
  for (;;) {
    per_uid.clear();
    size_t clients = 0, bytes = 0;
    for (const Client &c : clients_) {
      if (c.dead) continue;
      auto &[n, b] = per_uid[c.uid];
      ++n;
      b += c.held();
      ++clients;
      bytes += c.held();
    }
    std::optional<uid_t> over_clients, over_bytes;
    for (const auto &[uid, tally] : per_uid) {
      if (tally.first > kMaxClientsPerUid) over_clients = uid;
      if (tally.second > kMaxBufferedPerUid) over_bytes = uid;
    }
    bool closed = false;
    if (over_clients || clients > max_clients_)
      closed = close_one(false, over_clients);
    else if (over_bytes || bytes > kMaxBuffered)
      closed = close_one(true, over_bytes);
    if (!closed) return;
  }
}

bool Server::close_one(bool by_bytes, std::optional<uid_t> of_uid) {
  if (!of_uid) {
    std::map<uid_t, size_t> held;
    for (const Client &c : clients_)
      if (!c.dead) held[c.uid] += by_bytes ? c.held() : 1;
    const auto most = std::max_element(held.begin(), held.end(),
                                       [](const auto &a, const auto &b) { return a.second < b.second; });
    if (most == held.end()) return false;
    of_uid = most->first;
  }
  Client *victim = nullptr;
  for (Client &c : clients_) {
    if (c.dead || c.uid != *of_uid || (by_bytes && c.held() == 0)) continue;
    if (!victim || c.last_active < victim->last_active) victim = &c;
  }
  if (!victim) return false;
  // Closed at once: the descriptor may be what the next accept needs.
  victim->dead = true;
  victim->fd.reset();
  victim->in = std::string();
  victim->out = std::string();
  ++closed_at_bounds_;
  const Clock::time_point now = Clock::now();
  if (now - last_bounds_line_ >= kBoundsLogInterval) {
    fprintf(stderr, "rdbd: %lu idle connection%s closed at the client bounds (the last of uid %u)\n",
            closed_at_bounds_, closed_at_bounds_ == 1 ? "" : "s", static_cast<unsigned>(*of_uid));
    closed_at_bounds_ = 0;
    last_bounds_line_ = now;
  }
  return true;
}

void Server::log_store_trouble() {
  std::string trouble = store_.trouble();
  const Clock::time_point now = Clock::now();
  const bool may_tell = last_refused_line_ == Clock::time_point{} || now - last_refused_line_ >= kRefusedLogInterval;
  if (refused_writes_ > 0 && may_tell) {
    fprintf(stderr, "rdbd: %lu persistent write%s refused (EIO): store %s %s\n", refused_writes_,
            refused_writes_ == 1 ? "" : "s", store_file_.c_str(), trouble.c_str());
    refused_writes_ = 0;
    last_refused_line_ = now;
  }
  if (trouble == logged_trouble_) return;
  if (trouble.empty())
    fprintf(stderr, "rdbd: store %s is written again\n", store_file_.c_str());
  else
    fprintf(stderr, "rdbd: store %s %s\n", store_file_.c_str(), trouble.c_str());
  logged_trouble_ = std::move(trouble);
}

size_t Server::Client::held() const {
  // A short string lives inside its object and holds nothing of its own.
  const auto on_heap = [](const std::string &s) { return s.capacity() > std::string().capacity() ? s.capacity() : 0; };
  return on_heap(in) + on_heap(out);
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
    client.last_active = Clock::now();
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
    } else if (!allowed(client, req)) {
      reply = rdbproto::Reply{-EACCES, req.len, {}};
    } else {
      reply = store_.execute(req);
      if (reply.result == -EIO) ++refused_writes_;
    }
    rdbproto::encode_reply(reply, client.out);
  }
  // Served frames are dropped from the front once, not one by one.
  client.in.erase(0, done);
  if (client.in.empty() && client.in.capacity() > kReadChunk) client.in = std::string();
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
    client.last_active = Clock::now();
  }
  if (client.out_pos == client.out.size()) {
    client.out.clear();
    client.out_pos = 0;
    if (client.out.capacity() > kMaxPendingOutput) client.out = std::string();
  } else if (client.out_pos > kMaxPendingOutput) {
    client.out.erase(0, client.out_pos);
    client.out_pos = 0;
  }
}

}  // namespace rdbd
