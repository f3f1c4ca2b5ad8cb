// SPDX-License-Identifier: MIT
#pragma once
// Common ground of the device manager's unit tests: a simulated board in a
// temporary sysfs tree, the RDB held in the process, captured log lines and a
// class script that records each command line together with what the RDB
// held for the class entry when it ran.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/codes.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_rdb.h"
#include "tools/board/sysfs_tree.h"

namespace devmgr_test {

// The subsystem codes, short for the rows of the tables.
inline constexpr subsystem_code TTY = SUBSYSTEM_TTY, NET = SUBSYSTEM_NET, BLOCK = SUBSYSTEM_BLOCK,
                                OTHER = SUBSYSTEM_UNKNOWN;

inline constexpr char kScript[] = "/etc/hwclass.sh";
inline constexpr char kScriptVar[] = "sys.hw.cfg.hwclass_script";

struct ScriptRun {
  std::string cmdline;
  // The entry's variables ("status", "dev", ...) at the moment it ran.
  std::map<std::string, std::string> entry;
};

// A message without its "<module:function:line> " prefix, and its level.
using Message = std::pair<int, std::string>;

// Public throughout, so that table rows can build their devices with it.
class DevmgrTest : public ::testing::Test {
 public:
  DevmgrTest();
  ~DevmgrTest() override;

  // Empties the sysfs caches as the event loop does before every event.
  static void next_event();
  // Add and remove as the event loop calls them, on a fresh sysfs pass.
  static int add(subsystem_code code, const board::Device &dev);
  static int add(subsystem_code code, const std::string &devpath);
  static int remove(const board::Device &dev);

  // The class script's runs so far.
  static const std::vector<ScriptRun> &script_runs();
  // Their command lines without the script name.
  static std::vector<std::string> script_args();
  static void clear_script_runs();
  // What the recorded script returns, as system() would (a wait status).
  static void set_script_status(int status);

  // Captured messages (prefix removed) of the given levels, or all of them.
  std::vector<Message> messages() const;
  std::vector<std::string> messages_at(int level) const;
  bool logged(int level, const std::string &text) const;
  // "module:function" of the prefix of each line whose text is message.
  std::vector<std::string> sources_of(const std::string &message) const;

  // The variables below prefix with the prefix cut away.
  std::map<std::string, std::string> vars(const std::string &prefix) const;

  // --- Board vocabulary -------------------------------------------------------
  board::Device soc();
  board::Device uart(const std::string &name = "2020000.serial");
  board::Device platform_eth(const std::string &name = "2188000.ethernet");
  board::Device usb_bus(int busnum = 1);
  // A hub on port 1 of bus 1 (devices on it are 1-1.<port>).
  board::Device hub();
  // A USB serial adapter on a port of the hub; returns its tty.
  board::Device usb_serial_adapter(int port, const board::UsbIds &ids, const std::string &tty);
  // A USB stick on a port of the root hub of bus 1; returns the disk.
  board::Device usb_stick(int port, const std::string &serial, const std::string &disk);
  board::Device sd_host();

  board::SysfsTree sys;
  testsupport::MemoryRdb rdb;
  testsupport::LogCapture log;
};

}  // namespace devmgr_test
