// SPDX-License-Identifier: MIT
#include "rdb/rdb.h"

#include <regex.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>

#include "base/log.h"
#include "base/strutil.h"
#include "rdb/rdbdrv.h"

namespace {

constexpr char HWLOG_MODULE[] = "rdb";

constexpr int kValueSize = 1024;
constexpr int kNamesSize = 4096;
// Listings and long values grow their buffers to what the driver asks for,
// up to this much.
constexpr int kGrownSizeMax = 4 * 1024 * 1024;
// What is read can grow between two requests; give up after a few rounds.
constexpr int kGrowAttempts = 4;

// Reported while no handle is open: nothing was asked of any device.
constexpr int kNoHandle = ENODEV;

// Read to find out whether the RDB answers; it need not exist.
constexpr char kProbeName[] = "sys.hw.cfg.debug";

rdbdrv_handle *g_handle = nullptr;
bool g_read_only = false;
// A write or delete failed since the mirror was last found whole.
bool g_write_failed = false;
// The handle's reconnects when the mirror was last found whole: one more
// means rdbd restarted and lost the volatile variables.
unsigned g_reconnects_seen = 0;

// The last write or delete that failed, as long as no later request was
// made for its name: what the RDB refused last, and so what shows whether
// it takes it now (rdb_probe). Its value is the one wanted now, as nothing
// was asked for the name since.
enum class failed_kind { none, write, remove };
struct failed_request {
  failed_kind kind = failed_kind::none;
  hw::fixed_text<kRdbVarNameSize> name;
  hw::fixed_text<kValueSize> value;
  int persist = 0;
};
failed_request g_last_failed;

// Deletes that failed, repeated whenever the mirror is written again until
// the RDB takes them: an entry that changed type while rdbd was away or its
// disk full must not stay stored under its old name. Only names the daemon
// asked to delete are here, and none from before the RDB was opened.
std::set<std::string> g_failed_deletes;
// So many are not left by any run of a board (99 records of 6 variables,
// and entries that changed type); a bound all the same.
constexpr size_t kFailedDeletesMax = 1024;
char g_value[kValueSize];
std::unique_ptr<char[]> g_long_value;
int g_long_value_size = 0;
char g_name[kRdbVarNameSize];

// The names buffer starts at its classic size and grows only when a
// listing does not fit.
char g_names_small[kNamesSize];
std::unique_ptr<char[]> g_names_big;
char *g_names = g_names_small;
int g_names_size = kNamesSize;

int fail_without_handle() {
  errno = kNoHandle;
  return -kNoHandle;
}

int refuse_write() {
  errno = EROFS;
  return -EROFS;
}

// Replaces buf with one of size bytes; false when memory runs out.
bool reallocate(std::unique_ptr<char[]> &buf, int &buf_size, int size) {
  std::unique_ptr<char[]> bigger(new (std::nothrow) char[size]);
  if (!bigger) return false;
  buf = std::move(bigger);
  buf_size = size;
  return true;
}

// Makes room for a list of needed bytes plus its terminating NUL.
bool grow_names_buffer(int needed) {
  if (needed < g_names_size || needed >= kGrownSizeMax) return false;
  if (!reallocate(g_names_big, g_names_size, needed + 1)) return false;
  g_names = g_names_big.get();
  return true;
}

// Back to the classic buffer; a grown one is given back.
void release_grown_names() {
  g_names = g_names_small;
  g_names_size = kNamesSize;
  g_names_big.reset();
}

// The regular expression is released on every way out of the walk.
struct compiled_regex {
  regex_t re{};
  bool valid = false;
  ~compiled_regex() {
    if (valid) regfree(&re);
  }
};

// A request for name supersedes a failed one for the same name.
void supersede_failed(const char *name) {
  if (g_last_failed.kind != failed_kind::none && strcmp(g_last_failed.name.c_str(), name) == 0)
    g_last_failed.kind = failed_kind::none;
}

void remember_failed(failed_kind kind, const char *name, const char *value, int persist) {
  g_write_failed = true;
  g_last_failed.kind = kind;
  g_last_failed.name.set(name);
  g_last_failed.value.set(value);
  g_last_failed.persist = persist;
}

void remember_failed_delete(const char *name) {
  if (g_failed_deletes.size() >= kFailedDeletesMax) {
    HWLOG(LOG_ERR, "too many failed deletes to repeat - %s stays", name);
    return;
  }
  try {
    g_failed_deletes.emplace(name);
  } catch (const std::bad_alloc &) {
    HWLOG(LOG_ERR, "no memory to repeat a failed delete - %s stays", name);
  }
}

void forget_failed_delete(const char *name) {
  if (!g_failed_deletes.empty()) g_failed_deletes.erase(name);
}

int write_variable(const char *name, const char *value, int persist) {
  const int rc = rdbdrv_set(g_handle, name, value);
  if (rc == 0 || errno != ENOENT) return rc;
  return rdbdrv_create(g_handle, name, value, persist ? RDBDRV_PERSIST : 0, 0);
}

// A variable that is not there is as good as deleted.
int delete_variable(const char *name) {
  const int rc = rdbdrv_delete(g_handle, name);
  return rc == -ENOENT ? 0 : rc;
}

// What failed before the RDB was opened was asked of no RDB: nothing of it
// is repeated in the one that opens.
int open_driver() {
  const char *device = getenv("RDB_DEVICE");
  if (device && !*device) device = nullptr;
  if (rdbdrv_open(device, &g_handle) < 0) return -1;
  g_write_failed = false;
  g_reconnects_seen = 0;
  g_last_failed.kind = failed_kind::none;
  g_failed_deletes.clear();
  return 0;
}

}  // namespace

int rdb_init() {
  rdb_fini();
  if (open_driver() < 0) {
    HWLOG(LOG_ERR, "failed to open rdb driver - %s", strerror(errno));
    return -1;
  }
  return 0;
}

int rdb_try_open() { return g_handle || open_driver() == 0 ? 0 : -1; }

bool rdb_is_open() { return g_handle != nullptr; }

int rdb_ping() {
  if (!g_handle) return fail_without_handle();
  char value[2];
  int len = sizeof value;
  const int rc = rdbdrv_get(g_handle, kProbeName, value, &len);
  return rc == 0 || rc == -ENOENT || rc == -EOVERFLOW ? 0 : rc;
}

int rdb_probe() {
  if (!g_handle) return fail_without_handle();
  int rc;
  switch (g_last_failed.kind) {
    case failed_kind::write:
      rc = write_variable(g_last_failed.name.c_str(), g_last_failed.value.c_str(), g_last_failed.persist);
      break;
    case failed_kind::remove:
      rc = delete_variable(g_last_failed.name.c_str());
      if (rc == 0) forget_failed_delete(g_last_failed.name.c_str());
      break;
    default:
      return rdb_ping();
  }
  if (rc == 0) g_last_failed.kind = failed_kind::none;
  return rc;
}

int rdb_wait_fd() { return g_handle ? rdbdrv_wait_fd(g_handle) : -1; }

bool rdb_mirror_stale() {
  return g_write_failed || !g_failed_deletes.empty() ||
         (g_handle && (rdbdrv_reconnect_count(g_handle) != g_reconnects_seen || !rdbdrv_connected(g_handle)));
}

int rdb_mirror_rewriting() {
  g_write_failed = false;
  g_reconnects_seen = g_handle ? rdbdrv_reconnect_count(g_handle) : 0;
  int deleted = 0;
  for (auto it = g_failed_deletes.begin(); it != g_failed_deletes.end();) {
    supersede_failed(it->c_str());
    if (g_handle && delete_variable(it->c_str()) == 0) {
      it = g_failed_deletes.erase(it);
      ++deleted;
    } else {
      remember_failed(failed_kind::remove, it->c_str(), "", 0);
      ++it;
    }
  }
  return deleted;
}

void rdb_fini() {
  if (g_handle) rdbdrv_close(&g_handle);
  release_grown_names();
  g_long_value.reset();
  g_long_value_size = 0;
}

const char *rdb_get_value(const char *name) {
  if (!g_handle) return nullptr;
  int len = kValueSize;
  if (rdbdrv_get(g_handle, name, g_value, &len) < 0) return nullptr;
  g_value[kValueSize - 1] = '\0';
  return g_value;
}

const char *rdb_get_long_value(const char *name) {
  if (!g_handle) {
    fail_without_handle();
    return nullptr;
  }
  if (!g_long_value && !reallocate(g_long_value, g_long_value_size, kValueSize)) {
    errno = ENOMEM;
    return nullptr;
  }
  for (int attempt = 0; attempt < kGrowAttempts; ++attempt) {
    int len = g_long_value_size;
    const int rc = rdbdrv_get(g_handle, name, g_long_value.get(), &len);
    if (rc == 0) {
      g_long_value[g_long_value_size - 1] = '\0';
      return g_long_value.get();
    }
    if (rc != -EOVERFLOW || len <= g_long_value_size || len > kGrownSizeMax) return nullptr;
    if (!reallocate(g_long_value, g_long_value_size, len)) {
      errno = ENOMEM;
      return nullptr;
    }
  }
  return nullptr;
}

int rdb_set_value(const char *name, const char *value, int persist) {
  if (!value) value = "";
  HWLOG(LOG_DEBUG, "rdb_set (var=%s,val=%s,persist=%d)", name, value, persist);

  int rc;
  if (g_read_only) {
    rc = refuse_write();
    g_write_failed = true;
  } else {
    supersede_failed(name);
    forget_failed_delete(name);
    rc = g_handle ? write_variable(name, value, persist) : fail_without_handle();
    if (rc == 0) return 0;
    remember_failed(failed_kind::write, name, value, persist);
  }
  const int err = errno;
  HWLOG(LOG_ERR, "failed to write to rdb(var=%s,val=%s) - %s", name, value, strerror(err));
  errno = err;
  return rc;
}

void rdb_set_read_only(bool read_only) { g_read_only = read_only; }

int rdb_delete_value(const char *name) {
  if (g_read_only) return refuse_write();
  supersede_failed(name);
  const int rc = g_handle ? rdbdrv_delete(g_handle, name) : fail_without_handle();
  if (rc == 0 || rc == -ENOENT) {
    forget_failed_delete(name);
    return rc;
  }
  const int err = errno;  // a log line of a failed remembering may change it
  remember_failed(failed_kind::remove, name, "", 0);
  remember_failed_delete(name);
  errno = err;
  return rc;
}

const char *rdb_format_name(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(g_name, sizeof g_name, fmt, ap);
  va_end(ap);
  return g_name;
}

char *rdb_get_names(const char *name, int flags) {
  g_names[0] = '\0';
  if (!g_handle) return nullptr;

  for (int attempt = 0; attempt < kGrowAttempts; ++attempt) {
    int len = g_names_size - 1;
    const int rc = rdbdrv_getnames(g_handle, name, g_names, &len, flags);
    if (rc == -EOVERFLOW && grow_names_buffer(len)) continue;
    if (rc < 0 || len < 0) return nullptr;
    if (len > g_names_size - 1) len = g_names_size - 1;
    g_names[len] = '\0';
    return g_names;
  }
  return nullptr;
}

int rdb_regex_enum(const char *name, const char *regex, rdb_enum_cb cb, int ref) {
  // A listing too long for the classic buffer (the class entries of a board
  // that has seen many devices) is read at start-up only: the grown buffer
  // goes back as soon as the walk is over, however it ends, instead of
  // staying with the daemon for good.
  struct grown_names_release {
    ~grown_names_release() { release_grown_names(); }
  } release;
  compiled_regex compiled;
  if (regcomp(&compiled.re, regex, REG_NOSUB) != 0) {
    HWLOG(LOG_ERR, "failed to compile regex (wildcard=%s) - %s", regex, strerror(errno));
    return -1;
  }
  compiled.valid = true;

  char *names = rdb_get_names(name, 0);
  if (!names) {
    HWLOG(LOG_DEBUG, "no hwdev RDBs found (name=%s)", name);
    return 0;
  }
  HWLOG(LOG_DEBUG, "got RDBs (name=%s,names=%s)", name, names);

  char *save = nullptr;
  for (char *token = strtok_r(names, ";&", &save); token; token = strtok_r(nullptr, ";&", &save)) {
    HWLOG(LOG_DEBUG, "got token (token=%s)", token);
    if (regexec(&compiled.re, token, 0, nullptr, 0) != 0) continue;
    HWLOG(LOG_DEBUG, "call callback function (token=%s,ref=%d)", token, ref);
    if (cb(token, ref) < 0) break;
  }
  return 0;
}

int enum_cb_on_delete_hwdev_rdbs(const char *name, int ref) {
  rdb_delete_value(name);
  return 0;
}
