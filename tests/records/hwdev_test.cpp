// SPDX-License-Identifier: MIT
#include "records/hwdev.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/alloc_gate.h"
#include "tests/records/rdb_journal.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_rdb.h"

namespace {

using recordstest::RdbAccess;
using testsupport::LogCapture;
using testsupport::MemoryRdb;

class HwdevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(hwdev_init(), 0);
    log.clear();
  }
  void TearDown() override {
    hw::set_alloc_budget(-1);
    hwdev_fini();
  }

  // Takes a record and files it under devpath, as identification does.
  hwdev *filed(const std::string &devpath) {
    hwdev *hd = hwdev_get();
    if (!hd) return nullptr;
    hd->devpath.set(devpath.c_str());
    EXPECT_EQ(hwdev_fixup(hd), 0);
    return hd;
  }

  MemoryRdb db;
  LogCapture log;
};

// One step of a pool scenario: take a record and expect its slot (-1: none),
// or hand the record of a slot back to the back or the front.
struct PoolStep {
  enum Op { kGet, kPutBack, kPutFront } op;
  int slot;
};

struct PoolRow {
  const char *what;
  std::vector<PoolStep> steps;
};

std::vector<PoolStep> gets(int from, int to) {
  std::vector<PoolStep> out;
  for (int i = from; i <= to; ++i) out.push_back({PoolStep::kGet, i});
  return out;
}

std::vector<PoolStep> operator+(std::vector<PoolStep> a, const std::vector<PoolStep> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(HwdevTest, PoolHandsOutSlotsInFreeListOrder) {
  const PoolRow rows[] = {
      {"fresh pool, index order", gets(0, 3)},
      {"removed slot goes to the back",
       gets(0, 1) + std::vector<PoolStep>{{PoolStep::kPutBack, 0}} + gets(2, 98) + gets(0, 0)},
      {"failed add returns to the front", gets(0, 0) + std::vector<PoolStep>{{PoolStep::kPutFront, 0}} + gets(0, 1)},
      {"several back and front",
       gets(0, 4) +
           std::vector<PoolStep>{{PoolStep::kPutBack, 1}, {PoolStep::kPutBack, 3}, {PoolStep::kPutFront, 4}} +
           gets(4, 4) + gets(5, 98) + gets(1, 1) + gets(3, 3) + std::vector<PoolStep>{{PoolStep::kGet, -1}}},
      {"pool of 99", gets(0, 98) + std::vector<PoolStep>{{PoolStep::kGet, -1}}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    hwdev_fini();
    ASSERT_EQ(hwdev_init(), 0);
    hwdev *by_slot[kHwdevPoolSize] = {};
    for (const auto &step : row.steps) {
      if (step.op == PoolStep::kGet) {
        hwdev *hd = hwdev_get();
        if (step.slot < 0) {
          EXPECT_EQ(hd, nullptr);
          continue;
        }
        ASSERT_NE(hd, nullptr);
        ASSERT_EQ(hd->index, step.slot);
        if (by_slot[step.slot]) {
          EXPECT_EQ(by_slot[step.slot], hd) << "records keep their addresses";
        }
        by_slot[step.slot] = hd;
      } else {
        hwdev_put(by_slot[step.slot], step.op == PoolStep::kPutBack);
      }
    }
  }
}

TEST_F(HwdevTest, EmptyPoolIsLogged) {
  for (int i = 0; i < kHwdevPoolSize; ++i) ASSERT_NE(hwdev_get(), nullptr);
  log.clear();
  EXPECT_EQ(hwdev_get(), nullptr);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].priority, LOG_ERR);
  EXPECT_EQ(log.lines()[0].text.rfind("<hwdev:hwdev_get:", 0), 0u);
  EXPECT_EQ(LogCapture::strip_prefix(log.lines()[0].text), "no hwdev available");
}

TEST_F(HwdevTest, BuffersLiveWhileInUseButTypeAndClassStay) {
  hwdev *hd = hwdev_get();
  ASSERT_NE(hd, nullptr);
  for (bool present : {hd->name.present(), hd->loc.present(), hd->id.present(), hd->devpath.present(),
                       hd->driver.present(), hd->mac.present()})
    EXPECT_TRUE(present);
  EXPECT_STREQ(hd->mac.c_str(), "");
  hd->name.set("ttyS0");
  hd->type = HWDEV_TYPE_SERIAL;
  auto *cls = reinterpret_cast<hwcls *>(&hd);  // any address; never dereferenced
  hd->cls = cls;

  hwdev_put(hd, 0);
  EXPECT_FALSE(hd->name.present());
  EXPECT_FALSE(hd->mac.present());
  EXPECT_EQ(hd->type, HWDEV_TYPE_SERIAL);
  EXPECT_EQ(hd->cls, cls);

  hwdev *again = hwdev_get();
  ASSERT_EQ(again, hd);
  EXPECT_STREQ(again->name.c_str(), "");
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(HwdevTest, BufferAllocationFailureKeepsTheRecordAtTheFront) {
  hw::set_alloc_budget(2);  // name and loc, not id
  EXPECT_EQ(hwdev_get(), nullptr);
  hw::set_alloc_budget(-1);
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0].text.rfind("<hwdev:hwdev_alloc:", 0), 0u);
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"failed to allocate hd->id - " + std::string(strerror(ENOMEM)), "failed to alloc a hwdev"}));

  hwdev *hd = hwdev_get();
  ASSERT_NE(hd, nullptr);
  EXPECT_EQ(hd->index, 0);
  EXPECT_TRUE(hd->mac.present());
}

TEST(HwdevInit, RecordAllocationFailureKeepsTheRecordsMadeSoFar) {
  LogCapture log;
  hw::set_alloc_budget(1 + 4);  // the devpath index and slots 0 to 3
  EXPECT_EQ(hwdev_init(), -1);
  hw::set_alloc_budget(-1);
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0].text.rfind("<hwdev:hwdev_create:", 0), 0u);
  EXPECT_EQ(log.lines()[1].text.rfind("<hwdev:hwdev_init:", 0), 0u);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"failed to allocate hd - " + std::string(strerror(ENOMEM)),
                                                      "failed to create hd (i=4,max=99)"}));
  for (int i = 0; i < 4; ++i) {
    hwdev *hd = hwdev_get();
    ASSERT_NE(hd, nullptr);
    EXPECT_EQ(hd->index, i);
  }
  EXPECT_EQ(hwdev_get(), nullptr);
  hwdev_fini();
}

TEST_F(HwdevTest, FixupFilesTheRecordOnceUnderItsCurrentDevpath) {
  hwdev *hd = filed("/devices/a");
  ASSERT_NE(hd, nullptr);
  ASSERT_EQ(hwdev_fixup(hd), 0);
  EXPECT_EQ(hwdev_find_by_devpath("/devices/a"), hd);

  hd->devpath.set("/devices/b");
  ASSERT_EQ(hwdev_fixup(hd), 0);
  EXPECT_EQ(hwdev_find_by_devpath("/devices/a"), nullptr);
  EXPECT_EQ(hwdev_find_by_devpath("/devices/b"), hd);

  hwdev_put(hd, 1);
  EXPECT_EQ(hwdev_find_by_devpath("/devices/b"), nullptr);
  EXPECT_TRUE(log.lines().empty()) << log.messages()[0];
}

TEST_F(HwdevTest, PutOfAnUnfiledRecord) {
  hwdev *blank = hwdev_get();
  hwdev_put(blank, 0);  // empty devpath: no index entry to touch
  EXPECT_TRUE(log.lines().empty());

  hwdev *unfiled = hwdev_get();
  unfiled->devpath.set("/devices/x");
  hwdev_put(unfiled, 0);
  auto lines = log.matching("failed in str2ref_del() - cannot find devpath (devpath=/devices/x)");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text.rfind("<hwdev:hwdev_put:", 0), 0u);
  EXPECT_EQ(hwdev_get(), unfiled);  // returned all the same
}

// Two records under one devpath (an add seen twice): each put removes its
// own entry, whichever goes first.
TEST_F(HwdevTest, PutRemovesItsOwnEntryWhenADevpathIsShared) {
  hwdev *first = filed("/devices/dup");
  hwdev *second = filed("/devices/dup");
  EXPECT_EQ(hwdev_find_by_devpath("/devices/dup"), first);

  hwdev_put(second, 1);
  EXPECT_EQ(hwdev_find_by_devpath("/devices/dup"), first);
  hwdev_put(first, 1);
  EXPECT_EQ(hwdev_find_by_devpath("/devices/dup"), nullptr);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(HwdevTest, PutOfARecordNotInUseIsIgnored) {
  hwdev *a = hwdev_get();
  hwdev *b = hwdev_get();
  hwdev_put(a, 1);
  hwdev_put(a, 0);  // twice: must not corrupt the lists
  hwdev_put(nullptr, 0);
  EXPECT_EQ(hwdev_get()->index, 2);
  hwdev_put(b, 0);
  EXPECT_EQ(hwdev_get(), b);
}

TEST_F(HwdevTest, InUseWalkFromTheFront) {
  hwdev *a = hwdev_get();
  hwdev *b = hwdev_get();
  hwdev *c = hwdev_get();
  std::vector<hwdev *> seen;
  for (hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd)) seen.push_back(hd);
  EXPECT_EQ(seen, (std::vector<hwdev *>{c, b, a}));

  seen.clear();
  hwdev *next = nullptr;
  for (hwdev *hd = hwdev_first_in_use(); hd; hd = next) {
    next = hwdev_next_in_use(hd);
    if (hd == b) hwdev_put(hd, 1);
    else seen.push_back(hd);
  }
  EXPECT_EQ(seen, (std::vector<hwdev *>{c, a}));
  EXPECT_EQ(hwdev_next_in_use(b), nullptr);
}

struct WriteRow {
  const char *what;
  int remove;
  std::vector<RdbAccess> expected;
};

TEST_F(HwdevTest, WriteToRdbWritesOrDeletesSixVolatileVariables) {
  hwdev *slots[4];
  for (auto &s : slots) s = hwdev_get();
  hwdev *hd = slots[3];
  hd->name.set("eth0");
  hd->loc.set("1-1.2:1.0");
  hd->id.set("0b95:772b:00d2");
  hd->devpath.set("/devices/platform/usb/1-1/1-1.2/1-1.2:1.0/net/eth0");
  hd->type = HWDEV_TYPE_ETH;  // driver left empty

  const WriteRow rows[] = {
      {"write",
       0,
       {{RdbAccess::kWrite, "sys.hw.dev.3.name", "eth0"},
        {RdbAccess::kWrite, "sys.hw.dev.3.location", "1-1.2:1.0"},
        {RdbAccess::kWrite, "sys.hw.dev.3.id", "0b95:772b:00d2"},
        {RdbAccess::kWrite, "sys.hw.dev.3.devpath", "/devices/platform/usb/1-1/1-1.2/1-1.2:1.0/net/eth0"},
        {RdbAccess::kWrite, "sys.hw.dev.3.driver", ""},
        {RdbAccess::kWrite, "sys.hw.dev.3.type", "eth"}}},
      {"remove",
       1,
       {{RdbAccess::kDelete, "sys.hw.dev.3.name", ""},
        {RdbAccess::kDelete, "sys.hw.dev.3.location", ""},
        {RdbAccess::kDelete, "sys.hw.dev.3.id", ""},
        {RdbAccess::kDelete, "sys.hw.dev.3.devpath", ""},
        {RdbAccess::kDelete, "sys.hw.dev.3.driver", ""},
        {RdbAccess::kDelete, "sys.hw.dev.3.type", ""}}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    db.clear_ops();
    EXPECT_EQ(hwdev_write_to_rdb(hd, row.remove), 0);
    EXPECT_EQ(recordstest::rdb_accesses(db), row.expected);
    for (const auto &access : row.expected) {
      EXPECT_EQ(db.exists(access.name), access.kind == RdbAccess::kWrite) << access.name;
      EXPECT_FALSE(db.persistent(access.name)) << access.name;
    }
  }
  EXPECT_TRUE(log.matching("failed").empty());
  EXPECT_TRUE(db.dump("sys.hw.dev.").empty());
}

TEST_F(HwdevTest, AbsentValuesAreDeleted) {
  hwdev *hd = hwdev_get();
  hwdev_put(hd, 0);  // buffers absent again
  db.put("sys.hw.dev.0.name", "stale");
  EXPECT_EQ(hwdev_write_to_rdb(hd, 0), 0);
  EXPECT_EQ(db.dump("sys.hw.dev."), (std::map<std::string, std::string>{{"sys.hw.dev.0.type", "unknown"}}));
}

TEST_F(HwdevTest, RdbFailuresAreLoggedAndTheRestGoesOn) {
  hwdev *hd = hwdev_get();
  hd->name.set("ttyUSB0");
  db.fail_requests(true, EIO);
  EXPECT_EQ(hwdev_write_to_rdb(hd, 0), 0);
  EXPECT_EQ(hwdev_write_to_rdb(hd, 1), 0);
  db.fail_requests(false);

  const std::string eio = strerror(EIO);
  auto set_failures = log.matching("failed to set rdb");
  ASSERT_EQ(set_failures.size(), 6u);
  EXPECT_EQ(LogCapture::strip_prefix(set_failures[0].text),
            "failed to set rdb [sys.hw.dev.0.name] (var=ttyUSB0) - " + eio);
  EXPECT_EQ(LogCapture::strip_prefix(set_failures[5].text),
            "failed to set rdb [sys.hw.dev.0.type] (var=unknown) - " + eio);
  auto delete_failures = log.matching("failed to delete rdb");
  ASSERT_EQ(delete_failures.size(), 6u);
  EXPECT_EQ(LogCapture::strip_prefix(delete_failures[3].text),
            "failed to delete rdb [sys.hw.dev.0.devpath] - " + eio);
  EXPECT_EQ(delete_failures[3].text.rfind("<hwdev:hwdev_write_to_rdb:", 0), 0u);
}

struct WidthRow {
  size_t length;
  size_t kept;
};

// A devpath is kept whole up to the sysfs width (511), so the record is
// found again by its remove event; other texts stop at 127.
TEST_F(HwdevTest, LongDevpathsAreKeptWhole) {
  const WidthRow rows[] = {{127, 127}, {128, 128}, {300, 300}, {511, 511}, {600, 511}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.length);
    const std::string devpath = "/devices/" + std::string(row.length - 9, 'p');
    hwdev *hd = filed(devpath);
    ASSERT_NE(hd, nullptr);
    hd->name.set(devpath.c_str());
    EXPECT_EQ(strlen(hd->devpath.c_str()), row.kept);
    EXPECT_EQ(strlen(hd->name.c_str()), 127u);
    EXPECT_EQ(hwdev_find_by_devpath(devpath.substr(0, row.kept).c_str()), hd);

    hwdev_write_to_rdb(hd, 0);
    EXPECT_EQ(db.get("sys.hw.dev." + std::to_string(hd->index) + ".devpath"), devpath.substr(0, row.kept));
    hwdev_put(hd, 1);
  }
}

TEST_F(HwdevTest, RdbNameAndTypeNames) {
  hwdev *hd = nullptr;
  for (int i = 0; i <= 12; ++i) hd = hwdev_get();
  EXPECT_STREQ(hwdev_rdb_name(hd), "dev.12");
  EXPECT_STREQ(hwdev_type_name(HWDEV_TYPE_STORAGE), "storage");
  EXPECT_STREQ(hwdev_type_name(4), "unknown");  // never an index past the table
}

TEST_F(HwdevTest, FiniReturnsEveryRecordAndLeavesTheRdbAlone) {
  hwdev *a = filed("/devices/a");
  filed("/devices/b");
  a->name.set("ttyS0");
  hwdev_write_to_rdb(a, 0);
  log.clear();
  db.clear_ops();

  hwdev_fini();
  ASSERT_EQ(log.lines().size(), 3u);
  for (const auto &line : log.lines()) {
    EXPECT_EQ(line.priority, LOG_INFO);
    EXPECT_EQ(line.text.rfind("<hwdev:hwdev_fini:", 0), 0u);
  }
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"put hwdevs", "destroy hwdevs", "destroy hwdev_by_devpath"}));
  EXPECT_TRUE(db.ops().empty());
  EXPECT_EQ(db.get("sys.hw.dev.0.name"), "ttyS0");
  EXPECT_EQ(hwdev_find_by_devpath("/devices/a"), nullptr);
  ASSERT_EQ(hwdev_init(), 0);  // TearDown finishes again
}

}  // namespace
