// SPDX-License-Identifier: MIT
#include "records/hwcls.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "base/alloc_gate.h"
#include "base/log.h"
#include "rdb/rdb.h"
#include "records/hwdev.h"
#include "records/str2ref.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwcls";

constexpr size_t kRdbPrefixLen = sizeof kHwclsRdbPrefix - 1;  // 13
constexpr size_t kRdbNameSize = 256;
constexpr size_t kTokenSize = 256;    // longer tokens name no type anyway

// Type 0 has no name; it is formatted as "(null)" wherever a name is needed.
constexpr const char *kTypeNames[HWCLS_TYPE_COUNT] = {nullptr, "serial", "eth", "storage", "phonemodule"};
constexpr char kNoTypeText[] = "(null)";

// An entry takes the id and the location of its device whole.
static_assert(decltype(hwcls::id)::capacity == kHwdevTextSize);
static_assert(decltype(hwcls::loc)::capacity == kHwdevTextSize);
constexpr const char *kStatusNames[] = {"removed", "inserted"};

str2ref_ptr hwcls_by_id;
str2ref_ptr hwcls_by_loc;
std::array<int, HWCLS_TYPE_COUNT> hwcls_next_index{};
char rdb_name_buf[kRdbNameSize];
hwcls_match last_match = hwcls_match::none;

// An RDB name of an entry: its type and its index.
using rdb_name_key = std::pair<int, int>;

// Every record made by hwcls_get, keyed by its address, so release and
// shutdown free exactly what was handed out; with whether it may have index
// entries, so that filing a record for the first time (every stored class
// at start-up) skips two index-wide searches for entries it cannot have.
struct owned_record {
  std::unique_ptr<hwcls> rec;
  bool maybe_indexed = false;
  // The RDB name (type and index) the record was last filed under.
  std::optional<rdb_name_key> name = std::nullopt;
};
std::map<const hwcls *, owned_record> records;

// Which record writes each RDB name ("serial.3" as type and index): one
// record a name, or two would overwrite each other's variables.
std::map<rdb_name_key, const hwcls *> names;

bool valid_type(int type) { return type >= 0 && type < HWCLS_TYPE_COUNT; }

const char *text_or_empty(const char *text) { return text ? text : ""; }

// Raises without overflowing: a stored index of INT_MAX leaves the counter
// at INT_MAX rather than wrapping it negative.
int successor(int index) { return index < INT_MAX ? index + 1 : INT_MAX; }

// The next "."-separated token of rest (empty ones skipped, as strtok does);
// empty when none is left.
std::string_view next_token(std::string_view &rest) {
  size_t start = rest.find_first_not_of('.');
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  size_t end = rest.find('.');
  std::string_view token = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  return token;
}

// The value of the token's leading decimal digits (0 when there are none:
// no white space or sign is read); false when they do not fit an int, or
// leave the type's counter no room above them (INT_MAX): a new class would
// then share their name.
bool parse_leading_digits(std::string_view token, int *value) {
  const int v = token.empty() || token[0] < '0' || token[0] > '9' ? 0 : hw::leading_int(token);
  if (v == INT_MAX) return false;
  *value = v;
  return true;
}

struct rdb_field {
  const char *key;
  const char *(*value)(const hwcls &cls, int clear_dev);
  int persist;
};

// The variables of a class, in the order they are written.
constexpr rdb_field kRdbFields[] = {
    {"dev",
     [](const hwcls &cls, int clear_dev) { return cls.hd && !cls.is_static && !clear_dev ? hwdev_rdb_name(cls.hd) : ""; },
     0},
    {"name",
     [](const hwcls &cls, int) {
       if (cls.is_static) return cls.name.c_str();
       return cls.hd ? text_or_empty(cls.hd->name.c_str()) : "";
     },
     0},
    {"mac", [](const hwcls &cls, int) { return !cls.is_static && cls.hd ? text_or_empty(cls.hd->mac.c_str()) : ""; },
     1},
    {"id", [](const hwcls &cls, int) { return cls.id.c_str(); }, 1},
    {"location", [](const hwcls &cls, int) { return cls.loc.c_str(); }, 1},
    {"status", [](const hwcls &cls, int) { return hwcls_status_name(&cls); }, 0},
    {"enable", [](const hwcls &cls, int) { return cls.enable ? "1" : "0"; }, 1},
};

// Whether another record writes the RDB name of type and index.
bool name_taken(const hwcls *cls, int type, int index) {
  const auto it = names.find({type, index});
  return it != names.end() && it->second != cls;
}

void drop_name(owned_record &owned) {
  if (!owned.name) return;
  const auto it = names.find(*owned.name);
  if (it != names.end() && it->second == owned.rec.get()) names.erase(it);
  owned.name.reset();
}

void take_name(owned_record &owned) {
  drop_name(owned);
  const hwcls &cls = *owned.rec;
  owned.name = rdb_name_key{cls.type, cls.index};
  names[*owned.name] = &cls;
}

// The type as RDB names spell it: "(null)" for type 0 or one out of range.
const char *type_text(int type) { return hw::name_from_code(type, kTypeNames, kNoTypeText); }

// The name of the variable key of the entry filed as type and index.
void name_variable(hw::fixed_text<kRdbVarNameSize> &var, int type, int index, const char *key) {
  var.set(rdb_format_name("%s%s.%d.%s", kHwclsRdbPrefix, type_text(type), index, key));
}

// Deletes what hwcls_write_to_rdb wrote under a name the record has left.
void delete_variables(int type, int index) {
  for (const auto &field : kRdbFields) {
    hw::fixed_text<kRdbVarNameSize> var;
    name_variable(var, type, index, field.key);
    if (rdb_delete_value(var.c_str()) < 0 && errno != ENOENT)
      HWLOG(LOG_ERR, "failed to delete hwcls rdb (var=%s) - %s", var.c_str(), strerror(errno));
  }
}

// Keeps the variable's name for the message that reports it missing; the
// value lives in the shared value buffer until the next read.
const char *read_variable(hw::fixed_text<kRdbVarNameSize> &var, const char *name) {
  var.set(name);
  return rdb_get_value(var.c_str());
}

// Sets the type and the index of cls from the tokens after
// "sys.hw.class." in prefix; false when one is missing (logged on behalf of
// the caller).
bool read_type_and_index(hwcls *cls, const char *prefix, hwlog_site at) {
  // A prefix shorter than "sys.hw.class." (a name cut at an earlier ".id")
  // has no type token to skip to.
  std::string_view rest = prefix ? std::string_view(prefix) : std::string_view();
  if (rest.size() < kRdbPrefixLen) {
    HWLOG_AT(at, LOG_ERR, "hwclass type not found");
    return false;
  }
  rest.remove_prefix(kRdbPrefixLen);

  std::string_view type_token = next_token(rest);
  if (type_token.empty()) {
    HWLOG_AT(at, LOG_ERR, "hwclass type not found");
    return false;
  }
  hw::fixed_text<kTokenSize> type_name;
  hw::formatf(type_name.data(), kTokenSize, "%.*s", static_cast<int>(type_token.size()), type_token.data());
  cls->type = hwcls_type_from_name(type_name.c_str());

  std::string_view index_token = next_token(rest);
  int index = 0;
  // An index beyond int was never written by this daemon; it has none.
  if (index_token.empty() || !parse_leading_digits(index_token, &index)) {
    HWLOG_AT(at, LOG_ERR, "hwclass index not found");
    return false;
  }
  cls->index = index;
  return true;
}

}  // namespace

int hwcls_init() {
  names.clear();
  records.clear();
  hwcls_by_loc.reset(str2ref_create());
  hwcls_by_id.reset(str2ref_create());
  hwcls_next_index.fill(0);
  return 0;
}

void hwcls_fini() {
  hwcls_by_loc.reset();
  hwcls_by_id.reset();
  // Nothing reads a class record after shutdown begins; freeing them here
  // keeps a full run free of leaks.
  names.clear();
  records.clear();
}

hwcls *hwcls_get() {
  auto cls = hw::make_unique_nothrow<hwcls>();
  if (!cls) {
    HWLOG(LOG_ERR, "failed in malloc() - %s", strerror(errno));
    return nullptr;
  }
  hwcls *raw = cls.get();
  try {
    records.emplace(raw, owned_record{std::move(cls)});
  } catch (const std::bad_alloc &) {
    HWLOG(LOG_ERR, "failed in malloc() - %s", strerror(ENOMEM));
    return nullptr;
  }
  return raw;
}

void hwcls_release(hwcls *cls) {
  auto it = records.find(cls);
  if (it == records.end()) return;
  drop_name(it->second);
  // A record still indexed would leave dangling references behind.
  if (it->second.maybe_indexed) {
    if (hwcls_by_id) str2ref_del_by_ref(hwcls_by_id.get(), cls);
    if (hwcls_by_loc) str2ref_del_by_ref(hwcls_by_loc.get(), cls);
  }
  records.erase(it);
}

int hwcls_fixup(hwcls *cls, int keep_index) {
  // Every caller files a record hwcls_get made.
  const auto owned = records.find(cls);
  if (owned == records.end() || !hwcls_by_id || !hwcls_by_loc || !valid_type(cls->type)) return -1;
  owned_record &own = owned->second;

  // A record that was never filed has no entries: both searches (each a
  // walk of the whole index) would find nothing.
  const int stat = own.maybe_indexed ? str2ref_del_by_ref(hwcls_by_id.get(), cls) : -1;
  const int stat2 = own.maybe_indexed ? str2ref_del_by_ref(hwcls_by_loc.get(), cls) : -1;
  own.maybe_indexed = false;
  if (stat != stat2) {
    HWLOG(LOG_ERR, "###hwcls## internal structure integrity broken in id and loc rbtree (stat=%d,stat2=%d)", stat,
          stat2);
    return -1;
  }

  int &next_index = hwcls_next_index[cls->type];
  if (keep_index) {
    // Two stored names can lead to one entry (serial.5 and serial.05, or a
    // name going on after ".id"): the first one read keeps it.
    if (name_taken(cls, cls->type, cls->index)) {
      HWLOG(LOG_ERR, "###hwcls## class already read (rdb=%s%s)", kHwclsRdbPrefix, hwcls_rdb_name(cls));
      drop_name(own);
      return -1;
    }
    if (cls->index >= next_index) next_index = successor(cls->index);
  } else if (stat < 0) {
    // Only a record new to the indexes gets a number; an indexed one keeps
    // its number (and so its RDB names).
    cls->index = next_index;
    next_index = successor(next_index);
  } else if (own.name && own.name->first != cls->type) {
    // An entry that changed type (a modem's interface switched from serial
    // to network mode) keeps its number only where the number is free in
    // the new type, and leaves its old name, which a restart would
    // otherwise bring back as a second entry for the device.
    delete_variables(own.name->first, own.name->second);
    if (name_taken(cls, cls->type, cls->index)) {
      cls->index = next_index;
      next_index = successor(next_index);
    } else if (cls->index >= next_index) {
      next_index = successor(cls->index);
    }
  }
  take_name(own);

  if (str2ref_add(hwcls_by_id.get(), cls->id.c_str(), cls) < 0) {
    HWLOG(LOG_ERR, "failed in str2ref_add(id)");
    return -1;
  }
  own.maybe_indexed = true;
  if (str2ref_add(hwcls_by_loc.get(), cls->loc.c_str(), cls) < 0) {
    HWLOG(LOG_ERR, "failed in str2ref_add(loc)");
    return -1;
  }
  return 0;
}

int hwcls_find_for_hwdev(const hwdev *hd, hwcls **cls) {
  last_match = hwcls_match::none;
  if (cls) *cls = nullptr;
  if (!cls || !hd || !hwcls_by_id || !hd->id.present()) return -1;
  const char *id = hd->id.c_str();
  const char *loc = text_or_empty(hd->loc.c_str());

  void *ref = nullptr;
  // A device of unknown identity never takes over a class by location.
  if (str2ref_find(hwcls_by_id.get(), id, &ref) < 0) return -1;
  auto *first = static_cast<hwcls *>(ref);
  if (strcmp(first->loc.c_str(), loc) == 0) {
    *cls = first;
    last_match = hwcls_match::identity_and_location;
    return 0;
  }
  // The only class of this identity, and free: the device has moved.
  if (str2ref_find_next(hwcls_by_id.get(), id, nullptr) < 0 && first->status == HWCLS_STATUS_REMOVED) {
    *cls = first;
    last_match = hwcls_match::unique_identity;
    return 0;
  }
  // A shared identity, or its class is held elsewhere: go by location. The
  // class of this very identity there comes before any other filed there
  // earlier: which one is filed first changes with a restart (classes are
  // read back in name order), and the device must not change its class then.
  if (!hwcls_by_loc || str2ref_find(hwcls_by_loc.get(), loc, &ref) < 0) return -1;
  *cls = static_cast<hwcls *>(ref);
  for (void *next = ref; strcmp((*cls)->id.c_str(), id) != 0 && str2ref_find_next(hwcls_by_loc.get(), loc, &next) == 0;)
    if (strcmp(static_cast<hwcls *>(next)->id.c_str(), id) == 0) *cls = static_cast<hwcls *>(next);
  last_match = hwcls_match::location;
  return 0;
}

hwcls_match hwcls_last_match() { return last_match; }

int hwcls_first(hwcls **cls) {
  void *ref = nullptr;
  int r = hwcls_by_id ? str2ref_first(hwcls_by_id.get(), nullptr, &ref) : -1;
  if (cls) *cls = r == 0 ? static_cast<hwcls *>(ref) : nullptr;
  return r;
}

int hwcls_next(hwcls **cls) {
  void *ref = nullptr;
  int r = hwcls_by_id ? str2ref_next(hwcls_by_id.get(), nullptr, &ref) : -1;
  if (cls) *cls = r == 0 ? static_cast<hwcls *>(ref) : nullptr;
  return r;
}

int hwcls_write_to_rdb(hwcls *cls, int clear_dev) {
  if (!cls) return 0;
  for (const auto &field : kRdbFields) {
    hw::fixed_text<kRdbVarNameSize> var;
    name_variable(var, cls->type, cls->index, field.key);
    const char *value = field.value(*cls, clear_dev);
    if (rdb_set_value(var.c_str(), value, field.persist) < 0)
      HWLOG(LOG_ERR, "failed to write hwcls rdb (var=%s,val=%s)", var.c_str(), value);
  }
  return 0;
}

int hwcls_read_from_rdb(hwcls *cls, const char *prefix) {
  if (!cls || !read_type_and_index(cls, prefix, HWLOG_SITE(__func__))) return -1;

  // An unknown type reads as "(null)" here, so its variables are not found.
  hw::fixed_text<kRdbNameSize> own;
  own.set(hwcls_rdb_name(cls));
  hw::fixed_text<kRdbVarNameSize> var;

  const char *value = read_variable(var, rdb_format_name("%s%s.id", kHwclsRdbPrefix, own.c_str()));
  if (!value) {
    HWLOG(LOG_ERR, "id of hwclass missing (rdb=%s)", var.c_str());
    return -1;
  }
  cls->id.set(value);

  value = read_variable(var, rdb_format_name("%s%s.location", kHwclsRdbPrefix, own.c_str()));
  if (!value) {
    HWLOG(LOG_ERR, "location of hwclass missing (rdb=%s)", var.c_str());
    return -1;
  }
  cls->loc.set(value);

  value = read_variable(var, rdb_format_name("%s%s.enable", kHwclsRdbPrefix, own.c_str()));
  cls->enable = !value || hw::leading_int(value) != 0 ? 1 : 0;

  value = read_variable(var, rdb_format_name("%s%s.static", kHwclsRdbPrefix, own.c_str()));
  cls->is_static = value && hw::leading_int(value) != 0 ? 1 : 0;

  if (cls->is_static) {
    value = read_variable(var, rdb_format_name("%s%s.name", kHwclsRdbPrefix, own.c_str()));
    if (!value) {
      HWLOG(LOG_ERR, "dev of hwclass missing (rdb=%s)", var.c_str());
      return -1;
    }
    cls->name.set(value);
  }

  cls->status = HWCLS_STATUS_REMOVED;
  return 0;
}

int hwcls_type_from_name(const char *name) { return hw::code_from_name(name, kTypeNames, HWCLS_TYPE_NONE); }

const char *hwcls_type_name(const hwcls *cls) { return type_text(cls ? cls->type : HWCLS_TYPE_NONE); }

const char *hwcls_status_name(const hwcls *cls) {
  return hw::name_from_code(cls ? cls->status : HWCLS_STATUS_REMOVED, kStatusNames, kStatusNames[HWCLS_STATUS_REMOVED]);
}

const char *hwcls_rdb_name(const hwcls *cls) {
  hw::formatf(rdb_name_buf, sizeof rdb_name_buf, "%s.%d", hwcls_type_name(cls), cls ? cls->index : -1);
  return rdb_name_buf;
}
