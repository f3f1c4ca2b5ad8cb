// SPDX-License-Identifier: MIT
#pragma once
// A running process as /proc shows it: its status lines, its CPU time, its
// descriptors and the sockets behind them, and the kernel's socket tables.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace testsupport {

// The text of /proc/<pid>/<file> ("" when it cannot be read).
std::string read_proc(pid_t pid, const std::string &file);

// The number of a "Key:   123 kB" line of /proc/<pid>/status (VmRSS,
// RssAnon, TracerPid...), -1 when there is none.
long proc_status_kb(pid_t pid, const std::string &key);

// The state letter of /proc/<pid>/stat ('R', 'S', 'Z', 't', ...), '?' when
// the process is gone.
char process_state(pid_t pid);

// /proc/<pid>/schedstat: CPU time used so far, user and system, in
// nanoseconds, and how many times the process was put on a CPU; -1 each
// when the process is gone.
struct SchedStat {
  double cpu_ns = -1;
  long runs = -1;
};
SchedStat sched_stat(pid_t pid);

// Entries of /proc/<pid>/fd; -1 when the process is gone.
long descriptor_count(pid_t pid);

// Descriptor number -> inode of the socket, for every socket pid holds.
std::map<int, std::string> socket_inodes(pid_t pid);

// The rows of a kernel table such as /proc/net/unix or /proc/net/netlink,
// split at white space, the header line left out.
std::vector<std::vector<std::string>> proc_table_rows(const std::string &path);

// A duplicate of descriptor fd of process pid (pidfd_getfd): the same open
// file or socket. None on failure, errno set.
hw::unique_fd duplicate_descriptor(pid_t pid, int fd);

}  // namespace testsupport
