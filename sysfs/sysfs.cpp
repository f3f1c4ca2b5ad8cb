// SPDX-License-Identifier: MIT
#include "sysfs/sysfs.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "base/alloc_gate.h"
#include "base/unique_fd.h"

namespace {

// The memory of one pass of the caches: nodes are cut from mmap'd chunks
// and all handed back at once when the caches are emptied. The caches'
// short-lived nodes then never sit between the daemon's long-lived heap
// blocks (a start-up scan would otherwise leave the pages it used resident
// for good, pinned by the device and class records made meanwhile), and an
// event costs no malloc or free. After a pass that fitted one chunk (every
// event) the chunk is kept for the next; after a bigger one (the start-up
// scan, a resync) all of it goes back to the system.
class pass_arena {
 public:
  static constexpr size_t kChunkSize = 64 * 1024;

  void *allocate(size_t size) {
    size = (size + kAlign - 1) & ~(kAlign - 1);
    if (size > kChunkSize - kHeader) return nullptr;
    if (!current_ || used_ + size > kChunkSize) {
      chunk *fresh = map_chunk();
      if (!fresh) return nullptr;
      if (current_)
        current_->next = fresh;
      else
        first_ = fresh;
      current_ = fresh;
      used_ = kHeader;
    }
    void *p = reinterpret_cast<char *>(current_) + used_;
    used_ += size;
    return p;
  }

  // Everything allocated is gone.
  void reset() {
    if (first_ && first_->next) {
      for (chunk *c = first_; c;) {
        chunk *next = c->next;
        munmap(c, kChunkSize);
        c = next;
      }
      first_ = current_ = nullptr;
    }
    used_ = kHeader;
  }

 private:
  struct chunk {
    chunk *next;
  };
  static constexpr size_t kAlign = alignof(std::max_align_t);
  static constexpr size_t kHeader = (sizeof(chunk) + kAlign - 1) & ~(kAlign - 1);

  static chunk *map_chunk() {
    void *m = mmap(nullptr, kChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    return new (m) chunk{nullptr};
  }

  chunk *first_ = nullptr;
  chunk *current_ = nullptr;
  size_t used_ = kHeader;
};

pass_arena arena;

// Sanitizer builds keep every node a heap block of its own, so that a record
// used after sysfs_cleanup() is caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUseArena = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUseArena = false;
#else
constexpr bool kUseArena = true;
#endif
#else
constexpr bool kUseArena = true;
#endif

// Nodes of the caches come from the pass arena; deleting one only ends its
// life, the memory goes with the arena's reset.
struct arena_node {
  static void *operator new(size_t size, const std::nothrow_t &tag) noexcept {
    if constexpr (kUseArena)
      return arena.allocate(size);
    else
      return ::operator new(size, tag);
  }
  static void operator delete(void *p) noexcept {
    if constexpr (!kUseArena) ::operator delete(p);
  }
};

// The caches hold what one event asked for; new entries go to the front,
// where the questions that follow (parents, attributes of the same device)
// find them first. Nodes are blocks of fixed size so that the records
// handed out keep their addresses until sysfs_cleanup().
struct device_node : arena_node {
  std::unique_ptr<device_node> next;
  device_node *hash_next = nullptr;  // the chain of its bucket
  sysfs_device dev;
};

struct attr_node : arena_node {
  std::unique_ptr<attr_node> next;
  attr_node *hash_next = nullptr;        // the chain of its bucket
  hw::fixed_text<hw::kPathSize> path;  // devpath + "/" + attribute name
  const char *value = nullptr;           // null: no readable value
  hw::fixed_text<kSysfsValueSize> value_buf;
};

// Both caches are also filed by key in a small hash table: the start-up
// scan caches a thousand records and more, and a walk of the whole list for
// every question it asks would cost more than the questions. A key is in a
// cache at most once, so its only match is the one a walk of the list from
// the front would find.
constexpr size_t kCacheBuckets = 256;
std::array<device_node *, kCacheBuckets> device_buckets{};
std::array<attr_node *, kCacheBuckets> attr_buckets{};

size_t bucket_of(const char *key) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (; *key; ++key) h = (h ^ static_cast<unsigned char>(*key)) * 16777619u;
  return h & (kCacheBuckets - 1);
}

hw::fixed_text<hw::kPathSize> root_path = [] {
  hw::fixed_text<hw::kPathSize> t;
  t.set("/sys");
  return t;
}();
std::unique_ptr<device_node> device_cache;
std::unique_ptr<attr_node> attr_cache;
size_t device_count = 0;

// Frees a list front to back without recursing once per node.
template <typename Node>
void free_list(std::unique_ptr<Node> &head) {
  while (head) head = std::move(head->next);
}

// readlink into a NUL-terminated buffer. Returns the target's length, or -1
// when there is no link or its target might have been cut: a target that
// fills the whole buffer is treated as unreadable, not used cut.
ssize_t read_link(const char *path, char (&target)[hw::kPathSize]) {
  ssize_t len = ::readlink(path, target, sizeof target);
  if (len <= 0) {
    if (len == 0) errno = ENOENT;
    return -1;
  }
  if (static_cast<size_t>(len) >= sizeof target) {
    errno = ENAMETOOLONG;
    return -1;
  }
  target[len] = '\0';
  return len;
}

// The text after the last "/" of a link target, or null if it has none.
const char *last_component_of_target(const char *target) {
  const char *slash = strrchr(target, '/');
  return slash ? slash + 1 : nullptr;
}

// Reads the link <root><devpath>/<name> and stores the last component of its
// target in out. False, with out untouched, when there is no such link or
// its target has no "/".
template <size_t N>
bool read_link_name(const char *devpath, const char *name, hw::fixed_text<N> &out) {
  char path[hw::kPathSize];
  char target[hw::kPathSize];
  if (!hw::join_path(path, {root_path.c_str(), devpath, "/", name})) return false;
  if (read_link(path, target) < 0) return false;
  const char *last = last_component_of_target(target);
  if (!last) return false;
  out.set(last);
  return true;
}

// Drops the last "/"-component of a devpath in place; false (errno EINVAL)
// when there is none left to drop, that is above the sysfs root.
bool cut_last_component(char *devpath) {
  char *slash = strrchr(devpath, '/');
  if (!slash) {
    errno = EINVAL;
    return false;
  }
  *slash = '\0';
  return true;
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

bool has_accepted_prefix(std::string_view devpath) {
  static constexpr std::string_view accepted[] = {"/devices/", "/subsystem/", "/module/",
                                                  "/bus/",     "/class/",     "/block/"};
  for (std::string_view prefix : accepted)
    if (devpath.starts_with(prefix)) return true;
  return false;
}

sysfs_device *find_device(const char *devpath) {
  for (device_node *node = device_buckets[bucket_of(devpath)]; node; node = node->hash_next)
    if (strcmp(node->dev.devpath.c_str(), devpath) == 0) return &node->dev;
  return nullptr;
}

void set_kernel_names(sysfs_device &dev) {
  const char *devpath = dev.devpath.c_str();
  const char *slash = strrchr(devpath, '/');
  dev.kernel.set(slash ? slash + 1 : devpath);

  // "!" stands for "/" in kernel names that have one (cciss!c0d0).
  for (char *c = dev.kernel.data(); *c; ++c)
    if (*c == '!') *c = '/';

  const char *kernel = dev.kernel.c_str();
  const char *digits = kernel + strlen(kernel);
  while (digits > kernel && isdigit(static_cast<unsigned char>(digits[-1]))) --digits;
  dev.kernel_number.set(digits);
}

// The subsystem of a device without a "subsystem" link, from where its
// directory lies; the first matching rule decides.
void guess_subsystem(sysfs_device &dev) {
  std::string_view devpath = dev.devpath.c_str();

  if (devpath.starts_with("/class/")) {
    std::string_view rest = devpath.substr(strlen("/class/"));
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
      dev.subsystem.set("subsystem");  // the class directory itself
    } else {
      char name[kSysfsNameSize];
      size_t len = slash < sizeof name - 1 ? slash : sizeof name - 1;
      memcpy(name, rest.data(), len);
      name[len] = '\0';
      dev.subsystem.set(name);
    }
    return;
  }
  if (devpath.starts_with("/block/")) {
    dev.subsystem.set("block");
    return;
  }
  if (devpath.starts_with("/devices/")) {
    // Kernels before the "subsystem" link had a "bus" link.
    read_link_name(dev.devpath.c_str(), "bus", dev.subsystem);
    return;
  }
  if (devpath.find("/drivers/") != std::string_view::npos) {
    dev.subsystem.set("drivers");
    return;
  }
  if (devpath.starts_with("/module/")) {
    dev.subsystem.set("module");
    return;
  }
  for (std::string_view top : {std::string_view("/subsystem/"), std::string_view("/bus/")}) {
    if (devpath.starts_with(top) && devpath.substr(top.size()).find('/') == std::string_view::npos) {
      dev.subsystem.set("subsystem");
      return;
    }
  }
}

void set_subsystem(sysfs_device &dev) {
  char path[hw::kPathSize];
  char target[hw::kPathSize];
  if (hw::join_path(path, {root_path.c_str(), dev.devpath.c_str(), "/subsystem"}) && read_link(path, target) > 0) {
    const char *last = last_component_of_target(target);
    if (last) dev.subsystem.set(last);
    return;
  }
  guess_subsystem(dev);
}

sysfs_device *create_device(const char *devpath) {
  std::unique_ptr<device_node> node = hw::make_unique_nothrow<device_node>();
  if (!node) return nullptr;
  sysfs_device &dev = node->dev;
  dev.devpath.set(devpath);
  set_kernel_names(dev);
  set_subsystem(dev);
  read_link_name(dev.devpath.c_str(), "driver", dev.driver);

  device_node *&bucket = device_buckets[bucket_of(dev.devpath.c_str())];
  node->hash_next = bucket;
  bucket = node.get();
  node->next = std::move(device_cache);
  device_cache = std::move(node);
  ++device_count;
  return &device_cache->dev;
}

// The candidate parent path is a class directory ("/class/<name>", or
// "/class" itself) or the old block directory; their members are not
// children of it, so the parent is what the "device" link names.
bool parent_is_class_directory(const char *candidate) {
  if (starts_with(candidate, "/class")) {
    size_t last_slash = static_cast<size_t>(strrchr(candidate, '/') - candidate);
    return last_slash == 0 || last_slash == strlen("/class");
  }
  return strcmp(candidate, "/block") == 0;
}

bool read_attr_file(const char *path, attr_node &entry) {
  const hw::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) return false;
  char *buf = entry.value_buf.data();
  ssize_t len = ::read(fd.get(), buf, kSysfsValueSize);
  // A value that fills the buffer may go on; it is unreadable, never cut.
  if (len < 0 || static_cast<size_t>(len) >= kSysfsValueSize) {
    buf[0] = '\0';
    return false;
  }
  buf[len] = '\0';
  hw::remove_trailing_chars(buf, '\n');
  return true;
}

void read_attr_value(const char *path, attr_node &entry) {
  struct stat st;
  if (::lstat(path, &st) != 0) return;

  if (S_ISLNK(st.st_mode)) {
    // Link attributes ("driver", "subsystem") read as the name they point to.
    char target[hw::kPathSize];
    if (read_link(path, target) < 0) return;
    const char *last = last_component_of_target(target);
    if (!last) return;
    entry.value_buf.set(last);
    entry.value = entry.value_buf.c_str();
    return;
  }
  // Root may open any file, so the owner-read bit is what tells a
  // write-only attribute.
  if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IRUSR)) return;
  if (read_attr_file(path, entry)) entry.value = entry.value_buf.c_str();
}

// Every node is in its list and its bucket alike, so empty lists mean
// empty buckets: the loop's init right after a cleanup clears nothing twice.
void empty_caches() {
  if (device_cache || attr_cache) {
    device_buckets.fill(nullptr);
    attr_buckets.fill(nullptr);
    free_list(attr_cache);
    free_list(device_cache);
  }
  device_count = 0;
  arena.reset();
}

}  // namespace


const char *sysfs_path() { return root_path.c_str(); }

int sysfs_init() {
  const char *env = getenv("SYSFS_PATH");
  if (env) {
    root_path.set(env);
    hw::remove_trailing_chars(root_path.data(), '/');
  } else {
    root_path.set("/sys");
  }
  // Called after sysfs_cleanup() in the loop, so normally nothing is left;
  // a second init without cleanup must not leak what is.
  empty_caches();
  return 0;
}

void sysfs_cleanup() { empty_caches(); }

int sysfs_resolve_link(char *devpath, size_t size) {
  if (!devpath || size == 0 || memchr(devpath, '\0', size) == nullptr) {
    errno = EINVAL;
    return -1;
  }
  char path[hw::kPathSize];
  char target[hw::kPathSize];
  if (!hw::join_path(path, {root_path.c_str(), devpath})) return -1;
  if (read_link(path, target) < 0) return -1;

  // sysfs links are relative to the link's directory. The target is walked
  // one component at a time, so a ".." anywhere in it (not only the leading
  // ones) climbs, and one that would climb above the sysfs root refuses the
  // link: the result must name a path below the root.
  if (!cut_last_component(devpath)) return -1;  // the link's own name
  for (std::string_view rest = target; !rest.empty();) {
    const size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!cut_last_component(devpath)) return -1;
      continue;
    }
    // A result that would be cut names another path; refuse it.
    const size_t len = strlen(devpath);
    if (len + 1 + component.size() >= size) {
      errno = ENAMETOOLONG;
      return -1;
    }
    devpath[len] = '/';
    memcpy(devpath + len + 1, component.data(), component.size());
    devpath[len + 1 + component.size()] = '\0';
  }
  return 0;
}

bool sysfs_device_present(const sysfs_device *dev) {
  if (!dev) return false;
  char path[hw::kPathSize];
  struct stat st;
  return hw::join_path(path, {root_path.c_str(), dev->devpath.c_str()}) && ::lstat(path, &st) == 0;
}

sysfs_device *sysfs_device_get(const char *devpath) {
  if (!devpath || !has_accepted_prefix(devpath)) return nullptr;

  // A devpath longer than the work buffer would be cut to another device's.
  std::string_view trimmed = devpath;
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
  if (trimmed.size() >= hw::kPathSize) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  char work[hw::kPathSize];
  memcpy(work, trimmed.data(), trimmed.size());
  work[trimmed.size()] = '\0';

  if (sysfs_device *dev = find_device(work)) return dev;

  char path[hw::kPathSize];
  struct stat st;
  if (!hw::join_path(path, {root_path.c_str(), work})) return nullptr;
  if (::lstat(path, &st) != 0) return nullptr;

  // A device reached through a link is cached under its real path only,
  // so both ways lead to one record.
  if (S_ISLNK(st.st_mode)) {
    if (sysfs_resolve_link(work, sizeof work) != 0) return nullptr;
    if (sysfs_device *dev = find_device(work)) return dev;
    // Resolution is lexical: a dangling link, or a link reached through
    // another link (/class/tty/ttyS0/device), yields a path that is not
    // there. No record is made up for it.
    if (!hw::join_path(path, {root_path.c_str(), work}) || ::lstat(path, &st) != 0) return nullptr;
  }
  return create_device(work);
}

sysfs_device *sysfs_device_get_parent(sysfs_device *dev) {
  if (!dev) return nullptr;
  if (dev->parent) return dev->parent;

  char parent_path[hw::kPathSize];
  hw::strlcpy(parent_path, dev->devpath.c_str(), sizeof parent_path);
  char *slash = strrchr(parent_path, '/');
  if (!slash || slash == parent_path) return nullptr;
  *slash = '\0';

  if (parent_is_class_directory(parent_path)) {
    if (!hw::join_path(parent_path, {dev->devpath.c_str(), "/device"})) return nullptr;
    if (sysfs_resolve_link(parent_path, sizeof parent_path) != 0) return nullptr;
  } else if (strchr(parent_path + 1, '/') == nullptr) {
    return nullptr;  // directly below a top-level directory
  }

  dev->parent = sysfs_device_get(parent_path);
  return dev->parent;
}

sysfs_device *sysfs_device_get_parent_with_subsystem(sysfs_device *dev, const char *subsystem) {
  if (!subsystem) return nullptr;
  // A walk through more records than the cache holds has gone round a loop
  // of "device" links (a crafted tree); real parents only climb.
  for (size_t steps = 0; dev && steps <= device_count; ++steps) {
    dev = sysfs_device_get_parent(dev);
    if (dev && strcmp(dev->subsystem.c_str(), subsystem) == 0) return dev;
  }
  return nullptr;
}

const char *sysfs_attr_get_value(const char *devpath, const char *attr_name) {
  if (!devpath || !attr_name) return nullptr;
  char path[hw::kPathSize];
  if (!hw::join_path(path, {root_path.c_str(), devpath, "/", attr_name})) return nullptr;
  const char *key = path + strlen(root_path.c_str());

  attr_node *&bucket = attr_buckets[bucket_of(key)];
  for (attr_node *node = bucket; node; node = node->hash_next)
    if (strcmp(node->path.c_str(), key) == 0) return node->value;

  // Linked in before reading, so an absent value is remembered too.
  std::unique_ptr<attr_node> node = hw::make_unique_nothrow<attr_node>();
  if (!node) return nullptr;
  node->path.set(key);
  node->hash_next = bucket;
  bucket = node.get();
  node->next = std::move(attr_cache);
  attr_cache = std::move(node);

  read_attr_value(path, *attr_cache);
  return attr_cache->value;
}
