// SPDX-License-Identifier: MIT
#include "records/str2ref.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <list>
#include <map>
#include <new>
#include <string>

#include "base/alloc_gate.h"
#include "base/log.h"

namespace {

constexpr char HWLOG_MODULE[] = "str2ref";

constexpr uint32_t kHashSeed = 5381;
constexpr uint32_t kKeyMask = 0x7fffffff;

struct entry {
  std::string text;  // owned copy, compared byte by byte
  void *ref;         // the owner's; never dereferenced here
};

using chain = std::list<entry>;

// The tree of buckets. std::map is a balanced ordered tree keyed by the
// 31-bit hash; each bucket's chain holds the entries whose texts share it.
// A bucket is erased as soon as its chain becomes empty.
using bucket_tree = std::map<int32_t, chain>;

// Where the last find/find_next stopped: the entry to examine next, in the
// chain of the bucket that find looked up.
struct lookup_cursor {
  bool valid = false;
  chain *bucket = nullptr;
  chain::iterator next;
};

// Where the iteration stands: the current bucket and its next entry.
struct iteration_cursor {
  bool valid = false;
  bucket_tree::iterator bucket;
  chain::iterator next;
};

}  // namespace

// Cursors hold iterators into the tree and chains, so every add and delete
// invalidates both of them: a find_next or next after a change answers -1
// instead of following an iterator that may dangle.
struct str2ref {
  int allocated = 0;
  bucket_tree tree;
  lookup_cursor lookup;
  iteration_cursor iteration;

  void invalidate_cursors() {
    lookup.valid = false;
    iteration.valid = false;
  }
};

namespace {

chain *find_bucket(str2ref *si, int32_t key) {
  auto it = si->tree.find(key);
  return it == si->tree.end() ? nullptr : &it->second;
}

// Continues the lookup walk from the cursor; leaves it behind the match.
int walk_lookup(str2ref *si, const char *str, void **ref) {
  lookup_cursor &c = si->lookup;
  if (!c.valid) return -1;
  for (; c.next != c.bucket->end(); ++c.next) {
    if (c.next->text == str) {
      if (ref) *ref = c.next->ref;
      ++c.next;
      return 0;
    }
  }
  c.valid = false;
  return -1;
}

// Yields the entry at the iteration cursor and moves past it.
int walk_iteration(str2ref *si, const char **str, void **ref) {
  iteration_cursor &c = si->iteration;
  if (!c.valid) return -1;
  while (c.next == c.bucket->second.end()) {
    if (++c.bucket == si->tree.end()) {
      c.valid = false;
      return -1;
    }
    c.next = c.bucket->second.begin();
  }
  if (str) *str = c.next->text.c_str();
  if (ref) *ref = c.next->ref;
  ++c.next;
  return 0;
}

void erase_entry(str2ref *si, bucket_tree::iterator bucket, chain::iterator pos) {
  bucket->second.erase(pos);
  if (bucket->second.empty()) si->tree.erase(bucket);
  si->invalidate_cursors();
}

}  // namespace

int32_t str2ref_hash(const char *str) {
  uint32_t h = kHashSeed;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(str); *p; ++p) h = (h * 33u) ^ *p;
  return static_cast<int32_t>(h & kKeyMask);
}

str2ref *str2ref_create() {
  auto si = hw::make_unique_nothrow<str2ref>();
  if (!si) {
    HWLOG(LOG_ERR, "si memory allocation failure - %s", strerror(errno));
    return nullptr;
  }
  si->allocated = 1;
  return si.release();  // owned by the caller until str2ref_destroy
}

void str2ref_destroy(str2ref *si) {
  if (!si) return;
  si->tree.clear();
  si->invalidate_cursors();
  if (si->allocated) std::unique_ptr<str2ref> owned(si);
}

int str2ref_add(str2ref *si, const char *str, void *ref) {
  if (!si || !str) return -1;
  const int32_t key = str2ref_hash(str);

  auto bucket = si->tree.find(key);
  const bool new_bucket = bucket == si->tree.end();
  if (new_bucket) {
    try {
      if (!hw::alloc_allowed()) throw std::bad_alloc();
      bucket = si->tree.try_emplace(key).first;
    } catch (const std::bad_alloc &) {
      HWLOG(LOG_ERR, "rbt memory allocation failure - %s", strerror(ENOMEM));
      return -1;
    }
  }
  si->invalidate_cursors();

  try {
    if (!hw::alloc_allowed()) throw std::bad_alloc();
    chain &c = bucket->second;
    // The first entry heads the chain; every later one goes directly behind
    // the head, so a walk meets the oldest first and the newest second.
    auto pos = c.empty() ? c.end() : std::next(c.begin());
    c.insert(pos, entry{std::string(str), ref});
  } catch (const std::bad_alloc &) {
    HWLOG(LOG_ERR, "dl memory allocation failure - %s", strerror(ENOMEM));
    // A bucket without entries would end every iteration that reaches it.
    if (new_bucket) si->tree.erase(bucket);
    return -1;
  }
  return 0;
}

int str2ref_find(str2ref *si, const char *str, void **ref) {
  if (!si || !str) return -1;
  si->lookup.valid = false;
  chain *c = find_bucket(si, str2ref_hash(str));
  if (!c) return -1;
  si->lookup = {true, c, c->begin()};
  return walk_lookup(si, str, ref);
}

int str2ref_find_next(str2ref *si, const char *str, void **ref) {
  if (!si || !str) return -1;
  return walk_lookup(si, str, ref);
}

int str2ref_del(str2ref *si, const char *str) { return str2ref_del_by_str_ref_if_required(si, str, 0, nullptr); }

int str2ref_del_by_str_ref_if_required(str2ref *si, const char *str, int check_ref, void *ref) {
  if (!si || !str) return -1;
  const int32_t key = str2ref_hash(str);
  auto bucket = si->tree.find(key);
  if (bucket == si->tree.end()) {
    HWLOG(LOG_ERR, "rbt not found - key=%ld", static_cast<long>(key));
    return -1;
  }
  chain &c = bucket->second;
  for (auto it = c.begin(); it != c.end(); ++it) {
    if (it->text == str && (!check_ref || it->ref == ref)) {
      erase_entry(si, bucket, it);
      return 0;
    }
  }
  HWLOG(LOG_ERR, "dl not found - key=%ld,str=%s", static_cast<long>(key), str);
  return -1;
}

int str2ref_del_by_ref(str2ref *si, void *ref) {
  if (!si) return -1;
  // The same order as str2ref_first/str2ref_next, so "the first entry with
  // that reference" means the first one an iteration would meet.
  for (auto bucket = si->tree.begin(); bucket != si->tree.end(); ++bucket) {
    for (auto it = bucket->second.begin(); it != bucket->second.end(); ++it) {
      if (it->ref == ref) {
        erase_entry(si, bucket, it);
        return 0;
      }
    }
  }
  si->iteration.valid = false;
  return -1;
}

// Buckets are visited in ascending key order (std::map's in-order walk), and
// within a bucket in chain order. Which bucket order an iteration uses only
// decides the order in which start-up visits stored class records.
int str2ref_first(str2ref *si, const char **str, void **ref) {
  if (!si) return -1;
  si->iteration.valid = false;
  if (si->tree.empty()) return -1;
  auto first = si->tree.begin();
  si->iteration = {true, first, first->second.begin()};
  return walk_iteration(si, str, ref);
}

int str2ref_next(str2ref *si, const char **str, void **ref) {
  if (!si) return -1;
  return walk_iteration(si, str, ref);
}
