// SPDX-License-Identifier: MIT
#include "records/str2ref.h"

#include <gtest/gtest.h>

#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/alloc_gate.h"
#include "tests/support/log_capture.h"

namespace {

using testsupport::LogCapture;

// Two texts whose 31-bit keys are equal (found by brute force over short
// lowercase/digit texts); the test below checks the premise.
constexpr char kCollideA[] = "aaa2";
constexpr char kCollideB[] = "aacp";
constexpr int32_t kCollideKey = 2087552790;

int r1, r2, r3;  // addresses used as opaque references

class Str2refTest : public ::testing::Test {
 protected:
  void TearDown() override { hw::set_alloc_budget(-1); }

  str2ref_ptr si{str2ref_create()};
  LogCapture log;

  // Every (text, ref) an iteration yields, in order.
  std::vector<std::pair<std::string, void *>> iterate() {
    std::vector<std::pair<std::string, void *>> out;
    const char *text = nullptr;
    void *ref = nullptr;
    for (int r = str2ref_first(si.get(), &text, &ref); r == 0; r = str2ref_next(si.get(), &text, &ref))
      out.emplace_back(text, ref);
    return out;
  }
};

struct HashRow {
  const char *text;
  int32_t key;
};

TEST(Str2refHash, KnownKeys) {
  const HashRow rows[] = {
      {"", 5381},
      {"abc", 193409669},
      {"a", 177604},
      {"\xff", 177498},  // bytes count as unsigned
      {"sys.hw.class.serial.0", 78027261},
      {"/devices/platform/soc/uart0/tty/ttyS0", 897768111},
      {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 1336755461},  // wraps modulo 2^32
      {kCollideA, kCollideKey},
      {kCollideB, kCollideKey},
  };
  for (const auto &row : rows) EXPECT_EQ(str2ref_hash(row.text), row.key) << testing::PrintToString(row.text);
}

TEST_F(Str2refTest, LaterEntriesGoDirectlyBehindTheHead) {
  ASSERT_EQ(str2ref_add(si.get(), "x", &r1), 0);
  ASSERT_EQ(str2ref_add(si.get(), "x", &r2), 0);
  ASSERT_EQ(str2ref_add(si.get(), "x", &r3), 0);

  void *ref = nullptr;
  ASSERT_EQ(str2ref_find(si.get(), "x", &ref), 0);
  EXPECT_EQ(ref, &r1);
  ASSERT_EQ(str2ref_find_next(si.get(), "x", &ref), 0);
  EXPECT_EQ(ref, &r3);
  ASSERT_EQ(str2ref_find_next(si.get(), "x", &ref), 0);
  EXPECT_EQ(ref, &r2);
  EXPECT_EQ(str2ref_find_next(si.get(), "x", &ref), -1);

  ASSERT_EQ(str2ref_del(si.get(), "x"), 0);
  ASSERT_EQ(str2ref_find(si.get(), "x", &ref), 0);
  EXPECT_EQ(ref, &r3);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Str2refTest, CollidingTextsShareABucketButNotTheirEntries) {
  ASSERT_EQ(str2ref_add(si.get(), kCollideA, &r1), 0);
  ASSERT_EQ(str2ref_add(si.get(), kCollideB, &r2), 0);

  void *ref = nullptr;
  ASSERT_EQ(str2ref_find(si.get(), kCollideB, &ref), 0);
  EXPECT_EQ(ref, &r2);
  EXPECT_EQ(str2ref_find_next(si.get(), kCollideB, &ref), -1);
  ASSERT_EQ(str2ref_find(si.get(), kCollideA, &ref), 0);
  EXPECT_EQ(ref, &r1);
  EXPECT_EQ(str2ref_find_next(si.get(), kCollideA, &ref), -1);

  ASSERT_EQ(str2ref_del(si.get(), kCollideA), 0);
  EXPECT_EQ(str2ref_find(si.get(), kCollideA, &ref), -1);
  ASSERT_EQ(str2ref_find(si.get(), kCollideB, &ref), 0);
  EXPECT_EQ(ref, &r2);
  ASSERT_EQ(str2ref_del(si.get(), kCollideB), 0);
  EXPECT_EQ(str2ref_first(si.get(), nullptr, nullptr), -1);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Str2refTest, DeletingFromAMissingBucketLogsTheKey) {
  ASSERT_EQ(str2ref_add(si.get(), "abc", &r1), 0);
  ASSERT_EQ(str2ref_del(si.get(), "abc"), 0);
  EXPECT_EQ(str2ref_del(si.get(), "abc"), -1);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].priority, LOG_ERR);
  EXPECT_EQ(log.lines()[0].text.rfind("<str2ref:str2ref_del_by_str_ref_if_required:", 0), 0u);
  EXPECT_EQ(LogCapture::strip_prefix(log.lines()[0].text), "rbt not found - key=193409669");
}

TEST_F(Str2refTest, DeletingAnAbsentTextOfAnExistingBucketLogsKeyAndText) {
  ASSERT_EQ(str2ref_add(si.get(), kCollideA, &r1), 0);
  EXPECT_EQ(str2ref_del(si.get(), kCollideB), -1);
  EXPECT_EQ(log.messages(), std::vector<std::string>{"dl not found - key=2087552790,str=aacp"});
  void *ref = nullptr;
  EXPECT_EQ(str2ref_find(si.get(), kCollideA, &ref), 0);
}

TEST_F(Str2refTest, DeleteWithReferenceCheckSparesOtherReferences) {
  ASSERT_EQ(str2ref_add(si.get(), "x", &r1), 0);
  ASSERT_EQ(str2ref_add(si.get(), "x", &r2), 0);
  EXPECT_EQ(str2ref_del_by_str_ref_if_required(si.get(), "x", 1, &r3), -1);
  EXPECT_EQ(log.messages(), std::vector<std::string>{"dl not found - key=177629,str=x"});
  ASSERT_EQ(str2ref_del_by_str_ref_if_required(si.get(), "x", 1, &r2), 0);

  void *ref = nullptr;
  ASSERT_EQ(str2ref_find(si.get(), "x", &ref), 0);
  EXPECT_EQ(ref, &r1);
  EXPECT_EQ(str2ref_find_next(si.get(), "x", &ref), -1);
}

TEST_F(Str2refTest, DeleteByReferenceTakesOneEntryAndIsSilentWhenAbsent) {
  ASSERT_EQ(str2ref_add(si.get(), "a", &r1), 0);
  ASSERT_EQ(str2ref_add(si.get(), "b", &r1), 0);
  ASSERT_EQ(str2ref_add(si.get(), "c", &r2), 0);

  EXPECT_EQ(str2ref_del_by_ref(si.get(), &r3), -1);
  ASSERT_EQ(str2ref_del_by_ref(si.get(), &r1), 0);
  // "a" (key 177604) comes before "b" (177607) in the walk, so "a" went.
  auto rest = iterate();
  std::map<std::string, void *> left(rest.begin(), rest.end());
  EXPECT_EQ(left, (std::map<std::string, void *>{{"b", &r1}, {"c", &r2}}));
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Str2refTest, IterationVisitsEveryEntryOnceInKeyThenChainOrder) {
  std::multiset<std::pair<std::string, void *>> added;
  static int refs[300];
  for (int i = 0; i < 300; ++i) {
    std::string text = "/devices/x" + std::to_string(i % 120);  // duplicates too
    ASSERT_EQ(str2ref_add(si.get(), text.c_str(), &refs[i]), 0);
    added.emplace(text, &refs[i]);
  }
  ASSERT_EQ(str2ref_add(si.get(), kCollideA, &r1), 0);
  ASSERT_EQ(str2ref_add(si.get(), kCollideB, &r2), 0);
  added.emplace(kCollideA, &r1);
  added.emplace(kCollideB, &r2);

  auto seen = iterate();
  std::multiset<std::pair<std::string, void *>> visited(seen.begin(), seen.end());
  EXPECT_EQ(visited, added);
  for (size_t i = 1; i < seen.size(); ++i)
    EXPECT_LE(str2ref_hash(seen[i - 1].first.c_str()), str2ref_hash(seen[i].first.c_str()));
  EXPECT_EQ(str2ref_next(si.get(), nullptr, nullptr), -1);
}

TEST_F(Str2refTest, EmptyIndexAndEmptyText) {
  EXPECT_EQ(str2ref_first(si.get(), nullptr, nullptr), -1);
  EXPECT_EQ(str2ref_next(si.get(), nullptr, nullptr), -1);
  EXPECT_EQ(str2ref_find(si.get(), "", nullptr), -1);

  ASSERT_EQ(str2ref_add(si.get(), "", &r1), 0);
  EXPECT_EQ(str2ref_find(si.get(), "", nullptr), 0);
  const char *text = nullptr;
  ASSERT_EQ(str2ref_first(si.get(), &text, nullptr), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(str2ref_del(si.get(), ""), 0);
}

// A change to the index ends lookups and iterations in progress; they answer
// -1 rather than walking freed entries (ASan would catch the latter).
TEST_F(Str2refTest, ChangesEndCursorsSafely) {
  ASSERT_EQ(str2ref_add(si.get(), "x", &r1), 0);
  ASSERT_EQ(str2ref_add(si.get(), "x", &r2), 0);
  ASSERT_EQ(str2ref_find(si.get(), "x", nullptr), 0);
  ASSERT_EQ(str2ref_del(si.get(), "x"), 0);
  EXPECT_EQ(str2ref_find_next(si.get(), "x", nullptr), -1);

  ASSERT_EQ(str2ref_add(si.get(), "y", &r3), 0);
  ASSERT_EQ(str2ref_first(si.get(), nullptr, nullptr), 0);
  ASSERT_EQ(str2ref_del(si.get(), "y"), 0);
  EXPECT_EQ(str2ref_next(si.get(), nullptr, nullptr), -1);

  ASSERT_EQ(str2ref_first(si.get(), nullptr, nullptr), 0);
  EXPECT_EQ(str2ref_del_by_ref(si.get(), &r3), -1);  // ends the iteration too
  EXPECT_EQ(str2ref_next(si.get(), nullptr, nullptr), -1);
}

TEST_F(Str2refTest, FindNextAfterAFailedFindAnswersNothing) {
  ASSERT_EQ(str2ref_add(si.get(), "x", &r1), 0);
  EXPECT_EQ(str2ref_find(si.get(), "absent", nullptr), -1);
  EXPECT_EQ(str2ref_find_next(si.get(), "x", nullptr), -1);
}

TEST_F(Str2refTest, OutOfMemoryLeavesTheIndexAsItWas) {
  ASSERT_EQ(str2ref_add(si.get(), "x", &r1), 0);

  hw::set_alloc_budget(0);  // no bucket for a new key
  EXPECT_EQ(str2ref_add(si.get(), "abc", &r2), -1);
  hw::set_alloc_budget(1);  // a bucket, but no entry
  EXPECT_EQ(str2ref_add(si.get(), "abc", &r2), -1);
  hw::set_alloc_budget(0);  // existing bucket, no entry
  EXPECT_EQ(str2ref_add(si.get(), "x", &r2), -1);
  hw::set_alloc_budget(-1);

  const std::string oom = strerror(ENOMEM);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"rbt memory allocation failure - " + oom,
                                                      "dl memory allocation failure - " + oom,
                                                      "dl memory allocation failure - " + oom}));
  auto all = iterate();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].second, &r1);
}

TEST(Str2refCreate, OutOfMemoryIsLoggedAndNullIsSafe) {
  LogCapture log;
  hw::set_alloc_budget(0);
  EXPECT_EQ(str2ref_create(), nullptr);
  hw::set_alloc_budget(-1);
  EXPECT_EQ(log.messages(), std::vector<std::string>{"si memory allocation failure - " + std::string(strerror(ENOMEM))});

  str2ref_destroy(nullptr);
  EXPECT_EQ(str2ref_add(nullptr, "x", &r1), -1);
  EXPECT_EQ(str2ref_find(nullptr, "x", nullptr), -1);
  EXPECT_EQ(str2ref_del_by_ref(nullptr, &r1), -1);
  EXPECT_EQ(str2ref_first(nullptr, nullptr, nullptr), -1);
}

}  // namespace
