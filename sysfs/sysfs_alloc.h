// SPDX-License-Identifier: MIT
#pragma once
// Test seam for the sysfs caches' out-of-memory path: lets the next n record
// or attribute-entry allocations succeed and fails the ones after (errno
// ENOMEM), without starving the process. n = -1, the default, lifts the
// limit. The daemon never calls it.

void sysfs_set_alloc_budget(int n);
