// SPDX-License-Identifier: MIT
#pragma once
// Reading and writing variables over a running rdbd's socket, through the
// driver client, as the tests and benchmarks check and prepare the RDB.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rdb/rdbdrv.h"

namespace testsupport {

// A handle on the RDB at path; null when it cannot be opened.
rdbdrv_handle_ptr open_rdb(const std::string &path);

// Updates name, or creates it (persistent when asked) when it is absent:
// 0 or the negated errno.
int put_variable(rdbdrv_handle *rdb, const std::string &name, const std::string &value, bool persist = false);

// name's value, whatever its length; nullopt when it cannot be read.
std::optional<std::string> get_variable(rdbdrv_handle *rdb, const std::string &name);

// The listing of the names under prefix as the server gives it
// ("a.x&a.y"), whatever its length; nullopt when it is refused.
std::optional<std::string> list_names(rdbdrv_handle *rdb, const std::string &prefix);

// The names of such a listing, in its order, split at '&' and ';'.
std::vector<std::string> split_names(std::string_view listing);

}  // namespace testsupport
