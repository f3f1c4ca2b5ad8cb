// SPDX-License-Identifier: MIT
// The list of RDB names, as the driver hands it back, cut into tokens by
// rdb_regex_enum.
//
// Input: byte 0 picks the expression (bits 0-1: the two start-up patterns,
// ".*" or one that matches nothing) and whether the driver reports an
// honest length (bit 2 clear) or the length in bytes 1-4 whatever it copied
// (bit 2 set); byte 5 is the number of calls after which the callback stops
// the walk (0: never). The rest is the list the driver returns, raw.
//
// Contracts checked beyond the absence of crashes:
//  - every token handed to the callback is non-empty, holds no ";" or "&",
//    and lies, with its NUL, inside the buffer the list was read into;
//  - with an honest driver the tokens are exactly the matching pieces of the
//    list's text, in order, and the walk stops when the callback says so;
//  - a token stays intact while the callback uses the other rdb helpers;
//  - the result is 0 whatever the list.

#include <regex.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/startup.h"
#include "fuzz/fuzz_support.h"
#include "rdb/rdb.h"

namespace {

constexpr size_t kHeader = 6;
constexpr const char *kExpressions[] = {kHwdevRdbRegex, kHwclsRdbRegex, ".*", "^$"};

std::unique_ptr<fuzzsupport::StoreRdb> g_rdb;

struct Walk {
  std::vector<std::string> tokens;
  unsigned stop_after = 0;
};
Walk g_walk;

int check_token(const char *token, int ref) {
  FUZZ_CHECK(ref == 7);
  const char *buf = g_rdb->last_listing_buffer();
  const int32_t capacity = g_rdb->last_listing_capacity();
  FUZZ_CHECK(buf != nullptr && capacity >= 0);
  // The list was read with one byte to spare for its NUL.
  const char *end = buf + capacity + 1;
  FUZZ_CHECK(token >= buf && token < end);
  const char *nul = static_cast<const char *>(memchr(token, '\0', static_cast<size_t>(end - token)));
  FUZZ_CHECK(nul != nullptr);
  const std::string copy(token);
  FUZZ_CHECK(!copy.empty());
  FUZZ_CHECK(copy.find_first_of(";&") == std::string::npos);

  // The callback may use the other buffers; the token must survive that.
  rdb_format_name("%s.%s", copy.c_str(), copy.c_str());
  rdb_get_value(copy.c_str());
  FUZZ_CHECK(copy == token);

  g_walk.tokens.push_back(copy);
  return g_walk.stop_after && g_walk.tokens.size() >= g_walk.stop_after ? -1 : 0;
}

std::vector<std::string> model_tokens(std::string_view list, const char *expression, unsigned stop_after) {
  regex_t re;
  FUZZ_CHECK(regcomp(&re, expression, REG_NOSUB) == 0);
  std::vector<std::string> out;
  list = list.substr(0, list.find('\0'));
  size_t pos = 0;
  while (pos < list.size()) {
    const size_t end = std::min(list.find_first_of(";&", pos), list.size());
    const std::string token(list.substr(pos, end - pos));
    pos = end + 1;
    if (token.empty() || regexec(&re, token.c_str(), 0, nullptr, 0) != 0) continue;
    out.push_back(token);
    if (stop_after && out.size() >= stop_after) break;
  }
  regfree(&re);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzsupport::silence_log();
  g_rdb = std::make_unique<fuzzsupport::StoreRdb>();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kHeader) return -1;
  const char *expression = kExpressions[data[0] & 3];
  const bool lying = data[0] & 4;
  int32_t reported = 0;
  memcpy(&reported, data + 1, sizeof reported);
  const std::string list(reinterpret_cast<const char *>(data + kHeader), size - kHeader);

  g_rdb->reset();
  g_rdb->set_listing(list, lying ? std::optional<int32_t>(reported) : std::nullopt);
  g_walk = Walk{{}, data[5]};

  FUZZ_CHECK(rdb_regex_enum("sys.hw.", expression, check_token, 7) == 0);
  if (!lying) FUZZ_CHECK(g_walk.tokens == model_tokens(list, expression, g_walk.stop_after));
  return 0;
}
