#pragma once
// The daemon core of the hwtrack module: start-up and shutdown, the two
// event sockets, the select loop and the parsing and dispatch of events.

#include <csignal>
#include <cstddef>
#include <cstdio>

enum action_code { ACTION_ADD = 0, ACTION_REMOVE = 1, ACTION_CHANGE = 2, ACTION_UNKNOWN = 3 };
enum subsystem_code { SUBSYSTEM_TTY = 0, SUBSYSTEM_NET = 1, SUBSYSTEM_BLOCK = 2, SUBSYSTEM_UNKNOWN = 3 };

inline constexpr const char *action_names[] = {"add", "remove", "change", "unknown"};
inline constexpr const char *subsystem_names[] = {"tty", "net", "block", "unknown"};

inline constexpr size_t UEVENT_BUFFER_SIZE = 4096;

// Set by signal_handler on SIGINT and SIGTERM; the loop tests it every pass.
extern volatile sig_atomic_t stop_flag;

extern int monitor_fd;
extern int netlink_fd;

// The daemon's whole life; main() only calls this.
int hwtrack_main(int argc, char **argv);
void print_usage(FILE *stream);
void signal_handler(int signo);

// Log mask for a value of "sys.hw.cfg.debug" (nullptr when absent).
int hwtrack_log_mask(const char *debug_value);

int open_monitor_socket();
int open_netlink_socket();
void hwtrack_event_loop();

// Value of key among the KEY=value strings in [start, end), or nullptr.
const char *get_uevent_value(const char *key, const char *start, const char *end);
int get_action_code(const char *value);
int get_subsystem_code(const char *value);

// Parses one received message of n bytes, prints and logs its event line and
// dispatches it. label is "UEVENT" or "UDEV  ".
void hwtrack_handle_message(const char *label, const char *timestamp, const char *msg, size_t n);
