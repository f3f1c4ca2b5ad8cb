// SPDX-License-Identifier: MIT
// The board simulator's command line: the state it keeps between runs, the
// datagrams it sends to the udev monitor socket, its syslog reader.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "tests/integration/harness.h"
#include "tests/support/monitor.h"
#include "tests/support/namespaces.h"
#include "tests/support/process.h"
#include "tools/board/sysfs_tree.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

itest::RunResult boardsim(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {HWTRACK_TEST_BOARDSIM};
  argv.insert(argv.end(), args.begin(), args.end());
  return itest::run_program(argv);
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string read_all(const fs::path &path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class BoardsimTest : public ::testing::Test {
 protected:
  board::TempDir dir{"boardsim-test"};
  std::string root = (dir.path() / "sys").string();
};

TEST_F(BoardsimTest, HelpNamesTheBoardsAndDevicesAndMisuseExitsTwo) {
  const auto help = boardsim({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("usage: boardsim COMMAND"));
  for (const char *name : {"gateway", "mini", "modem", "stick", "twin-a", "sdcard-raw"})
    EXPECT_NE(help.out.find("\n  "s + name + " "), std::string::npos) << name;

  for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
           {}, {"fly"}, {"layout"}, {"layout", root, "--board"}, {"plug", root}, {"plug", root, "x", "--force"},
           {"send", "add", "/devices/x"}, {"send", "add", "/devices/x", "tty", "NOVALUE"}, {"show", "all"}}) {
    const auto r = boardsim(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("usage: boardsim"), std::string::npos) << testing::PrintToString(args);
  }
}

TEST_F(BoardsimTest, StateIsKeptBesideTheTreeBetweenRuns) {
  ASSERT_EQ(boardsim({"layout", root, "--board", "mini"}).status, 0);
  EXPECT_TRUE(fs::exists(root + ".board"));
  EXPECT_TRUE(fs::is_symlink(root + "/class/tty/ttyS0"));

  const auto plugged = boardsim({"plug", root, "stick", "--no-send"});
  ASSERT_EQ(plugged.status, 0) << plugged.err;
  EXPECT_EQ(plugged.err, "");
  const auto events = lines_of(plugged.out);
  ASSERT_EQ(events.size(), 12u);
  EXPECT_EQ(events.front(), "add      /devices/platform/1b000000.usb/usb1/1-1 (usb)");
  EXPECT_EQ(events[8], "add      /devices/platform/1b000000.usb/usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0/block/sda/sda2 (block)");
  EXPECT_EQ(events.back(), "bind     /devices/platform/1b000000.usb/usb1/1-1 (usb)");

  const auto list = boardsim({"list", root});
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("  usb1   usb  stick        root hub usb1 port 1 (bus 1)\n"), std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("  stick      usb1   "), std::string::npos) << list.out;

  // A later run finds the stick where the first one put it.
  const auto taken = boardsim({"plug", root, "modem", "--port", "usb1", "--no-send"});
  EXPECT_EQ(taken.status, 1);
  EXPECT_EQ(taken.err, "boardsim: port usb1 is taken by stick\n");
  const auto unplugged = boardsim({"unplug", root, "stick", "--no-send"});
  ASSERT_EQ(unplugged.status, 0);
  EXPECT_EQ(lines_of(unplugged.out).back(), "remove   /devices/platform/1b000000.usb/usb1/1-1 (usb)");
  EXPECT_FALSE(fs::exists(root + "/class/block/sda"));
  EXPECT_EQ(boardsim({"unplug", root, "stick", "--no-send"}).status, 1);

  const auto again = boardsim({"layout", root});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("is not empty"), std::string::npos);
  const auto unknown = boardsim({"list", (dir.path() / "elsewhere").string()});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("no board laid out"), std::string::npos) << unknown.err;
}

// --- the monitor socket ------------------------------------------------------------

// The udev monitor socket of this test's own network namespace, bound as the
// daemon binds it and read as the daemon reads it, while boardsim sends: the
// kernel queues only a few datagrams on a Unix socket before the sender
// waits.
class MonitorSocket {
 public:
  MonitorSocket() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    socklen_t len;
    const sockaddr_un addr = testsupport::monitor_socket_address(&len);
    bound_ = bind(fd_.get(), reinterpret_cast<const sockaddr *>(&addr), len) == 0;
    timeval tick{0, 50000};
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    if (bound_) reader_ = std::thread([this] { read_until_stopped(); });
  }
  ~MonitorSocket() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
  }
  bool bound() const { return bound_; }
  // Waits for n datagrams in all and hands out those not taken before.
  std::vector<std::string> take(size_t n) {
    std::unique_lock lock(mutex_);
    cv_.wait_until(lock, itest::within(), [&] { return received_.size() >= n; });
    return std::exchange(received_, {});
  }

 private:
  void read_until_stopped() {
    char buf[8192];
    while (!stop_) {
      const ssize_t n = recv(fd_.get(), buf, sizeof buf, 0);
      if (n < 0) continue;  // the tick
      std::lock_guard lock(mutex_);
      received_.emplace_back(buf, static_cast<size_t>(n));
      cv_.notify_all();
    }
  }

  hw::unique_fd fd_;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> received_;
  std::thread reader_;
};

// Abstract sockets belong to the network namespace: a private one keeps the
// test away from any daemon on the machine.
bool enter_private_network() { return geteuid() == 0 && testsupport::enter_namespaces(CLONE_NEWNET).empty(); }

TEST_F(BoardsimTest, PlugSendsOneDatagramPerEventInOrder) {
  if (!enter_private_network()) GTEST_SKIP() << "needs root for a private network namespace";
  ASSERT_EQ(boardsim({"layout", root}).status, 0);

  // Nobody listening: the tree changes all the same, with a warning.
  const auto unheard = boardsim({"plug", root, "ftdi"});
  EXPECT_EQ(unheard.status, 0);
  EXPECT_NE(unheard.err.find("no daemon listens on the udev monitor socket"), std::string::npos) << unheard.err;
  EXPECT_TRUE(fs::exists(root + "/class/tty/ttyUSB0"));

  MonitorSocket monitor;
  ASSERT_TRUE(monitor.bound());
  const auto plugged = boardsim({"plug", root, "modem"});
  ASSERT_EQ(plugged.status, 0) << plugged.err;
  const auto printed = lines_of(plugged.out);
  const auto received = monitor.take(printed.size());
  ASSERT_EQ(received.size(), printed.size());
  for (size_t i = 0; i < received.size(); ++i) {
    // "add      DEVPATH (SUBSYSTEM)" against "add@DEVPATH\0ACTION=add\0DEVPATH=..\0SUBSYSTEM=..\0...SEQNUM=n\0"
    std::istringstream words(printed[i]);
    std::string action, devpath, subsystem;
    words >> action >> devpath >> subsystem;
    const std::string head = itest::make_datagram({action + "@" + devpath, "ACTION=" + action, "DEVPATH=" + devpath,
                                                   "SUBSYSTEM=" + subsystem.substr(1, subsystem.size() - 2)});
    EXPECT_TRUE(received[i].starts_with(head)) << i;
    // The ftdi sent 7 events before.
    EXPECT_TRUE(received[i].ends_with("\0SEQNUM="s + std::to_string(8 + i) + "\0"s)) << i;
  }
  EXPECT_NE(received[0].find("\0DEVTYPE=usb_device\0"s), std::string::npos);

  ASSERT_EQ(boardsim({"send", "change", "/devices/x", "tty", "DEVNAME=ttyX", "SEQNUM=42"}).status, 0);
  EXPECT_EQ(monitor.take(1),
            std::vector<std::string>{"change@/devices/x\0ACTION=change\0DEVPATH=/devices/x\0SUBSYSTEM=tty\0"
                                     "DEVNAME=ttyX\0SEQNUM=42\0"s});
}

// --- syslog ---------------------------------------------------------------------------

TEST_F(BoardsimTest, SyslogPrintsEachMessageWithItsLevelUntilTerminated) {
  const std::string log_socket = (dir.path() / "log").string();
  const std::string output = (dir.path() / "out").string();
  const hw::unique_fd out(open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  const pid_t pid = testsupport::spawn({HWTRACK_TEST_BOARDSIM, "syslog", log_socket}, {.out = out.get()});
  ASSERT_GT(pid, 0);

  const auto deadline = itest::within();
  struct stat st{};
  while (!(stat(log_socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) && itest::Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(S_ISSOCK(st.st_mode)) << "the reader did not bind " << log_socket;

  const hw::unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, log_socket.c_str(), log_socket.size() + 1);
  for (const std::string &msg : {"<30>Dec  7 21:00:00 hwtrackd[12]: <hwtrack:main:89> initiate sysfs module"s,
                                "<27>Dec  7 21:00:01 hwtrackd[12]: event line\n"s, "no priority at all"s})
    ASSERT_GE(sendto(fd.get(), msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

  // Every datagram was queued before the signal; the reader takes them all
  // only if it is given the time, so wait for the last line first.
  while (read_all(output).find("no priority") == std::string::npos && itest::Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(testsupport::stop_process(pid, SIGTERM, itest::within()), 0);
  EXPECT_EQ(read_all(output),
            "info    hwtrackd[12]: <hwtrack:main:89> initiate sysfs module\n"
            "err     hwtrackd[12]: event line\n"
            "-       no priority at all\n");
  EXPECT_FALSE(fs::exists(log_socket));
}

}  // namespace
