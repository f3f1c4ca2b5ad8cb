// SPDX-License-Identifier: MIT
#include "fuzz/fuzz_support.h"

#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "base/log.h"
#include "rdb/rdb.h"
#include "rdb/rdbdrv.h"
#include "rdb/rdbproto.h"
#include "tests/support/namespaces.h"

namespace fuzzsupport {
namespace {

[[noreturn]] void die(const char *what) {
  fprintf(stderr, "fuzz sandbox: %s: %s\n", what, strerror(errno));
  abort();
}

void or_die(const std::string &error) {
  if (error.empty()) return;
  fprintf(stderr, "fuzz sandbox: %s (run as root)\n", error.c_str());
  abort();
}

void drop_line(int, const char *) {}

struct Listing {
  std::string bytes;
  std::optional<int32_t> reported_len;
};

struct State {
  rdbstore::Store store;
  std::optional<Listing> listing;
  const char *listing_buffer = nullptr;
  int32_t listing_capacity = 0;
};
std::unique_ptr<State> g_state;

bool is_listing(unsigned long request) { return rdbproto::op_of(request) == rdbproto::Op::getnames; }

// What a driver does with a listing request when the listing is given.
int answer_listing(rdbdrv_request &rec) {
  const Listing &listing = *g_state->listing;
  const int32_t capacity = rec.len;
  if (!rec.name || !rec.value || capacity < 0) {
    errno = rec.value ? EINVAL : EFAULT;
    return -1;
  }
  if (listing.reported_len) {
    const size_t n = std::min(listing.bytes.size(), static_cast<size_t>(capacity));
    memcpy(rec.value, listing.bytes.data(), n);
    rec.len = *listing.reported_len;
  } else {
    const auto needed = static_cast<int32_t>(listing.bytes.size());
    if (capacity < needed) {
      rec.len = needed;
      errno = EOVERFLOW;
      return -1;
    }
    memcpy(rec.value, listing.bytes.data(), listing.bytes.size());
    if (capacity > needed) rec.value[needed] = '\0';
    rec.len = needed;
  }
  g_state->listing_buffer = rec.value;
  g_state->listing_capacity = capacity;
  return 0;
}

int store_transport(int, unsigned long request, rdbdrv_request *rec) {
  if (g_state->listing && is_listing(request)) return answer_listing(*rec);
  const int32_t capacity = rec->len;
  if (g_state->store.serve(request, *rec) < 0) return -1;
  if (is_listing(request)) {
    g_state->listing_buffer = rec->value;
    g_state->listing_capacity = capacity;
  }
  return 0;
}

}  // namespace

std::unique_ptr<board::SysfsTree> sandboxed_tree(const char *target, void (*lay_out)(board::SysfsTree &)) {
  enter_sandbox();
  std::unique_ptr<board::SysfsTree> tree;
  try {
    tree = std::make_unique<board::SysfsTree>(kSandboxSysfs);
    lay_out(*tree);
  } catch (const std::exception &e) {
    fprintf(stderr, "%s: cannot lay out the board: %s\n", target, e.what());
    abort();
  }
  setenv("SYSFS_PATH", tree->root().c_str(), 1);
  return tree;
}

void enter_sandbox() {
  or_die(testsupport::enter_namespaces(CLONE_NEWNS));
  or_die(testsupport::make_private_dev("64k", MS_NOSUID | MS_NOEXEC));
  or_die(testsupport::mount_tmpfs(kSandboxSysfs, "mode=0755,size=64m", MS_NOSUID | MS_NODEV | MS_NOEXEC));
}

void silence_log() {
  hwlog_set_sink(drop_line);
  hwlog_set_mask(LOG_UPTO(LOG_DEBUG));
}

void contract_failed(const char *file, int line, const char *what) {
  fprintf(stderr, "%s:%d: contract broken: %s\n", file, line, what);
  abort();
}

std::vector<std::string_view> split(std::string_view data, std::string_view separator, size_t max_parts) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < max_parts) {
    const size_t at = data.find(separator);
    if (at == std::string_view::npos) break;
    parts.push_back(data.substr(0, at));
    data.remove_prefix(at + separator.size());
  }
  parts.push_back(data);
  return parts;
}

StoreRdb::StoreRdb() {
  g_state = std::make_unique<State>();
  rdbdrv_set_transport(store_transport);
  setenv("RDB_DEVICE", "/dev/null", 1);
  if (rdb_init() < 0) die("rdb_init on the in-process store");
}

StoreRdb::~StoreRdb() {
  rdb_fini();
  rdbdrv_set_transport(nullptr);
  g_state.reset();
}

rdbstore::Store &StoreRdb::store() { return g_state->store; }

void StoreRdb::reset() {
  g_state->store = rdbstore::Store();
  g_state->listing.reset();
  g_state->listing_buffer = nullptr;
  g_state->listing_capacity = 0;
}

void StoreRdb::set_listing(std::optional<std::string> bytes, std::optional<int32_t> reported_len) {
  if (bytes)
    g_state->listing = Listing{std::move(*bytes), reported_len};
  else
    g_state->listing.reset();
}

const char *StoreRdb::last_listing_buffer() const { return g_state->listing_buffer; }

int32_t StoreRdb::last_listing_capacity() const { return g_state->listing_capacity; }

}  // namespace fuzzsupport
