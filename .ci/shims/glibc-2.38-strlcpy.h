/* SPDX-License-Identifier: MIT */
/* Force-included by .ci/toolchain-check into builds against an older
   glibc: <string.h> with the declarations glibc 2.38 adds, so that the
   build meets the global strlcpy and strlcat of every newer C library. */
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif
extern size_t strlcpy(char *__restrict __dest, const char *__restrict __src, size_t __n) __THROW
    __nonnull((1, 2)) __attr_access((__write_only__, 1, 3));
extern size_t strlcat(char *__restrict __dest, const char *__restrict __src, size_t __n) __THROW
    __nonnull((1, 2)) __attr_access((__read_write__, 1, 3));
#ifdef __cplusplus
}
#endif
