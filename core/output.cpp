// SPDX-License-Identifier: MIT
// The event lines on standard output and the class script's output: written
// and read without ever waiting on whoever is at the other end.

#include "core/output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "base/log.h"
#include "base/log_window.h"
#include "base/strutil.h"
#include "base/unique_fd.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwtrack";

// Milliseconds on CLOCK_MONOTONIC; the script's output is drained from
// below the event layer, whose clock (hwtrack_now_ms) it does not call up to.
long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// --- the event line ------------------------------------------------------------

// A pipe that polls writable has a free page at least: a line of up to
// PIPE_BUF bytes goes in whole, at once.
constexpr size_t kEventLineSize = PIPE_BUF;
static_assert(kEventLineSize >= 512, "an event line of a devpath the daemon acts on fits");

constexpr long long kDroppedLinesWindowMs = 60 * 1000;
hw::log_window dropped_lines(1, kDroppedLinesWindowMs);

void report_dropped_lines(long long now) {
  if (const unsigned held = dropped_lines.take_held_back(now))
    HWLOG(LOG_WARNING, "%u more event lines dropped - standard output not writable", held);
}

void count_dropped_line() {
  const long long now = now_ms();
  report_dropped_lines(now);
  if (dropped_lines.admit(now)) HWLOG(LOG_WARNING, "event line dropped - standard output not writable");
}

// A reader that is only slow (a burst of events, a busy logger) is waited
// for, up to this long a line, so it loses nothing; one that takes nothing
// for so long is taken for stuck, and lines are dropped at once until it
// takes one again. A stop request ends the wait.
constexpr long kSlowReaderWaitMs = 1000;
bool reader_stuck = false;

// Writes what fd takes at once of text: bytes written, or -1 (EAGAIN when
// it takes nothing now).
ssize_t write_some(int fd, const char *text, size_t n) {
  const ssize_t written = send(fd, text, n, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (written >= 0 || errno != ENOTSOCK) return written;
  pollfd p{fd, POLLOUT, 0};
  if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) {
    errno = EAGAIN;
    return -1;
  }
  return write(fd, text, n);
}

// Waits until fd takes output, the deadline passes or a stop request comes
// (SIGINT and SIGTERM are let in as in the loop's wait); whether it takes it.
bool wait_for_room(int fd, long long deadline_ms) {
  const long long left = deadline_ms - now_ms();
  if (left <= 0) return false;
  sigset_t let_in;
  sigprocmask(SIG_BLOCK, nullptr, &let_in);
  sigdelset(&let_in, SIGINT);
  sigdelset(&let_in, SIGTERM);
  const timespec timeout{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
  pollfd p{fd, POLLOUT, 0};
  return ppoll(&p, 1, &timeout, &let_in) == 1 && (p.revents & POLLOUT);
}

bool print_line(const char *line, size_t n) {
  const long long deadline = reader_stuck ? 0 : now_ms() + kSlowReaderWaitMs;
  for (size_t done = 0; done < n;) {
    const ssize_t written = write_some(STDOUT_FILENO, line + done, n - done);
    if (written > 0)
      done += static_cast<size_t>(written);
    else if (written == 0 || errno != EAGAIN || !wait_for_room(STDOUT_FILENO, deadline))
      return false;
  }
  return true;
}

// --- the class script's output ---------------------------------------------------

constexpr long long kScriptLineWindowMs = 1000;
hw::log_window script_lines(kScriptLinesPerSecond, kScriptLineWindowMs);

// One of the script's two output pipes and the line being gathered from it.
struct script_stream {
  int priority;
  hw::unique_fd read_end;
  hw::unique_fd write_end;
  bool tried = false;  // made, or failed to be made: not tried again
  char line[kScriptLineSize] = {};
  size_t used = 0;
};
script_stream script_streams[] = {{LOG_INFO, {}, {}}, {LOG_WARNING, {}, {}}};
hw::unique_fd null_input;

// The read end alone waits no longer than a read takes; the write end the
// script gets stays blocking, as any program expects of its output.
bool make_pipe(script_stream &s) {
  s.tried = true;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) < 0) {
    HWLOG(LOG_ERR, "failed to make a pipe for the class script's output - %s", strerror(errno));
    return false;
  }
  s.read_end.reset(ends[0]);
  s.write_end.reset(ends[1]);
  if (fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0) return true;
  HWLOG(LOG_ERR, "failed to make a pipe for the class script's output - %s", strerror(errno));
  s.read_end.reset();
  s.write_end.reset();
  return false;
}

void report_script_lines(long long now) {
  if (const unsigned held = script_lines.take_held_back(now))
    HWLOG(LOG_WARNING, "%u more lines of class script output not logged", held);
}

void log_script_line(script_stream &s) {
  s.line[s.used] = '\0';
  s.used = 0;
  if (!(hwlog_mask() & LOG_MASK(s.priority))) return;  // not logged at this level: not counted either
  const long long now = now_ms();
  report_script_lines(now);
  if (script_lines.admit(now)) HWLOG(s.priority, "class script: %s", s.line);
}

// Gathers bytes into lines; what does not fit a line is cut off.
void take_script_bytes(script_stream &s, const char *bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] == '\n')
      log_script_line(s);
    else if (s.used < sizeof s.line - 1)
      s.line[s.used++] = bytes[i];
  }
}

// A script, or what it left running, may write without end: each drain
// reads this much of a pipe at most, so events are still handled between.
constexpr size_t kDrainChunk = 4096;
constexpr int kDrainChunksPerCall = 4;

void drain(script_stream &s) {
  if (!s.read_end) return;
  char chunk[kDrainChunk];
  for (int i = 0; i < kDrainChunksPerCall; ++i) {
    const ssize_t n = read(s.read_end.get(), chunk, sizeof chunk);
    if (n <= 0) return;  // EAGAIN: nothing more now; the write end stays open here, so no EOF
    take_script_bytes(s, chunk, static_cast<size_t>(n));
  }
}

}  // namespace

bool write_without_waiting(int fd, const char *text, size_t n) {
  const ssize_t written = write_some(fd, text, n);
  if (written >= 0 && static_cast<size_t>(written) != n) errno = EAGAIN;
  return written >= 0 && static_cast<size_t>(written) == n;
}

void hwtrack_print_event_line(FILE *stream, const char *label, const char *timestamp, const char *action,
                              const char *devpath, const char *subsystem) {
  char line[kEventLineSize];
  const int n = hw::formatf(line, sizeof line, "%s[%s] %-8s %s (%s)\n", label, timestamp, action, devpath, subsystem);
  if (n < 0) return;
  size_t length = static_cast<size_t>(n);
  if (length >= sizeof line) {
    length = sizeof line - 1;
    line[length - 1] = '\n';
  }
  if (stream) {
    fputs(line, stream);
    return;
  }
  reader_stuck = !print_line(line, length);
  if (reader_stuck) count_dropped_line();
}

void add_script_stdio(posix_spawn_file_actions_t *actions) {
  if (!null_input) null_input.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (null_input) posix_spawn_file_actions_adddup2(actions, null_input.get(), STDIN_FILENO);
  int target = STDOUT_FILENO;
  for (script_stream &s : script_streams) {
    if (!s.tried) make_pipe(s);
    if (s.write_end)
      posix_spawn_file_actions_adddup2(actions, s.write_end.get(), target);
    else
      posix_spawn_file_actions_addopen(actions, target, "/dev/null", O_WRONLY, 0);
    target = STDERR_FILENO;
  }
}

int script_output_pollfds(pollfd *fds, int room) {
  int added = 0;
  for (const script_stream &s : script_streams)
    if (s.read_end && added < room) fds[added++] = pollfd{s.read_end.get(), POLLIN, 0};
  return added;
}

void drain_script_output() {
  for (script_stream &s : script_streams) drain(s);
}

void flush_script_output() {
  drain_script_output();
  for (script_stream &s : script_streams)
    if (s.used > 0) log_script_line(s);
}

void wait_draining_script_output(const timespec *timeout, const sigset_t *mask) {
  pollfd fds[std::size(script_streams)];
  const int n = script_output_pollfds(fds, static_cast<int>(std::size(fds)));
  if (ppoll(fds, static_cast<nfds_t>(n), timeout, mask) > 0) drain_script_output();
}

long ms_until_output_counts_due() {
  const long long now = now_ms();
  const long a = dropped_lines.ms_until_due(now);
  const long b = script_lines.ms_until_due(now);
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

void report_output_counts() {
  const long long now = now_ms();
  report_dropped_lines(now);
  report_script_lines(now);
}
