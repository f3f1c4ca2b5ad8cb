// SPDX-License-Identifier: MIT
#pragma once
// The variables of the RDB stand-in and the driver's rules for them. A Store
// executes decoded requests; rdbd feeds it from its clients, and tests run it
// in-process behind rdbdrv's transport seam.
//
// Persistent variables (flag 0x20) are also kept in a store file: a log of
// changes, one record a line (a variable set to its whole new state, or a
// variable deleted), each with a checksum. A write that changes a
// persistent variable appends its record and waits for fdatasync before it
// is applied and acknowledged, so an acknowledged write survives a kill of
// the server and a power loss alike, and a refused one is in neither the
// variables nor the file. A write that changes nothing appends nothing. A
// power loss costs at most the write that was not acknowledged yet, whose
// incomplete last line is dropped when the file is read; a complete line
// that is not a sound record is damage, which stops the reading there and
// the persistent writes until the file is repaired (repair()).
// When the log has grown past twice what its live records need, and at
// start-up, it is rewritten compact: a temporary file beside it, fsync,
// rename over the old one, fsync of the folder. A write so costs the same
// however many variables the store holds.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "rdb/rdbproto.h"

namespace rdbstore {

struct Variable {
  std::string value;  // the text, without its NUL
  int32_t flags = 0;
  int32_t attr_a = 0;
  int32_t attr_b = 0;
  int32_t attr_c = 0;
  bool persistent() const;
  bool operator==(const Variable &) const = default;
};

using Variables = std::map<std::string, Variable, std::less<>>;

// Bounds a client cannot push the store past.
inline constexpr size_t kMaxVariables = 65536;
// A rewrite that failed (a full or read-only disk) is not tried again
// sooner than this, however many writes ask for one meanwhile.
inline constexpr std::chrono::seconds kRewriteRetry{3};

// What reading a store file found besides its variables.
struct Findings {
  // An incomplete last line (an append a crash cut short, never
  // acknowledged) was dropped.
  bool torn_tail = false;
  // The first complete line that is not a sound record (its number, 1 is
  // the header); 0 when there is none. Only the records before it count.
  size_t damaged_line = 0;
  // Salvaging: the complete lines passed over, each not a sound record.
  std::vector<size_t> skipped;
};

class Store {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  Store() = default;  // nothing is kept beyond the process
  explicit Store(std::string file) : file_(std::move(file)) {}

  // Reads the store file; a missing file is an empty store. A damaged log
  // loads the records before the damage (see findings()). 0, or a negated
  // errno with *error saying what is wrong (EBADMSG: not a store file).
  int load(std::string *error);
  const Findings &findings() const { return findings_; }
  bool damaged() const { return findings_.damaged_line != 0; }
  // Rewrites the store file compact now (rdbd does at start-up). Until
  // then, or after a failed append, the next persistent write does. 0, or a
  // negated errno: EBADMSG while the file is damaged, which is kept as it
  // is for the repair.
  int compact();
  // Why persistent writes fail now (damage, or the last failed rewrite or
  // append); empty while they are accepted.
  std::string trouble() const;

  rdbproto::Reply execute(const rdbproto::Request &req);

  // Serves a driver request record in the process, as the driver's ioctl
  // would: decodes rec, executes it and writes the reply into rec. 0, or -1
  // with errno set.
  int serve(unsigned long request, rdbdrv_request &rec);
  // The same for a record its caller has decoded into req already.
  int serve(unsigned long request, const rdbproto::Request &req, rdbdrv_request &rec);

  const Variables &variables() const { return vars_; }
  const Variable *find(std::string_view name) const;
  // Direct changes, as if the driver had always held them; the store file
  // is not written.
  void put(std::string name, Variable var) { vars_.insert_or_assign(std::move(name), std::move(var)); }
  void erase(std::string_view name);

  // The clock that spaces rewrite attempts (tests step their own).
  void set_clock(Clock clock) { clock_ = std::move(clock); }

 private:
  rdbproto::Reply get(const rdbproto::Request &req) const;
  rdbproto::Reply write(const rdbproto::Request &req);
  rdbproto::Reply getnames(const rdbproto::Request &req) const;
  // Puts a change on disk before it is applied. 0, or a negated errno.
  int log_change(std::string_view name, const Variable *before, const Variable *after);
  // Opens the log for appending by rewriting it, unless a rewrite failed
  // too recently. 0, or a negated errno.
  int reopen_log();
  // False while a rewrite failed too recently to be tried again.
  bool rewrite_allowed() const;

  std::string file_;
  Variables vars_;
  hw::unique_fd log_;      // the store file, open for appending; none until written or when broken
  size_t log_bytes_ = 0;   // its size
  size_t live_bytes_ = 0;  // the size it would have, rewritten compact
  Findings findings_;
  int last_error_ = 0;  // negated errno of the last failed rewrite or append; 0 after a success
  // A refused record that could not be cut off the file: gone only once
  // the file is rewritten.
  bool refused_in_file_ = false;
  bool append_failed_ = false;  // the last append failed (and was cut off)
  std::chrono::steady_clock::time_point last_failed_rewrite_{};
  bool rewrite_failed_ = false;
  Clock clock_ = [] { return std::chrono::steady_clock::now(); };
};

// A compact store file: a record for each persistent variable.
std::string serialize(const Variables &vars);
// Replays a store file. An incomplete last line (what a crash in the middle
// of an append leaves) is dropped. A complete line that is not a sound
// record is damage: replaying stops before it, or, when salvaging, passes
// over it and goes on with the next. 0 either way, with what was found in
// *found; -EBADMSG with *error set when the text is not a store file (or an
// earlier rdbd version's snapshot that is not sound, which is read whole or
// not at all).
int parse(std::string_view text, Variables &vars, std::string *error, Findings *found = nullptr, bool salvage = false);

// Writes text to path so that after a crash at any moment path holds either
// its old content or text. 0, or a negated errno. With keep, the new file
// stays open for appending in *keep.
int replace_file(const std::string &path, std::string_view text, hw::unique_fd *keep = nullptr);

// Takes the store's lock for as long as *held stays open: an exclusive
// flock on "<file>.lock", made when missing, which no rewrite replaces (on
// a file system where it cannot be made, on the store's folder instead). 0;
// -EWOULDBLOCK when another process holds it; another negated errno with
// *error set.
int lock_store(const std::string &file, hw::unique_fd *held, std::string *error);

// Repairs a damaged store file: keeps a copy of it as "<file>.damaged",
// then rewrites it with every sound record, passing over the damaged ones.
// The caller holds the store's lock. 0 with *found saying what was passed
// over (a sound file is left alone: nothing skipped, nothing written), or
// a negated errno with *error set.
int repair(const std::string &file, Findings *found, std::string *error);

}  // namespace rdbstore
