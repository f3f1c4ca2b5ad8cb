// SPDX-License-Identifier: MIT
// hwtrackd-inproc: hwtrackd with its RDB inside the process (see
// inproc_rdb.h); RDB_DEVICE must name a file the driver client can open
// (/dev/null does).

#include "bench/inproc_rdb.h"
#include "core/hwtrack.h"

int main(int argc, char **argv) {
  if (!install_inprocess_rdb()) return 1;
  return hwtrack_main(argc, argv);
}
