// SPDX-License-Identifier: MIT
#pragma once
// Client of the RDB driver: one request record per operation, sent either as
// an ioctl on the driver's character device or, when the device path is a
// Unix stream socket, to the stand-in server rdbd. Callers cannot tell the
// two apart. Every request returns 0 or the negated errno (errno stays set).

#include <linux/ioctl.h>

#include <cstdint>
#include <memory>

// The record the driver takes by address. On the 32-bit target it is eight
// little-endian 32-bit words (32 bytes); on a 64-bit host the two pointers
// are pointer-wide and the request numbers below follow the real size.
struct rdbdrv_request {
  const char *name;  // variable name, or the name that selects a listing
  char *value;       // text to write, or the caller's buffer to read into
  int32_t len;       // byte count; in/out for reads (capacity in, size out)
  int32_t attr_a;    // -1: leave unchanged
  int32_t flags;     // RDBDRV_* bits; -1: leave unchanged
  int32_t reserved;  // always 0
  int32_t attr_b;    // -1: leave unchanged
  int32_t attr_c;    // -1: leave unchanged
};

#if UINTPTR_MAX == 0xffffffffu
static_assert(sizeof(rdbdrv_request) == 32, "the driver's record is 32 bytes on a 32-bit target");
#endif

inline constexpr unsigned RDBDRV_IOC_TYPE = 0x67;  // 'g'
inline constexpr unsigned long RDBDRV_REQ_GET = _IOWR(RDBDRV_IOC_TYPE, 2, rdbdrv_request);
inline constexpr unsigned long RDBDRV_REQ_SET = _IOWR(RDBDRV_IOC_TYPE, 3, rdbdrv_request);
inline constexpr unsigned long RDBDRV_REQ_GETNAMES = _IOWR(RDBDRV_IOC_TYPE, 4, rdbdrv_request);

inline constexpr int32_t RDBDRV_CREATE = 0x02;
inline constexpr int32_t RDBDRV_PERSIST = 0x20;

inline constexpr char RDBDRV_DEFAULT_DEVICE[] = "/dev/vexa_DD";

struct rdbdrv_handle;

// Opens path (RDBDRV_DEFAULT_DEVICE when null) close-on-exec. *handle is null
// on every failure: -1 (errno from open), or a negated errno.
int rdbdrv_open(const char *path, rdbdrv_handle **handle);
// Closes and frees *handle and sets it to null.
void rdbdrv_close(rdbdrv_handle **handle);

// Owner of an open handle, for the tools and tests that open their own:
// closed when the owner goes, on every path out.
struct rdbdrv_closer {
  void operator()(rdbdrv_handle *handle) const { rdbdrv_close(&handle); }
};
using rdbdrv_handle_ptr = std::unique_ptr<rdbdrv_handle, rdbdrv_closer>;

int rdbdrv_get(rdbdrv_handle *handle, const char *name, char *buf, int *len);
int rdbdrv_set(rdbdrv_handle *handle, const char *name, const char *value);
int rdbdrv_create(rdbdrv_handle *handle, const char *name, const char *value, int flags, int attr);
int rdbdrv_delete(rdbdrv_handle *handle, const char *name);
int rdbdrv_getnames(rdbdrv_handle *handle, const char *name, char *buf, int *len, int flags);

// How often the handle connected afresh after its connection to rdbd broke
// (always 0 on the driver's character device). A new connection may have
// met a restarted rdbd, which kept only the persistent variables: a caller
// that mirrors state in the RDB writes it again when this count moves.
unsigned rdbdrv_reconnect_count(const rdbdrv_handle *handle);

// The descriptor of a socket handle's connection to rdbd, to wait on while
// nothing is asked: rdbd only ever answers, so it turns readable when rdbd
// closed the connection (it stopped, or let an idle client go). -1 for the
// driver's character device, or while the handle is not connected.
int rdbdrv_wait_fd(const rdbdrv_handle *handle);
// Whether the handle is connected: always on the character device; on a
// socket, while the connection is open and rdbd has not closed it (looked
// at without waiting; one it closed is closed here too). The next request
// connects afresh.
bool rdbdrv_connected(rdbdrv_handle *handle);

// Seam at the kernel boundary: replaces how every handle carries a request
// (ioctl semantics: 0 or more on success, -1 with errno set on failure).
// nullptr restores the real transports.
using rdbdrv_transport = int (*)(int fd, unsigned long request, rdbdrv_request *req);
void rdbdrv_set_transport(rdbdrv_transport transport);
