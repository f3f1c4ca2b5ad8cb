// SPDX-License-Identifier: MIT
#include "records/hwcls.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/alloc_gate.h"
#include "records/hwdev.h"
#include "tests/records/rdb_journal.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_rdb.h"

namespace {

using recordstest::RdbAccess;
using testsupport::LogCapture;
using testsupport::MemoryRdb;

class HwclsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(hwdev_init(), 0);
    ASSERT_EQ(hwcls_init(), 0);
    log.clear();
  }
  void TearDown() override {
    hw::set_alloc_budget(-1);
    hwcls_fini();
    hwdev_fini();
  }

  // A device as identification leaves it.
  hwdev *device(const char *id, const char *loc, int type = HWDEV_TYPE_SERIAL) {
    hwdev *hd = hwdev_get();
    EXPECT_NE(hd, nullptr);
    hd->id.set(id);
    hd->loc.set(loc);
    hd->type = type;
    return hd;
  }

  // A class filed with a fresh index, as an add makes it.
  hwcls *indexed(const char *id, const char *loc, int status = HWCLS_STATUS_REMOVED, int type = HWCLS_TYPE_SERIAL) {
    hwcls *cls = hwcls_get();
    EXPECT_NE(cls, nullptr);
    cls->id.set(id);
    cls->loc.set(loc);
    cls->type = type;
    cls->status = status;
    EXPECT_EQ(hwcls_fixup(cls, 0), 0);
    return cls;
  }

  std::vector<hwcls *> all_classes() {
    std::vector<hwcls *> out;
    hwcls *cls = nullptr;
    for (int r = hwcls_first(&cls); r == 0; r = hwcls_next(&cls)) out.push_back(cls);
    return out;
  }

  MemoryRdb db;
  LogCapture log;
};

TEST_F(HwclsTest, OutOfMemoryForARecord) {
  hw::set_alloc_budget(0);
  EXPECT_EQ(hwcls_get(), nullptr);
  hw::set_alloc_budget(-1);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].text.rfind("<hwcls:hwcls_get:", 0), 0u);
  EXPECT_EQ(log.messages()[0], "failed in malloc() - " + std::string(strerror(ENOMEM)));
}

// Existing classes (id, loc, status), a device (id, loc), and which class it
// belongs to: its position among the classes, or -1 for none.
struct MatchRow {
  const char *what;
  std::vector<std::tuple<const char *, const char *, int>> classes;
  const char *id;
  const char *loc;
  int expected;
};

constexpr int R = HWCLS_STATUS_REMOVED;
constexpr int I = HWCLS_STATUS_INSERTED;

TEST_F(HwclsTest, FindForHwdevRules) {
  const MatchRow rows[] = {
      {"no classes", {}, "A", "P1", -1},
      {"same id and location", {{"A", "P1", R}}, "A", "P1", 0},
      {"same id and location, held", {{"A", "P1", I}}, "A", "P1", 0},
      {"only class of the id, free, moved", {{"A", "P1", R}}, "A", "P2", 0},
      {"only class of the id, held elsewhere, nothing at the location", {{"A", "P1", I}}, "A", "P2", -1},
      {"only class of the id held; class at the location with another id", {{"A", "P1", I}, {"B", "P2", R}}, "A", "P2",
       1},
      {"unknown id never matches by location", {{"B", "P1", R}}, "A", "P1", -1},
      {"shared id, device at the second location", {{"A", "P1", R}, {"A", "P2", R}}, "A", "P2", 1},
      {"shared id, device at the first location", {{"A", "P1", R}, {"A", "P2", R}}, "A", "P1", 0},
      {"shared id, third location empty", {{"A", "P1", R}, {"A", "P2", R}}, "A", "P3", -1},
      {"shared id, third location taken by another id", {{"A", "P1", R}, {"A", "P2", R}, {"C", "P3", I}}, "A", "P3",
       2},
      {"three of one id, first met is the oldest", {{"A", "P1", R}, {"A", "P2", R}, {"A", "P3", R}}, "A", "P1", 0},
      {"shared id, its own class at the location after another id's",
       {{"A", "P1", R}, {"C", "P2", R}, {"A", "P2", R}}, "A", "P2", 2},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    hwcls_fini();
    hwcls_init();
    std::vector<hwcls *> classes;
    for (const auto &[id, loc, status] : row.classes) classes.push_back(indexed(id, loc, status));
    hwdev *hd = device(row.id, row.loc);

    hwcls *found = reinterpret_cast<hwcls *>(&classes);  // must be reset
    int r = hwcls_find_for_hwdev(hd, &found);
    if (row.expected < 0) {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(found, nullptr);
    } else {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(found, classes[row.expected]);
    }
    hwdev_put(hd, 0);
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(HwclsTest, IndexesArePerClassType) {
  const struct {
    int type;
    int index;
  } rows[] = {{HWCLS_TYPE_SERIAL, 0}, {HWCLS_TYPE_ETH, 0},     {HWCLS_TYPE_SERIAL, 1},
              {HWCLS_TYPE_STORAGE, 0}, {HWCLS_TYPE_ETH, 1}, {HWCLS_TYPE_SERIAL, 2}};
  int n = 0;
  for (const auto &row : rows) {
    std::string id = "id" + std::to_string(n++);
    EXPECT_EQ(indexed(id.c_str(), "P", R, row.type)->index, row.index) << id;
  }
}

TEST_F(HwclsTest, StoredIndexesRaiseTheirTypesCounter) {
  const struct {
    int type;
    int stored;
  } stored[] = {{HWCLS_TYPE_SERIAL, 5}, {HWCLS_TYPE_SERIAL, 2}, {HWCLS_TYPE_ETH, 0}};
  for (const auto &s : stored) {
    hwcls *cls = hwcls_get();
    cls->type = s.type;
    cls->index = s.stored;
    cls->id.set(("stored" + std::to_string(s.stored)).c_str());
    ASSERT_EQ(hwcls_fixup(cls, 1), 0);
    EXPECT_EQ(cls->index, s.stored);
  }
  EXPECT_EQ(indexed("new-serial", "P", R, HWCLS_TYPE_SERIAL)->index, 6);
  EXPECT_EQ(indexed("new-eth", "P", R, HWCLS_TYPE_ETH)->index, 1);
  EXPECT_EQ(indexed("new-storage", "P", R, HWCLS_TYPE_STORAGE)->index, 0);
}

TEST_F(HwclsTest, FixupMovesBothEntriesAndGivesATypeChangeAFreeName) {
  hwcls *other = indexed("other", "P0");
  hwcls *cls = indexed("A", "P1");
  ASSERT_EQ(cls->index, 1);
  indexed("e0", "P7", R, HWCLS_TYPE_ETH);
  hwcls_write_to_rdb(cls, 0);

  cls->id.set("B");
  cls->loc.set("P2");
  cls->type = HWCLS_TYPE_ETH;  // a class taken over by a device of another type
  ASSERT_EQ(hwcls_fixup(cls, 0), 0);
  EXPECT_EQ(cls->index, 1);  // free among the eth classes
  EXPECT_TRUE(db.dump("sys.hw.class.serial.1.").empty());
  EXPECT_EQ(indexed("eth", "P9", R, HWCLS_TYPE_ETH)->index, 2);  // the eth counter went past it
  other->type = HWCLS_TYPE_ETH;
  ASSERT_EQ(hwcls_fixup(other, 0), 0);
  EXPECT_EQ(other->index, 3);  // eth.0 is taken

  hwcls *found = nullptr;
  EXPECT_EQ(hwcls_find_for_hwdev(device("A", "P1"), &found), -1);
  EXPECT_EQ(hwcls_find_for_hwdev(device("B", "P2"), &found), 0);
  EXPECT_EQ(found, cls);
  EXPECT_EQ(all_classes().size(), 4u);  // one entry per record
}

TEST_F(HwclsTest, HalfIndexedRecordIsReportedAsAnIntegrityBreak) {
  hwcls *cls = hwcls_get();
  cls->id.set("A");
  cls->loc.set("P1");
  cls->type = HWCLS_TYPE_SERIAL;
  hw::set_alloc_budget(2);  // the id bucket and entry, no loc bucket
  EXPECT_EQ(hwcls_fixup(cls, 0), -1);
  hw::set_alloc_budget(-1);
  EXPECT_EQ(log.messages().back(), "failed in str2ref_add(loc)");
  EXPECT_EQ(cls->index, 0);

  log.clear();
  EXPECT_EQ(hwcls_fixup(cls, 0), -1);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].priority, LOG_ERR);
  EXPECT_EQ(log.lines()[0].text.rfind("<hwcls:hwcls_fixup:", 0), 0u);
  EXPECT_EQ(log.messages()[0],
            "###hwcls## internal structure integrity broken in id and loc rbtree (stat=0,stat2=-1)");
  EXPECT_EQ(cls->index, 0);
  EXPECT_TRUE(all_classes().empty());  // in neither index now

  // In neither index, it is filed again as a new record.
  EXPECT_EQ(hwcls_fixup(cls, 0), 0);
  EXPECT_EQ(cls->index, 1);
}

TEST_F(HwclsTest, IdEntryFailure) {
  hwcls *cls = hwcls_get();
  cls->type = HWCLS_TYPE_SERIAL;
  hw::set_alloc_budget(0);
  EXPECT_EQ(hwcls_fixup(cls, 0), -1);
  hw::set_alloc_budget(-1);
  EXPECT_EQ(log.messages().back(), "failed in str2ref_add(id)");
  EXPECT_TRUE(all_classes().empty());
}

TEST_F(HwclsTest, IterationVisitsEveryIndexedRecordOnce) {
  std::set<hwcls *> made;
  for (int i = 0; i < 40; ++i) made.insert(indexed(i % 3 ? "shared" : ("id" + std::to_string(i)).c_str(), "P"));
  auto seen = all_classes();
  EXPECT_EQ(seen.size(), made.size());
  EXPECT_EQ(std::set<hwcls *>(seen.begin(), seen.end()), made);
  hwcls *cls = reinterpret_cast<hwcls *>(&made);
  EXPECT_EQ(hwcls_next(&cls), -1);
  EXPECT_EQ(cls, nullptr);
}

TEST_F(HwclsTest, ReleaseFreesOnlyItsOwnRecords) {
  hwcls *blank = hwcls_get();
  hwcls_release(blank);
  hwcls *cls = indexed("A", "P1");
  hwcls_release(cls);  // still indexed: its entries go with it
  EXPECT_TRUE(all_classes().empty());
  hwcls stranger;
  hwcls_release(&stranger);
  hwcls_release(nullptr);
  EXPECT_TRUE(log.lines().empty());
}

// One class and what it has linked; the seven values it writes.
struct WriteRow {
  const char *what;
  int type, index, status, enable, is_static;
  const char *name;
  bool linked;
  int clear_dev;
  std::vector<const char *> values;  // dev, name, mac, id, location, status, enable
};

TEST_F(HwclsTest, WriteToRdbTable) {
  hwdev *slots[4];
  for (auto &s : slots) s = hwdev_get();
  hwdev *hd = slots[3];
  hd->name.set("eth0");
  hd->mac.set("00:11:22:33:44:55");

  const char *keys[] = {"dev", "name", "mac", "id", "location", "status", "enable"};
  const bool persist[] = {false, false, true, true, true, false, true};
  const WriteRow rows[] = {
      {"linked, inserted", 2, 0, I, 1, 0, "", true, 0, {"dev.3", "eth0", "00:11:22:33:44:55", "ID", "LOC", "inserted", "1"}},
      {"linked, removed, dev cleared", 2, 0, R, 1, 0, "", true, 1,
       {"", "eth0", "00:11:22:33:44:55", "ID", "LOC", "removed", "1"}},
      {"unlinked", 2, 0, R, 1, 0, "", false, 1, {"", "", "", "ID", "LOC", "removed", "1"}},
      {"static, linked", 1, 4, I, 1, 1, "ttyAPP0", true, 0, {"", "ttyAPP0", "", "ID", "LOC", "inserted", "1"}},
      {"static, unlinked", 1, 4, I, 1, 1, "ttyAPP0", false, 0, {"", "ttyAPP0", "", "ID", "LOC", "inserted", "1"}},
      {"disabled", 3, 2, R, 0, 0, "", false, 0, {"", "", "", "ID", "LOC", "removed", "0"}},
      {"phonemodule", 4, 1, R, 1, 0, "", false, 0, {"", "", "", "ID", "LOC", "removed", "1"}},
      {"no type", 0, 0, R, 1, 0, "", false, 0, {"", "", "", "ID", "LOC", "removed", "1"}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    hwcls cls;
    cls.type = row.type;
    cls.index = row.index;
    cls.status = row.status;
    cls.enable = row.enable;
    cls.is_static = row.is_static;
    cls.name.set(row.name);
    cls.id.set("ID");
    cls.loc.set("LOC");
    cls.hd = row.linked ? hd : nullptr;

    for (const auto &[name, value] : db.dump()) db.erase(name);
    db.clear_ops();
    EXPECT_EQ(hwcls_write_to_rdb(&cls, row.clear_dev), 0);

    const std::string prefix = std::string("sys.hw.class.") + hwcls_type_name(&cls) + "." +
                               std::to_string(row.index) + ".";
    std::vector<RdbAccess> expected;
    for (size_t i = 0; i < 7; ++i) expected.push_back({RdbAccess::kWrite, prefix + keys[i], row.values[i]});
    EXPECT_EQ(recordstest::rdb_accesses(db), expected);
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(db.persistent(prefix + keys[i]), persist[i]) << keys[i];
    EXPECT_FALSE(db.exists(prefix + "static"));
  }
  EXPECT_TRUE(db.exists("sys.hw.class.(null).0.id"));
  EXPECT_TRUE(log.matching("failed").empty());
}

TEST_F(HwclsTest, WriteFailuresAreLoggedAndTheRestIsWritten) {
  hwcls cls;
  cls.type = HWCLS_TYPE_SERIAL;
  cls.index = 0;
  cls.id.set("ID");
  db.fail_requests(true, EIO);
  EXPECT_EQ(hwcls_write_to_rdb(&cls, 0), 0);
  db.fail_requests(false);
  auto failures = log.matching("failed to write hwcls rdb");
  ASSERT_EQ(failures.size(), 7u);
  EXPECT_EQ(failures[0].text.rfind("<hwcls:hwcls_write_to_rdb:", 0), 0u);
  EXPECT_EQ(LogCapture::strip_prefix(failures[3].text), "failed to write hwcls rdb (var=sys.hw.class.serial.0.id,val=ID)");
  EXPECT_EQ(LogCapture::strip_prefix(failures[6].text),
            "failed to write hwcls rdb (var=sys.hw.class.serial.0.enable,val=1)");
}

// Variables stored under a prefix, the prefix the enumeration hands over,
// and the outcome: the error message, or the fields read.
struct ReadRow {
  const char *what;
  std::map<std::string, std::string> stored;
  const char *prefix;
  const char *error;  // nullptr: success
  int type = 0, index = 0, enable = 0, is_static = 0;
  const char *name = "";
};

const std::map<std::string, std::string> kSerial0 = {{"sys.hw.class.serial.0.id", "0403:6001:A1"},
                                                     {"sys.hw.class.serial.0.location", "1-1:1.0"}};

std::map<std::string, std::string> with(std::map<std::string, std::string> base,
                                        const std::map<std::string, std::string> &extra) {
  for (const auto &[k, v] : extra) base[k] = v;
  return base;
}

TEST_F(HwclsTest, ReadFromRdbTable) {
  const ReadRow rows[] = {
      {"enable absent reads 1", kSerial0, "sys.hw.class.serial.0", nullptr, 1, 0, 1, 0},
      {"enable 0", with(kSerial0, {{"sys.hw.class.serial.0.enable", "0"}}), "sys.hw.class.serial.0", nullptr, 1, 0, 0},
      {"enable 7 reads 1", with(kSerial0, {{"sys.hw.class.serial.0.enable", "7"}}), "sys.hw.class.serial.0", nullptr,
       1, 0, 1},
      {"enable as atoi: blanks, sign", with(kSerial0, {{"sys.hw.class.serial.0.enable", " -2x"}}),
       "sys.hw.class.serial.0", nullptr, 1, 0, 1},
      {"enable text reads 0", with(kSerial0, {{"sys.hw.class.serial.0.enable", "yes"}}), "sys.hw.class.serial.0",
       nullptr, 1, 0, 0},
      {"enable 00 reads 0", with(kSerial0, {{"sys.hw.class.serial.0.enable", "00"}}), "sys.hw.class.serial.0",
       nullptr, 1, 0, 0},
      {"static with name",
       with(kSerial0, {{"sys.hw.class.serial.0.static", "1"}, {"sys.hw.class.serial.0.name", "/dev/ttyAPP0"}}),
       "sys.hw.class.serial.0", nullptr, 1, 0, 1, 1, "/dev/ttyAPP0"},
      {"static 0 needs no name", with(kSerial0, {{"sys.hw.class.serial.0.static", "0"}}), "sys.hw.class.serial.0",
       nullptr, 1, 0, 1, 0},
      {"static without name", with(kSerial0, {{"sys.hw.class.serial.0.static", "1"}}), "sys.hw.class.serial.0",
       "dev of hwclass missing (rdb=sys.hw.class.serial.0.name)"},
      {"id missing", {{"sys.hw.class.serial.0.location", "x"}}, "sys.hw.class.serial.0",
       "id of hwclass missing (rdb=sys.hw.class.serial.0.id)"},
      {"location missing", {{"sys.hw.class.serial.0.id", "x"}}, "sys.hw.class.serial.0",
       "location of hwclass missing (rdb=sys.hw.class.serial.0.location)"},
      {"unknown type looks under (null)",
       {{"sys.hw.class.modem.0.id", "x"}, {"sys.hw.class.modem.0.location", "y"}}, "sys.hw.class.modem.0",
       "id of hwclass missing (rdb=sys.hw.class.(null).0.id)"},
      {"phonemodule", {{"sys.hw.class.phonemodule.3.id", "x"}, {"sys.hw.class.phonemodule.3.location", "y"}},
       "sys.hw.class.phonemodule.3", nullptr, 4, 3, 1},
      {"empty tokens skipped", {{"sys.hw.class.eth.12.id", "x"}, {"sys.hw.class.eth.12.location", "y"}},
       "sys.hw.class..eth..12", nullptr, 2, 12, 1},
      {"index from its leading digits", {{"sys.hw.class.eth.5.id", "x"}, {"sys.hw.class.eth.5.location", "y"}},
       "sys.hw.class.eth.5abc", nullptr, 2, 5, 1},
      {"index without digits is 0", kSerial0, "sys.hw.class.serial.x", nullptr, 1, 0, 1},
      {"no type token", kSerial0, "sys.hw.class.", "hwclass type not found"},
      {"prefix shorter than sys.hw.class.", kSerial0, "sys.hw.class", "hwclass type not found"},
      {"empty prefix", kSerial0, "", "hwclass type not found"},
      {"no index token", kSerial0, "sys.hw.class.serial", "hwclass index not found"},
      {"no index token, dots only", kSerial0, "sys.hw.class.serial..", "hwclass index not found"},
      {"index beyond int", kSerial0, "sys.hw.class.serial.99999999999", "hwclass index not found"},
      {"index leaving the counter no room", kSerial0, "sys.hw.class.serial.2147483647", "hwclass index not found"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    for (const auto &[name, value] : db.dump()) db.erase(name);
    for (const auto &[name, value] : row.stored) db.put(name, value, true);
    log.clear();

    hwcls *cls = hwcls_get();
    ASSERT_NE(cls, nullptr);
    cls->status = HWCLS_STATUS_INSERTED;
    const int r = hwcls_read_from_rdb(cls, row.prefix);
    if (row.error) {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(log.messages(), std::vector<std::string>{row.error});
      if (!log.lines().empty()) {
        EXPECT_EQ(log.lines()[0].text.rfind("<hwcls:hwcls_read_from_rdb:", 0), 0u);
      }
    } else {
      EXPECT_EQ(r, 0);
      EXPECT_TRUE(log.lines().empty());
      EXPECT_EQ(cls->type, row.type);
      EXPECT_EQ(cls->index, row.index);
      EXPECT_EQ(cls->enable, row.enable);
      EXPECT_EQ(cls->is_static, row.is_static);
      EXPECT_STREQ(cls->name.c_str(), row.name);
      EXPECT_EQ(cls->status, HWCLS_STATUS_REMOVED);
      const std::string own = std::string("sys.hw.class.") + hwcls_rdb_name(cls);
      EXPECT_EQ(db.get(own + ".id"), cls->id.c_str());
      EXPECT_EQ(db.get(own + ".location"), cls->loc.c_str());
    }
    hwcls_release(cls);
  }
}

TEST_F(HwclsTest, LongStoredValuesAreCutToTheFieldWidths) {
  const std::string long_id(300, 'i'), long_loc(128, 'l'), long_name(40, 'n');
  db.put("sys.hw.class.serial.0.id", long_id, true);
  db.put("sys.hw.class.serial.0.location", long_loc, true);
  db.put("sys.hw.class.serial.0.static", "1", true);
  db.put("sys.hw.class.serial.0.name", long_name, true);
  hwcls *cls = hwcls_get();
  ASSERT_EQ(hwcls_read_from_rdb(cls, "sys.hw.class.serial.0"), 0);
  EXPECT_EQ(std::string(cls->id.c_str()), long_id.substr(0, 127));
  EXPECT_EQ(std::string(cls->loc.c_str()), long_loc.substr(0, 127));
  EXPECT_EQ(std::string(cls->name.c_str()), long_name.substr(0, 31));
}

// Start-up's use: read, file keeping the index, write back.
TEST_F(HwclsTest, StoredClassComesBackRemovedAndNormalised) {
  db.put("sys.hw.class.eth.3.id", "ID", true);
  db.put("sys.hw.class.eth.3.location", "LOC", true);
  db.put("sys.hw.class.eth.3.dev", "dev.7");
  db.put("sys.hw.class.eth.3.mac", "00:aa", true);
  db.put("sys.hw.class.eth.3.status", "inserted");

  hwcls *cls = hwcls_get();
  ASSERT_EQ(hwcls_read_from_rdb(cls, "sys.hw.class.eth.3"), 0);
  ASSERT_EQ(hwcls_fixup(cls, 1), 0);
  EXPECT_EQ(hwcls_write_to_rdb(cls, 0), 0);

  EXPECT_EQ(db.dump("sys.hw.class."), (std::map<std::string, std::string>{{"sys.hw.class.eth.3.dev", ""},
                                                                          {"sys.hw.class.eth.3.enable", "1"},
                                                                          {"sys.hw.class.eth.3.id", "ID"},
                                                                          {"sys.hw.class.eth.3.location", "LOC"},
                                                                          {"sys.hw.class.eth.3.mac", ""},
                                                                          {"sys.hw.class.eth.3.name", ""},
                                                                          {"sys.hw.class.eth.3.status", "removed"}}));
  EXPECT_EQ(indexed("new", "P", R, HWCLS_TYPE_ETH)->index, 4);
  EXPECT_EQ(all_classes().size(), 2u);
}

TEST(HwclsNames, TypeStatusAndRdbNames) {
  const struct {
    int type;
    const char *name;
    const char *text;
  } types[] = {{0, nullptr, "(null)"}, {1, "serial", "serial"},          {2, "eth", "eth"},
               {3, "storage", "storage"}, {4, "phonemodule", "phonemodule"}, {5, nullptr, "(null)"}};
  for (const auto &row : types) {
    hwcls cls;
    cls.type = row.type;
    EXPECT_STREQ(hwcls_type_name(&cls), row.text) << row.type;
    if (row.name) {
      EXPECT_EQ(hwcls_type_from_name(row.name), row.type);
    }
  }
  EXPECT_EQ(hwcls_type_from_name("modem"), 0);
  EXPECT_EQ(hwcls_type_from_name("(null)"), 0);
  EXPECT_EQ(hwcls_type_from_name(""), 0);
  EXPECT_EQ(hwcls_type_from_name(nullptr), 0);

  hwcls cls;
  EXPECT_STREQ(hwcls_status_name(&cls), "removed");
  cls.status = HWCLS_STATUS_INSERTED;
  EXPECT_STREQ(hwcls_status_name(&cls), "inserted");

  EXPECT_STREQ(hwcls_rdb_name(&cls), "(null).-1");
  cls.type = HWCLS_TYPE_SERIAL;
  cls.index = 0;
  EXPECT_STREQ(hwcls_rdb_name(&cls), "serial.0");
}

}  // namespace
