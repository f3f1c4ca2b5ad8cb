#pragma once
// The variables of the RDB stand-in and the driver's rules for them. A Store
// executes decoded requests; rdbd feeds it from its clients, and tests run it
// in-process behind rdbdrv's transport seam.
//
// Persistent variables (flag 0x20) are also kept in a store file, rewritten
// crash-safely before a write that touches one is acknowledged: a temporary
// file beside it, fsync, rename over the old one, fsync of the folder. So
// the file always holds either the old or the new set, never a mix.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

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

  // Reads the store file; a missing file is an empty store. 0, or a negated
  // errno with *error saying what is wrong (EBADMSG: not a sound store file).
  int load(std::string *error);

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
  int save() const;

  std::string file_;
  Variables vars_;
};

// The store file's text: the persistent variables only, every byte outside
// printable ASCII (and "%" and the space) written as %XX, so a value with a
// newline stays one record.
std::string serialize(const Variables &vars);
// Strict inverse of serialize: 0, or -EBADMSG with *error set.
int parse(std::string_view text, Variables &vars, std::string *error);

// Writes text to path so that after a crash at any moment path holds either
// its old content or text. 0, or a negated errno.
int replace_file(const std::string &path, std::string_view text);

}  // namespace rdbstore
