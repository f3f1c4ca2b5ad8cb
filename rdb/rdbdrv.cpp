#include "rdb/rdbdrv.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
  std::string in;
  char chunk[4096];
  for (;;) {
    size_t used = 0;
    switch (rdbproto::decode_reply(in, reply, &used)) {
      case rdbproto::Decode::ok:
        // One request, one reply: anything beyond it is a confused peer.
        return used == in.size() ? 0 : -EIO;
      case rdbproto::Decode::malformed:
        return -EIO;
      case rdbproto::Decode::incomplete:
        break;
    }
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN ? -ETIMEDOUT : -errno;
    }
    if (n == 0) return -ECONNRESET;
    in.append(chunk, static_cast<size_t>(n));
  }
}

bool peer_went_away(int err) { return err == -EPIPE || err == -ECONNRESET || err == -ENOTCONN; }

// The socket transport: ioctl semantics (0, or -1 with errno set).
int socket_request(rdbdrv_handle &handle, unsigned long request, rdbdrv_request *rec) {
  rdbproto::Request req;
  std::string frame;
  rdbproto::Reply reply;
  int rc = rdbproto::request_from_record(request, *rec, req);
  if (rc < 0) {
    errno = -rc;
    return -1;
  }
  rdbproto::encode_request(req, frame);

  // A restarted rdbd shows up as a broken connection: connect afresh and
  // send the request once more.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!handle.fd) {
      handle.fd.reset(connect_socket(handle.path.get()));
      if (!handle.fd) return -1;
      ++handle.reconnects;
    }
    rc = send_all(handle.fd.get(), frame);
    if (rc == 0) rc = receive_reply(handle.fd.get(), reply);
    if (rc == 0) {
      const int32_t result = rdbproto::apply_reply(request, reply, *rec, req.len);
      if (result < 0) {
        errno = -result;
        return -1;
      }
      return 0;
    }
    // Whatever went wrong, the stream is out of step now.
    handle.fd.reset();
    if (!peer_went_away(rc)) break;
  }
  errno = -rc;
  return -1;
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

unsigned rdbdrv_reconnect_count(const rdbdrv_handle *handle) { return handle ? handle->reconnects : 0; }

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
