// SPDX-License-Identifier: MIT
#pragma once
// The wire form of a driver request between rdbdrv's socket transport and
// rdbd. A request carries what the driver itself would see of the record:
// the request number, the six non-pointer words, the name bytes and, for a
// write, the len value bytes. The reply carries the result, the len word and
// the bytes the driver would have copied into the caller's buffer.
//
// Frames are a 32-bit little-endian body length followed by the body. Both
// sides bound every length before they allocate or copy, so a peer can at
// worst get an error or a closed connection.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct rdbdrv_request;

namespace rdbproto {

inline constexpr uint32_t kMagic = 0x31424452;  // "RDB1", little-endian
inline constexpr size_t kMaxName = 1024;
// Largest value that travels in one frame.
inline constexpr size_t kMaxValue = 1024 * 1024;
// Largest listing: as far as the helper layer grows its names buffer.
inline constexpr size_t kMaxListing = 4 * 1024 * 1024;
inline constexpr size_t kLengthPrefix = 4;
inline constexpr size_t kMaxRequestBody = 64 + kMaxName + kMaxValue;
inline constexpr size_t kMaxReplyBody = 32 + kMaxListing;

// Which pointers of the record were non-null.
inline constexpr uint32_t kHasName = 0x1;
inline constexpr uint32_t kHasValue = 0x2;

// The requests, told apart by _IOC_TYPE and _IOC_NR only, so that a 32-bit
// client (32-byte record) and a 64-bit one (40 bytes) both work.
enum class Op { get, write, getnames, unknown };
Op op_of(unsigned long request);

struct Request {
  uint32_t request = 0;  // the full ioctl number the client used
  int32_t len = 0;
  int32_t attr_a = 0;
  int32_t flags = 0;
  int32_t reserved = 0;
  int32_t attr_b = 0;
  int32_t attr_c = 0;
  bool has_name = false;
  bool has_value = false;
  std::string name;   // without its NUL
  std::string value;  // writes: the len bytes sent; otherwise empty
};

struct Reply {
  int32_t result = 0;  // 0 or a negated errno
  int32_t len = 0;     // the record's len word after the request
  std::string value;   // bytes for the caller's buffer (reads and listings)
};

enum class Decode { ok, incomplete, malformed };

// Appends one whole frame to out.
void encode_request(const Request &req, std::string &out);
void encode_reply(const Reply &reply, std::string &out);

// Looks at the front of in. ok: one frame decoded, *used is its size.
// incomplete: more bytes are needed. malformed: the stream cannot be
// trusted (bad length prefix, bad magic or a body that does not add up);
// *used is the frame's size when the length prefix itself was sound, so a
// server may answer it and go on, and 0 when the connection must be dropped.
Decode decode_request(std::string_view in, Request &req, size_t *used);
Decode decode_reply(std::string_view in, Reply &reply, size_t *used);
// The body length announced by the prefix at the front of in, which holds
// at least kLengthPrefix bytes.
uint32_t body_length(std::string_view in);
// True when decode_request would not say incomplete: a whole request, or
// one that can never be, waits at the front of in. Costs no decoding.
bool request_ready(std::string_view in);

// What the driver reads out of a record for the given request: name, and
// for a write the len bytes of value. A negated errno when the record cannot
// be carried (a name or a value beyond the limits); 0 otherwise.
int request_from_record(unsigned long request, const rdbdrv_request &rec, Request &req);

// Writes a reply back into the caller's record the way the driver would:
// the len word always, the value bytes into the caller's buffer (never more
// than the capacity it gave) for reads and listings. Returns the result.
int32_t apply_reply(unsigned long request, const Reply &reply, rdbdrv_request &rec, int32_t capacity);

}  // namespace rdbproto
