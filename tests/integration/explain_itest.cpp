// SPDX-License-Identifier: MIT
// hwtrack-explain against the running daemon on a simulated board: the
// entry it names for a device plugged behind the daemon's back is the one
// the daemon gives it once it hears of it, by each matching rule, and the
// RDB is the same before and after it ran.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/integration/harness.h"
#include "tools/board/boards.h"
#include "tools/board/sysfs_tree.h"

namespace {

// The text of a JSON string member ("" when absent); values hold no quotes.
std::string member(const std::string &json, const std::string &name) {
  const std::string key = "\"" + name + "\":\"";
  const size_t at = json.find(key);
  return at == std::string::npos ? "" : json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
}

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
    const std::string tty = events.back().devpath;
    ASSERT_EQ(events.back().subsystem, "tty");
    const std::vector<std::string> said = explain({tty});
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(member(said[0], "rule"), row.rule) << said[0];
    const std::string entry = member(said[0], "entry");
    ASSERT_NO_FATAL_FAILURE(send_and_settle(events));
    EXPECT_EQ(h().rdb_get(entry + ".status"), "inserted") << said[0];
    EXPECT_EQ(h().rdb_get("sys.hw." + h().rdb_get(entry + ".dev").value_or("-") + ".devpath"), tty) << said[0];
  }

  // Now the daemon holds each tracked device as hwtrack-explain says; the
  // virtual ttys are refused, with the identification's reason.
  // The Ethernet chip on bus 2 is refused by the board's setting, named.
  size_t held = 0, refused = 0, internal = 0;
  for (const std::string &line : explain({"--all"})) {
    const std::string verdict = member(line, "verdict"), dev = member(line, "dev");
    held += verdict == "held" && h().rdb_get("sys.hw." + dev + ".devpath") == member(line, "devpath");
    refused += verdict == "refused" && line.find("###hwtrack### device not found") != std::string::npos;
    internal += line.find(R"("refused_by":"sys.hw.cfg.internal_usb_bus=\"2\"")") != std::string::npos;
  }
  EXPECT_EQ(held, 10u);  // 8 on the board, twin-b and ftdi
  EXPECT_GE(refused, 1u);
  EXPECT_EQ(internal, 1u);
  EXPECT_EQ(h().stop_daemon(), 0);
}

}  // namespace
