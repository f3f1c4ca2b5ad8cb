// SPDX-License-Identifier: MIT
#pragma once
// The large simulated board of the coldplug and memory benchmarks: 99
// devices hwtrackd tracks, of every kind it tells apart, and 200 class
// devices it leaves alone, laid out on a SysfsTree as a kernel would.

#include <string>
#include <vector>

#include "tools/board/sysfs_tree.h"

namespace hwbench {

struct BigBoardCounts {
  int tracked = 0;    // devices hwtrackd should add (class entries it creates)
  int untracked = 0;  // entries of /class/{tty,net,block} it refuses
};

// Lays the board out in tree (which should be empty).
BigBoardCounts lay_out_big_board(board::SysfsTree &tree);

// Adds /dev/char/<major:minor> and /dev/block/<major:minor> links for every
// device with a "dev" attribute, as kernels have them: what busybox mdev -s
// walks. The first device of a number wins; returns the number of links.
int add_dev_links(board::SysfsTree &tree);

}  // namespace hwbench
