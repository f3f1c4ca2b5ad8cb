// SPDX-License-Identifier: MIT
#pragma once
// Points the sysfs module at a fixture tree for the length of one test.

#include <cstdlib>
#include <optional>
#include <string>

#include "sysfs/sysfs.h"
#include "base/alloc_gate.h"
#include "tools/board/sysfs_tree.h"

namespace sysfs_test {

// Sets SYSFS_PATH (or unsets it with nullopt) and restores it afterwards.
class ScopedSysfsPath {
 public:
  explicit ScopedSysfsPath(const std::optional<std::string> &value) {
    if (const char *old = getenv("SYSFS_PATH")) saved_ = old;
    if (value)
      setenv("SYSFS_PATH", value->c_str(), 1);
    else
      unsetenv("SYSFS_PATH");
  }
  ~ScopedSysfsPath() {
    if (saved_)
      setenv("SYSFS_PATH", saved_->c_str(), 1);
    else
      unsetenv("SYSFS_PATH");
  }
  ScopedSysfsPath(const ScopedSysfsPath &) = delete;
  ScopedSysfsPath &operator=(const ScopedSysfsPath &) = delete;

 private:
  std::optional<std::string> saved_;
};

// A fresh board tree with the module's caches pointed at it.
class SysfsOnBoard {
 public:
  SysfsOnBoard() : env_(sys.root().string()) { sysfs_init(); }
  ~SysfsOnBoard() {
    sysfs_cleanup();
    hw::set_alloc_budget(-1);
  }
  // Empties the caches, as the event loop does before each event.
  void next_pass() {
    sysfs_cleanup();
    sysfs_init();
  }

  board::SysfsTree sys;

 private:
  ScopedSysfsPath env_;
};

}  // namespace sysfs_test
