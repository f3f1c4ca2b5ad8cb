// SPDX-License-Identifier: MIT
// hwtrack-floor: the least a program can do to turn events into the RDB's
// device and class variables, as hwtrackd does: the same datagrams received
// on the same two sockets, the same sysfs reads (each file-system question
// asked once per event, as the daemon's caches allow), the same RDB requests
// in the same order (update, then create when the variable is missing), the
// same class script runs, and nothing else: no logging, no event line, no
// checks of senders or devpaths, no general-purpose containers on the event
// path. Its CPU time per event is the reference the benchmarks hold the
// daemon against; it is not a daemon anyone should run.
//
// Environment: SYSFS_PATH (sysfs root, default /sys), RDB_DEVICE (the RDB
// stand-in's socket). Ends on SIGTERM or SIGINT.

#include <linux/netlink.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/dir_handle.h"
#include "base/path_size.h"
#include "base/strutil.h"
#include "base/unique_fd.h"
#include "core/codes.h"
#include "rdb/rdbdrv.h"
#ifdef HWBENCH_INPROC
#include "bench/inproc_rdb.h"
#endif

namespace {

constexpr size_t kName = 256;
constexpr size_t kText = 128;

// --- bounded texts ------------------------------------------------------------

void copy(char *dst, size_t size, const char *src) {
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

template <size_t N>
void copy(char (&dst)[N], const char *src) {
  copy(dst, N, src);
}

template <size_t N>
void append(char (&dst)[N], const char *src) {
  size_t used = strnlen(dst, N);
  if (used < N) copy(dst + used, N - used, src);
}

// Joins parts into buf; false when the result would not fit.
template <size_t N>
bool join(char (&buf)[N], std::initializer_list<const char *> parts) {
  size_t used = 0;
  for (const char *p : parts) {
    size_t n = strlen(p);
    if (used + n >= N) return false;
    memcpy(buf + used, p, n);
    used += n;
  }
  buf[used] = '\0';
  return true;
}

const char *after_last_slash(const char *text) {
  const char *slash = strrchr(text, '/');
  return slash ? slash + 1 : nullptr;
}

uint32_t hash(const char *text) {
  uint32_t h = 2166136261u;
  for (; *text; ++text) h = (h ^ static_cast<unsigned char>(*text)) * 16777619u;
  return h;
}

// --- the per-event sysfs caches: fixed arrays, reset every pass ----------------

char root[hw::kPathSize] = "/sys";

struct Dev {
  char devpath[hw::kPathSize];
  char subsystem[kName];
  char kernel[kName];
  char driver[kName];
  Dev *parent;
};

struct Attr {
  char path[hw::kPathSize];
  bool has_value;
  char value[256];
};

constexpr size_t kMaxDevs = 8192;
constexpr size_t kMaxAttrs = 8192;
constexpr size_t kSlots = 16384;  // power of two, twice the entries

Dev *devs;
size_t dev_count;
Attr *attrs;
size_t attr_count;
// Open addressing: 0 is empty, otherwise entry index + 1.
uint32_t dev_slots[kSlots];
uint32_t attr_slots[kSlots];
uint32_t used_slots[2 * kSlots];
size_t used_count;

void reset_caches() {
  for (size_t i = 0; i < used_count; ++i) {
    uint32_t s = used_slots[i];
    if (s & kSlots)
      attr_slots[s & (kSlots - 1)] = 0;
    else
      dev_slots[s] = 0;
  }
  used_count = 0;
  dev_count = 0;
  attr_count = 0;
}

template <typename T, typename Key>
T *find(uint32_t *slots, T *items, const char *key, Key key_of, uint32_t **empty_slot) {
  for (uint32_t i = hash(key) & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
    if (slots[i] == 0) {
      *empty_slot = &slots[i];
      return nullptr;
    }
    T *item = &items[slots[i] - 1];
    if (strcmp(key_of(*item), key) == 0) return item;
  }
}

Dev *find_dev(const char *devpath, uint32_t **slot) {
  return find(dev_slots, devs, devpath, [](const Dev &d) { return d.devpath; }, slot);
}

ssize_t read_link(const char *path, char (&target)[hw::kPathSize]) {
  ssize_t n = readlink(path, target, sizeof target - 1);
  if (n <= 0) return -1;
  target[n] = '\0';
  return n;
}

bool read_link_name(const char *devpath, const char *name, char (&out)[kName]) {
  char path[hw::kPathSize], target[hw::kPathSize];
  if (!join(path, {root, devpath, "/", name}) || read_link(path, target) < 0) return false;
  const char *last = after_last_slash(target);
  if (!last) return false;
  copy(out, last);
  return true;
}

// The lexical resolution of a relative sysfs link, in place.
bool resolve_link(char (&devpath)[hw::kPathSize]) {
  char path[hw::kPathSize], target[hw::kPathSize];
  if (!join(path, {root, devpath}) || read_link(path, target) < 0) return false;
  const char *rest = target;
  int ups = 0;
  while (strncmp(rest, "../", 3) == 0) {
    ++ups;
    rest += 3;
  }
  for (int i = 0; i <= ups; ++i) {
    char *slash = strrchr(devpath, '/');
    if (!slash) return false;
    *slash = '\0';
  }
  append(devpath, "/");
  append(devpath, rest);
  return true;
}

void guess_subsystem(Dev &d) {
  std::string_view p = d.devpath;
  if (p.starts_with("/class/")) {
    std::string_view rest = p.substr(7);
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
      copy(d.subsystem, "subsystem");
    } else {
      memcpy(d.subsystem, rest.data(), slash < kName - 1 ? slash : kName - 1);
      d.subsystem[slash < kName - 1 ? slash : kName - 1] = '\0';
    }
  } else if (p.starts_with("/block/")) {
    copy(d.subsystem, "block");
  } else if (p.starts_with("/devices/")) {
    read_link_name(d.devpath, "bus", d.subsystem);
  } else if (p.find("/drivers/") != std::string_view::npos) {
    copy(d.subsystem, "drivers");
  } else if (p.starts_with("/module/")) {
    copy(d.subsystem, "module");
  } else if ((p.starts_with("/subsystem/") && p.substr(11).find('/') == std::string_view::npos) ||
             (p.starts_with("/bus/") && p.substr(5).find('/') == std::string_view::npos)) {
    copy(d.subsystem, "subsystem");
  }
}

Dev *dev_get(const char *devpath_in) {
  static constexpr std::string_view accepted[] = {"/devices/", "/subsystem/", "/module/",
                                                  "/bus/",     "/class/",     "/block/"};
  bool ok = false;
  for (std::string_view prefix : accepted) ok = ok || std::string_view(devpath_in).starts_with(prefix);
  if (!ok) return nullptr;

  char work[hw::kPathSize];
  copy(work, devpath_in);
  for (size_t n = strlen(work); n > 0 && work[n - 1] == '/'; --n) work[n - 1] = '\0';

  uint32_t *slot = nullptr;
  if (Dev *d = find_dev(work, &slot)) return d;
  char path[hw::kPathSize];
  struct stat st;
  if (!join(path, {root, work}) || lstat(path, &st) != 0) return nullptr;
  if (S_ISLNK(st.st_mode)) {
    if (!resolve_link(work)) return nullptr;
    if (Dev *d = find_dev(work, &slot)) return d;
  }
  if (dev_count == kMaxDevs) return nullptr;

  Dev &d = devs[dev_count];
  *slot = static_cast<uint32_t>(++dev_count);
  used_slots[used_count++] = static_cast<uint32_t>(slot - dev_slots);
  copy(d.devpath, work);
  d.subsystem[0] = d.driver[0] = '\0';
  d.parent = nullptr;
  copy(d.kernel, after_last_slash(d.devpath));
  for (char *c = d.kernel; *c; ++c)
    if (*c == '!') *c = '/';
  if (!read_link_name(d.devpath, "subsystem", d.subsystem)) guess_subsystem(d);
  read_link_name(d.devpath, "driver", d.driver);
  return &d;
}

Dev *parent_of(Dev *d) {
  if (!d) return nullptr;
  if (d->parent) return d->parent;
  char candidate[hw::kPathSize];
  copy(candidate, d->devpath);
  char *slash = strrchr(candidate, '/');
  if (!slash || slash == candidate) return nullptr;
  *slash = '\0';
  std::string_view c = candidate;
  size_t last = c.rfind('/');
  bool class_dir = (c.starts_with("/class") && (last == 0 || last == 6)) || c == "/block";
  if (class_dir) {
    if (!join(candidate, {d->devpath, "/device"}) || !resolve_link(candidate)) return nullptr;
  } else if (!strchr(candidate + 1, '/')) {
    return nullptr;
  }
  d->parent = dev_get(candidate);
  return d->parent;
}

Dev *ancestor_with(Dev *d, const char *subsystem) {
  for (size_t steps = 0; d && steps <= dev_count; ++steps) {
    d = parent_of(d);
    if (d && strcmp(d->subsystem, subsystem) == 0) return d;
  }
  return nullptr;
}

const char *attr(const char *devpath, const char *name) {
  char path[hw::kPathSize];
  if (!join(path, {root, devpath, "/", name})) return nullptr;
  const char *key = path + strlen(root);
  uint32_t *slot = nullptr;
  if (Attr *a = find(attr_slots, attrs, key, [](const Attr &x) { return x.path; }, &slot))
    return a->has_value ? a->value : nullptr;
  if (attr_count == kMaxAttrs) return nullptr;
  Attr &a = attrs[attr_count];
  *slot = static_cast<uint32_t>(++attr_count);
  used_slots[used_count++] = static_cast<uint32_t>(slot - attr_slots) | kSlots;
  copy(a.path, key);
  a.has_value = false;

  struct stat st;
  if (lstat(path, &st) != 0) return nullptr;
  if (S_ISLNK(st.st_mode)) {
    char target[hw::kPathSize];
    const char *last = read_link(path, target) > 0 ? after_last_slash(target) : nullptr;
    if (!last) return nullptr;
    copy(a.value, last);
    a.has_value = true;
    return a.value;
  }
  if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IRUSR)) return nullptr;
  const hw::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return nullptr;
  ssize_t n = read(fd.get(), a.value, sizeof a.value);
  if (n < 0 || static_cast<size_t>(n) >= sizeof a.value) return nullptr;
  while (n > 0 && a.value[n - 1] == '\n') --n;
  a.value[n] = '\0';
  a.has_value = true;
  return a.value;
}

// --- the RDB ---------------------------------------------------------------------

rdbdrv_handle *rdb;
char value_buf[1024];
char *names_buf;
int names_size;

const char *rdb_get(const char *name) {
  int len = sizeof value_buf;
  if (rdbdrv_get(rdb, name, value_buf, &len) < 0) return nullptr;
  value_buf[sizeof value_buf - 1] = '\0';
  return value_buf;
}

void rdb_set(const char *name, const char *value, int persist) {
  if (rdbdrv_set(rdb, name, value) < 0 && errno == ENOENT) rdbdrv_create(rdb, name, value, persist ? RDBDRV_PERSIST : 0, 0);
}

// The names under prefix, grown to what the RDB reports it needs.
char *rdb_names(const char *prefix) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    int len = names_size - 1;
    int rc = rdbdrv_getnames(rdb, prefix, names_buf, &len, 0);
    if (rc == -EOVERFLOW && len >= names_size) {
      free(names_buf);
      names_size = len + 1;
      names_buf = static_cast<char *>(malloc(static_cast<size_t>(names_size)));
      if (!names_buf) return nullptr;
      continue;
    }
    if (rc < 0 || len < 0) return nullptr;
    names_buf[len < names_size ? len : names_size - 1] = '\0';
    return names_buf;
  }
  return nullptr;
}

// --- the device and class tables ---------------------------------------------------

constexpr int kPool = 99;
const char *const kDevTypes[] = {"unknown", "serial", "eth", "storage"};
const char *const kClsTypes[] = {"(null)", "serial", "eth", "storage", "phonemodule"};

struct Cls;

struct Hd {
  int index, type;
  char name[kText], id[kText], loc[kText], devpath[hw::kPathSize], driver[kText], mac[48];
  Cls *cls;
  bool in_use;
};

struct Cls {
  int type, index, status, enable, is_static;
  char id[kText], loc[kText], name[32];
  Hd *hd;
  Cls *next_by_id, *next_by_loc;  // hash chains
};

Hd pool[kPool];
int free_order[kPool + 1];  // a ring of free slot numbers
int free_head, free_count;

constexpr size_t kClsSlots = 4096;
Cls *by_id[kClsSlots], *by_loc[kClsSlots];
Cls *classes;
size_t class_count;
constexpr size_t kClassCapacity = 16384;
int next_index[5];

// Entries are linked by address, so they live in one block made at start-up
// (pages that are never used are never touched).
Cls *new_class() {
  if (class_count == kClassCapacity) return nullptr;
  Cls *c = &classes[class_count++];
  c->index = -1;
  c->enable = 1;
  return c;
}

// Entries of one text keep the index's order: the first filed leads, each
// later one goes right behind it.
void file_into(Cls **bucket, Cls *c, const char *(*text)(const Cls &), Cls *Cls::*next) {
  for (Cls *e = *bucket; e; e = e->*next)
    if (strcmp(text(*e), text(*c)) == 0) {
      c->*next = e->*next;
      e->*next = c;
      return;
    }
  c->*next = *bucket;
  *bucket = c;
}

void file_class(Cls *c) {
  file_into(&by_id[hash(c->id) & (kClsSlots - 1)], c, [](const Cls &x) -> const char * { return x.id; },
            &Cls::next_by_id);
  file_into(&by_loc[hash(c->loc) & (kClsSlots - 1)], c, [](const Cls &x) -> const char * { return x.loc; },
            &Cls::next_by_loc);
}

void unfile_class(Cls *c) {
  for (Cls **p = &by_id[hash(c->id) & (kClsSlots - 1)]; *p; p = &(*p)->next_by_id)
    if (*p == c) {
      *p = c->next_by_id;
      break;
    }
  for (Cls **p = &by_loc[hash(c->loc) & (kClsSlots - 1)]; *p; p = &(*p)->next_by_loc)
    if (*p == c) {
      *p = c->next_by_loc;
      break;
    }
}

Cls *class_for(const Hd &hd) {
  Cls *first = nullptr, *second = nullptr;
  for (Cls *c = by_id[hash(hd.id) & (kClsSlots - 1)]; c; c = c->next_by_id) {
    if (strcmp(c->id, hd.id) != 0) continue;
    if (!first)
      first = c;
    else if (!second)
      second = c;
  }
  if (!first) return nullptr;
  if (strcmp(first->loc, hd.loc) == 0) return first;
  if (!second && first->status == 0) return first;
  // By location, the entry of the device's own identity there first.
  Cls *at_loc = nullptr;
  for (Cls *c = by_loc[hash(hd.loc) & (kClsSlots - 1)]; c; c = c->next_by_loc) {
    if (strcmp(c->loc, hd.loc) != 0) continue;
    if (strcmp(c->id, hd.id) == 0) return c;
    if (!at_loc) at_loc = c;
  }
  return at_loc;
}

bool name_taken(const Cls *c, int type, int index) {
  for (size_t i = 0; i < class_count; ++i)
    if (&classes[i] != c && classes[i].index == index && classes[i].type == type) return true;
  return false;
}

// An entry that changes type leaves its old name, and keeps its index
// only where that index is free in the new type.
void change_type(Cls *c, int type) {
  char var[kName];
  for (const char *key : {"dev", "name", "mac", "id", "location", "status", "enable"}) {
    snprintf(var, sizeof var, "sys.hw.class.%s.%d.%s", kClsTypes[c->type], c->index, key);
    rdbdrv_delete(rdb, var);
  }
  if (name_taken(c, type, c->index))
    c->index = next_index[type]++;
  else if (c->index >= next_index[type])
    next_index[type] = c->index + 1;
  c->type = type;
}

constexpr size_t kDevpathSlots = 256;
Hd *by_devpath[kDevpathSlots][kPool];

Hd *find_hd(const char *devpath) {
  Hd **bucket = by_devpath[hash(devpath) & (kDevpathSlots - 1)];
  for (int i = 0; i < kPool && bucket[i]; ++i)
    if (strcmp(bucket[i]->devpath, devpath) == 0) return bucket[i];
  return nullptr;
}

void file_hd(Hd *hd, bool add) {
  Hd **bucket = by_devpath[hash(hd->devpath) & (kDevpathSlots - 1)];
  int i = 0;
  while (i < kPool && bucket[i] && bucket[i] != hd) ++i;
  if (add) {
    if (i < kPool) bucket[i] = hd;
    return;
  }
  if (i == kPool || !bucket[i]) return;
  for (; i + 1 < kPool && bucket[i + 1]; ++i) bucket[i] = bucket[i + 1];
  bucket[i] = nullptr;
}

Hd *take_hd() {
  if (free_count == 0) return nullptr;
  Hd *hd = &pool[free_order[free_head]];
  free_head = (free_head + 1) % (kPool + 1);
  --free_count;
  hd->in_use = true;
  hd->name[0] = hd->id[0] = hd->loc[0] = hd->devpath[0] = hd->driver[0] = hd->mac[0] = '\0';
  return hd;
}

void give_back(Hd *hd, bool to_back) {
  hd->in_use = false;
  if (to_back) {
    free_order[(free_head + free_count) % (kPool + 1)] = hd->index;
  } else {
    free_head = (free_head + kPool) % (kPool + 1);
    free_order[free_head] = hd->index;
  }
  ++free_count;
}

void write_hd(const Hd &hd, bool remove) {
  const char *values[] = {hd.name, hd.loc, hd.id, hd.devpath, hd.driver, kDevTypes[hd.type]};
  const char *keys[] = {"name", "location", "id", "devpath", "driver", "type"};
  char var[kName];
  for (int k = 0; k < 6; ++k) {
    snprintf(var, sizeof var, "sys.hw.dev.%d.%s", hd.index, keys[k]);
    if (remove)
      rdbdrv_delete(rdb, var);
    else
      rdb_set(var, values[k], 0);
  }
}

void write_cls(const Cls &c, bool clear_dev) {
  char dev[32] = "";
  if (c.hd && !c.is_static && !clear_dev) snprintf(dev, sizeof dev, "dev.%d", c.hd->index);
  const char *name = c.is_static ? c.name : c.hd ? c.hd->name : "";
  const char *mac = !c.is_static && c.hd ? c.hd->mac : "";
  const char *values[] = {dev, name, mac, c.id, c.loc, c.status ? "inserted" : "removed", c.enable ? "1" : "0"};
  const char *keys[] = {"dev", "name", "mac", "id", "location", "status", "enable"};
  const int persist[] = {0, 0, 1, 1, 1, 0, 1};
  char var[kName];
  for (int k = 0; k < 7; ++k) {
    snprintf(var, sizeof var, "sys.hw.class.%s.%d.%s", kClsTypes[c.type], c.index, keys[k]);
    rdb_set(var, values[k], persist[k]);
  }
}

void run_script(const Cls &c) {
  const char *script = rdb_get("sys.hw.cfg.hwclass_script");
  if (!script || !*script) return;
  char cmd[1024];
  snprintf(cmd, sizeof cmd, "%s sys.hw.class.%s.%d %s %d %s", script, kClsTypes[c.type], c.index, kClsTypes[c.type],
           c.index, c.status ? "inserted" : "removed");
  if (system(cmd) < 0) return;
}

// --- identification ------------------------------------------------------------------

// sys.hw.cfg.internal_usb_bus, read at start-up.
char internal_usb_bus[256] = "2";

bool is(const Dev *d, const char *subsystem) { return d && strcmp(d->subsystem, subsystem) == 0; }

bool number(std::string_view text, unsigned long long *value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

Dev *physical(Dev *d) {
  char path[hw::kPathSize];
  Dev *f = join(path, {d->devpath, "/device"}) ? dev_get(path) : nullptr;
  while (is(f, "serial-base")) f = parent_of(f);
  return f;
}

bool is_node(const Dev *d) {
  return is(d, "platform") || is(d, "amba") || is(d, "pnp") || is(d, "pci");
}

Dev *platform_node(Dev *d) {
  if (!d || ancestor_with(d, "usb")) return nullptr;
  for (Dev *at = d; at; at = parent_of(at))
    if (is_node(at)) return at;
  return nullptr;
}

long long minor_of(const char *devpath) {
  const char *dev = attr(devpath, "dev");
  const char *colon = dev ? strchr(dev, ':') : nullptr;
  unsigned long long minor = 0;
  return colon && number(colon + 1, &minor) ? static_cast<long long>(minor) : -1;
}

long long line_of(const char *devpath) {
  const char *line = attr(devpath, "line");
  unsigned long long value = 0;
  return line && number(line, &value) ? static_cast<long long>(value) : minor_of(devpath);
}

bool without_uart(const char *devpath) {
  const char *type = attr(devpath, "type");
  return type && strcmp(type, "0") == 0;
}

// fn(devpath) for the other entries of the folder holding d.
template <typename Fn>
void siblings(const Dev *d, Fn fn) {
  const char *slash = strrchr(d->devpath, '/');
  char folder[hw::kPathSize], path[hw::kPathSize];
  snprintf(folder, sizeof folder, "%.*s", static_cast<int>(slash - d->devpath), d->devpath);
  if (!join(path, {root, folder})) return;
  const hw::dir_handle dir(opendir(path));
  while (dirent *e = dir ? readdir(dir.get()) : nullptr) {
    if (e->d_name[0] == '.' || strcmp(e->d_name, slash + 1) == 0) continue;
    if (join(path, {folder, "/", e->d_name})) fn(static_cast<const char *>(path));
  }
}

unsigned long long port_index(Dev *d) {
  char path[hw::kPathSize];
  Dev *port = join(path, {d->devpath, "/device"}) ? dev_get(path) : nullptr;
  if (is(port, "serial-base")) {
    Dev *ctrl = parent_of(port);
    const char *dot = strrchr(port->kernel, '.');
    unsigned long long index = 0;
    if (ctrl && dot && strlen(ctrl->kernel) == static_cast<size_t>(dot - port->kernel) &&
        strncmp(ctrl->kernel, port->kernel, strlen(ctrl->kernel)) == 0 && number(dot + 1, &index))
      return index;
    return 0;
  }
  const long long line = line_of(d->devpath);
  if (line < 0) return 0;
  long long lowest = line;
  siblings(d, [&lowest](const char *other) {
    const long long l = line_of(other);
    if (l >= 0 && l < lowest && !without_uart(other)) lowest = l;
  });
  return static_cast<unsigned long long>(line - lowest);
}

long long unit_address(const char *node) {
  const char *at = node ? strchr(node, '@') : nullptr;
  if (!at) return -1;
  std::string_view digits(at + 1);
  digits = digits.substr(0, digits.find(','));
  unsigned long long value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return -1;
  return value > INT_MAX ? INT_MAX : static_cast<long long>(value);
}

const char *own_node(const Dev *d, const Dev *f) {
  const char *node = attr(d->devpath, "of_node");
  if (!node || !f) return node;
  const char *shared = attr(f->devpath, "of_node");
  return shared && strcmp(shared, node) == 0 ? nullptr : node;
}

long long switch_port(const Dev *d, const Dev *f) {
  const char *name = attr(d->devpath, "phys_port_name");
  unsigned long long port = 0;
  if (name && name[0] == 'p' && number(name + 1, &port)) return port > INT_MAX ? INT_MAX : static_cast<long long>(port);
  const char *node = own_node(d, f);
  const char *at = node ? strchr(node, '@') : nullptr;
  if (!at || !std::string_view(node, static_cast<size_t>(at - node)).ends_with("port")) return -1;
  return unit_address(node);
}

int net_number(const Dev *d, const Dev *f) {
  unsigned long long port = 0;
  const char *dev_port = attr(d->devpath, "dev_port");
  if (dev_port && number(dev_port, &port) && port) return port > INT_MAX ? INT_MAX : static_cast<int>(port);
  if (const long long n = switch_port(d, f); n > 0) return static_cast<int>(n);
  const long long unit = unit_address(own_node(d, f));
  return unit > 0 ? static_cast<int>(unit) : 0;
}

bool platform_ids(subsystem_code code, Hd &hd, Dev *d, Dev *f, const char *suffix) {
  Dev *node = platform_node(d);
  if (code == SUBSYSTEM_NET && node && f && switch_port(d, f) >= 0) node = f;
  if (!node) return false;
  const char *dev_id_text = attr(d->devpath, "dev_id");
  int dev_id = 0;
  if (dev_id_text && sscanf(dev_id_text, "%i", &dev_id) != 1) dev_id = 0;
  const char *address = attr(d->devpath, "address");
  copy(hd.mac, address ? address : "");
  int n = dev_id;
  if (!n && code == SUBSYSTEM_NET) n = net_number(d, f);
  if (!n && code == SUBSYSTEM_TTY) {
    const unsigned long long index = port_index(d);
    n = index > INT_MAX ? INT_MAX : static_cast<int>(index);
  }
  if (n)
    snprintf(hd.id, sizeof hd.id, "platform-%s-%d", node->kernel, n);
  else
    snprintf(hd.id, sizeof hd.id, "platform-%s", node->kernel);
  copy(hd.loc, "platform");
  if (suffix) {
    append(hd.id, "-");
    append(hd.id, suffix);
    append(hd.loc, "-");
    append(hd.loc, suffix);
  }
  copy(hd.driver, f ? f->driver : "");
  return true;
}

bool internal_bus(Dev *u, const char *busnum) {
  Dev *hub = u;
  for (Dev *up = parent_of(hub); is(up, "usb"); up = parent_of(up)) hub = up;
  std::string_view rest = internal_usb_bus;
  constexpr std::string_view separators = ", \t\r\n";
  while (!rest.empty()) {
    const size_t start = rest.find_first_not_of(separators);
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    std::string_view item = rest.substr(0, std::min(rest.find_first_of(separators), rest.size()));
    rest.remove_prefix(item.size());
    if (item == "none") continue;
    if (item.find_first_not_of("0123456789") == std::string_view::npos) {
      if (atoi(std::string(item).c_str()) == atoi(busnum)) return true;
      continue;
    }
    if (item.starts_with("/")) {
      if (item.starts_with("/sys/")) item.remove_prefix(4);
      while (item.size() > 1 && item.ends_with('/')) item.remove_suffix(1);
      if (item == hub->devpath) return true;
      continue;
    }
    for (Dev *up = hub; up; up = parent_of(up))
      if (item == up->kernel) return true;
  }
  return false;
}

bool usb_ids(Hd &hd, Dev *d, Dev *start, const char *id_suffix, const char *loc_suffix) {
  Dev *s = start && strcmp(start->subsystem, "usb") == 0 ? start : ancestor_with(start, "usb");
  Dev *u = parent_of(s);
  if (!s || !u) return false;
  const char *ifnum = attr(s->devpath, "bInterfaceNumber");
  const char *driver = ifnum ? attr(s->devpath, "driver") : nullptr;
  const char *vendor = driver ? attr(u->devpath, "idVendor") : nullptr;
  const char *product = vendor ? attr(u->devpath, "idProduct") : nullptr;
  const char *busnum = product ? attr(u->devpath, "busnum") : nullptr;
  if (!busnum || internal_bus(u, busnum)) return false;
  const char *port_path = attr(u->devpath, "devpath");
  const char *config = port_path ? attr(u->devpath, "bConfigurationValue") : nullptr;
  if (!config) return false;
  const char *serial = attr(u->devpath, "serial");
  const char *address = attr(d->devpath, "address");
  int n = 0;
  if (address && sscanf(address, "0x02%d", &n) == 1 && ((n >> 1) & 1))
    snprintf(hd.id, sizeof hd.id, "%s-%s-%s", vendor, product, address);
  else if (serial)
    snprintf(hd.id, sizeof hd.id, "%s-%s-%s", vendor, product, serial);
  else
    snprintf(hd.id, sizeof hd.id, "%s-%s", vendor, product);
  copy(hd.mac, address ? address : "");
  snprintf(hd.loc, sizeof hd.loc, "usb%s-%s:%s.%d", busnum, port_path, config, atoi(ifnum));
  if (id_suffix) {
    append(hd.id, "-");
    append(hd.id, id_suffix);
  }
  if (loc_suffix) {
    append(hd.loc, "-");
    append(hd.loc, loc_suffix);
  }
  copy(hd.driver, driver);
  return true;
}

// The ttys of one USB interface: a usb-serial port's number, else the rank by minor.
unsigned long long usb_port(const Dev *d, const Dev *f) {
  unsigned long long index = 0;
  if (is(f, "usb-serial")) {
    const char *port = attr(f->devpath, "port_number");
    return port && number(port, &index) ? index : 0;
  }
  const long long own = minor_of(d->devpath);
  if (own < 0) return 0;
  siblings(d, [own, &index](const char *other) {
    const long long m = minor_of(other);
    if (m >= 0 && m < own) ++index;
  });
  return index;
}

bool mmc_without_partitions(Dev *d) {
  if (!ancestor_with(d, "mmc")) return false;
  char path[hw::kPathSize];
  snprintf(path, sizeof path, "%s%s/%sp1", root, d->devpath, d->kernel);
  return !hw::dir_handle(opendir(path));
}

bool nested_disk(Dev *d) { return is(parent_of(d), "block"); }

bool usb_medium_without_partitions(Dev *d) {
  const char *size = attr(d->devpath, "size");
  unsigned long long sectors = 0;
  if (!size || !number(size, &sectors) || !sectors) return false;
  char path[hw::kPathSize];
  if (!join(path, {root, d->devpath})) return false;
  const hw::dir_handle dir(opendir(path));
  while (dirent *e = dir ? readdir(dir.get()) : nullptr) {
    if (strncmp(e->d_name, d->kernel, strlen(d->kernel)) != 0) continue;
    if (join(path, {d->devpath, "/", e->d_name}) && attr(path, "partition")) return false;
  }
  return true;
}

unsigned long long lun_of(Dev *d) {
  Dev *unit = ancestor_with(d, "scsi");
  if (!unit) return 0;
  const std::string_view name = unit->kernel;
  unsigned long long lun = 0;
  if (std::count(name.begin(), name.end(), ':') != 3 || !number(name.substr(name.rfind(':') + 1), &lun)) return 0;
  return lun;
}

bool block_ids(Hd &hd, Dev *d, Dev *node) {
  const char *partition = attr(d->devpath, "partition");
  if (partition && !*partition) partition = nullptr;
  if (node) {
    if (is(node, "pci")) return false;
    if (!partition && !nested_disk(d) && mmc_without_partitions(d)) partition = "1";
    return partition && platform_ids(SUBSYSTEM_BLOCK, hd, d, d, partition);
  }
  Dev *s = ancestor_with(d, "usb");
  if (!partition && s && usb_medium_without_partitions(d)) partition = "1";
  if (!partition || !s) return false;
  char suffix[48];
  if (const unsigned long long lun = lun_of(d))
    snprintf(suffix, sizeof suffix, "%llu-%s", lun, partition);
  else
    copy(suffix, partition);
  return usb_ids(hd, d, s, suffix, suffix);
}

bool is_gadget(const Dev *f) { return strcmp(f->kernel, "gadget") == 0 || strncmp(f->kernel, "gadget.", 7) == 0; }

bool added_wireless(const Dev *d) {
  if (!attr(d->devpath, "phy80211")) return false;
  const char *assigned = attr(d->devpath, "name_assign_type");
  const char *type = attr(d->devpath, "type");
  return (assigned && strcmp(assigned, "3") == 0) || (type && strcmp(type, "801") == 0);
}

bool identify(subsystem_code code, Hd &hd, const char *devpath) {
  Dev *d = dev_get(devpath);
  if (!d || code == SUBSYSTEM_UNKNOWN) return false;
  Dev *f = physical(d);
  if (!f && code != SUBSYSTEM_BLOCK) return false;
  Dev *node = platform_node(f ? f : d);
  bool ok = false;
  if (code == SUBSYSTEM_BLOCK) {
    ok = block_ids(hd, d, node);
  } else if (is_gadget(f)) {
    Dev *p1 = ancestor_with(d, "platform");
    if (!p1) p1 = parent_of(f);
    Dev *p2 = p1 ? parent_of(p1) : nullptr;
    if (p2) {
      snprintf(hd.id, sizeof hd.id, "gadget-%s-%s", subsystem_names[code], p2->kernel);
      copy(hd.loc, "gadget");
      copy(hd.driver, f->driver);
      ok = true;
    }
  } else if (code == SUBSYSTEM_TTY && without_uart(d->devpath)) {
    ok = false;
  } else if (code == SUBSYSTEM_NET && added_wireless(d)) {
    ok = false;
  } else if (node) {
    ok = platform_ids(code, hd, d, f, nullptr);
  } else if (code == SUBSYSTEM_TTY && (is(f, "usb-serial") || is(f, "usb"))) {
    const unsigned long long port = usb_port(d, f);
    char suffix[24];
    snprintf(suffix, sizeof suffix, "%llu", port);
    ok = usb_ids(hd, d, f, nullptr, port ? suffix : nullptr);
  } else if (code == SUBSYSTEM_NET && is(f, "usb")) {
    ok = usb_ids(hd, d, f, nullptr, nullptr);
  }
  if (!ok) return false;
  hd.type = code + 1;
  if (code == SUBSYSTEM_NET)
    copy(hd.name, d->kernel);
  else
    snprintf(hd.name, sizeof hd.name, "/dev/%s", d->kernel);
  copy(hd.devpath, devpath);
  file_hd(&hd, true);
  return true;
}

// --- add and remove --------------------------------------------------------------------

int add(subsystem_code code, const char *devpath) {
  Hd *hd = take_hd();
  if (!hd) return -1;
  if (!identify(code, *hd, devpath)) {
    give_back(hd, false);
    return -1;
  }
  Cls *c = class_for(*hd);
  if (!c && !(c = new_class())) {
    file_hd(hd, false);
    give_back(hd, false);
    return -1;
  }
  if (c->status == 1) {
    c->status = 0;
    write_cls(*c, false);
    run_script(*c);
  }
  // Filed again even when id and location stay: that moves it behind the
  // first entry of its text, which decides later matches.
  const bool filed = c->index >= 0;
  if (filed) unfile_class(c);
  copy(c->id, hd->id);
  copy(c->loc, hd->loc);
  c->hd = hd;
  hd->cls = c;
  if (filed && c->type != hd->type) change_type(c, hd->type);
  c->type = hd->type;
  c->status = 1;
  if (!filed) c->index = next_index[c->type]++;
  file_class(c);
  write_hd(*hd, false);
  write_cls(*c, false);
  run_script(*c);
  return 0;
}

int remove(const char *devpath) {
  Hd *hd = find_hd(devpath);
  if (!hd) return -1;
  if (Cls *c = hd->cls) {
    c->status = 0;
    write_cls(*c, false);
    run_script(*c);
    c->hd = nullptr;
    write_cls(*c, true);
  }
  write_hd(*hd, true);
  file_hd(hd, false);
  give_back(hd, true);
  return 0;
}

// --- start-up -----------------------------------------------------------------------------

bool digits_then(const char *&p, char end) {
  const char *start = p;
  while (*p >= '0' && *p <= '9') ++p;
  return p != start && *p == end;
}

// "sys.hw.dev.<digits>.<anything>"
bool is_dev_variable(const char *name) {
  if (strncmp(name, "sys.hw.dev.", 11) != 0) return false;
  const char *p = name + 11;
  return digits_then(p, '.');
}

// "sys.hw.class.<type>.<digits>.id..."; the prefix ends before ".id".
bool is_class_id_variable(const char *name) {
  if (strncmp(name, "sys.hw.class.", 13) != 0) return false;
  const char *p = name + 13;
  const char *type = p;
  while (*p && *p != '.') ++p;
  if (p == type || *p != '.') return false;
  ++p;
  return digits_then(p, '.') && strncmp(p, ".id", 3) == 0;
}

void read_class(const char *name) {
  char prefix[kName];
  copy(prefix, name);
  char *id_at = strstr(prefix, ".id");
  if (!id_at) return;
  *id_at = '\0';
  char type[64] = "";
  const char *p = prefix + 13;
  const char *dot = strchr(p, '.');
  if (!dot || static_cast<size_t>(dot - p) >= sizeof type) return;
  memcpy(type, p, static_cast<size_t>(dot - p));
  type[dot - p] = '\0';
  int t = 0;
  for (int i = 1; i < 5; ++i)
    if (strcmp(type, kClsTypes[i]) == 0) t = i;
  int index = atoi(dot + 1);

  Cls *c = new_class();
  if (!c) return;
  c->type = t;
  char var[kName];
  snprintf(var, sizeof var, "sys.hw.class.%s.%d.id", kClsTypes[t], index);
  const char *v = rdb_get(var);
  if (!v) return;  // c keeps index -1: never filed, never visited
  copy(c->id, v);
  snprintf(var, sizeof var, "sys.hw.class.%s.%d.location", kClsTypes[t], index);
  if (!(v = rdb_get(var))) return;
  copy(c->loc, v);
  snprintf(var, sizeof var, "sys.hw.class.%s.%d.enable", kClsTypes[t], index);
  v = rdb_get(var);
  c->enable = !v || atoi(v) != 0;
  snprintf(var, sizeof var, "sys.hw.class.%s.%d.static", kClsTypes[t], index);
  v = rdb_get(var);
  c->is_static = v && atoi(v) != 0;
  if (c->is_static) {
    snprintf(var, sizeof var, "sys.hw.class.%s.%d.name", kClsTypes[t], index);
    if (!(v = rdb_get(var))) return;
    copy(c->name, v);
  }
  c->index = index;
  if (index >= next_index[t]) next_index[t] = index + 1;
  file_class(c);
  write_cls(*c, false);
}

template <typename Fn>
void for_each_name(char *names, Fn fn) {
  char *save = nullptr;
  for (char *t = strtok_r(names, ";&", &save); t; t = strtok_r(nullptr, ";&", &save)) fn(t);
}

void scan(bool platform_pass) {
  for (const subsystem_code code : {SUBSYSTEM_TTY, SUBSYSTEM_NET, SUBSYSTEM_BLOCK}) {
    char base[hw::kPathSize];
    snprintf(base, sizeof base, "%s/class/%s", root, subsystem_names[code]);
    const hw::dir_handle dir(opendir(base));
    if (!dir) continue;
    while (dirent *e = readdir(dir.get())) {
      if (e->d_name[0] == '.') continue;
      char devpath[hw::kPathSize];
      snprintf(devpath, sizeof devpath, "/class/%s/%s", subsystem_names[code], e->d_name);
      if (!resolve_link(devpath)) continue;
      Dev *d = dev_get(devpath);
      Dev *f = d ? physical(d) : nullptr;
      bool is_platform = f && strcmp(f->subsystem, "platform") == 0;
      if (is_platform == platform_pass) add(code, devpath);
    }
  }
}

// The board setting and the rules' version the daemon reads at start-up;
// an RDB made by the first rules gets the current version (the floor does
// not move entries on: its RDBs are new or made by the current rules).
void read_settings() {
  const char *value = rdb_get("sys.hw.cfg.internal_usb_bus");
  copy(internal_usb_bus, value ? value : "2");
}

void mark_rules() {
  const char *version = rdb_get("sys.hw.cfg.id_rules");
  if (!version || atoi(version) < 2) rdb_set("sys.hw.cfg.id_rules", "2", 1);
}

void start_up() {
  names_size = 4096;
  names_buf = static_cast<char *>(malloc(static_cast<size_t>(names_size)));
  if (char *names = rdb_names("sys.hw.dev."))
    for_each_name(names, [](const char *n) {
      if (is_dev_variable(n)) rdbdrv_delete(rdb, n);
    });
  if (char *names = rdb_names("sys.hw.class."))
    for_each_name(names, [](const char *n) {
      if (is_class_id_variable(n)) read_class(n);
    });
}

void legacy() {
  for (size_t i = 0; i < class_count; ++i) {
    Cls &c = classes[i];
    if (c.index < 0 || !c.enable || !c.is_static) continue;
    c.status = 1;
    write_cls(c, false);
    run_script(c);
  }
}

// --- sockets and the loop ---------------------------------------------------------------

int open_monitor() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path + 1, "/org/kernel/udev/monitor", 24);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), offsetof(sockaddr_un, sun_path) + 25) < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  return fd;
}

int open_netlink() {
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = 1;
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) return -1;
  return fd;
}

const char *value_of(const char *key, const char *p, const char *end) {
  size_t k = strlen(key);
  while (p < end && *p) {
    size_t n = strnlen(p, static_cast<size_t>(end - p));
    if (n > k && memcmp(p, key, k) == 0 && p[k] == '=') return p + k + 1;
    p += n + 1;
  }
  return nullptr;
}

void handle(char *msg, size_t n) {
  msg[n] = '\0';
  const char *end = msg + n;
  const char *keys = static_cast<const char *>(memchr(msg, '\0', n));
  if (!keys) return;
  ++keys;
  const char *devpath = value_of("DEVPATH", keys, end);
  const char *action = value_of("ACTION", keys, end);
  const char *subsystem = value_of("SUBSYSTEM", keys, end);
  if (!devpath || !action) return;
  const auto code = static_cast<subsystem_code>(hw::code_from_name(subsystem, subsystem_names, SUBSYSTEM_UNKNOWN));
  if (strcmp(action, "add") == 0) {
    add(code, devpath);
  } else if (strcmp(action, "remove") == 0) {
    remove(devpath);
  }
}

volatile sig_atomic_t stop;

}  // namespace

int main() {
  if (const char *env = getenv("SYSFS_PATH")) {
    copy(root, env);
    for (size_t n = strlen(root); n > 0 && root[n - 1] == '/'; --n) root[n - 1] = '\0';
  }
  devs = static_cast<Dev *>(malloc(kMaxDevs * sizeof(Dev)));
  attrs = static_cast<Attr *>(malloc(kMaxAttrs * sizeof(Attr)));
  classes = static_cast<Cls *>(calloc(kClassCapacity, sizeof(Cls)));
  if (!devs || !attrs || !classes) return 1;
  for (int i = 0; i < kPool; ++i) {
    pool[i].index = i;
    free_order[i] = i;
  }
  free_count = kPool;

#ifdef HWBENCH_INPROC
  if (!install_inprocess_rdb()) return 1;
#endif
  const char *device = getenv("RDB_DEVICE");
  if (rdbdrv_open(device && *device ? device : nullptr, &rdb) < 0) {
    fprintf(stderr, "hwtrack-floor: no RDB: %s\n", strerror(errno));
    return 1;
  }
  read_settings();
  start_up();

  struct sigaction sa {};
  sa.sa_handler = [](int) { stop = 1; };
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  int monitor = open_monitor(), netlink = open_netlink();
  if (monitor < 0 || netlink < 0) {
    fprintf(stderr, "hwtrack-floor: event sockets: %s\n", strerror(errno));
    return 1;
  }

  mark_rules();
  scan(true);
  legacy();
  scan(false);

  static char buf[4097];
  while (!stop) {
    reset_caches();
    fd_set set;
    FD_ZERO(&set);
    FD_SET(monitor, &set);
    FD_SET(netlink, &set);
    if (select((monitor > netlink ? monitor : netlink) + 1, &set, nullptr, nullptr, nullptr) < 0) continue;
    for (int fd : {netlink, monitor}) {
      if (!FD_ISSET(fd, &set)) continue;
      const ssize_t n = recv(fd, buf, 4096, 0);
      if (n > 0) handle(buf, static_cast<size_t>(n));
    }
  }
  rdbdrv_close(&rdb);
  return 0;
}
