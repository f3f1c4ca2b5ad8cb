// SPDX-License-Identifier: MIT
#pragma once
// What the soak, storm and resilience tests share: a look at a running
// process's descriptors and memory, real kernel uevents that reach this
// test's network namespace only, the daemon's netlink queue as the kernel
// reports it, and a recording class script.
//
// Everything here runs inside an itest::Harness (private mount and network
// namespaces): the sysfs mount of KernelEvents and the netlink look-ups are
// per namespace.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "tests/integration/harness.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace soak {

// --- the fixture ----------------------------------------------------------------

// A DaemonTest whose temporary folder is a tmpfs. rdbd saves its store with
// fsync at every persistent write, and the daemon writes four persistent
// variables per class entry update: on the disk of a test machine that
// flush, not the daemon, would set the pace of thousands of events. On a
// device the RDB lives in the driver's memory, which a tmpfs is closer to.
class RamDaemonTest : public itest::DaemonTest {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  std::string mounted_;
};

// A daemon test (Base: itest::DaemonTest or RamDaemonTest) whose sysfs tree
// holds the simulated "mini" board.
template <typename Base>
class MiniBoardTest : public Base {
 protected:
  void SetUp() override {
    Base::SetUp();
    if (this->IsSkipped() || this->HasFatalFailure()) return;
    tree_ = std::make_unique<board::SysfsTree>(this->h().sysfs_root());
    board_ = std::make_unique<board::Board>(board::Board::lay_out(*tree_, "mini"));
  }

  std::unique_ptr<board::SysfsTree> tree_;
  std::unique_ptr<board::Board> board_;
};

// --- a process seen from /proc ------------------------------------------------

struct ProcessStats {
  size_t fds = 0;       // entries of /proc/<pid>/fd
  long vm_rss_kb = -1;  // VmRSS
  long rss_anon_kb = -1;  // RssAnon: the heap and stacks, what a leak grows
};
std::optional<ProcessStats> process_stats(pid_t pid);

// --- real kernel uevents, for this network namespace only ----------------------------

// The loopback interface of this network namespace, seen through a sysfs
// mounted in this mount namespace: writing an action to its "uevent" file
// makes the kernel send a uevent with DEVPATH=/devices/virtual/net/lo and
// SUBSYSTEM=net. A network device's events go to the uevent sockets of its
// own network namespace only, so neither other tests' daemons nor this
// test's see each other's bursts, as they would with a UART's.
class KernelEvents {
 public:
  static constexpr char kDevpath[] = "/devices/virtual/net/lo";

  KernelEvents();   // mounts sysfs on a folder of the private /dev
  ~KernelEvents();  // unmounts it
  KernelEvents(const KernelEvents &) = delete;
  KernelEvents &operator=(const KernelEvents &) = delete;
  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  // One uevent ("add", "remove", "change", ...); false if the write failed.
  bool send(std::string_view action);

 private:
  std::string mount_point_;
  hw::unique_fd uevent_fd_;
  std::string error_;
};

// --- the daemon's netlink socket, as /proc/net/netlink shows it ------------------------

struct NetlinkQueue {
  int fd = -1;              // the descriptor number in the daemon
  uint32_t port_id = 0;
  long rmem = 0;            // bytes queued (each event charged its buffer's true size)
  unsigned long drops = 0;  // events the kernel could not queue
};
// The daemon's NETLINK_KOBJECT_UEVENT socket (the first one when it holds several).
std::optional<NetlinkQueue> netlink_queue(pid_t pid);
// All of the daemon's uevent sockets, in descriptor order.
std::vector<NetlinkQueue> netlink_queues(pid_t pid);

// Makes the receive buffer of the daemon's descriptor fd bytes large (the
// kernel doubles it and keeps a minimum of a few KiB), from outside: a
// duplicate taken with pidfd_getfd() is the same socket. "" or what failed.
std::string set_receive_buffer(pid_t pid, int fd, int bytes);
// SO_RCVBUF of the daemon's descriptor fd, -1 on failure.
int receive_buffer(pid_t pid, int fd);

// --- the class script -----------------------------------------------------------------

// Writes an executable sh script at path that appends "$*" as one line to
// calls_file, then sleeps for delay (none when zero).
bool write_recording_script(const std::string &path, const std::string &calls_file,
                            std::chrono::milliseconds delay = std::chrono::milliseconds(0));

// The lines of a text file (none when it is missing).
std::vector<std::string> read_lines(const std::string &path);

// --- event lines ---------------------------------------------------------------------------

// The action field of an event line "LABEL [time] action   devpath (subsystem)"
// whose devpath is devpath, or nullopt for any other line.
std::optional<std::string> event_action(std::string_view line, std::string_view devpath);

// Milliseconds since start, for the figures the tests print.
double elapsed_ms(std::chrono::steady_clock::time_point start);

}  // namespace soak
