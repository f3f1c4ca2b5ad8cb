// SPDX-License-Identifier: MIT
#include "tests/soak/soak_support.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "tests/support/namespaces.h"
#include "tests/support/procfs.h"

namespace soak {
namespace {

constexpr char kSysfsMount[] = "/dev/soak-sysfs";

using testsupport::errno_text;

}  // namespace

std::optional<ProcessStats> process_stats(pid_t pid) {
  ProcessStats stats;
  stats.vm_rss_kb = testsupport::proc_status_kb(pid, "VmRSS");
  stats.rss_anon_kb = testsupport::proc_status_kb(pid, "RssAnon");
  const long fds = testsupport::descriptor_count(pid);
  if (fds < 0) return std::nullopt;
  stats.fds = static_cast<size_t>(fds);
  return stats;
}

// --- RamDaemonTest ---------------------------------------------------------------------

void RamDaemonTest::SetUp() {
  itest::DaemonTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string dir = h().dir();
  // The harness made the sysfs root already; it is made again on the tmpfs.
  ASSERT_EQ(rmdir(h().sysfs_root().c_str()), 0) << strerror(errno);
  ASSERT_EQ(testsupport::mount_tmpfs(dir, "mode=0755,size=256m", MS_NOSUID | MS_NODEV), "");
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
  uevent_fd_.reset(open(file.c_str(), O_WRONLY | O_CLOEXEC));
  if (!uevent_fd_) error_ = errno_text("open " + file);
}

KernelEvents::~KernelEvents() {
  uevent_fd_.reset();
  umount2(mount_point_.c_str(), MNT_DETACH);
}

bool KernelEvents::send(std::string_view action) {
  return uevent_fd_ &&
         pwrite(uevent_fd_.get(), action.data(), action.size(), 0) == static_cast<ssize_t>(action.size());
}

// --- netlink ------------------------------------------------------------------------------

std::vector<NetlinkQueue> netlink_queues(pid_t pid) {
  std::vector<NetlinkQueue> out;
  // /proc/net/netlink: sk Eth Pid Groups Rmem Wmem Dump Locks Drops Inode
  const auto rows = testsupport::proc_table_rows("/proc/net/netlink");
  for (const auto &[fd, inode] : testsupport::socket_inodes(pid)) {
    for (const auto &row : rows) {
      if (row.size() < 10 || row[1] != std::to_string(NETLINK_KOBJECT_UEVENT) || row[9] != inode) continue;
      out.push_back({fd, static_cast<uint32_t>(std::stoul(row[2])), std::stol(row[4]), std::stoul(row[8])});
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
  const hw::unique_fd dup = testsupport::duplicate_descriptor(pid, fd);
  if (!dup) return errno_text("pidfd_getfd");
  if (setsockopt(dup.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) < 0) return errno_text("SO_RCVBUFFORCE");
  return "";
}

int receive_buffer(pid_t pid, int fd) {
  const hw::unique_fd dup = testsupport::duplicate_descriptor(pid, fd);
  int size = -1;
  socklen_t len = sizeof size;
  if (!dup || getsockopt(dup.get(), SOL_SOCKET, SO_RCVBUF, &size, &len) < 0) return -1;
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
