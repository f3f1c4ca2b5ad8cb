// SPDX-License-Identifier: MIT
// BSD strlcpy/strlcat semantics: every fixed-width text of the daemon is cut
// through these, so the cut position and the returned lengths must be exact.
#include "base/strutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct CopyRow {
  const char *src;
  size_t size;
  const char *expected;  // destination afterwards
  size_t result;
};

void PrintTo(const CopyRow &row, std::ostream *os) {
  *os << testing::PrintToString(row.src) << " into " << row.size << " bytes";
}

TEST(Strlcpy, CopiesAtMostSizeMinusOneAndReturnsSourceLength) {
  const CopyRow rows[] = {
      {"abc", 10, "abc", 3},   // fits
      {"abc", 4, "abc", 3},    // exactly fits with its NUL
      {"abcd", 4, "abc", 4},   // cut: result >= size
      {"abc", 1, "", 3},       // only the NUL
      {"", 5, "", 0},
  };
  for (const CopyRow &row : rows) {
    char dst[16];
    memset(dst, 'X', sizeof dst);
    SCOPED_TRACE(testing::PrintToString(row));
    EXPECT_EQ(hw::strlcpy(dst, row.src, row.size), row.result);
    EXPECT_STREQ(dst, row.expected);
    EXPECT_EQ(dst[row.size], 'X') << "wrote past size";
  }
}

TEST(Strlcpy, SizeZeroWritesNothing) {
  char dst[4] = {'X', 'X', 'X', 'X'};
  EXPECT_EQ(hw::strlcpy(dst, "abc", 0), 3u);
  EXPECT_EQ(dst[0], 'X');
}

struct CatRow {
  const char *dst;
  const char *src;
  size_t size;
  const char *expected;
  size_t result;
};

void PrintTo(const CatRow &row, std::ostream *os) {
  *os << testing::PrintToString(row.src) << " after " << testing::PrintToString(row.dst) << " in " << row.size
      << " bytes";
}

TEST(Strlcat, AppendsWithinSizeAndReturnsTheLengthItTriedToMake) {
  const CatRow rows[] = {
      {"ab", "cd", 10, "abcd", 4},
      {"ab", "cd", 5, "abcd", 4},   // exactly fits
      {"ab", "cde", 5, "abcd", 5},  // cut
      {"ab", "cd", 3, "ab", 4},     // no room left at all
      {"", "abc", 2, "a", 3},
      {"abc", "", 4, "abc", 3},
  };
  for (const CatRow &row : rows) {
    char dst[16];
    memset(dst, 'X', sizeof dst);
    strcpy(dst, row.dst);
    SCOPED_TRACE(testing::PrintToString(row));
    EXPECT_EQ(hw::strlcat(dst, row.src, row.size), row.result);
    EXPECT_STREQ(dst, row.expected);
  }
}

TEST(Strlcat, DestinationWithoutNulInSizeIsLeftAlone) {
  char dst[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', '\0'};
  EXPECT_EQ(hw::strlcat(dst, "xyz", 4), 4u + 3u);  // size + strlen(src)
  EXPECT_STREQ(dst, "abcdefg");
  EXPECT_EQ(hw::strlcat(dst, "xyz", 0), 3u);
  EXPECT_STREQ(dst, "abcdefg");
}

TEST(RemoveTrailingChars, RemovesOnlyTheTrailingRunOfThatCharacter) {
  const struct {
    const char *text;
    char c;
    const char *expected;
  } rows[] = {
      {"/mnt/sys//", '/', "/mnt/sys"}, {"/", '/', ""},         {"///", '/', ""},
      {"a/b", '/', "a/b"},             {"", '/', ""},          {"1\n\n", '\n', "1"},
      {"a b \n", '\n', "a b "},        {"x\n \n", '\n', "x\n "},
  };
  for (const auto &row : rows) {
    std::string text = row.text;
    hw::remove_trailing_chars(text.data(), row.c);
    EXPECT_STREQ(text.c_str(), row.expected) << testing::PrintToString(row.text);
  }
}

TEST(FixedText, CutsAtCapacityMinusOne) {
  hw::fixed_text<4> text;
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(text.set("abcdef"), 6u);
  EXPECT_STREQ(text.c_str(), "abc");
  text.set("a");
  EXPECT_EQ(text.append("bcd"), 4u);
  EXPECT_STREQ(text.c_str(), "abc");
  text.format("%d-%s", 12, "xy");
  EXPECT_STREQ(text.c_str(), "12-");
}

TEST(HeapText, IsAbsentUntilAllocated) {
  hw::heap_text<8> text;
  EXPECT_FALSE(text.present());
  EXPECT_EQ(text.c_str(), nullptr);
  EXPECT_TRUE(text.empty());
  ASSERT_TRUE(text.allocate());
  EXPECT_STREQ(text.c_str(), "");
  text.set("0123456789");
  EXPECT_STREQ(text.c_str(), "0123456");
  text.release();
  EXPECT_FALSE(text.present());
}

TEST(CodeFromName, FirstPresentEqualNameAmongTheFirstCount) {
  const char *const table[] = {nullptr, "a", "b", "a"};
  const struct {
    const char *text;
    size_t count;
    int expected;
  } rows[] = {{"a", 4, 1}, {"b", 4, 2}, {"b", 2, -7}, {"c", 4, -7}, {"", 4, -7}, {nullptr, 4, -7}};
  for (const auto &row : rows) EXPECT_EQ(hw::code_from_name(row.text, {table, row.count}, -7), row.expected);
}

}  // namespace
