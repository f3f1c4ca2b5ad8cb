// SPDX-License-Identifier: MIT
#pragma once
// The codes an event's ACTION and SUBSYSTEM are turned into, indexed by
// their names. The device manager and the start-up scan take the same
// subsystem codes.

enum action_code { ACTION_ADD = 0, ACTION_REMOVE = 1, ACTION_CHANGE = 2, ACTION_UNKNOWN = 3 };
enum subsystem_code { SUBSYSTEM_TTY = 0, SUBSYSTEM_NET = 1, SUBSYSTEM_BLOCK = 2, SUBSYSTEM_UNKNOWN = 3 };

inline constexpr const char *action_names[] = {"add", "remove", "change", "unknown"};
inline constexpr const char *subsystem_names[] = {"tty", "net", "block", "unknown"};
