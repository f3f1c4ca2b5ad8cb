// SPDX-License-Identifier: MIT
#pragma once
// An RDB inside the benchmarked process, as the kernel driver would be:
// every request is served synchronously by the same store logic rdbd runs
// (no socket, no context switch), and what it costs counts as the process's
// own CPU time. The store starts from the store file named by HWBENCH_STORE
// (none: empty) and is kept in memory only.
//
// For the coldplug comparison with busybox mdev -s, which has no database
// to talk to: it shows what the daemon costs when its RDB is as cheap as a
// driver's ioctl, apart from what the user-space stand-in adds.

// Installs the store behind the driver client's transport seam. false (with
// a message on standard error) when the store file cannot be read.
bool install_inprocess_rdb();
