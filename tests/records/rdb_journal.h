// SPDX-License-Identifier: MIT
#pragma once
// Reads a MemoryRdb journal as the writes and deletes a module asked for:
// an update that fails with ENOENT and the create that follows it count as
// one write.

#include <string>
#include <vector>

#include "rdb/rdbdrv.h"
#include "tests/support/memory_rdb.h"

namespace recordstest {

struct RdbAccess {
  enum Kind { kWrite, kDelete };
  Kind kind;
  std::string name;
  std::string value;
  bool operator==(const RdbAccess &) const = default;
};

inline std::vector<RdbAccess> rdb_accesses(const testsupport::MemoryRdb &db) {
  std::vector<RdbAccess> out;
  for (const auto &op : db.ops()) {
    if (op.request != RDBDRV_REQ_SET) continue;
    // Updates carry flags -1, creations the create bit; a delete neither.
    const bool write = op.flags == -1 || (op.flags & RDBDRV_CREATE);
    RdbAccess access{write ? RdbAccess::kWrite : RdbAccess::kDelete, op.name, op.value};
    if (!out.empty() && out.back() == access) continue;
    out.push_back(access);
  }
  return out;
}

inline std::vector<std::string> rdb_names(const std::vector<RdbAccess> &accesses) {
  std::vector<std::string> out;
  for (const auto &a : accesses) out.push_back(a.name);
  return out;
}

}  // namespace recordstest
