// SPDX-License-Identifier: MIT
#include "base/alloc_gate.h"

namespace hw {
namespace {

int g_budget = -1;

}  // namespace

void set_alloc_budget(int n) { g_budget = n; }

bool alloc_allowed() {
  if (g_budget < 0) return true;
  if (g_budget == 0) {
    errno = ENOMEM;
    return false;
  }
  --g_budget;
  return true;
}

}  // namespace hw
