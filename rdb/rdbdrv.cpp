// SPDX-License-Identifier: MIT
#include "rdb/rdbdrv.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/unique_fd.h"
#include "rdb/rdbproto.h"

struct rdbdrv_handle {
  hw::unique_fd fd;
  bool socket = false;
  // Kept so that a socket handle can find rdbd again after it restarted.
  std::unique_ptr<char[]> path;
  // Connections made afresh after one broke: each may have met a new rdbd
  // that lost every volatile variable.
  unsigned reconnects = 0;
};

namespace {

rdbdrv_transport g_transport = nullptr;

// rdbd answers at once; a peer that stays silent this long is stuck, and
// the daemon must not hang with it.
constexpr int kSocketTimeoutSeconds = 30;

std::unique_ptr<char[]> copy_text(const char *text) {
  const size_t n = strlen(text) + 1;
  std::unique_ptr<char[]> copy(new (std::nothrow) char[n]);
  if (copy) memcpy(copy.get(), text, n);
  return copy;
}

// Returns the connected descriptor, or -1 with errno set.
int connect_socket(const char *path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  strcpy(addr.sun_path, path);

  hw::unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return -1;
  const timeval timeout{kSocketTimeoutSeconds, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  int rc;
  do {
    rc = connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    // A vanished socket file means rdbd is not running; ENOENT would read
    // as "no such variable" to the layers above.
    const int err = errno == ENOENT ? ECONNREFUSED : errno;
    fd.reset();
    errno = err;
    return -1;
  }
  return fd.release();
}

// 0, or the negated errno of the failed send.
int send_all(int fd, const std::string &frame) {
  size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN ? -ETIMEDOUT : -errno;
    }
    sent += static_cast<size_t>(n);
  }
  return 0;
}

// Reads exactly one reply frame. 0, or a negated errno: ECONNRESET when the
// peer went away, EIO when what came back is not a reply.
int receive_reply(int fd, rdbproto::Reply &reply) {
  // Most replies fit the first read; a long one is read straight into a
  // buffer of its announced size.
  std::string in(4096, '\0');
  size_t have = 0, want = rdbproto::kLengthPrefix;
  while (have < want) {
    const ssize_t n = recv(fd, in.data() + have, in.size() - have, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN ? -ETIMEDOUT : -errno;
    }
    if (n == 0) return -ECONNRESET;
    have += static_cast<size_t>(n);
    if (want == rdbproto::kLengthPrefix && have >= want) {
      const uint32_t body = rdbproto::body_length(in);
      if (body > rdbproto::kMaxReplyBody) return -EIO;
      want = rdbproto::kLengthPrefix + body;
      if (in.size() < want) in.resize(want);
    }
  }
  // One request, one reply: anything beyond it is a confused peer.
  size_t used = 0;
  in.resize(have);
  if (rdbproto::decode_reply(in, reply, &used) != rdbproto::Decode::ok || used != have) return -EIO;
  return 0;
}

bool peer_went_away(int err) { return err == -EPIPE || err == -ECONNRESET || err == -ENOTCONN; }

// How one request fared on the connection.
enum class Outcome {
  answered,
  not_sent,    // the server went away before it had the whole request
  reply_lost,  // it had the whole request and went away before answering
  failed,      // anything else; err says what
};

struct Exchange {
  Outcome outcome;
  int err = 0;  // negated errno unless answered
};

// Sends one frame and reads its reply, connecting afresh when the last
// connection broke.
Exchange exchange(rdbdrv_handle &handle, const std::string &frame, rdbproto::Reply &reply) {
  if (!handle.fd) {
    handle.fd.reset(connect_socket(handle.path.get()));
    if (!handle.fd) return {Outcome::failed, -errno};
    ++handle.reconnects;
  }
  int rc = send_all(handle.fd.get(), frame);
  const bool sent = rc == 0;
  if (sent) rc = receive_reply(handle.fd.get(), reply);
  if (rc == 0) return {Outcome::answered};
  // Whatever went wrong, the stream is out of step now.
  handle.fd.reset();
  if (!peer_went_away(rc)) return {Outcome::failed, rc};
  return {sent ? Outcome::reply_lost : Outcome::not_sent, rc};
}

std::string_view text_of(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

bool creates(const rdbproto::Request &req) { return req.flags != -1 && (req.flags & RDBDRV_CREATE); }

// A write that only sets a value ends in the same state however often it
// is applied; reads change nothing. Creating and deleting are not like
// that: applied twice, the second answer is EEXIST or ENOENT.
bool safe_to_repeat(const rdbproto::Request &req) {
  return rdbproto::op_of(req.request) != rdbproto::Op::write || (req.has_value && !creates(req));
}

// After the reply of a create or a delete was lost (rdbd killed between
// applying it and answering, then restarted), the variable tells whether
// the request took effect: a created variable holds exactly the value
// sent; a deleted one is gone. If it did, its reply is made up here; if it
// did not (it never arrived, or a restart wiped the volatile variable it
// made), the outcome is not_sent and the request goes once more. A
// variable that holds another value makes the create fail as a fresh one
// would (EEXIST). Persistence cannot be read back, so a create is taken as
// applied when the value matches.
Exchange settle_lost_reply(rdbdrv_handle &handle, const rdbproto::Request &req, rdbproto::Reply &reply) {
  const std::string_view sent = text_of(req.value);
  rdbproto::Request probe;
  probe.request = static_cast<uint32_t>(RDBDRV_REQ_GET);
  probe.has_name = probe.has_value = true;
  probe.name = req.name;
  probe.len = static_cast<int32_t>(sent.size() + 1);
  std::string frame;
  rdbproto::encode_request(probe, frame);
  rdbproto::Reply found;
  const Exchange asked = exchange(handle, frame, found);
  // Still unknown: better a failure than a guess.
  if (asked.outcome != Outcome::answered) return {Outcome::failed, asked.err};

  const bool exists = found.result != -ENOENT;
  if (found.result < 0 && found.result != -ENOENT && found.result != -EOVERFLOW)
    return {Outcome::failed, found.result};
  if (creates(req) && exists) {
    const bool same = found.result == 0 && text_of(found.value) == sent;
    reply = rdbproto::Reply{same ? 0 : -EEXIST, req.len, {}};
    return {Outcome::answered};
  }
  if (!creates(req) && !exists) {
    reply = rdbproto::Reply{0, req.len, {}};
    return {Outcome::answered};
  }
  return {Outcome::not_sent};
}

// The socket transport: ioctl semantics (0, or -1 with errno set).
//
// A restarted rdbd shows up as a broken connection, and the request is
// carried once more on a fresh one. Only what cannot have reached the old
// server, or what is safe to repeat, is simply sent again; a create or a
// delete whose reply was lost is settled by looking at its variable first
// (settle_lost_reply), so that a request rdbd applied is never reported as
// failed, nor applied twice.
int socket_request(rdbdrv_handle &handle, unsigned long request, rdbdrv_request *rec) {
  rdbproto::Request req;
  std::string frame;
  rdbproto::Reply reply;
  const int carried = rdbproto::request_from_record(request, *rec, req);
  if (carried < 0) {
    errno = -carried;
    return -1;
  }
  rdbproto::encode_request(req, frame);

  Exchange done = exchange(handle, frame, reply);
  if (done.outcome == Outcome::reply_lost && !safe_to_repeat(req)) done = settle_lost_reply(handle, req, reply);
  if (done.outcome == Outcome::not_sent || done.outcome == Outcome::reply_lost) done = exchange(handle, frame, reply);
  if (done.outcome != Outcome::answered) {
    errno = -done.err;
    return -1;
  }
  const int32_t result = rdbproto::apply_reply(request, reply, *rec, req.len);
  if (result < 0) {
    errno = -result;
    return -1;
  }
  return 0;
}

int carry_request(rdbdrv_handle *handle, unsigned long request, rdbdrv_request *rec) {
  if (!handle) {
    errno = EBADF;
    return -EBADF;
  }
  int rc;
  if (g_transport) {
    rc = g_transport(handle->fd.get(), request, rec);
  } else if (handle->socket) {
    try {
      rc = socket_request(*handle, request, rec);
    } catch (const std::bad_alloc &) {
      errno = ENOMEM;
      rc = -1;
    }
  } else {
    rc = ioctl(handle->fd.get(), request, rec);
  }
  return rc < 0 ? -errno : 0;
}

}  // namespace

void rdbdrv_set_transport(rdbdrv_transport transport) { g_transport = transport; }

unsigned rdbdrv_reconnect_count(const rdbdrv_handle *handle) { return handle ? handle->reconnects : 0; }

int rdbdrv_wait_fd(const rdbdrv_handle *handle) { return handle && handle->socket ? handle->fd.get() : -1; }

bool rdbdrv_connected(rdbdrv_handle *handle) {
  if (!handle) return false;
  if (!handle->socket) return true;
  if (!handle->fd) return false;
  // Between requests nothing is due from rdbd: anything readable is its end.
  pollfd p{handle->fd.get(), POLLIN, 0};
  if (poll(&p, 1, 0) == 0) return true;
  handle->fd.reset();
  return false;
}

int rdbdrv_open(const char *path, rdbdrv_handle **handle) {
  *handle = nullptr;
  if (!path) path = RDBDRV_DEFAULT_DEVICE;

  struct stat st;
  const bool is_socket = stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
  hw::unique_fd fd;
  if (is_socket) {
    fd.reset(connect_socket(path));
    if (!fd) return -1;
  } else {
    fd.reset(open(path, O_RDWR));
    if (!fd) return -1;
    if (fcntl(fd.get(), F_SETFD, FD_CLOEXEC) < 0) {
      const int err = errno;
      fd.reset();
      errno = err;
      return -err;
    }
  }

  std::unique_ptr<rdbdrv_handle> h(new (std::nothrow) rdbdrv_handle);
  if (h && is_socket) {
    h->path = copy_text(path);
    if (!h->path) h.reset();
  }
  if (!h) {
    fd.reset();
    errno = ENOMEM;
    return -ENOMEM;
  }
  h->fd = std::move(fd);
  h->socket = is_socket;
  *handle = h.release();
  return 0;
}

void rdbdrv_close(rdbdrv_handle **handle) {
  std::unique_ptr<rdbdrv_handle> owned(*handle);
  *handle = nullptr;
}

int rdbdrv_get(rdbdrv_handle *handle, const char *name, char *buf, int *len) {
  rdbdrv_request rec{};
  rec.name = name;
  rec.value = buf;
  rec.len = len ? *len : 0;
  const int rc = carry_request(handle, RDBDRV_REQ_GET, &rec);
  if (len) *len = rec.len;
  return rc;
}

int rdbdrv_set(rdbdrv_handle *handle, const char *name, const char *value) {
  rdbdrv_request rec{};
  rec.name = name;
  rec.value = const_cast<char *>(value);  // the driver only reads it on a write
  rec.len = static_cast<int32_t>(strlen(value) + 1);
  rec.attr_a = -1;
  rec.flags = -1;
  rec.attr_b = -1;
  rec.attr_c = -1;
  return carry_request(handle, RDBDRV_REQ_SET, &rec);
}

int rdbdrv_create(rdbdrv_handle *handle, const char *name, const char *value, int flags, int attr) {
  static char empty[] = "";
  rdbdrv_request rec{};
  rec.name = name;
  rec.value = value ? const_cast<char *>(value) : empty;
  rec.len = static_cast<int32_t>(strlen(rec.value) + 1);
  rec.attr_a = attr;
  rec.flags = flags | RDBDRV_CREATE;
  rec.attr_b = -1;
  rec.attr_c = -1;
  return carry_request(handle, RDBDRV_REQ_SET, &rec);
}

int rdbdrv_delete(rdbdrv_handle *handle, const char *name) {
  rdbdrv_request rec{};
  rec.name = name;
  return carry_request(handle, RDBDRV_REQ_SET, &rec);
}

int rdbdrv_getnames(rdbdrv_handle *handle, const char *name, char *buf, int *len, int flags) {
  rdbdrv_request rec{};
  rec.name = name;
  rec.value = buf;
  rec.len = len ? *len : 0;
  rec.flags = flags;
  const int rc = carry_request(handle, RDBDRV_REQ_GETNAMES, &rec);
  if (len) *len = rec.len;
  return rc;
}
