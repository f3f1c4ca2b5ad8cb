// SPDX-License-Identifier: MIT
// The two event sockets, and the receiving, parsing and dispatch of one
// event message; the loop that waits on the sockets is in daemon.cpp.

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "base/log.h"
#include "base/log_window.h"
#include "base/path_size.h"
#include "base/strutil.h"
#include "base/unique_fd.h"
#include "core/devmgr.h"
#include "core/output.h"
#include "core/uevent_private.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

// The two event sockets, open from start-up to shutdown.
hw::unique_fd monitor_socket;
hw::unique_fd netlink_socket;

hw::unique_fd &owner_of(event_socket which) {
  return which == event_socket::monitor ? monitor_socket : netlink_socket;
}

constexpr char kLabelUevent[] = "UEVENT";
constexpr char kLabelUdev[] = "UDEV  ";

// Shared by both sockets; hwtrack_handle_message works on a terminated copy.
char receive_buffer[kUeventBufferSize];

FILE *event_stream = nullptr;

// Any local user can send to the monitor socket, and any process can send
// netlink datagrams to the daemon's port id: a sender looping sendto()
// would fill the log, and wear out the flash of a board that keeps it
// there. Each cause of refusal gets a few lines a second; the refusals it
// holds back are counted and reported in one line when their second is over.
enum refusal_cause { REFUSED_UNTRUSTED, REFUSED_OVERSIZED, REFUSED_DEVPATH, REFUSAL_CAUSES };
constexpr const char *kRefusalNames[REFUSAL_CAUSES] = {"untrusted sender", "oversized", "bad devpath"};
constexpr long long kRefusalWindowMs = 1000;
static_assert(kRefusalLinesPerSecond > 0, "a window is open while it has logged");

hw::log_window refusal_windows[REFUSAL_CAUSES] = {
    {kRefusalLinesPerSecond, kRefusalWindowMs},
    {kRefusalLinesPerSecond, kRefusalWindowMs},
    {kRefusalLinesPerSecond, kRefusalWindowMs},
};

void report_held_back(int cause, long long now) {
  if (const unsigned held = refusal_windows[cause].take_held_back(now))
    HWLOG(LOG_ERR, "%u more datagrams refused (%s), not logged", held, kRefusalNames[cause]);
}

// Counts one refusal; false when its line is to be held back.
bool refusal_is_logged(int cause) {
  const long long now = hwtrack_now_ms();
  report_held_back(cause, now);
  return refusal_windows[cause].admit(now);
}

#define HWLOG_REFUSAL(cause, fmt, ...)                                         \
  do {                                                                         \
    if (refusal_is_logged(cause)) HWLOG(LOG_ERR, fmt __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)

// A burst of events must wait in the socket while the class script runs.
// Only root may pass net.core.rmem_max; anyone else gets what SO_RCVBUF allows.
void set_receive_buffer(int fd) {
  int size = kEventSocketRcvbuf;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0) return;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) < 0)
    HWLOG(LOG_ERR, "failed to set receive buffer - %s", strerror(errno));
}

std::optional<std::string_view> find_value(std::string_view key, std::string_view keys) {
  while (!keys.empty()) {
    const size_t nul = keys.find('\0');
    const std::string_view entry = keys.substr(0, nul);
    if (entry.empty()) return std::nullopt;  // two NULs in a row end the strings
    if (entry.size() > key.size() && entry.starts_with(key) && entry[key.size()] == '=')
      return entry.substr(key.size() + 1);
    if (nul == std::string_view::npos) break;
    keys.remove_prefix(nul + 1);
  }
  return std::nullopt;
}

const char *shown(const char *value) { return value ? value : ""; }

void dispatch_add(subsystem_code subsystem, const char *devpath) {
  HWLOG(LOG_DEBUG, "###hwtrack### start to add");
  if (hwtrack_add_new_hwdev(subsystem, devpath) < 0)
    HWLOG(LOG_DEBUG, "###hwtrack### no device added");
  else
    HWLOG(LOG_INFO, "###hwtrack### device added (devpath=%s)", devpath);
}

void dispatch_remove(subsystem_code subsystem, const char *devpath) {
  HWLOG(LOG_DEBUG, "###hwtrack### start to remove");
  if (hwtrack_remove_hwdev(subsystem, devpath) < 0)
    HWLOG(LOG_DEBUG, "###hwtrack### no device removed");
  else
    HWLOG(LOG_INFO, "###hwtrack### device removed (devpath=%s)", devpath);
}

// A card put into or taken out of a reader's slot arrives as a "change" of
// the disk, for the disk used whole as its first partition.
void dispatch_change(subsystem_code subsystem, const char *devpath) {
  const int done = hwtrack_change_hwdev(subsystem, devpath);
  if (done == ACTION_ADD) HWLOG(LOG_INFO, "###hwtrack### device added (devpath=%s)", devpath);
  if (done == ACTION_REMOVE) HWLOG(LOG_INFO, "###hwtrack### device removed (devpath=%s)", devpath);
}

// A renamed network interface (or a device moved to another parent): the
// kernel's "move" names the old devpath in DEVPATH_OLD. The entry follows the
// device under its new devpath, as a remove and an add would have it.
bool is_move(const char *action, const char *devpath_old) {
  return devpath_old && action && strcmp(action, "move") == 0;
}

void dispatch_move(subsystem_code subsystem, const char *devpath, const char *devpath_old) {
  HWLOG(LOG_DEBUG, "###hwtrack### start to move");
  if (hwtrack_move_hwdev(subsystem, devpath, devpath_old) < 0)
    HWLOG(LOG_DEBUG, "###hwtrack### no device moved");
  else
    HWLOG(LOG_INFO, "###hwtrack### device moved (devpath=%s,devpath_old=%s)", devpath, devpath_old);
}

void dispatch(const char *action, const char *devpath, const char *subsystem, const char *devpath_old) {
  const bool move = is_move(action, devpath_old);
  for (const char *path : {devpath, move ? devpath_old : nullptr}) {
    if (!path) continue;
    if (const char *reason = hwtrack_devpath_refusal(path)) {
      HWLOG_REFUSAL(REFUSED_DEVPATH, "###hwtrack### event refused (devpath=%.*s): %s",
                    static_cast<int>(hw::kPathSize - 1), path, reason);
      return;
    }
  }
  const subsystem_code code = get_subsystem_code(subsystem);
  const action_code what = get_action_code(action);
  if (!devpath && (what == ACTION_ADD || what == ACTION_REMOVE || move)) {
    HWLOG_REFUSAL(REFUSED_DEVPATH, "###hwtrack### event refused (action=%s): no DEVPATH", action);
    return;
  }
  if (move) {
    dispatch_move(code, devpath, devpath_old);
    return;
  }
  switch (what) {
    case ACTION_ADD:
      dispatch_add(code, devpath);
      break;
    case ACTION_REMOVE:
      dispatch_remove(code, devpath);
      break;
    case ACTION_CHANGE:
      HWLOG(LOG_DEBUG, "###hwtrack### start to change");
      if (devpath && strcmp(action, action_names[ACTION_CHANGE]) == 0) dispatch_change(code, devpath);
      break;
    default:
      HWLOG(LOG_ERR, "###hwtrack### unknown action found (action=%s)", shown(action));
      break;
  }
}

// CMSG_NXTHDR of musl 1.2.3 compares a size with a pointer difference,
// which -Wsign-compare reports in the code that expands it.
cmsghdr *next_control_header(msghdr &msg, cmsghdr *c) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
  return CMSG_NXTHDR(&msg, c);
#pragma GCC diagnostic pop
}

// The monitor socket is received with room for the sender's credentials
// only: descriptors that a sender attaches (SCM_RIGHTS) do not fit and the
// kernel never installs them; any that did are closed at once.
void close_passed_descriptors(msghdr &msg) {
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = next_control_header(msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      close(fd);
    }
  }
}

const ucred *find_credentials(msghdr &msg) {
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = next_control_header(msg, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred)))
      return reinterpret_cast<const ucred *>(CMSG_DATA(c));
  return nullptr;
}

// Zero bytes is no message; callers report it with errno like a failure.
ssize_t empty_datagram() {
  errno = ENODATA;
  return -1;
}

void report_overrun() {
  HWLOG(LOG_ERR, "kernel events lost, netlink receive queue overrun: %s", strerror(ENOBUFS));
}

take_result take_netlink_message(const char *timestamp) {
  const ssize_t n = receive_netlink_message(netlink_socket.get(), receive_buffer, kUeventBufferSize);
  if (n < 0) {
    if (errno == ENOBUFS) {
      report_overrun();
      return take_result::events_lost;
    }
    HWLOG(LOG_ERR, "error receiving uevent message: %s\n", strerror(errno));
    return take_result::failed;
  }
  if (n == 0) return take_result::handled;  // refused and logged
  HWLOG(LOG_INFO, "recieved from netlink socket");
  hwtrack_handle_message(kLabelUevent, timestamp, receive_buffer, static_cast<size_t>(n));
  return take_result::handled;
}

take_result take_monitor_message(const char *timestamp) {
  const ssize_t n = receive_monitor_message(monitor_socket.get(), receive_buffer, kUeventBufferSize);
  if (n < 0) {
    HWLOG(LOG_ERR, "error receiving udev message: %s\n", strerror(errno));
    return take_result::failed;
  }
  if (n == 0) return take_result::handled;
  HWLOG(LOG_INFO, "recieved from monitor socket");
  hwtrack_handle_message(kLabelUdev, timestamp, receive_buffer, static_cast<size_t>(n));
  return take_result::handled;
}

}  // namespace

take_result take_event_message(event_socket which, const char *timestamp) {
  return which == event_socket::netlink ? take_netlink_message(timestamp) : take_monitor_message(timestamp);
}

void report_held_back_counts() {
  const long long now = hwtrack_now_ms();
  for (int cause = 0; cause < REFUSAL_CAUSES; ++cause) report_held_back(cause, now);
}

long ms_until_held_back_due() {
  long due = -1;
  const long long now = hwtrack_now_ms();
  for (const auto &w : refusal_windows) {
    const long left = w.ms_until_due(now);
    if (left >= 0 && (due < 0 || left < due)) due = left;
  }
  return due;
}

void hwtrack_set_event_stream(FILE *stream) { event_stream = stream; }

int event_socket_fd(event_socket which) { return owner_of(which).get(); }

void close_event_socket(event_socket which) { owner_of(which).reset(); }

hw::unique_fd exchange_event_socket(event_socket which, hw::unique_fd fd) {
  return std::exchange(owner_of(which), std::move(fd));
}

void hwtrack_forget_refusals() {
  for (auto &w : refusal_windows) w.forget();
}

long long hwtrack_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int open_monitor_socket() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // Abstract name: a leading NUL, then the name without a terminating NUL.
  constexpr size_t name_length = sizeof kMonitorSocketName - 1;
  memcpy(addr.sun_path + 1, kMonitorSocketName, name_length);
  const auto addrlen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_length);

  hw::unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    fprintf(stderr, "error getting socket: %s\n", strerror(errno));
    return -1;
  }
  if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), addrlen) < 0) {
    fprintf(stderr, "bind failed: %s\n", strerror(errno));
    return -1;
  }
  // Without credentials every datagram would be refused as of unknown origin.
  const int on = 1;
  if (setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) < 0)
    HWLOG(LOG_ERR, "failed to ask for sender credentials - %s", strerror(errno));
  set_receive_buffer(fd.get());
  monitor_socket = std::move(fd);
  return 0;
}

int open_netlink_socket() {
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_pid = static_cast<__u32>(getpid());
  addr.nl_groups = 1;

  hw::unique_fd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  if (!fd) {
    fprintf(stderr, "error getting socket: %s\n", strerror(errno));
    return -1;
  }
  // Sized before bind so that no event of the start-up scan finds it small.
  set_receive_buffer(fd.get());
  int rc = bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  if (rc < 0 && errno == EADDRINUSE) {
    // Another socket in this network namespace holds our process id as its
    // port id (common in containers); any port id receives the multicast.
    HWLOG(LOG_WARNING, "netlink port id %u in use, letting the kernel choose one", addr.nl_pid);
    addr.nl_pid = 0;
    rc = bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  }
  if (rc < 0) {
    fprintf(stderr, "bind failed: %s\n", strerror(errno));
    return -1;
  }
  netlink_socket = std::move(fd);
  return 0;
}

ssize_t receive_monitor_message(int fd, char *buf, size_t size) {
  iovec iov{buf, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;

  const ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
  if (n < 0) return -1;
  close_passed_descriptors(msg);

  // The sender first: an empty datagram of anyone but root is a refusal,
  // limited like the others, not a receive error logged every time.
  const ucred *cred = find_credentials(msg);
  if (!cred) {
    HWLOG_REFUSAL(REFUSED_UNTRUSTED, "udev message refused: no sender credentials");
    return 0;
  }
  if (cred->uid != 0) {
    HWLOG_REFUSAL(REFUSED_UNTRUSTED, "udev message refused: sender uid %u (pid %d) is not root",
                  static_cast<unsigned>(cred->uid), static_cast<int>(cred->pid));
    return 0;
  }
  if (msg.msg_flags & MSG_TRUNC) {
    HWLOG_REFUSAL(REFUSED_OVERSIZED, "udev message refused: longer than %zu bytes", size);
    return 0;
  }
  return n == 0 ? empty_datagram() : n;
}

ssize_t receive_netlink_message(int fd, char *buf, size_t size) {
  iovec iov{buf, size};
  sockaddr_nl sender{};
  msghdr msg{};
  msg.msg_name = &sender;
  msg.msg_namelen = sizeof sender;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;

  const ssize_t n = recvmsg(fd, &msg, 0);
  if (n < 0) return -1;

  if (msg.msg_namelen < sizeof sender || sender.nl_family != AF_NETLINK) {
    HWLOG_REFUSAL(REFUSED_UNTRUSTED, "uevent message refused: unknown sender");
    return 0;
  }
  // Only the kernel sends from port id 0; anything else is a user process
  // (udev re-broadcasts, or someone impersonating the kernel).
  if (sender.nl_pid != 0) {
    HWLOG_REFUSAL(REFUSED_UNTRUSTED, "uevent message refused: sender port id %u is not the kernel", sender.nl_pid);
    return 0;
  }
  if (msg.msg_flags & MSG_TRUNC) {
    HWLOG_REFUSAL(REFUSED_OVERSIZED, "uevent message refused: longer than %zu bytes", size);
    return 0;
  }
  return n == 0 ? empty_datagram() : n;
}

const char *get_uevent_value(const char *key, const char *start, const char *end) {
  if (!key || !start || !end || end <= start) return nullptr;
  const auto value = find_value(key, std::string_view(start, static_cast<size_t>(end - start)));
  return value ? value->data() : nullptr;
}

action_code get_action_code(const char *value) {
  // What the kernel announces besides: a driver bound to or unbound from a
  // device (on every plug since 4.14), a CPU or memory block taken online
  // or offline. Nothing the daemon tracks changes with them.
  static constexpr const char *change_like[] = {"bind", "unbind", "online", "offline"};
  const int code = hw::code_from_name(value, action_names, ACTION_UNKNOWN);
  if (code == ACTION_UNKNOWN && hw::code_from_name(value, change_like, -1) >= 0) return ACTION_CHANGE;
  return static_cast<action_code>(code);
}

subsystem_code get_subsystem_code(const char *value) {
  return static_cast<subsystem_code>(hw::code_from_name(value, subsystem_names, SUBSYSTEM_UNKNOWN));
}

// The longest devpath acted on fits the sysfs work buffers whole.
static_assert(hw::kPathSize - 1 == 511, "the refusal below names the limit");

const char *hwtrack_devpath_refusal(const char *devpath) {
  const std::string_view path(devpath);
  if (path.size() > hw::kPathSize - 1) return "devpath longer than 511 characters";
  size_t pos = 0;
  while (pos <= path.size()) {
    const size_t slash = std::min(path.find('/', pos), path.size());
    const std::string_view component = path.substr(pos, slash - pos);
    if (component == "." || component == "..") return "devpath has a \".\" or \"..\" component";
    pos = slash + 1;
  }
  return nullptr;
}

void hwtrack_handle_message(const char *label, const char *timestamp, const char *msg, size_t n) {
  // A private copy with a NUL after the last received byte: values found in
  // it are terminated however the sender ended its last string.
  char message[kUeventBufferSize + 1];
  n = std::min(n, kUeventBufferSize);
  if (n > 0) memcpy(message, msg, n);
  message[n] = '\0';

  // The header (action@devpath) is never searched for keys.
  const char *end = message + n;
  const char *header_end = static_cast<const char *>(memchr(message, '\0', n));
  const char *keys = header_end ? header_end + 1 : end;

  const char *devpath = get_uevent_value("DEVPATH", keys, end);
  const char *action = get_uevent_value("ACTION", keys, end);
  const char *subsystem = get_uevent_value("SUBSYSTEM", keys, end);
  const char *devpath_old = get_uevent_value("DEVPATH_OLD", keys, end);

  hwtrack_print_event_line(event_stream, label, timestamp, shown(action), shown(devpath), shown(subsystem));
  HWLOG(LOG_INFO, "%s[%s] %-8s %s (%s)\n", label, timestamp, shown(action), shown(devpath), shown(subsystem));

  dispatch(action, devpath, subsystem, devpath_old);
}
