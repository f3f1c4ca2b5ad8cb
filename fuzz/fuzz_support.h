// SPDX-License-Identifier: MIT
#pragma once
// What every fuzz target of the daemon shares: a sandbox for file-system
// work on hostile paths, a log that goes nowhere, an RDB held in the process,
// a splitter for inputs made of several parts, and a hard failure for a
// broken contract.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/board/sysfs_tree.h"
#include "tools/rdbd/store.h"

namespace fuzzsupport {

// Private mount namespace with a fresh /dev (null, zero, random, urandom)
// and an empty, writable tmpfs on /sys for a simulated tree: a hostile
// devpath such as "/devices/../../../dev/..." may then open nothing but
// harmless files, and the tree lives in memory. Aborts when it cannot be set
// up (it needs root).
void enter_sandbox();
inline constexpr char kSandboxSysfs[] = "/sys";

// Enters the sandbox, lays out a simulated tree on its /sys with lay_out and
// points SYSFS_PATH at it. Aborts, naming target, when the tree cannot be
// laid out.
std::unique_ptr<board::SysfsTree> sandboxed_tree(const char *target, void (*lay_out)(board::SysfsTree &));

// Every priority is formatted (hostile texts go through the log formats)
// and dropped, so nothing reaches the machine's syslog.
void silence_log();

// Reports a broken contract and aborts, so libFuzzer keeps the input.
[[noreturn]] void contract_failed(const char *file, int line, const char *what);
#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) ::fuzzsupport::contract_failed(__FILE__, __LINE__, #cond);     \
  } while (0)

// The parts of data between occurrences of separator; at most max_parts (the
// rest stays in the last part).
std::vector<std::string_view> split(std::string_view data, std::string_view separator, size_t max_parts);

// The RDB held in the process: installs a transport that runs every driver
// request on an rdbstore::Store, and opens the rdb layer on it. One at a
// time.
class StoreRdb {
 public:
  StoreRdb();
  ~StoreRdb();
  StoreRdb(const StoreRdb &) = delete;
  StoreRdb &operator=(const StoreRdb &) = delete;

  rdbstore::Store &store();
  // A fresh, empty store (the rdb layer stays open).
  void reset();

  // While set, every listing answers with these bytes, as a driver would:
  // EOVERFLOW with the needed length when the caller's buffer is short,
  // else the bytes and, when there is room, a NUL. With a reported length,
  // the listing succeeds and reports that length whatever it copied (a
  // driver that lies).
  void set_listing(std::optional<std::string> bytes, std::optional<int32_t> reported_len = std::nullopt);
  // The caller's buffer of the last listing that succeeded, and its capacity.
  const char *last_listing_buffer() const;
  int32_t last_listing_capacity() const;
};

}  // namespace fuzzsupport
