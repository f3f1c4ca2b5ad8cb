// SPDX-License-Identifier: MIT
// Every fixture board of real hardware under the real daemon and rdbd: the
// start-up on an empty RDB gives the class table the board expects, and
// hwtrack-explain --all then finds each device held by its entry or refused,
// none that an add would still place. HWTRACK_BOARD_REPORT works as in the
// device manager's invariant test.

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "tests/integration/harness.h"
#include "tools/board/fixture_board.h"
#include "tools/board/sysfs_tree.h"

namespace {

namespace fs = std::filesystem;

class FixtureBoardsTest : public itest::DaemonTest {
 protected:
  // The class entries the RDB holds for present devices.
  std::vector<board::ActualEntry> table(const board::SysfsTree &tree) {
    std::vector<board::ActualEntry> out;
    for (const std::string &name : h().rdb_names("sys.hw.class.")) {
      if (!name.ends_with(".status") || h().rdb_get(name) != "inserted") continue;
      const std::string entry = name.substr(0, name.size() - 6);
      const std::string devpath = h().rdb_get("sys.hw." + h().rdb_get(entry + "dev").value_or("-") + ".devpath").value_or("");
      out.push_back({entry.substr(13, entry.size() - 14), h().rdb_get(entry + "name").value_or(""),
                     h().rdb_get(entry + "id").value_or(""), h().rdb_get(entry + "location").value_or(""),
                     board::in_platform_scan(tree, devpath) ? 0 : 1});
    }
    return out;
  }

  std::vector<std::string> explain_all(const fs::path &root) {
    const auto r = itest::run_program({HWTRACK_TEST_EXPLAIN, "--json", "--all"},
                                      {{"RDB_DEVICE", h().rdb_socket()}, {"SYSFS_PATH", root.string()}});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
      lines.push_back(r.out.substr(at, nl - at));
    return lines;
  }
};

TEST_F(FixtureBoardsTest, DaemonStartUpAndExplainAgreeWithEveryBoard) {
  for (const fs::path &file : board::fixture_board_files(HWTRACK_BOARDS_DIR)) {
    const board::FixtureBoard b = board::read_fixture_board(file);
    SCOPED_TRACE(b.name);
    const fs::path root = h().path("boards/" + b.name + "/sys");
    board::SysfsTree tree(root);
    board::lay_out_fixture(b, tree);
    fs::remove(h().rdb_store());
    ASSERT_TRUE(h().start_rdbd());
    for (const auto &[name, value] : b.settings) ASSERT_TRUE(h().rdb_set(name, value, true));
    itest::DaemonOptions options;
    options.env = {{"SYSFS_PATH", root.string()}};
    ASSERT_TRUE(h().start_daemon(options));

    const std::vector<board::ActualEntry> actual = table(tree);
    const std::vector<std::string> untracked = board::untracked_devices(tree, actual);
    std::vector<std::string> failures = board::compare_fixture(b, actual, untracked);

    // After the start-up nothing is left for an add to place: every device
    // is held by the entry the RDB names for it, or refused.
    for (const std::string &line : explain_all(root)) {
      const std::string verdict = itest::json_member(line, "verdict"), dev = itest::json_member(line, "dev");
      const std::string name = board::class_device_name(itest::json_member(line, "devpath"), itest::json_member(line, "subsystem"));
      if (verdict == "refused" || (verdict == "held" && h().rdb_get("sys.hw." + dev + ".devpath") == itest::json_member(line, "devpath")))
        continue;
      failures.push_back(name + ": hwtrack-explain says " + verdict);
    }
    for (const std::string &failure : failures) ADD_FAILURE() << failure;
    if (getenv("HWTRACK_BOARD_REPORT") || !failures.empty()) std::cout << board::fixture_report(b, actual, untracked);
    EXPECT_EQ(h().stop_daemon(), 0);
    EXPECT_EQ(h().stop_rdbd(), 0);
  }
}

}  // namespace
