// SPDX-License-Identifier: MIT
// The event sockets: how they are opened, who may send on them, and one pass
// of the loop. Netlink tests run in a private network namespace of the test
// process (each test is its own process), so no other listener is touched.

#include <fcntl.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "core/daemon_private.h"
#include "core/signals.h"
#include "core/uevent_private.h"
#include "tests/support/log_capture.h"
#include "tests/support/monitor.h"
#include "tests/support/namespaces.h"
#include "tests/support/procfs.h"

namespace {

constexpr uid_t kNobody = 65534;

using hw::unique_fd;
using testsupport::netlink_socket;
using testsupport::send_netlink;

int monitor_fd() { return event_socket_fd(event_socket::monitor); }
int netlink_fd() { return event_socket_fd(event_socket::netlink); }

uint32_t port_id(int fd) {
  sockaddr_nl addr{};
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  return addr.nl_pid;
}

bool queue_is_empty(int fd) {
  char c;
  return recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
}

const std::string kEvent("change@/devices/x\0ACTION=change\0DEVPATH=/devices/x\0SUBSYSTEM=tty\0", 64);

class SocketTest : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: network namespace, credentials of other users";
    ASSERT_EQ(testsupport::enter_namespaces(CLONE_NEWNET), "");
    stream_ = fopen("/dev/null", "w");
    hwtrack_set_event_stream(stream_);
    hwtrack_forget_refusals();
    log_.clear();
  }
  void TearDown() override {
    close_event_socket(event_socket::monitor);
    close_event_socket(event_socket::netlink);
    hwtrack_set_event_stream(nullptr);
    if (stream_) fclose(stream_);
  }

  // A datagram pair whose receiving end asks for credentials, like the monitor socket.
  void make_pair(bool passcred = true) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv), 0);
    receiver_ = unique_fd(sv[0]);
    sender_ = unique_fd(sv[1]);
    const int on = 1;
    if (passcred) {
      ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on), 0);
    }
  }
  ssize_t receive_monitor() { return receive_monitor_message(receiver_.get(), buf_, kUeventBufferSize); }

  testsupport::LogCapture log_;
  unique_fd receiver_, sender_;
  char buf_[kUeventBufferSize + 1];
  FILE *stream_ = nullptr;
};

// --- monitor socket: credentials -----------------------------------------------------

TEST_F(SocketTest, MonitorAcceptsRoot) {
  make_pair();
  ASSERT_EQ(send(sender_.get(), kEvent.data(), kEvent.size(), 0), static_cast<ssize_t>(kEvent.size()));
  EXPECT_EQ(receive_monitor(), static_cast<ssize_t>(kEvent.size()));
  EXPECT_EQ(std::string(buf_, kEvent.size()), kEvent);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(SocketTest, MonitorRefusesOtherUsers) {
  make_pair();
  // The kernel stamps the credentials the sender has when it sends.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (syscall(SYS_setresgid, kNobody, kNobody, kNobody) < 0 || syscall(SYS_setresuid, kNobody, kNobody, kNobody) < 0)
      _exit(2);
    _exit(send(sender_.get(), kEvent.data(), kEvent.size(), 0) == static_cast<ssize_t>(kEvent.size()) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);

  EXPECT_EQ(receive_monitor(), 0);
  const auto refused = log_.matching("udev message refused: sender uid 65534");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused.front().priority, LOG_ERR);
  EXPECT_EQ(log_.lines().size(), 1u);
}

TEST_F(SocketTest, MonitorRefusesWhatComesWithoutCredentials) {
  make_pair(false);
  ASSERT_GT(send(sender_.get(), kEvent.data(), kEvent.size(), 0), 0);
  EXPECT_EQ(receive_monitor(), 0);
  EXPECT_TRUE(log_.contains("udev message refused: no sender credentials"));
}

TEST_F(SocketTest, MonitorRefusesTruncatedMessages) {
  make_pair();
  const std::string big(kUeventBufferSize + 100, 'x');
  ASSERT_GT(send(sender_.get(), big.data(), big.size(), 0), 0);
  EXPECT_EQ(receive_monitor(), 0);
  EXPECT_TRUE(log_.contains("udev message refused: longer than 4096 bytes"));

  // Exactly the buffer's size is a whole message.
  ASSERT_GT(send(sender_.get(), big.data(), kUeventBufferSize, 0), 0);
  EXPECT_EQ(receive_monitor(), static_cast<ssize_t>(kUeventBufferSize));
}

TEST_F(SocketTest, MonitorEmptyDatagramIsAFailure) {
  make_pair();
  ASSERT_EQ(send(sender_.get(), "", 0, 0), 0);
  errno = 0;
  EXPECT_EQ(receive_monitor(), -1);
  EXPECT_EQ(errno, ENODATA);
}

TEST_F(SocketTest, MonitorNeverKeepsPassedDescriptors) {
  make_pair();
  unique_fd passed(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const long before = testsupport::descriptor_count(getpid());

  iovec iov{const_cast<char *>(kEvent.data()), kEvent.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr *c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(4 * sizeof(int));
  const int fds[4] = {passed.get(), passed.get(), passed.get(), passed.get()};
  memcpy(CMSG_DATA(c), fds, sizeof fds);
  ASSERT_EQ(sendmsg(sender_.get(), &msg, 0), static_cast<ssize_t>(kEvent.size()));

  EXPECT_EQ(receive_monitor(), static_cast<ssize_t>(kEvent.size()));
  EXPECT_EQ(testsupport::descriptor_count(getpid()), before);
}

// --- netlink socket: the kernel only ------------------------------------------------------

TEST_F(SocketTest, NetlinkRefusesUserSpaceSenders) {
  unique_fd receiver(netlink_socket(1)), sender(netlink_socket());
  ASSERT_GE(receiver.get(), 0);
  ASSERT_GE(sender.get(), 0);
  ASSERT_TRUE(send_netlink(sender.get(), port_id(receiver.get()), kEvent));  // unicast
  ASSERT_TRUE(send_netlink(sender.get(), 0, kEvent));                          // group 1
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(receive_netlink_message(receiver.get(), buf_, kUeventBufferSize), 0);
  }
  const auto refused = log_.matching("uevent message refused: sender port id");
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused.front().priority, LOG_ERR);
}

TEST_F(SocketTest, OverrunIsReportedAndTheRescanRun) {
  // Multicast group 2: kernel uevents, which reach every network namespace,
  // go to group 1 and must not join this queue while other tests trigger
  // them. Only a multicast overruns a queue: a unicast sender waits for room.
  constexpr uint32_t kGroup2 = 1u << 1;
  unique_fd receiver(netlink_socket(kGroup2)), sender(netlink_socket());
  ASSERT_GE(receiver.get(), 0);
  const int tiny = 1;  // the kernel's minimum
  ASSERT_EQ(setsockopt(receiver.get(), SOL_SOCKET, SO_RCVBUFFORCE, &tiny, sizeof tiny), 0);
  const std::string msg(1000, 'x');
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_groups = kGroup2;
  for (int i = 0; i < 64; ++i)
    ASSERT_EQ(sendto(sender.get(), msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              static_cast<ssize_t>(msg.size()));

  // The rescan walks a sysfs tree that is not there: it finds nothing.
  ASSERT_EQ(setenv("SYSFS_PATH", (testing::TempDir() + "/no-sysfs").c_str(), 1), 0);
  const auto rescans = [this] { return log_.matching("resync hwdevs with sysfs").size(); };
  exchange_event_socket(event_socket::netlink, std::move(receiver));
  stop_flag = 0;
  // The loss is reported first; the rescan runs once the datagrams queued
  // before it are taken (every pass finds one, so none blocks).
  for (int pass = 0; pass < 64 && rescans() == 0; ++pass) EXPECT_TRUE(hwtrack_event_pass());
  EXPECT_TRUE(queue_is_empty(netlink_fd()));

  EXPECT_EQ(rescans(), 1u);
  const auto lost = log_.matching("kernel events lost");
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost.front().priority, LOG_ERR);
  EXPECT_FALSE(log_.contains("error receiving uevent message"));
}

TEST_F(SocketTest, NetlinkBindFallsBackWhenThePortIdIsTaken) {
  // Another socket already holds the port id that equals our pid.
  unique_fd holder(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_pid = static_cast<uint32_t>(getpid());
  ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

  ASSERT_EQ(open_netlink_socket(), 0);
  EXPECT_NE(port_id(netlink_fd()), static_cast<uint32_t>(getpid()));
  const auto note = log_.matching("in use, letting the kernel choose");
  ASSERT_EQ(note.size(), 1u);
  EXPECT_EQ(note.front().priority, LOG_WARNING);
}

TEST_F(SocketTest, NetlinkBindsToThePidWhenFree) {
  ASSERT_EQ(open_netlink_socket(), 0);
  EXPECT_EQ(port_id(netlink_fd()), static_cast<uint32_t>(getpid()));
  EXPECT_TRUE(log_.lines().empty());
}

// --- how the sockets are made -----------------------------------------------------------------

TEST_F(SocketTest, BothSocketsAreCloseOnExecWithRoomForABurst) {
  ASSERT_EQ(open_monitor_socket(), 0);
  ASSERT_EQ(open_netlink_socket(), 0);
  for (int fd : {monitor_fd(), netlink_fd()}) {
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << fd;
    int size = 0;
    socklen_t len = sizeof size;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len), 0);
    EXPECT_GE(size, kEventSocketRcvbuf) << fd;  // root passes rmem_max
  }
}

TEST_F(SocketTest, MonitorSocketHasTheAbstractNameAndCredentials) {
  ASSERT_EQ(open_monitor_socket(), 0);
  sockaddr_un addr{};
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(monitor_fd(), reinterpret_cast<sockaddr *>(&addr), &len), 0);
  EXPECT_EQ(len, 27u);
  EXPECT_EQ(addr.sun_path[0], '\0');
  EXPECT_EQ(std::string(addr.sun_path + 1, 24), "/org/kernel/udev/monitor");
  int on = 0;
  len = sizeof on;
  ASSERT_EQ(getsockopt(monitor_fd(), SOL_SOCKET, SO_PASSCRED, &on, &len), 0);
  EXPECT_EQ(on, 1);
}

TEST_F(SocketTest, SecondMonitorSocketFailsToBind) {
  ASSERT_EQ(open_monitor_socket(), 0);
  const unique_fd first = exchange_event_socket(event_socket::monitor, unique_fd());
  testing::internal::CaptureStderr();
  EXPECT_EQ(open_monitor_socket(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "bind failed: " + std::string(strerror(EADDRINUSE)) + "\n");
  EXPECT_EQ(monitor_fd(), -1);
}

// --- one pass of the loop -------------------------------------------------------------------

TEST_F(SocketTest, OnePassTakesADatagramFromEachReadableSocket) {
  ASSERT_EQ(open_monitor_socket(), 0);
  ASSERT_EQ(open_netlink_socket(), 0);
  const unique_fd nl_sender(netlink_socket());
  ASSERT_TRUE(send_netlink(nl_sender.get(), port_id(netlink_fd()), kEvent));

  ASSERT_TRUE(testsupport::MonitorSender().send(kEvent));

  stop_flag = 0;
  EXPECT_TRUE(hwtrack_event_pass());

  const auto messages = log_.messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "select() triggered");
  // The netlink datagram (ours, refused, or a kernel event that came first)
  // was handled before the monitor's, in the same pass.
  size_t netlink_at = messages.size(), monitor_at = messages.size();
  for (size_t i = 0; i < messages.size(); ++i) {
    if (netlink_at == messages.size() && (messages[i].starts_with("uevent message refused") ||
                                          messages[i] == "recieved from netlink socket"))
      netlink_at = i;
    if (messages[i] == "recieved from monitor socket") monitor_at = i;
  }
  ASSERT_LT(netlink_at, monitor_at);
  ASSERT_LT(monitor_at, messages.size());
  EXPECT_EQ(messages[monitor_at + 1], "UDEV  [" + messages[monitor_at + 1].substr(7, messages[monitor_at + 1].find(']') - 7) +
                                          "] change   /devices/x (tty)\n");
  EXPECT_TRUE(queue_is_empty(monitor_fd()));
}

}  // namespace
