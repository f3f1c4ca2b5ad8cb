// SPDX-License-Identifier: MIT
#pragma once
// What the daemon writes for others to read and what the class script
// writes: the event lines on standard output, readiness messages, and the
// script's standard output and error. None of it may hold up the loop or a
// stop, whoever fails to read it (a stuck journald or logd, a full pipe).

#include <signal.h>
#include <spawn.h>
#include <time.h>

#include <cstddef>
#include <cstdio>

// Writes n bytes to fd whole or not at all, without waiting: a socket is
// sent to with MSG_DONTWAIT; anything else is written only when poll()
// finds it writable at once, and n must not pass PIPE_BUF, so that a pipe
// with room takes it whole. The file's flags stay as they are: O_NONBLOCK
// belongs to the open file, which the class script may share. false (errno
// set) when nothing was written, or not all of it.
bool write_without_waiting(int fd, const char *text, size_t n);

// Writes the event line "%s[%s] %-8s %s (%s)\n" to stream, or to standard
// output when stream is null. There a slow reader is waited for up to 1 s
// a line (a stop request ends the wait); a line it does not take by then is
// dropped, and so is every line after it that it cannot take at once, until
// it takes one again. Drops are counted and logged at most once a minute.
// A line longer than PIPE_BUF is cut, its newline kept.
void hwtrack_print_event_line(FILE *stream, const char *label, const char *timestamp, const char *action,
                              const char *devpath, const char *subsystem);

// The class script's standard input is /dev/null, its standard output and
// error are pipes the daemon drains into the log, line by line: output at
// LOG_INFO, errors at LOG_WARNING, "class script: <line>", lines cut at
// kScriptLineSize - 1 characters, at most kScriptLinesPerSecond a second
// (the rest counted, the count logged). The pipes are made at the first run
// and stay open to the end, read end included: a process the script left
// in the background may write to them long after, and must never get
// SIGPIPE. A pipe that cannot be made leaves /dev/null in its place.
inline constexpr size_t kScriptLineSize = 512;
inline constexpr unsigned kScriptLinesPerSecond = 10;

// Adds to actions what gives the script those descriptors.
void add_script_stdio(posix_spawn_file_actions_t *actions);
// Adds the read ends of the script's pipes (when made) to a poll set of
// room fds; returns how many it added (at most 2).
int script_output_pollfds(struct pollfd *fds, int room);
// Reads what the pipes hold, without waiting, and logs their whole lines.
// After a run, a last line without its newline is logged too.
void drain_script_output();
void flush_script_output();
// Waits until a signal that mask lets in is delivered, timeout passes (null:
// none) or the script's output can be read, which is then drained: the
// wait for a class script, which must not leave its output unread.
void wait_draining_script_output(const timespec *timeout, const sigset_t *mask);

// How long the loop may wait before a count of dropped event lines or of
// script lines not logged is due (-1: none is); logs those due.
long ms_until_output_counts_due();
void report_output_counts();
