// SPDX-License-Identifier: MIT
// Force-included into every C++ compile of the musl build (see
// cmake/toolchain-x86_64-linux-musl.cmake): what the libstdc++ headers of a
// glibc system take from glibc's own headers and musl's do not have.
#pragma once

// Version tests of glibc; musl is none.
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif

// Thread functions called directly, as libstdc++ does on glibc 2.34 on: its
// weak references would take a static program that never calls the
// function they test for (pthread_cancel) for single-threaded and make
// std::mutex do nothing.
#define _GLIBCXX_GTHREAD_USE_WEAK 0

// glibc's character class bits, which libstdc++'s ctype masks are made of
// (little-endian layout, as in glibc's <ctype.h>).
#define _ISbit(bit) ((bit) < 8 ? ((1 << (bit)) << 8) : ((1 << (bit)) >> 8))
#define _ISupper _ISbit(0)
#define _ISlower _ISbit(1)
#define _ISalpha _ISbit(2)
#define _ISdigit _ISbit(3)
#define _ISxdigit _ISbit(4)
#define _ISspace _ISbit(5)
#define _ISprint _ISbit(6)
#define _ISgraph _ISbit(7)
#define _ISblank _ISbit(8)
#define _IScntrl _ISbit(9)
#define _ISpunct _ISbit(10)
#define _ISalnum _ISbit(11)

#ifdef __cplusplus
#include <locale.h>
#include <pthread.h>
#include <time.h>

typedef locale_t __locale_t;

// glibc 2.30's waits on a chosen clock; cmake/musl/glibcxx-compat.c has them.
extern "C" int pthread_cond_clockwait(pthread_cond_t *, pthread_mutex_t *, clockid_t, const struct timespec *);
extern "C" int pthread_mutex_clocklock(pthread_mutex_t *, clockid_t, const struct timespec *);
#endif
