// SPDX-License-Identifier: MIT
// The rdb command-line client against a running rdbd.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/rdbd_process.h"
#include "tools/board/sysfs_tree.h"

namespace {

using testsupport::RunResult;

class RdbCliTest : public ::testing::Test {
 protected:
  RdbCliTest() : server_(RDBD_BIN, dir_.file("rdb.sock"), dir_.file("store"), dir_.file("rdbd.log")) {}
  void SetUp() override { ASSERT_TRUE(server_.start()) << server_.log(); }

  RunResult rdb(std::vector<std::string> args) {
    args.insert(args.begin(), RDB_BIN);
    return testsupport::run_program(args, {{"RDB_DEVICE", dir_.file("rdb.sock")}});
  }

  board::TempDir dir_{"rdb-cli-test"};
  testsupport::RdbdProcess server_;
};

TEST_F(RdbCliTest, SetGetDelete) {
  EXPECT_EQ(rdb({"set", "a.b", "-5 with spaces"}).status, 0);
  RunResult r = rdb({"get", "a.b"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "-5 with spaces\n");
  EXPECT_EQ(rdb({"del", "a.b"}).status, 0);

  r = rdb({"get", "a.b"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  r = rdb({"del", "a.b"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("a.b"), std::string::npos);
}

TEST_F(RdbCliTest, PersistOnlyWhenAskedAndLongValuesWhole) {
  EXPECT_EQ(rdb({"set", "-p", "kept", "1"}).status, 0);
  EXPECT_EQ(rdb({"set", "lost", "1"}).status, 0);
  const std::string long_value(5000, 'L');
  EXPECT_EQ(rdb({"set", "-p", "long", long_value}).status, 0);
  ASSERT_EQ(server_.stop(), 0);
  ASSERT_TRUE(server_.start());
  EXPECT_EQ(rdb({"get", "kept"}).out, "1\n");
  EXPECT_EQ(rdb({"get", "lost"}).status, 1);
  EXPECT_EQ(rdb({"get", "long"}).out, long_value + "\n");
}

TEST_F(RdbCliTest, ListAndDumpAreSortedAndFilteredByPrefix) {
  for (const char *name : {"s.c", "s.a", "t.z", "s.b"}) ASSERT_EQ(rdb({"set", name, std::string("v") + name}).status, 0);
  EXPECT_EQ(rdb({"list", "s."}).out, "s.a\ns.b\ns.c\n");
  EXPECT_EQ(rdb({"list"}).out, "s.a\ns.b\ns.c\nt.z\n");
  EXPECT_EQ(rdb({"dump", "s."}).out, "s.a=vs.a\ns.b=vs.b\ns.c=vs.c\n");
  const RunResult empty = rdb({"list", "nothing."});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");
}

TEST_F(RdbCliTest, DumpEscapesEveryLineAndLoadRestoresItByteForByte) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"set", "-p", "d.serial", "SER\nd.forged=1"}, {"set", "-p", "d.bs", "a\\nb=c"},
        {"set", "d.ctl", "\x01\x1b[2J\t\r\x7f \xc3\xa9"}, {"set", "d.odd name=x", "v"}})
    ASSERT_EQ(rdb(args).status, 0);
  const std::string dump = "p d.bs=a\\\\nb=c\n- d.ctl=\\x01\\x1b[2J\\t\\r\\x7f \xc3\xa9\n- d.odd\\x20name\\x3dx=v\n"
                           "p d.serial=SER\\nd.forged=1\n";
  ASSERT_EQ(rdb({"dump", "-p", "d."}).out, dump);

  // Into an empty RDB; then the persistent part survives a restart.
  std::ofstream(dir_.file("dump")) << dump;
  std::ofstream(dir_.file("bad")) << "d.new=1\nd.x=\\q\n";
  ASSERT_EQ(server_.stop(), 0);
  std::filesystem::remove(dir_.file("store"));
  ASSERT_TRUE(server_.start());
  const RunResult bad = rdb({"load", dir_.file("bad")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find(":2: not a line of rdb dump"), std::string::npos) << bad.err;
  EXPECT_EQ(rdb({"load", dir_.file("dump")}).status, 0);
  EXPECT_EQ(rdb({"dump", "-p"}).out, dump);  // nothing of the bad file
  ASSERT_EQ(server_.stop(), 0);
  ASSERT_TRUE(server_.start());
  EXPECT_EQ(rdb({"dump", "-p"}).out, "p d.bs=a\\\\nb=c\np d.serial=SER\\nd.forged=1\n");
}

TEST_F(RdbCliTest, BadArgumentsGiveUsageAndExit2) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"get"}, {"get", "a", "b"}, {"set", "a"}, {"set", "-p", "a"}, {"set", "-x", "a", "b"},
      {"del"}, {"list", "a", "b"}, {"frob"}, {"get", ""}, {"dump", "-x"}, {"dump", "-p", "a", "b"},
      {"load", "a", "b"}, {"load", "-p"},
  };
  for (const auto &args : cases) {
    const RunResult r = rdb(args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    EXPECT_TRUE(r.err.starts_with("usage: rdb ")) << r.err;
  }
}

TEST_F(RdbCliTest, ServerDownIsAFailureWithAMessage) {
  server_.stop();
  const RunResult r = rdb({"get", "a"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("rdb: "), std::string::npos);
}

}  // namespace
