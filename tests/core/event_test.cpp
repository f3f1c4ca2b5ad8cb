// SPDX-License-Identifier: MIT
// One received message: the event line on standard output and in the log,
// and the dispatch to the device manager (the real one, on a board tree).

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/devmgr.h"
#include "core/script.h"
#include "core/uevent_private.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"
#include "tests/support/log_capture.h"
#include "tests/support/monitor.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace {

constexpr char kStamp[] = "1700000000.000042";

using testsupport::make_datagram;

std::string uevent(const std::string &action, const std::string &devpath, const std::string &subsystem) {
  return board::Uevent{action, devpath, subsystem, {}, 7}.datagram();
}

class EventTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("SYSFS_PATH", tree_.root().c_str(), 1);
    sysfs_init();
    hwdev_init();
    hwcls_init();
    hwtrack_set_script_runner([](const char *) { return 0; });
    stream_ = open_memstream(&text_, &size_);
    hwtrack_set_event_stream(stream_);
    hwtrack_forget_refusals();
    log_.clear();
  }
  void TearDown() override {
    hwtrack_set_event_stream(nullptr);
    fclose(stream_);
    free(text_);
    hwtrack_set_script_runner(nullptr);
    hwcls_fini();
    hwdev_fini();
    sysfs_cleanup();
    unsetenv("SYSFS_PATH");
  }

  void handle(const std::string &msg, const char *label = "UEVENT") {
    hwtrack_handle_message(label, kStamp, msg.data(), msg.size());
  }
  std::string printed() {
    fflush(stream_);
    return std::string(text_, size_);
  }
  // The priority of the one line containing needle; -1 when there is none.
  int priority_of(std::string_view needle) {
    const auto lines = log_.matching(needle);
    if (lines.size() != 1) return -1;
    return lines.front().priority;
  }
  bool logged(std::string_view needle) { return log_.contains(needle); }

  board::SysfsTree tree_;
  testsupport::LogCapture log_;
  FILE *stream_ = nullptr;
  char *text_ = nullptr;
  size_t size_ = 0;
};

TEST_F(EventTest, KernelAddPrintsItsLineAndCallsTheAddHandler) {
  handle(uevent("add", "/devices/x", "tty"));
  EXPECT_EQ(printed(), "UEVENT[1700000000.000042] add      /devices/x (tty)\n");
  EXPECT_EQ(priority_of("UEVENT[1700000000.000042] add      /devices/x (tty)\n"), LOG_INFO);
  EXPECT_EQ(priority_of("###hwtrack### start to add"), LOG_DEBUG);
  // No such device in the tree.
  EXPECT_EQ(priority_of("###hwtrack### no device added"), LOG_DEBUG);
}

TEST_F(EventTest, UdevLabelIsPaddedToSixColumns) {
  handle(uevent("remove", "/devices/y", "net"), "UDEV  ");
  EXPECT_EQ(printed(), "UDEV  [1700000000.000042] remove   /devices/y (net)\n");
}

TEST_F(EventTest, PlatformUartIsAddedAndRemoved) {
  const auto uart = tree_.platform_device("serial8250", "serial8250");
  const auto tty = tree_.tty(uart, "ttyS1");
  handle(uevent("add", tty.devpath, "tty"));
  EXPECT_EQ(priority_of("###hwtrack### device added (devpath=" + tty.devpath + ")"), LOG_INFO) << printed();
  EXPECT_NE(hwdev_find_by_devpath(tty.devpath.c_str()), nullptr);

  handle(uevent("remove", tty.devpath, "tty"));
  EXPECT_EQ(priority_of("###hwtrack### start to remove"), LOG_DEBUG);
  EXPECT_EQ(priority_of("###hwtrack### device removed (devpath=" + tty.devpath + ")"), LOG_INFO);
  EXPECT_EQ(hwdev_find_by_devpath(tty.devpath.c_str()), nullptr);
}

TEST_F(EventTest, RemoveOfAnUnknownDevice) {
  handle(uevent("remove", "/devices/gone", "tty"));
  EXPECT_EQ(priority_of("###hwtrack### start to remove"), LOG_DEBUG);
  EXPECT_EQ(priority_of("###hwtrack### no device removed"), LOG_DEBUG);
}

TEST_F(EventTest, ChangeOnlyLogs) {
  for (const char *action : {"change", "bind", "unbind", "online", "offline"}) {
    log_.clear();
    handle(uevent(action, "/devices/x", "block"));
    EXPECT_EQ(priority_of("###hwtrack### start to change"), LOG_DEBUG) << action;
    EXPECT_FALSE(logged("start to add"));
    EXPECT_FALSE(logged("start to remove"));
  }
}

TEST_F(EventTest, UnknownActionsAreLoggedAsErrors) {
  for (const char *action : {"move", "unknown", "ADD", "Bind"}) {
    log_.clear();
    handle(uevent(action, "/devices/x", "tty"));
    EXPECT_EQ(priority_of(std::string("###hwtrack### unknown action found (action=") + action + ")"), LOG_ERR)
        << action;
    EXPECT_FALSE(logged("start to"));
  }
}

TEST_F(EventTest, MissingValuesPrintEmpty) {
  handle(make_datagram({"header-only"}), "UDEV  ");
  EXPECT_EQ(printed(), "UDEV  [1700000000.000042]" + std::string(11, ' ') + "()\n");
  EXPECT_EQ(priority_of("###hwtrack### unknown action found (action=)"), LOG_ERR);
}

TEST_F(EventTest, AddOrRemoveWithoutDevpathIsRefused) {
  for (const char *action : {"add", "remove"}) {
    log_.clear();
    handle(make_datagram({std::string(action) + "@/x", std::string("ACTION=") + action, "SUBSYSTEM=tty"}));
    EXPECT_EQ(priority_of("no DEVPATH"), LOG_ERR) << action;
    EXPECT_FALSE(logged("start to")) << action;
  }
}

TEST_F(EventTest, DotDotDevpathIsRefusedBeforeDispatch) {
  // A real device that the path would reach if it were followed.
  const auto tty = tree_.tty(tree_.platform_device("serial8250", "serial8250"), "ttyS1");
  for (const std::string devpath : {"/devices/virtual/../platform/serial8250/tty/ttyS1",
                                    "/devices/./platform/serial8250/tty/ttyS1", "/../../etc/passwd"}) {
    log_.clear();
    handle(uevent("add", devpath, "tty"));
    EXPECT_EQ(priority_of("event refused (devpath=" + devpath + ")"), LOG_ERR) << devpath;
    EXPECT_FALSE(logged("start to add")) << devpath;
  }
  EXPECT_EQ(hwdev_find_by_devpath(tty.devpath.c_str()), nullptr);
}

TEST_F(EventTest, OverlongDevpathIsRefused) {
  handle(uevent("add", "/devices/" + std::string(600, 'd'), "tty"));
  EXPECT_EQ(priority_of("devpath longer than 511 characters"), LOG_ERR);
  EXPECT_FALSE(logged("start to add"));
}

TEST_F(EventTest, ControlCharactersInSentTextCannotForgeALogLine) {
  handle(uevent("change", "/devices/a\n<hwtrack:main:1> device added\033[2K\\x", "tty"));
  EXPECT_TRUE(logged("] change   /devices/a\\x0a<hwtrack:main:1> device added\\x1b[2K\\x5cx (tty)\n"));
}

TEST_F(EventTest, HeaderIsNeverSearchedForKeys) {
  handle(make_datagram({"DEVPATH=/in-header", "ACTION=change"}));
  EXPECT_EQ(printed().find("/in-header"), std::string::npos) << printed();
  EXPECT_TRUE(logged("start to change"));
}

TEST_F(EventTest, KeysWithoutHeaderAreTakenAsTheHeader) {
  handle(make_datagram({"ACTION=add", "DEVPATH=/devices/x"}));
  // "ACTION=add" is the header: the action is missing.
  EXPECT_TRUE(logged("unknown action found (action=)"));
  EXPECT_FALSE(logged("start to add"));
}

TEST_F(EventTest, MessageWithoutNulHasNoKeys) {
  handle(std::string(kUeventBufferSize, 'A'));
  EXPECT_TRUE(logged("unknown action found (action=)"));
}

TEST_F(EventTest, FullBufferIsReadToItsLastByteAndNoFurther) {
  // Exactly 4096 bytes, the last string unterminated; bytes after them (a
  // stale, longer message) would turn "change" into "changed".
  std::string msg = make_datagram({"change@/devices/x", "DEVPATH=/devices/x"});
  const std::string last = "ACTION=change";
  msg += "FILLER=" + std::string(kUeventBufferSize - msg.size() - last.size() - 8, 'f') + '\0';
  msg += last;
  ASSERT_EQ(msg.size(), kUeventBufferSize);
  const std::string buffer = msg + std::string("d\0SUBSYSTEM=tty\0", 16);

  hwtrack_handle_message("UEVENT", kStamp, buffer.data(), kUeventBufferSize);
  EXPECT_TRUE(logged("start to change"));
  EXPECT_EQ(printed(), "UEVENT[1700000000.000042] change   /devices/x ()\n");

  // More than the buffer holds is cut to the buffer, the same way.
  log_.clear();
  hwtrack_handle_message("UEVENT", kStamp, buffer.data(), buffer.size());
  EXPECT_TRUE(logged("start to change"));
}

TEST_F(EventTest, EmptyMessage) {
  hwtrack_handle_message("UDEV  ", kStamp, nullptr, 0);
  EXPECT_EQ(printed(), "UDEV  [1700000000.000042]" + std::string(11, ' ') + "()\n");
}

TEST_F(EventTest, RandomMessagesNeverAddAnything) {
  std::mt19937 rng(20240601);
  const std::vector<std::string> pieces = {"ACTION=",    "add",    "remove", "DEVPATH=", "/devices/",
                                           "SUBSYSTEM=", "tty",    "..",     "/",        "=",
                                           std::string(1, '\0'), "@", "block", std::string(300, 'x')};
  for (int i = 0; i < 2000; ++i) {
    std::string msg;
    const size_t target = rng() % (kUeventBufferSize + 1);
    while (msg.size() < target) {
      if (rng() % 3 == 0)
        msg.push_back(static_cast<char>(rng()));
      else
        msg += pieces[rng() % pieces.size()];
    }
    msg.resize(target);
    hwtrack_handle_message("UEVENT", kStamp, msg.data(), msg.size());
  }
  // Nothing in the tree: nothing can have been added.
  EXPECT_FALSE(logged("device added"));
}

}  // namespace
