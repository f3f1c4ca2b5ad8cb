// SPDX-License-Identifier: MIT
#pragma once
// A step of the start-up scans (startup.cpp) that tests check on its own.

// 1 when the physical device of the device at devpath belongs to subsystem,
// 0 when it does not, or when there is none or no device at devpath.
int is_subsystem(const char *devpath, const char *subsystem);
