// SPDX-License-Identifier: MIT
// The helper layer: what it asks of the driver, what it logs, its buffers,
// the enumeration, and its behaviour without a handle.

#include "rdb/rdb.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "core/startup.h"
#include "rdb/rdbdrv.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_rdb.h"

namespace {

using testsupport::LogCapture;
using testsupport::MemoryRdb;

std::vector<std::string> g_called;
int g_stop_after = -1;

int record_name(const char *name, int ref) {
  g_called.push_back(std::string(name) + "/" + std::to_string(ref));
  return static_cast<int>(g_called.size()) == g_stop_after ? -1 : 0;
}

class RdbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_called.clear();
    g_stop_after = -1;
  }
  MemoryRdb rdb_;
  LogCapture log_;
};

TEST_F(RdbTest, SetCreatesOnceAndAnUpdateKeepsPersistence) {
  ASSERT_EQ(rdb_set_value("sys.hw.class.serial.0.id", "abc", 1), 0);
  EXPECT_EQ(rdb_.get("sys.hw.class.serial.0.id"), "abc");
  EXPECT_TRUE(rdb_.persistent("sys.hw.class.serial.0.id"));
  ASSERT_EQ(rdb_.ops().size(), 2u);  // the update fails with ENOENT, then the create
  EXPECT_EQ(rdb_.ops()[0].flags, -1);
  EXPECT_EQ(rdb_.ops()[1].flags, RDBDRV_CREATE | RDBDRV_PERSIST);

  rdb_.clear_ops();
  ASSERT_EQ(rdb_set_value("sys.hw.class.serial.0.id", "def", 0), 0);
  EXPECT_EQ(rdb_.get("sys.hw.class.serial.0.id"), "def");
  EXPECT_TRUE(rdb_.persistent("sys.hw.class.serial.0.id"));
  EXPECT_EQ(rdb_.ops().size(), 1u);
}

TEST_F(RdbTest, SetLogsOneDebugLineOnSuccessAndAnErrorLineOnFailure) {
  ASSERT_EQ(rdb_set_value("a", "1", 0), 0);
  ASSERT_EQ(log_.lines().size(), 1u);
  EXPECT_EQ(log_.lines()[0].priority, LOG_DEBUG);
  EXPECT_TRUE(log_.lines()[0].text.starts_with("<rdb:rdb_set_value:"));
  EXPECT_EQ(LogCapture::strip_prefix(log_.lines()[0].text), "rdb_set (var=a,val=1,persist=0)");

  log_.clear();
  rdb_.clear_ops();
  rdb_.fail_requests(true, EIO);
  EXPECT_EQ(rdb_set_value("a", "2", 1), -EIO);
  EXPECT_EQ(rdb_.ops().size(), 1u);  // only ENOENT leads to a create
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{"rdb_set (var=a,val=2,persist=1)",
                                                       "failed to write to rdb(var=a,val=2) - " + std::string(strerror(EIO))}));
  EXPECT_EQ(log_.lines()[1].priority, LOG_ERR);
}

TEST_F(RdbTest, ValueBufferHoldsA1023CharacterValueAndIsShared) {
  const std::string long_value(1023, 'v');
  rdb_.put("long", long_value);
  rdb_.put("short", "s");
  const char *first = rdb_get_value("long");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, long_value);
  const char *second = rdb_get_value("short");
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "s");

  rdb_.put("too.long", std::string(1024, 'x'));
  EXPECT_EQ(rdb_get_value("too.long"), nullptr);
  EXPECT_EQ(rdb_get_value("absent"), nullptr);
  const char *whole = rdb_get_long_value("too.long");
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(strlen(whole), 1024u);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(RdbTest, FormatNameCutsAt255AndKeepsItsOwnBuffer) {
  const std::string long_name(300, 'n');
  EXPECT_EQ(std::string(rdb_format_name("%s", long_name.c_str())), long_name.substr(0, 255));
  rdb_.put("x", "value");
  const char *name = rdb_format_name("sys.hw.dev.%d.%s", 12, "name");
  rdb_get_value("x");
  EXPECT_STREQ(name, "sys.hw.dev.12.name");
}

TEST_F(RdbTest, RegexEnumMatchesDeviceVariablesOnly) {
  for (const char *n : {"sys.hw.dev.0.name", "sys.hw.dev.12.devpath", "sys.hw.dev.name", "sys.hw.devx.1.name"})
    rdb_.put(n, "v");
  EXPECT_EQ(rdb_regex_enum("sys.hw.dev", kHwdevRdbRegex, record_name, 7), 0);
  EXPECT_EQ(g_called, (std::vector<std::string>{"sys.hw.dev.0.name/7", "sys.hw.dev.12.devpath/7"}));
}

TEST_F(RdbTest, NegativeCallbackStopsTheWalk) {
  rdb_.put("p.1", "");
  rdb_.put("p.2", "");
  g_stop_after = 1;
  EXPECT_EQ(rdb_regex_enum("p.", "^p", record_name, 0), 0);
  EXPECT_EQ(g_called.size(), 1u);
}

TEST_F(RdbTest, BadExpressionFailsBeforeReadingNames) {
  rdb_.put("p.1", "");
  EXPECT_EQ(rdb_regex_enum("p.", "^p[", record_name, 0), -1);
  EXPECT_TRUE(rdb_.ops().empty());
  EXPECT_TRUE(g_called.empty());
  ASSERT_EQ(log_.matching("failed to compile regex (wildcard=^p[) - ").size(), 1u);
}

TEST_F(RdbTest, DeletingStaleDeviceVariablesWorksForListingsOfAnySize) {
  // Far more than the classic 4095-byte names buffer holds.
  for (int i = 0; i < 99; ++i)
    for (const char *key : {"name", "location", "id", "devpath", "driver", "type"})
      rdb_.put("sys.hw.dev." + std::to_string(i) + "." + key, "x");
  rdb_.put("sys.hw.dev.keep", "x");
  EXPECT_EQ(rdb_regex_enum(kHwdevRdbPrefix, kHwdevRdbRegex, enum_cb_on_delete_hwdev_rdbs, 0), 0);
  EXPECT_EQ(rdb_.dump("sys.hw.dev."), (std::map<std::string, std::string>{{"sys.hw.dev.keep", "x"}}));
}

TEST_F(RdbTest, ListingFailureIsNoNames) {
  rdb_.fail_requests(true);
  EXPECT_EQ(rdb_get_names("sys.", 0), nullptr);
  EXPECT_EQ(rdb_regex_enum("sys.", ".*", record_name, 0), 0);
  EXPECT_TRUE(log_.contains("no hwdev RDBs found (name=sys.)"));
  EXPECT_TRUE(g_called.empty());
}

// A driver that answers every listing with a fixed text.
std::string g_listing;
int32_t g_listing_len;
int g_requests;

int listing_transport(int, unsigned long request, rdbdrv_request *rec) {
  ++g_requests;
  if (request != RDBDRV_REQ_GETNAMES) {
    errno = ENOENT;
    return -1;
  }
  memcpy(rec->value, g_listing.data(), std::min<size_t>(g_listing.size(), static_cast<size_t>(rec->len)));
  rec->len = g_listing_len;
  return 0;
}

class RdbScriptedDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/rdb-test-XXXXXX";
    ASSERT_TRUE(hw::unique_fd(mkstemp(path)));
    device_ = path;
    g_called.clear();
    g_stop_after = -1;
    g_requests = 0;
    rdbdrv_set_transport(listing_transport);
  }
  void TearDown() override {
    rdb_fini();
    rdbdrv_set_transport(nullptr);
    unsetenv("RDB_DEVICE");
    unlink(device_.c_str());
  }
  void open_device() {
    setenv("RDB_DEVICE", device_.c_str(), 1);
    ASSERT_EQ(rdb_init(), 0);
  }
  void answer(std::string listing) {
    g_listing = std::move(listing);
    g_listing_len = static_cast<int32_t>(g_listing.size());
  }
  std::string device_;
  LogCapture log_;
};

TEST_F(RdbScriptedDriverTest, TokensSplitAtBothSeparatorsInOrder) {
  open_device();
  answer("one&two;three");
  EXPECT_EQ(rdb_regex_enum("", ".*", record_name, 0), 0);
  EXPECT_EQ(g_called, (std::vector<std::string>{"one/0", "two/0", "three/0"}));
  g_called.clear();
  answer("&&one");
  EXPECT_EQ(rdb_regex_enum("", ".*", record_name, 0), 0);
  EXPECT_EQ(g_called, (std::vector<std::string>{"one/0"}));
  EXPECT_TRUE(log_.contains("got RDBs (name=,names=&&one)"));
  EXPECT_TRUE(log_.contains("got token (token=one)"));
  EXPECT_TRUE(log_.contains("call callback function (token=one,ref=0)"));
}

TEST_F(RdbScriptedDriverTest, ReportedLengthIsClampedAndNegativeMeansNone) {
  open_device();
  answer(std::string(4095, 'a'));
  g_listing_len = 100000;
  const char *names = rdb_get_names("", 0);
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(strlen(names), 4095u);
  g_listing_len = -1;
  EXPECT_EQ(rdb_get_names("", 0), nullptr);
}

TEST_F(RdbScriptedDriverTest, WithoutAHandleNothingReachesTheDriver) {
  setenv("RDB_DEVICE", "/tmp/rdb-test-no-such-device", 1);
  EXPECT_EQ(rdb_init(), -1);
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{"failed to open rdb driver - No such file or directory"}));
  log_.clear();

  EXPECT_EQ(rdb_get_value("a"), nullptr);
  EXPECT_EQ(rdb_get_long_value("a"), nullptr);
  EXPECT_LT(rdb_set_value("a", "1", 0), 0);
  EXPECT_EQ(log_.lines().size(), 2u);
  EXPECT_LT(rdb_delete_value("a"), 0);
  EXPECT_EQ(rdb_get_names("", 0), nullptr);
  EXPECT_EQ(rdb_regex_enum("sys.", ".*", record_name, 0), 0);
  EXPECT_TRUE(log_.contains("no hwdev RDBs found (name=sys.)"));
  EXPECT_EQ(rdb_regex_enum("sys.", "[", record_name, 0), -1);
  EXPECT_EQ(g_requests, 0);
  rdb_fini();
}

}  // namespace
