// SPDX-License-Identifier: MIT
#pragma once
// The variables of the RDB stand-in and the driver's rules for them. A Store
// executes decoded requests; rdbd feeds it from its clients, and tests run it
// in-process behind rdbdrv's transport seam.
//
// Persistent variables (flag 0x20) are also kept in a store file: a log of
// changes, one record a line (a variable set to its whole new state, or a
// variable deleted), each with a checksum. A write that touches a
// persistent variable appends its record and waits for fdatasync before it
// is acknowledged, so an acknowledged write survives a kill of the server
// and a power loss alike; a power loss costs at most the write that was not
// acknowledged yet, whose torn record is dropped when the file is read.
// When the log has grown past twice what its live records need, and at
// start-up, it is rewritten compact: a temporary file beside it, fsync,
// rename over the old one, fsync of the folder. A write so costs the same
// however many variables the store holds.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

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

class Store {
 public:
  Store() = default;  // nothing is kept beyond the process
  explicit Store(std::string file) : file_(std::move(file)) {}

  // Reads the store file; a missing file is an empty store. 0, or a
  // negated errno with *error saying what is wrong (EBADMSG: not a sound
  // store file).
  int load(std::string *error);
  // The last load found an incomplete record at the end and dropped it.
  bool dropped_torn_tail() const { return torn_tail_; }
  // Rewrites the store file compact now (rdbd does at start-up). Until
  // then, or after a failed append, the next persistent write does. 0, or
  // a negated errno.
  int compact();

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

 private:
  rdbproto::Reply get(const rdbproto::Request &req) const;
  rdbproto::Reply write(const rdbproto::Request &req);
  rdbproto::Reply getnames(const rdbproto::Request &req) const;
  int log_change(std::string_view name, const Variable *before, const Variable *after);

  std::string file_;
  Variables vars_;
  hw::unique_fd log_;      // the store file, open for appending; none until written or when broken
  size_t log_bytes_ = 0;   // its size
  size_t live_bytes_ = 0;  // the size it would have, rewritten compact
  bool torn_tail_ = false;
};

// A compact store file: a record for each persistent variable.
std::string serialize(const Variables &vars);
// Replays a store file. An incomplete or damaged last record (what a crash
// in the middle of an append leaves) is dropped and *torn_tail set; damage
// anywhere before it makes the file unsound: -EBADMSG with *error set.
// Also reads the files of earlier rdbd versions (one snapshot, no log).
int parse(std::string_view text, Variables &vars, std::string *error, bool *torn_tail = nullptr);

// Writes text to path so that after a crash at any moment path holds either
// its old content or text. 0, or a negated errno. With keep, the new file
// stays open for appending in *keep.
int replace_file(const std::string &path, std::string_view text, hw::unique_fd *keep = nullptr);

}  // namespace rdbstore
