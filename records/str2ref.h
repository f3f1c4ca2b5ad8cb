// SPDX-License-Identifier: MIT
#pragma once
// An index from texts to opaque references, duplicates allowed. Texts hash
// to a 31-bit key; buckets of equal keys sit in a balanced ordered tree and
// hold their entries in a chain (first added is the head, later ones go
// directly behind it). Lookups and iterations are stateful, one of each per
// instance at a time.
//
// Calling rules: str2ref_find_next continues the last successful
// str2ref_find/str2ref_find_next with the same text; str2ref_next continues
// str2ref_first. Any add or delete (str2ref_del_by_ref included) ends both a
// lookup and an iteration in progress: they then answer -1. An iteration
// visits the buckets in ascending key order and each bucket's entries in
// chain order. Texts returned by an iteration stay valid until their entry
// is deleted.

#include <cstdint>
#include <memory>

struct str2ref;

int32_t str2ref_hash(const char *str);

str2ref *str2ref_create();
void str2ref_destroy(str2ref *si);

int str2ref_add(str2ref *si, const char *str, void *ref);
int str2ref_find(str2ref *si, const char *str, void **ref);
int str2ref_find_next(str2ref *si, const char *str, void **ref);
int str2ref_del(str2ref *si, const char *str);
int str2ref_del_by_str_ref_if_required(str2ref *si, const char *str, int check_ref, void *ref);
int str2ref_del_by_ref(str2ref *si, void *ref);
int str2ref_first(str2ref *si, const char **str, void **ref);
int str2ref_next(str2ref *si, const char **str, void **ref);

// Owner for instances made by str2ref_create.
struct str2ref_deleter {
  void operator()(str2ref *si) const { str2ref_destroy(si); }
};
using str2ref_ptr = std::unique_ptr<str2ref, str2ref_deleter>;
