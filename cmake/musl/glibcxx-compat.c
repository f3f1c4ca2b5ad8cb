// SPDX-License-Identifier: MIT
// Linked into every program of the musl build (see
// cmake/toolchain-x86_64-linux-musl.cmake): the few glibc symbols that
// libstdc++.a and libgcc_eh.a of a glibc system use and musl lacks, and the
// C locale in the shape libstdc++'s glibc locale code reads.
#define _GNU_SOURCE
#include <ctype.h>
#include <errno.h>
#include <link.h>
#include <locale.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

// 0: libstdc++ takes every program for multi-threaded (atomic reference counts).
char __libc_single_threaded = 0;

// std::random_device.
uint32_t arc4random(void) {
  uint32_t value;
  while (getrandom(&value, sizeof value, 0) != sizeof value) {
  }
  return value;
}

// The unwinder of libgcc_eh.a finds a program's unwind tables through
// glibc 2.35's _dl_find_object; a static program has one object, which
// dl_iterate_phdr describes.
struct dl_find_object {
  unsigned long long dlfo_flags;
  void *dlfo_map_start;
  void *dlfo_map_end;
  void *dlfo_link_map;
  void *dlfo_eh_frame;
  unsigned long long dlfo_reserved[7];
};

struct find_request {
  uintptr_t pc;
  struct dl_find_object *result;
  int found;
};

static int find_object_of_pc(struct dl_phdr_info *info, size_t size, void *data) {
  struct find_request *request = data;
  uintptr_t low = UINTPTR_MAX, high = 0;
  void *eh_frame = NULL;
  int holds_pc = 0;
  (void)size;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) *segment = &info->dlpi_phdr[i];
    uintptr_t start = info->dlpi_addr + segment->p_vaddr;
    if (segment->p_type == PT_LOAD) {
      if (start < low) low = start;
      if (start + segment->p_memsz > high) high = start + segment->p_memsz;
      if (request->pc >= start && request->pc < start + segment->p_memsz) holds_pc = 1;
    } else if (segment->p_type == PT_GNU_EH_FRAME) {
      eh_frame = (void *)start;
    }
  }
  if (!holds_pc) return 0;
  memset(request->result, 0, sizeof *request->result);
  request->result->dlfo_map_start = (void *)low;
  request->result->dlfo_map_end = (void *)high;
  request->result->dlfo_eh_frame = eh_frame;
  request->found = 1;
  return 1;
}

int _dl_find_object(void *pc, struct dl_find_object *result) {
  struct find_request request = {(uintptr_t)pc, result, 0};
  dl_iterate_phdr(find_object_of_pc, &request);
  return request.found ? 0 : -1;
}

// Waits until an absolute time on another clock, as waits until the same
// moment on CLOCK_REALTIME.
static int as_realtime(clockid_t clock, const struct timespec *until, struct timespec *out) {
  struct timespec now, real_now;
  if (clock == CLOCK_REALTIME) {
    *out = *until;
    return 0;
  }
  if (clock_gettime(clock, &now) != 0 || clock_gettime(CLOCK_REALTIME, &real_now) != 0) return EINVAL;
  long long ns = (until->tv_sec - now.tv_sec) * 1000000000LL + (until->tv_nsec - now.tv_nsec);
  ns += real_now.tv_sec * 1000000000LL + real_now.tv_nsec;
  out->tv_sec = ns / 1000000000LL;
  out->tv_nsec = ns % 1000000000LL;
  return 0;
}

int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock,
                           const struct timespec *until) {
  struct timespec real_until;
  int error = as_realtime(clock, until, &real_until);
  return error ? error : pthread_cond_timedwait(cond, mutex, &real_until);
}

int pthread_mutex_clocklock(pthread_mutex_t *mutex, clockid_t clock, const struct timespec *until) {
  struct timespec real_until;
  int error = as_realtime(clock, until, &real_until);
  return error ? error : pthread_mutex_timedlock(mutex, &real_until);
}

// libstdc++'s glibc locale code reads the character class and case tables
// of a locale_t out of glibc's struct __locale_struct. Every locale it makes
// (newlocale and duplocale under either name, wrapped with the linker's
// --wrap) is musl's six category pointers followed by those tables where
// glibc keeps them; musl reads only its part. The tables are the C
// locale's, the only one the programs use.
struct glibc_shaped_locale {
  void *musl_categories[6];
  void *unused[7];
  const unsigned short *ctype_b;
  const int32_t *ctype_tolower;
  const int32_t *ctype_toupper;
};
_Static_assert(offsetof(struct glibc_shaped_locale, ctype_b) == 13 * sizeof(void *), "glibc's layout");

// Indexed from -128 to 255, as glibc's.
static unsigned short class_table[384];
static int32_t lower_table[384], upper_table[384];

static void fill_tables(void) {
  int (*const tests[])(int) = {isupper, islower, isalpha, isdigit, isxdigit, isspace,
                               isprint, isgraph, isblank, iscntrl, ispunct, isalnum};
  for (int i = 0; i < 384; ++i) {
    int c = i - 128;
    lower_table[i] = upper_table[i] = c;
    if (c < 0) continue;
    for (int bit = 0; bit < 12; ++bit)
      if (tests[bit](c)) class_table[i] |= (unsigned short)(bit < 8 ? (1 << bit) << 8 : (1 << bit) >> 8);
    lower_table[i] = tolower(c);
    upper_table[i] = toupper(c);
  }
}

static locale_t glibc_shaped(locale_t musl_locale) {
  struct glibc_shaped_locale *shaped;
  if (!musl_locale) return musl_locale;
  shaped = calloc(1, sizeof *shaped);
  if (!shaped) {
    freelocale(musl_locale);
    errno = ENOMEM;
    return 0;
  }
  memcpy(shaped->musl_categories, musl_locale, sizeof shaped->musl_categories);
  freelocale(musl_locale);
  if (!class_table['A' + 128]) fill_tables();
  shaped->ctype_b = class_table + 128;
  shaped->ctype_tolower = lower_table + 128;
  shaped->ctype_toupper = upper_table + 128;
  return (locale_t)shaped;
}

// A base is changed in place: it is one of ours already.
#define WRAP_NEWLOCALE(name)                                     \
  locale_t __real_##name(int mask, const char *locale, locale_t base); \
  locale_t __wrap_##name(int mask, const char *locale, locale_t base) { \
    locale_t made = __real_##name(mask, locale, base);           \
    return made && made == base ? made : glibc_shaped(made);     \
  }
#define WRAP_DUPLOCALE(name)                                     \
  locale_t __real_##name(locale_t old);                          \
  locale_t __wrap_##name(locale_t old) { return glibc_shaped(__real_##name(old)); }

// libstdc++ calls both glibc's internal names and the public ones.
WRAP_NEWLOCALE(__newlocale)
WRAP_NEWLOCALE(newlocale)
WRAP_DUPLOCALE(__duplocale)
WRAP_DUPLOCALE(duplocale)
