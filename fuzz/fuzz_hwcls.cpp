// SPDX-License-Identifier: MIT
// hwcls_read_from_rdb on hostile stored class names and values, then the
// start-up steps that follow a successful read (fixup keeping the index,
// write back), with the RDB held in the process.
//
// Input: the first line is the prefix handed to hwcls_read_from_rdb (as the
// start-up enumeration would, up to its first NUL); every further line is a
// variable "name=value" put into an otherwise empty RDB (the value is raw
// and may hold NULs; a line without "=" is a name with an empty value).
//
// Contracts checked beyond the absence of crashes:
//  - reading changes no variable;
//  - success and failure, and every field read, agree with a plain model of
//    the rules (tokens, leading digits, absent and over-long values, widths
//    of id, location and name);
//  - on failure nothing is indexed and the record is released;
//  - after fixup the next new class of the type gets the next index, and the
//    write-back stores the fields read, status "removed", enable "0" or "1".

#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "rdb/rdbdrv.h"
#include "records/hwcls.h"

namespace {

constexpr std::string_view kPrefix = "sys.hw.class.";
constexpr size_t kValueBuffer = 1024;  // rdb_get_value's buffer
constexpr size_t kMaxVariables = 64;

std::unique_ptr<fuzzsupport::StoreRdb> g_rdb;

struct Expected {
  int type = 0;
  int index = 0;
  std::string id, loc, name;
  int enable = 1;
  int is_static = 0;
};

std::string_view next_token(std::string_view &rest) {
  const size_t start = rest.find_first_not_of('.');
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  const size_t end = rest.find('.');
  const std::string_view token = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  return token;
}

int model_type(std::string_view token) {
  constexpr std::string_view names[] = {"serial", "eth", "storage", "phonemodule"};
  for (int i = 0; i < 4; ++i)
    if (token == names[i]) return i + 1;
  return 0;
}

const char *model_type_text(int type) {
  constexpr const char *texts[] = {"(null)", "serial", "eth", "storage", "phonemodule"};
  return texts[type];
}

// What rdb_get_value gives for a stored variable: the text up to its first
// NUL, when the whole value and its NUL fit the 1024-byte buffer.
std::optional<std::string> model_read(const std::string &name) {
  const rdbstore::Variable *var = g_rdb->store().find(name);
  if (!var || var->value.size() + 1 > kValueBuffer) return std::nullopt;
  return var->value.substr(0, var->value.find('\0'));
}

bool model_flag(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    if (text[i] != '0') return true;
  return false;
}

std::optional<Expected> model_read_class(std::string_view prefix) {
  if (prefix.size() < kPrefix.size()) return std::nullopt;
  std::string_view rest = prefix.substr(kPrefix.size());
  Expected e;
  const std::string_view type_token = next_token(rest);
  if (type_token.empty()) return std::nullopt;
  e.type = model_type(type_token);
  const std::string_view index_token = next_token(rest);
  if (index_token.empty()) return std::nullopt;
  long long index = 0;
  for (char c : index_token) {
    if (c < '0' || c > '9') break;
    index = index * 10 + (c - '0');
    if (index >= INT_MAX) return std::nullopt;  // leaves the counter no room
  }
  e.index = static_cast<int>(index);

  const std::string own = std::string(kPrefix) + model_type_text(e.type) + "." + std::to_string(e.index) + ".";
  const auto id = model_read(own + "id");
  if (!id) return std::nullopt;
  const auto loc = model_read(own + "location");
  if (!loc) return std::nullopt;
  e.id = id->substr(0, 127);
  e.loc = loc->substr(0, 127);
  const auto enable = model_read(own + "enable");
  e.enable = !enable || model_flag(*enable) ? 1 : 0;
  const auto is_static = model_read(own + "static");
  e.is_static = is_static && model_flag(*is_static) ? 1 : 0;
  if (e.is_static) {
    const auto name = model_read(own + "name");
    if (!name) return std::nullopt;
    e.name = name->substr(0, 31);
  }
  return e;
}

std::map<std::string, rdbstore::Variable> snapshot() {
  return {g_rdb->store().variables().begin(), g_rdb->store().variables().end()};
}

std::string stored(const std::string &name) {
  const rdbstore::Variable *var = g_rdb->store().find(name);
  FUZZ_CHECK(var != nullptr);
  return var->value;
}

void check_write_back(hwcls *cls, const Expected &e) {
  FUZZ_CHECK(hwcls_fixup(cls, 1) == 0);
  FUZZ_CHECK(cls->index == e.index);
  hwcls_write_to_rdb(cls, 0);
  const std::string own = std::string(kPrefix) + model_type_text(e.type) + "." + std::to_string(e.index) + ".";
  FUZZ_CHECK(stored(own + "id") == e.id);
  FUZZ_CHECK(stored(own + "location") == e.loc);
  FUZZ_CHECK(stored(own + "status") == "removed");
  FUZZ_CHECK(stored(own + "enable") == (e.enable ? "1" : "0"));
  FUZZ_CHECK(stored(own + "dev").empty());
  FUZZ_CHECK(stored(own + "mac").empty());
  FUZZ_CHECK(stored(own + "name") == (e.is_static ? e.name : ""));

  // The next class of this type is numbered past the one read.
  hwcls *next = hwcls_get();
  FUZZ_CHECK(next != nullptr);
  next->type = e.type;
  next->id.set("fuzz-next-id");
  next->loc.set("fuzz-next-loc");
  FUZZ_CHECK(hwcls_fixup(next, 0) == 0);
  FUZZ_CHECK(next->index == e.index + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzsupport::silence_log();
  g_rdb = std::make_unique<fuzzsupport::StoreRdb>();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  g_rdb->reset();
  hwcls_init();

  const auto lines = fuzzsupport::split(input, "\n", kMaxVariables + 1);
  const std::string prefix(lines[0].substr(0, lines[0].find('\0')));
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const size_t eq = line.find('=');
    const std::string name(line.substr(0, eq));
    const std::string value(eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1));
    g_rdb->store().put(name, rdbstore::Variable{value, RDBDRV_PERSIST});
  }

  const auto before = snapshot();
  const std::optional<Expected> expected = model_read_class(prefix);
  hwcls *cls = hwcls_get();
  FUZZ_CHECK(cls != nullptr);
  const int rc = hwcls_read_from_rdb(cls, prefix.c_str());
  FUZZ_CHECK(snapshot() == before);
  FUZZ_CHECK((rc == 0) == expected.has_value());

  if (rc == 0) {
    const Expected &e = *expected;
    FUZZ_CHECK(cls->type == e.type);
    FUZZ_CHECK(cls->index == e.index);
    FUZZ_CHECK(e.id == cls->id.c_str());
    FUZZ_CHECK(e.loc == cls->loc.c_str());
    FUZZ_CHECK(cls->enable == e.enable);
    FUZZ_CHECK(cls->is_static == e.is_static);
    if (e.is_static) FUZZ_CHECK(e.name == cls->name.c_str());
    FUZZ_CHECK(cls->status == HWCLS_STATUS_REMOVED);
    FUZZ_CHECK(cls->hd == nullptr);
    check_write_back(cls, e);
  } else {
    FUZZ_CHECK(rc == -1);
    hwcls *any = nullptr;
    FUZZ_CHECK(hwcls_first(&any) == -1);
    hwcls_release(cls);
  }
  hwcls_fini();
  return 0;
}
