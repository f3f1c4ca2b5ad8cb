// SPDX-License-Identifier: MIT
#include "tests/support/rdb_client.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace testsupport {
namespace {

// A value or listing that has grown between the size request and the read
// is asked for again, a few times.
constexpr int kReadAttempts = 4;

}  // namespace

rdbdrv_handle_ptr open_rdb(const std::string &path) {
  rdbdrv_handle *handle = nullptr;
  rdbdrv_open(path.c_str(), &handle);
  return rdbdrv_handle_ptr(handle);
}

int put_variable(rdbdrv_handle *rdb, const std::string &name, const std::string &value, bool persist) {
  const int r = rdbdrv_set(rdb, name.c_str(), value.c_str());
  if (r != -ENOENT) return r;
  return rdbdrv_create(rdb, name.c_str(), value.c_str(), persist ? RDBDRV_PERSIST : 0, 0);
}

std::optional<std::string> get_variable(rdbdrv_handle *rdb, const std::string &name) {
  std::vector<char> buf(1024);
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    int len = static_cast<int>(buf.size());
    const int r = rdbdrv_get(rdb, name.c_str(), buf.data(), &len);
    if (r == -EOVERFLOW && len > static_cast<int>(buf.size())) {
      buf.resize(static_cast<size_t>(len));
      continue;
    }
    if (r < 0) return std::nullopt;
    const size_t n = std::min(static_cast<size_t>(std::max(len, 0)), buf.size());
    return std::string(buf.data(), strnlen(buf.data(), n));
  }
  return std::nullopt;
}

std::optional<std::string> list_names(rdbdrv_handle *rdb, const std::string &prefix) {
  std::vector<char> buf(4096);
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    int len = static_cast<int>(buf.size()) - 1;
    const int r = rdbdrv_getnames(rdb, prefix.c_str(), buf.data(), &len, 0);
    if (r == -EOVERFLOW && len >= static_cast<int>(buf.size()) - 1) {
      buf.resize(static_cast<size_t>(len) + 1);
      continue;
    }
    if (r < 0 || len < 0) return std::nullopt;
    return std::string(buf.data(), strnlen(buf.data(), std::min(static_cast<size_t>(len), buf.size())));
  }
  return std::nullopt;
}

std::vector<std::string> split_names(std::string_view listing) {
  std::vector<std::string> names;
  while (!listing.empty()) {
    const size_t end = std::min(listing.find_first_of("&;"), listing.size());
    if (end > 0) names.emplace_back(listing.substr(0, end));
    listing.remove_prefix(std::min(end + 1, listing.size()));
  }
  return names;
}

}  // namespace testsupport
