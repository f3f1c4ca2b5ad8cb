// SPDX-License-Identifier: MIT
#pragma once
// An RDB held in the test process: every driver request of the rdb layers
// goes to an in-memory store (the same one rdbd runs) and is journaled, so a
// test sees both the resulting variables and the exact requests.

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct RdbOp {
  unsigned long request;  // RDBDRV_REQ_GET, RDBDRV_REQ_SET or RDBDRV_REQ_GETNAMES
  std::string name;
  std::string value;  // writes: the text sent (without its NUL); otherwise empty
  int32_t flags;      // the record's flags word
};

// RAII: installs the store through rdbdrv_set_transport, points RDB_DEVICE
// at /dev/null and calls rdb_init(); the destructor calls rdb_fini() and
// restores the transport and RDB_DEVICE. One at a time.
class MemoryRdb {
 public:
  MemoryRdb();
  ~MemoryRdb();
  MemoryRdb(const MemoryRdb &) = delete;
  MemoryRdb &operator=(const MemoryRdb &) = delete;

  std::optional<std::string> get(const std::string &name) const;
  bool exists(const std::string &name) const;
  bool persistent(const std::string &name) const;
  // Seeds the store directly; not journaled.
  void put(const std::string &name, const std::string &value, bool persist = false);
  void erase(const std::string &name);
  // Variables whose name begins with prefix.
  std::map<std::string, std::string> dump(std::string_view prefix = "") const;

  const std::vector<RdbOp> &ops() const;  // since construction or clear_ops()
  void clear_ops();
  // While on, every request fails with -err (and is still journaled).
  void fail_requests(bool on, int err = EIO);

 private:
  std::optional<std::string> saved_device_;
};

}  // namespace testsupport
