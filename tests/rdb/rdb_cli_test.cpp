// The rdb command-line client against a running rdbd.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/rdb/rdbd_process.h"

namespace {

using rdbtest::ProgramResult;

class RdbCliTest : public ::testing::Test {
 protected:
  RdbCliTest() : server_(dir_.file("rdb.sock"), dir_.file("store"), dir_.file("rdbd.log")) {}
  void SetUp() override { ASSERT_TRUE(server_.start()) << server_.log(); }

  ProgramResult rdb(std::vector<std::string> args) {
    args.insert(args.begin(), RDB_BIN);
    return rdbtest::run_program(args, {"RDB_DEVICE=" + dir_.file("rdb.sock")});
  }

  rdbtest::TempDir dir_;
  rdbtest::RdbdProcess server_;
};

TEST_F(RdbCliTest, SetGetDelete) {
  EXPECT_EQ(rdb({"set", "a.b", "-5 with spaces"}).status, 0);
  ProgramResult r = rdb({"get", "a.b"});
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
  const ProgramResult empty = rdb({"list", "nothing."});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");
}

TEST_F(RdbCliTest, BadArgumentsGiveUsageAndExit2) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"get"}, {"get", "a", "b"}, {"set", "a"}, {"set", "-p", "a"}, {"set", "-x", "a", "b"},
      {"del"}, {"list", "a", "b"}, {"frob"}, {"get", ""},
  };
  for (const auto &args : cases) {
    const ProgramResult r = rdb(args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    EXPECT_TRUE(r.err.starts_with("usage: rdb ")) << r.err;
  }
}

TEST_F(RdbCliTest, ServerDownIsAFailureWithAMessage) {
  server_.stop();
  const ProgramResult r = rdb({"get", "a"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("rdb: "), std::string::npos);
}

}  // namespace
