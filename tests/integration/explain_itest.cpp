// SPDX-License-Identifier: MIT
// hwtrack-explain against the running daemon on a simulated board: the
// entry it names for a device plugged behind the daemon's back is the one
// the daemon gives it once it hears of it, by each matching rule, also after
// mode switches, an idle rdbd restart and with every device record in use,
// and the RDB is the same before and after it ran.

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/integration/harness.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace {

class ExplainTest : public itest::DaemonTest {
 protected:
  std::map<std::string, std::optional<std::string>> rdb_dump() {
    std::map<std::string, std::optional<std::string>> out;
    for (const auto &name : h().rdb_names("sys.")) out[name] = h().rdb_get(name);
    return out;
  }

  // hwtrack-explain's JSON lines, checked to leave the RDB as it was.
  std::vector<std::string> explain(const std::vector<std::string> &args) {
    const auto before = rdb_dump();
    std::vector<std::string> argv = {HWTRACK_TEST_EXPLAIN, "--json"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = itest::run_program(argv, {{"RDB_DEVICE", h().rdb_socket()}, {"SYSFS_PATH", h().sysfs_root()}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(rdb_dump(), before);
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
      lines.push_back(r.out.substr(at, nl - at));
    return lines;
  }

  // What it said of a device holds now that it says the daemon holds it:
  // the entry it named, or (none named) one of the index it gave or above.
  static void expect_said_holds(const std::string &said, const std::string &now) {
    const std::string held = itest::json_member(now, "entry"), index = "\"index\":";
    if (!itest::json_member(said, "entry").empty())
      EXPECT_EQ(held, itest::json_member(said, "entry")) << said;
    else
      EXPECT_GE(std::stoi(held.substr(held.rfind('.') + 1)), std::stoi(said.substr(said.find(index) + index.size())));
  }

  // The tty a plug brings: its last tty event (bind events of its parents follow).
  static std::string last_tty(const std::vector<board::Uevent> &events) {
    const auto e = std::find_if(events.rbegin(), events.rend(), [](const auto &u) { return u.subsystem == "tty"; });
    return e == events.rend() ? "" : e->devpath;
  }

  void send_and_settle(const std::vector<board::Uevent> &events) {
    for (const auto &e : events) ASSERT_TRUE(h().send_monitor(e.datagram()));
    const std::string marker = "/devices/virtual/settle" + std::to_string(++settles_);
    ASSERT_TRUE(h().send_monitor(itest::make_uevent("change", marker, "itest")));
    ASSERT_TRUE(h().wait_for_stdout(marker));
  }

  int settles_ = 0;
};

TEST_F(ExplainTest, ItsVerdictIsWhatTheDaemonThenDoes) {
  board::SysfsTree tree(h().sysfs_root());
  board::Board b = board::Board::lay_out(tree, "gateway");
  ASSERT_TRUE(h().start_rdbd());
  ASSERT_TRUE(h().rdb_set("sys.hw.cfg.debug", "7", true));
  ASSERT_TRUE(h().start_daemon());
  struct Row {
    const char *unplug, *device, *port, *rule;
  };
  const Row rows[] = {
      {nullptr, "twin-a", "usb1", "new entry"},  // twin-a and twin-b share an identity
      {nullptr, "twin-b", "usb2", "new entry"},  // its identity held elsewhere, nothing at its place
      {"twin-a", "ftdi", "usb1", "new entry"},
      {"twin-b", "twin-a", "usb2", "location"},     // a shared identity: the entry at its place
      {"ftdi", "ftdi", "usb5", "unique identity"},  // moved to another bus
      {"twin-a", "twin-b", "usb1", "identity and location"},
  };
  for (const Row &row : rows) {
    if (row.unplug) {
      ASSERT_NO_FATAL_FAILURE(send_and_settle(b.unplug(row.unplug)));
    }
    const std::vector<board::Uevent> events = b.plug(row.device, row.port);
    const std::string tty = last_tty(events);
    ASSERT_FALSE(tty.empty());
    const std::vector<std::string> said = explain({tty});
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(itest::json_member(said[0], "rule"), row.rule) << said[0];
    ASSERT_NO_FATAL_FAILURE(send_and_settle(events));
    expect_said_holds(said[0], explain({tty})[0]);
  }

  // Now the daemon holds each tracked device as hwtrack-explain says, by a
  // rule; the virtual ttys are refused, with the identification's reason.
  // The Ethernet chip on bus 2 is refused by the board's setting, named.
  size_t held = 0, refused = 0, internal = 0;
  for (const std::string &line : explain({"--all"})) {
    const std::string verdict = itest::json_member(line, "verdict"), dev = itest::json_member(line, "dev");
    held += verdict == "held" && h().rdb_get("sys.hw." + dev + ".devpath") == itest::json_member(line, "devpath") &&
            !itest::json_member(line, "rule").empty();
    refused += verdict == "refused" && line.find("###hwtrack### device not found") != std::string::npos;
    internal += line.find(R"("refused_by":"sys.hw.cfg.internal_usb_bus=\"2\"")") != std::string::npos;
  }
  EXPECT_EQ(held, 10u);  // 8 on the board, twin-b and ftdi
  EXPECT_GE(refused, 1u);
  EXPECT_EQ(internal, 1u);

  // Mode switches leave an index the daemon does not give again.
  ASSERT_NO_FATAL_FAILURE(send_and_settle(b.plug("modem", "usb4", "net")));
  for (const char *mode : {"serial", "net"}) ASSERT_NO_FATAL_FAILURE(send_and_settle(b.switch_mode("modem", mode)));
  const std::vector<board::Uevent> twin = b.plug("twin-a", "usb3");
  const std::string tty = last_tty(twin), said = explain({tty})[0];
  ASSERT_NO_FATAL_FAILURE(send_and_settle(twin));
  expect_said_holds(said, explain({tty})[0]);

  // An idle rdbd restart, not yet noticed: the RDB cannot tell what is held.
  ASSERT_TRUE(h().pause_daemon());
  ASSERT_EQ(h().stop_rdbd(), 0);
  ASSERT_TRUE(h().start_rdbd());
  EXPECT_EQ(itest::json_member(explain({tty})[0], "verdict"), "unknown");
  ASSERT_TRUE(h().resume_daemon());

  // More UARTs than records are left, found by the rescan of a reload: the
  // devices the daemon cannot hold wait.
  std::vector<std::string> uarts;
  for (int n = 10; n < 110; ++n)
    uarts.push_back(tree.tty(tree.platform_device("u" + std::to_string(n)), "ttyS" + std::to_string(n)).devpath);
  const size_t mark = h().log_count();
  kill(h().daemon_pid(), SIGHUP);
  ASSERT_TRUE(h().wait_for_log("resync done", itest::within(), mark));
  ASSERT_NO_FATAL_FAILURE(send_and_settle({}));  // and the RDB upkeep that follows it
  std::map<std::string, size_t> verdicts;
  for (const std::string &line : explain(uarts)) ++verdicts[itest::json_member(line, "verdict")];
  EXPECT_GT(verdicts["waits"], 0u);
  EXPECT_EQ(verdicts["held"] + verdicts["waits"], uarts.size());
  EXPECT_EQ(h().stop_daemon(), 0);
}

}  // namespace
