#include "tests/soak/soak_support.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace soak {
namespace {

namespace fs = std::filesystem;

constexpr char kMonitorName[] = "/org/kernel/udev/monitor";
constexpr char kSysfsMount[] = "/dev/soak-sysfs";
constexpr int kSendTimeoutSeconds = 60;

std::string errno_text(const std::string &what) { return what + ": " + strerror(errno); }

long status_field_kb(const std::string &status, std::string_view key) {
  std::istringstream in(status);
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != ':') continue;
    return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

// fd number -> socket inode, for the sockets of pid.
std::map<int, std::string> socket_inodes(pid_t pid) {
  std::map<int, std::string> out;
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code link_ec;
    const std::string target = fs::read_symlink(entry.path(), link_ec).string();
    if (link_ec || !target.starts_with("socket:[") || !target.ends_with("]")) continue;
    out[std::stoi(entry.path().filename().string())] = target.substr(8, target.size() - 9);
  }
  return out;
}

struct NetlinkRow {
  int protocol = -1;
  uint32_t port_id = 0;
  long rmem = 0;
  unsigned long drops = 0;
  std::string inode;
};

// /proc/net/netlink: sk Eth Pid Groups Rmem Wmem Dump Locks Drops Inode
std::vector<NetlinkRow> netlink_rows() {
  std::vector<NetlinkRow> rows;
  std::ifstream in("/proc/net/netlink");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string s; fields >> s;) f.push_back(s);
    if (f.size() < 10) continue;
    rows.push_back({std::stoi(f[1]), static_cast<uint32_t>(std::stoul(f[2])), std::stol(f[4]), std::stoul(f[8]), f[9]});
  }
  return rows;
}

// A duplicate of another process's descriptor: the same open socket.
int steal_descriptor(pid_t pid, int fd) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return -1;
  const int dup = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
  const int saved = errno;
  close(pidfd);
  errno = saved;
  return dup;
}

}  // namespace

std::optional<ProcessStats> process_stats(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::ifstream in(base + "/status");
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  ProcessStats stats;
  stats.vm_rss_kb = status_field_kb(text.str(), "VmRSS");
  stats.rss_anon_kb = status_field_kb(text.str(), "RssAnon");
  std::error_code ec;
  for (auto it = fs::directory_iterator(base + "/fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    ++stats.fds;
  if (ec) return std::nullopt;
  return stats;
}

// --- RamDaemonTest ---------------------------------------------------------------------

void RamDaemonTest::SetUp() {
  itest::DaemonTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string dir = h().dir();
  // The harness made the sysfs root already; it is made again on the tmpfs.
  ASSERT_EQ(rmdir(h().sysfs_root().c_str()), 0) << strerror(errno);
  ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=256m"), 0)
      << "tmpfs on " << dir << ": " << strerror(errno);
  mounted_ = dir;
  ASSERT_EQ(mkdir(h().sysfs_root().c_str(), 0755), 0) << strerror(errno);
}

void RamDaemonTest::TearDown() {
  // The harness empties its folder when it goes; the mount point itself
  // is left for us.
  itest::DaemonTest::TearDown();
  if (mounted_.empty()) return;
  umount2(mounted_.c_str(), MNT_DETACH);
  rmdir(mounted_.c_str());
}

// --- MonitorSender ------------------------------------------------------------------

MonitorSender::MonitorSender() {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  const timeval timeout{kSendTimeoutSeconds, 0};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path + 1, kMonitorName, sizeof kMonitorName - 1);
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + sizeof kMonitorName - 1);
  if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), len) < 0) {
    close(fd_);
    fd_ = -1;
  }
}

MonitorSender::~MonitorSender() {
  if (fd_ >= 0) close(fd_);
}

bool MonitorSender::send(std::string_view datagram) {
  for (;;) {
    const ssize_t n = ::send(fd_, datagram.data(), datagram.size(), 0);
    if (n == static_cast<ssize_t>(datagram.size())) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;  // the time-out: the daemon stopped reading
  }
}

// --- KernelEvents -----------------------------------------------------------------------

KernelEvents::KernelEvents() : mount_point_(kSysfsMount) {
  if (mkdir(mount_point_.c_str(), 0755) < 0 && errno != EEXIST) {
    error_ = errno_text("mkdir " + mount_point_);
    return;
  }
  // A sysfs mounted now shows this network namespace's devices.
  if (mount("sysfs", mount_point_.c_str(), "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) < 0) {
    error_ = errno_text("mount sysfs on " + mount_point_);
    return;
  }
  const std::string file = mount_point_ + "/class/net/lo/uevent";
  uevent_fd_ = open(file.c_str(), O_WRONLY | O_CLOEXEC);
  if (uevent_fd_ < 0) error_ = errno_text("open " + file);
}

KernelEvents::~KernelEvents() {
  if (uevent_fd_ >= 0) close(uevent_fd_);
  umount2(mount_point_.c_str(), MNT_DETACH);
}

bool KernelEvents::send(std::string_view action) {
  return uevent_fd_ >= 0 && pwrite(uevent_fd_, action.data(), action.size(), 0) == static_cast<ssize_t>(action.size());
}

// --- netlink ------------------------------------------------------------------------------

std::vector<NetlinkQueue> netlink_queues(pid_t pid) {
  std::vector<NetlinkQueue> out;
  const auto rows = netlink_rows();
  for (const auto &[fd, inode] : socket_inodes(pid)) {
    for (const auto &row : rows) {
      if (row.protocol != NETLINK_KOBJECT_UEVENT || row.inode != inode) continue;
      out.push_back({fd, row.port_id, row.rmem, row.drops});
    }
  }
  return out;
}

std::optional<NetlinkQueue> netlink_queue(pid_t pid) {
  auto queues = netlink_queues(pid);
  if (queues.empty()) return std::nullopt;
  return queues.front();
}

std::string set_receive_buffer(pid_t pid, int fd, int bytes) {
  const int dup = steal_descriptor(pid, fd);
  if (dup < 0) return errno_text("pidfd_getfd");
  const int rc = setsockopt(dup, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
  const std::string error = rc < 0 ? errno_text("SO_RCVBUFFORCE") : "";
  close(dup);
  return error;
}

int receive_buffer(pid_t pid, int fd) {
  const int dup = steal_descriptor(pid, fd);
  if (dup < 0) return -1;
  int size = -1;
  socklen_t len = sizeof size;
  if (getsockopt(dup, SOL_SOCKET, SO_RCVBUF, &size, &len) < 0) size = -1;
  close(dup);
  return size;
}

// --- the class script -------------------------------------------------------------------

bool write_recording_script(const std::string &path, const std::string &calls_file,
                            std::chrono::milliseconds delay) {
  {
    std::ofstream out(path);
    out << "#!/bin/sh\n"
        << "echo \"$*\" >> " << calls_file << "\n";
    if (delay.count() > 0) {
      char seconds[32];
      snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(delay.count()) / 1000.0);
      out << "sleep " << seconds << "\n";
    }
    if (!out) return false;
  }
  return chmod(path.c_str(), 0755) == 0;
}

std::vector<std::string> read_lines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::optional<std::string> event_action(std::string_view line, std::string_view devpath) {
  const size_t close = line.find("] ");
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(close + 2);
  const size_t action_end = rest.find(' ');
  if (action_end == std::string_view::npos) return std::nullopt;
  const std::string_view action = rest.substr(0, action_end);
  rest.remove_prefix(action_end);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  if (!rest.starts_with(devpath) || rest.substr(devpath.size()).find(" (") != 0) return std::nullopt;
  return std::string(action);
}

double elapsed_ms(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace soak
