// SPDX-License-Identifier: MIT
#include "tests/support/memory_rdb.h"

#include <cstdlib>
#include <memory>

#include "rdb/rdb.h"
#include "rdb/rdbdrv.h"
#include "rdb/rdbproto.h"
#include "tools/rdbd/store.h"

namespace testsupport {
namespace {

// The transport is a plain function, so the instance lives here.
struct State {
  rdbstore::Store store;
  std::vector<RdbOp> ops;
  bool failing = false;
  int fail_errno = EIO;
};
std::unique_ptr<State> g_state;

int memory_transport(int fd, unsigned long request, rdbdrv_request *rec) {
  rdbproto::Request req;
  const int carried = rdbproto::request_from_record(request, *rec, req);
  g_state->ops.push_back(
      {request, req.name, std::string(req.value.substr(0, req.value.find('\0'))), rec->flags});
  if (carried < 0) {
    errno = -carried;
    return -1;
  }
  if (g_state->failing) {
    errno = g_state->fail_errno;
    return -1;
  }
  return g_state->store.serve(request, req, *rec);
}

}  // namespace

MemoryRdb::MemoryRdb() {
  if (const char *device = getenv("RDB_DEVICE")) saved_device_ = device;
  g_state = std::make_unique<State>();
  rdbdrv_set_transport(memory_transport);
  setenv("RDB_DEVICE", "/dev/null", 1);
  rdb_init();
}

MemoryRdb::~MemoryRdb() {
  rdb_fini();
  rdbdrv_set_transport(nullptr);
  if (saved_device_)
    setenv("RDB_DEVICE", saved_device_->c_str(), 1);
  else
    unsetenv("RDB_DEVICE");
  g_state.reset();
}

std::optional<std::string> MemoryRdb::get(const std::string &name) const {
  const rdbstore::Variable *var = g_state->store.find(name);
  if (!var) return std::nullopt;
  return var->value;
}

bool MemoryRdb::exists(const std::string &name) const { return g_state->store.find(name) != nullptr; }

bool MemoryRdb::persistent(const std::string &name) const {
  const rdbstore::Variable *var = g_state->store.find(name);
  return var && var->persistent();
}

void MemoryRdb::put(const std::string &name, const std::string &value, bool persist) {
  rdbstore::Variable var;
  var.value = value.substr(0, value.find('\0'));
  var.flags = persist ? RDBDRV_PERSIST : 0;
  g_state->store.put(name, std::move(var));
}

void MemoryRdb::erase(const std::string &name) { g_state->store.erase(name); }

std::map<std::string, std::string> MemoryRdb::dump(std::string_view prefix) const {
  std::map<std::string, std::string> out;
  for (const auto &[name, var] : g_state->store.variables())
    if (name.starts_with(prefix)) out.emplace(name, var.value);
  return out;
}

const std::vector<RdbOp> &MemoryRdb::ops() const { return g_state->ops; }

void MemoryRdb::clear_ops() { g_state->ops.clear(); }

void MemoryRdb::fail_requests(bool on, int err) {
  g_state->failing = on;
  g_state->fail_errno = err;
}

}  // namespace testsupport
