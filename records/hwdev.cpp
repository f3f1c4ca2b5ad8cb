// SPDX-License-Identifier: MIT
#include "records/hwdev.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/alloc_gate.h"
#include "base/log.h"
#include "rdb/rdb.h"
#include "records/str2ref.h"

namespace {

constexpr char HWLOG_MODULE[] = "hwdev";

constexpr size_t kRdbNameSize = 32;

constexpr const char *kTypeNames[] = {"unknown", "serial", "eth", "storage"};

// The free and in-use lists are threaded through the slot numbers, so moving
// a record between them never allocates and never fails.
constexpr int kNoSlot = -1;

struct slot_links {
  int prev = kNoSlot;
  int next = kNoSlot;
  bool in_use = false;
};

struct pool_list {
  int head = kNoSlot;
  int tail = kNoSlot;
  bool empty() const { return head == kNoSlot; }
};

// Records keep their addresses for the daemon's whole run: class records
// link to them.
std::array<std::unique_ptr<hwdev>, kHwdevPoolSize> pool;
std::array<slot_links, kHwdevPoolSize> links;
pool_list free_list;
pool_list in_use_list;
str2ref_ptr hwdev_by_devpath;
char rdb_name_buf[kRdbNameSize];
// Set when hwdev_get found no free record; taken by hwdev_pool_ran_out.
bool pool_ran_out = false;

void list_unlink(pool_list &list, int slot) {
  slot_links &l = links[slot];
  if (l.prev != kNoSlot) links[l.prev].next = l.next; else list.head = l.next;
  if (l.next != kNoSlot) links[l.next].prev = l.prev; else list.tail = l.prev;
  l.prev = l.next = kNoSlot;
}

void list_push_front(pool_list &list, int slot) {
  links[slot] = {kNoSlot, list.head, links[slot].in_use};
  if (list.head != kNoSlot) links[list.head].prev = slot; else list.tail = slot;
  list.head = slot;
}

void list_push_back(pool_list &list, int slot) {
  links[slot] = {list.tail, kNoSlot, links[slot].in_use};
  if (list.tail != kNoSlot) links[list.tail].next = slot; else list.head = slot;
  list.tail = slot;
}

// The slot of a record of this pool, or kNoSlot for anything else.
int slot_of(const hwdev *hd) {
  if (!hd || hd->index < 0 || hd->index >= kHwdevPoolSize) return kNoSlot;
  return pool[hd->index].get() == hd ? hd->index : kNoSlot;
}

int in_use_slot_of(const hwdev *hd) {
  int slot = slot_of(hd);
  return slot != kNoSlot && links[slot].in_use ? slot : kNoSlot;
}

template <size_t N>
bool allocate_text(hw::heap_text<N> &text) {
  if (!hw::alloc_allowed()) return false;
  if (text.allocate()) return true;
  errno = ENOMEM;
  return false;
}

struct text_field {
  const char *label;
  bool (*allocate)(hwdev &hd);
};

// In the order the buffers are allocated.
constexpr text_field kTextFields[] = {
    {"hd->name", [](hwdev &hd) { return allocate_text(hd.name); }},
    {"hd->loc", [](hwdev &hd) { return allocate_text(hd.loc); }},
    {"hd->id", [](hwdev &hd) { return allocate_text(hd.id); }},
    {"hd->devpath", [](hwdev &hd) { return allocate_text(hd.devpath); }},
    {"hd->driver", [](hwdev &hd) { return allocate_text(hd.driver); }},
    {"hd->mac", [](hwdev &hd) { return allocate_text(hd.mac); }},
};

struct rdb_field {
  const char *key;
  const char *(*value)(const hwdev &hd);  // nullptr when absent
};

// The variables of a record, in the order they are written.
constexpr rdb_field kRdbFields[] = {
    {"name", [](const hwdev &hd) { return hd.name.c_str(); }},
    {"location", [](const hwdev &hd) { return hd.loc.c_str(); }},
    {"id", [](const hwdev &hd) { return hd.id.c_str(); }},
    {"devpath", [](const hwdev &hd) { return hd.devpath.c_str(); }},
    {"driver", [](const hwdev &hd) { return hd.driver.c_str(); }},
    {"type", [](const hwdev &hd) { return hwdev_type_name(hd.type); }},
};

void hwdev_release_strings(hwdev &hd) {
  hd.name.release();
  hd.loc.release();
  hd.id.release();
  hd.devpath.release();
  hd.driver.release();
  hd.mac.release();
}

int hwdev_alloc(hwdev &hd) {
  for (const auto &field : kTextFields) {
    if (!field.allocate(hd)) {
      HWLOG(LOG_ERR, "failed to allocate %s - %s", field.label, strerror(errno));
      hwdev_release_strings(hd);
      return -1;
    }
  }
  return 0;
}

std::unique_ptr<hwdev> hwdev_create(int index) {
  auto hd = hw::make_unique_nothrow<hwdev>();
  if (!hd) {
    HWLOG(LOG_ERR, "failed to allocate hd - %s", strerror(errno));
    return nullptr;
  }
  hd->index = index;
  return hd;
}

void hwdev_destroy(int slot) {
  if (pool[slot]) hwdev_release_strings(*pool[slot]);
  pool[slot].reset();
  links[slot] = {};
}

void reset_pool() {
  for (int slot = 0; slot < kHwdevPoolSize; ++slot) hwdev_destroy(slot);
  free_list = {};
  in_use_list = {};
  hwdev_by_devpath.reset();
}

}  // namespace

int hwdev_init() {
  pool_ran_out = false;
  reset_pool();
  hwdev_by_devpath.reset(str2ref_create());

  for (int i = 0; i < kHwdevPoolSize; ++i) {
    pool[i] = hwdev_create(i);
    if (!pool[i]) {
      HWLOG(LOG_ERR, "failed to create hd (i=%d,max=%d)", i, kHwdevPoolSize);
      return -1;
    }
    list_push_back(free_list, i);
  }
  return 0;
}

void hwdev_fini() {
  HWLOG(LOG_INFO, "put hwdevs");
  while (!in_use_list.empty()) hwdev_put(pool[in_use_list.head].get(), 0);

  HWLOG(LOG_INFO, "destroy hwdevs");
  while (!free_list.empty()) {
    int slot = free_list.head;
    list_unlink(free_list, slot);
    hwdev_destroy(slot);
  }

  HWLOG(LOG_INFO, "destroy hwdev_by_devpath");
  hwdev_by_devpath.reset();
}

hwdev *hwdev_get() {
  if (free_list.empty()) {
    HWLOG(LOG_ERR, "no hwdev available");
    pool_ran_out = true;
    return nullptr;
  }
  const int slot = free_list.head;
  hwdev &hd = *pool[slot];
  if (hwdev_alloc(hd) < 0) {
    HWLOG(LOG_ERR, "failed to alloc a hwdev");
    return nullptr;
  }
  list_unlink(free_list, slot);
  links[slot].in_use = true;
  list_push_front(in_use_list, slot);
  return &hd;
}

void hwdev_put(hwdev *hd, int to_back) {
  // Handing back a record twice, or one of no pool, would corrupt the lists.
  const int slot = in_use_slot_of(hd);
  if (slot == kNoSlot) return;

  // Deleted under its text and its own reference, so a second record filed
  // under the same devpath keeps its entry; an entry left under an older
  // devpath goes too, so a lookup never finds a free record.
  if (hwdev_by_devpath) {
    if (!hd->devpath.empty() &&
        str2ref_del_by_str_ref_if_required(hwdev_by_devpath.get(), hd->devpath.c_str(), 1, hd) < 0)
      HWLOG(LOG_ERR, "failed in str2ref_del() - cannot find devpath (devpath=%s)", hd->devpath.c_str());
    while (str2ref_del_by_ref(hwdev_by_devpath.get(), hd) == 0) {
    }
  }
  list_unlink(in_use_list, slot);
  links[slot].in_use = false;
  if (to_back)
    list_push_back(free_list, slot);
  else
    list_push_front(free_list, slot);
  hwdev_release_strings(*hd);
}

int hwdev_fixup(hwdev *hd) {
  if (!hwdev_by_devpath || !hd || !hd->devpath.present()) {
    HWLOG(LOG_ERR, "failed in str2ref_add()");
    return -1;
  }
  str2ref_del_by_ref(hwdev_by_devpath.get(), hd);
  if (str2ref_add(hwdev_by_devpath.get(), hd->devpath.c_str(), hd) < 0) {
    HWLOG(LOG_ERR, "failed in str2ref_add()");
    return -1;
  }
  return 0;
}

hwdev *hwdev_find_by_devpath(const char *devpath) {
  if (!hwdev_by_devpath || !devpath) return nullptr;
  void *ref = nullptr;
  if (str2ref_find(hwdev_by_devpath.get(), devpath, &ref) < 0) return nullptr;
  return static_cast<hwdev *>(ref);
}

int hwdev_write_to_rdb(hwdev *hd, int remove) {
  if (!hd) return 0;
  for (const auto &field : kRdbFields) {
    hw::fixed_text<kRdbVarNameSize> var;
    var.set(rdb_format_name("%s%d.%s", kHwdevRdbPrefix, hd->index, field.key));
    const char *value = field.value(*hd);
    // An empty text is a value: only an absent buffer deletes the variable.
    if (!remove && value) {
      if (rdb_set_value(var.c_str(), value, 0) < 0) {
        const int err = errno;
        HWLOG(LOG_ERR, "failed to set rdb [%s] (var=%s) - %s", var.c_str(), value, strerror(err));
      }
    } else if (rdb_delete_value(var.c_str()) < 0) {
      const int err = errno;
      HWLOG(LOG_ERR, "failed to delete rdb [%s] - %s", var.c_str(), strerror(err));
    }
  }
  return 0;
}

const char *hwdev_rdb_name(const hwdev *hd) {
  hw::formatf(rdb_name_buf, sizeof rdb_name_buf, "dev.%d", hd ? hd->index : -1);
  return rdb_name_buf;
}

const char *hwdev_type_name(int type) { return hw::name_from_code(type, kTypeNames, kTypeNames[HWDEV_TYPE_UNKNOWN]); }

hwdev *hwdev_first_in_use() { return in_use_list.empty() ? nullptr : pool[in_use_list.head].get(); }

hwdev *hwdev_next_in_use(const hwdev *hd) {
  const int slot = in_use_slot_of(hd);
  if (slot == kNoSlot || links[slot].next == kNoSlot) return nullptr;
  return pool[links[slot].next].get();
}

bool hwdev_pool_ran_out() { return std::exchange(pool_ran_out, false); }
