// SPDX-License-Identifier: MIT
#pragma once
// Allocation of the heap objects whose out-of-memory paths the daemon
// handles (sysfs cache nodes, device and class records, index entries), with
// one seam: tests can let a number of allocations succeed and fail the ones
// after, so those paths (and the messages they log) run without starving
// the process. Production code never sets a budget.

#include <cerrno>
#include <memory>
#include <new>

namespace hw {

// -1: every allocation may succeed (the default). n >= 0: the next n gated
// allocations may succeed, every later one fails with ENOMEM.
void set_alloc_budget(int n);

// Consumes one unit of the budget; false (errno ENOMEM) when it is spent.
bool alloc_allowed();

// A value-initialised T on the heap (through T's own operator new when it
// has one), or null (errno ENOMEM) when memory or the test budget runs out.
template <typename T>
std::unique_ptr<T> make_unique_nothrow() {
  if (!alloc_allowed()) return nullptr;
  std::unique_ptr<T> p(new (std::nothrow) T());
  if (!p) errno = ENOMEM;
  return p;
}

}  // namespace hw
