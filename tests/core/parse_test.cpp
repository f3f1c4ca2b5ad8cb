// SPDX-License-Identifier: MIT
// Finding values in an event message, and the action and subsystem codes.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/path_size.h"
#include "core/uevent_private.h"
#include "tests/support/monitor.h"

namespace {

// Key strings, each terminated by NUL, as they follow an event's header.
std::string keys(const std::vector<std::string> &strings) { return testsupport::make_datagram(strings); }

std::optional<std::string> value_of(const char *key, const std::string &message) {
  const char *v = get_uevent_value(key, message.data(), message.data() + message.size());
  if (!v) return std::nullopt;
  return std::string(v);
}

struct ValueCase {
  const char *name;
  std::vector<std::string> strings;
  const char *key;
  std::optional<std::string> expected;
};

void PrintTo(const ValueCase &c, std::ostream *os) {
  *os << c.name << ": " << c.key << " in " << testing::PrintToString(c.strings) << ", expected "
      << testing::PrintToString(c.expected);
}

class UeventValue : public testing::TestWithParam<ValueCase> {};

TEST_P(UeventValue, Finds) {
  const auto &c = GetParam();
  EXPECT_EQ(value_of(c.key, keys(c.strings)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UeventValue,
    testing::Values(
        ValueCase{"plain", {"ACTION=add", "DEVPATH=/devices/x", "SUBSYSTEM=tty"}, "DEVPATH", "/devices/x"},
        ValueCase{"longer_key_first", {"DEVPATHX=/a", "DEVPATH=/b"}, "DEVPATH", "/b"},
        ValueCase{"never_a_prefix", {"DEVPATH_OLD=/old"}, "DEVPATH", std::nullopt},
        ValueCase{"empty_value", {"DEVPATH="}, "DEVPATH", ""},
        ValueCase{"first_match_wins", {"DEVPATH=/a", "DEVPATH=/b"}, "DEVPATH", "/a"},
        ValueCase{"case_sensitive", {"devpath=/a"}, "DEVPATH", std::nullopt},
        ValueCase{"key_without_equals", {"DEVPATH", "ACTION=add"}, "DEVPATH", std::nullopt},
        ValueCase{"value_with_equals", {"MODALIAS=a=b=c"}, "MODALIAS", "a=b=c"},
        ValueCase{"after_empty_string", {"ACTION=add", "", "DEVPATH=/hidden"}, "DEVPATH", std::nullopt},
        ValueCase{"before_empty_string", {"DEVPATH=/seen", "", "ACTION=add"}, "DEVPATH", "/seen"},
        ValueCase{"no_strings", {}, "DEVPATH", std::nullopt},
        ValueCase{"key_is_whole_string", {"ACTION=add"}, "ACTION=add", std::nullopt}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(UeventValueBounds, LastStringWithoutNulEndsAtTheMessageEnd) {
  // Bytes past the message (a stale, longer message) are never read.
  const std::string buffer = keys({"ACTION=add"}) + "DEVPATH=/ab" + std::string("cd\0SUBSYSTEM=tty", 16);
  const char *end = buffer.data() + keys({"ACTION=add"}).size() + 11;
  const char *v = get_uevent_value("DEVPATH", buffer.data(), end);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v, static_cast<size_t>(end - v)), "/ab");
  EXPECT_EQ(get_uevent_value("SUBSYSTEM", buffer.data(), end), nullptr);
}

TEST(UeventValueBounds, KeyCutByTheEndIsNotFound) {
  const std::string buffer = "DEVPATH=/x";
  EXPECT_EQ(get_uevent_value("DEVPATH", buffer.data(), buffer.data() + 7), nullptr);   // "DEVPATH"
  EXPECT_EQ(get_uevent_value("DEVPATH", buffer.data(), buffer.data() + 3), nullptr);   // "DEV"
  EXPECT_EQ(get_uevent_value("DEVPATH", buffer.data(), buffer.data()), nullptr);       // nothing
  EXPECT_EQ(get_uevent_value("DEVPATH", nullptr, nullptr), nullptr);
}

template <typename Code>
struct CodeCase {
  const char *value;
  Code code;
};

template <typename Code>
void PrintTo(const CodeCase<Code> &c, std::ostream *os) {
  *os << (c.value ? testing::PrintToString(c.value) : "(none)") << " -> " << c.code;
}

TEST(Codes, Action) {
  const CodeCase<action_code> cases[] = {{"add", ACTION_ADD},         {"remove", ACTION_REMOVE}, {"change", ACTION_CHANGE},
                            {"unknown", ACTION_UNKNOWN}, {"move", ACTION_UNKNOWN},  {"online", ACTION_CHANGE},
                            {"offline", ACTION_CHANGE},  {"bind", ACTION_CHANGE},   {"unbind", ACTION_CHANGE},
                            {"Bind", ACTION_UNKNOWN},    {"ADD", ACTION_UNKNOWN},   {"add ", ACTION_UNKNOWN},
                            {"", ACTION_UNKNOWN},        {nullptr, ACTION_UNKNOWN}};
  for (const auto &c : cases) EXPECT_EQ(get_action_code(c.value), c.code) << testing::PrintToString(c);
}

TEST(Codes, Subsystem) {
  const CodeCase<subsystem_code> cases[] = {{"tty", SUBSYSTEM_TTY},         {"net", SUBSYSTEM_NET},
                            {"block", SUBSYSTEM_BLOCK},     {"unknown", SUBSYSTEM_UNKNOWN},
                            {"usb", SUBSYSTEM_UNKNOWN},     {"platform", SUBSYSTEM_UNKNOWN},
                            {"TTY", SUBSYSTEM_UNKNOWN},     {"ttyS", SUBSYSTEM_UNKNOWN},
                            {"", SUBSYSTEM_UNKNOWN},        {nullptr, SUBSYSTEM_UNKNOWN}};
  for (const auto &c : cases) EXPECT_EQ(get_subsystem_code(c.value), c.code) << testing::PrintToString(c);
}

TEST(DevpathRefusal, DotComponentsAndOverlongPathsAreRefused) {
  for (const char *bad : {"/devices/../etc", "/..", "..", "/devices/.", "/devices/./x", "./x", "/a/b/..",
                          "/devices//../x"})
    EXPECT_NE(hwtrack_devpath_refusal(bad), nullptr) << bad;
  for (const char *good : {"/devices/x", "", "/", "/devices/.hidden", "/devices/a..b", "/devices/...",
                           "/devices/x.", "/devices//x", "/devices/platform/serial8250/tty/ttyS1"})
    EXPECT_EQ(hwtrack_devpath_refusal(good), nullptr) << good;

  EXPECT_EQ(hwtrack_devpath_refusal(("/" + std::string(hw::kPathSize - 2, 'd')).c_str()), nullptr);
  EXPECT_NE(hwtrack_devpath_refusal(("/" + std::string(hw::kPathSize - 1, 'd')).c_str()), nullptr);
}

}  // namespace
