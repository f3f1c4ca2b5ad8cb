// SPDX-License-Identifier: MIT
#include "rdb/rdbproto.h"

#include <linux/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "rdb/rdbdrv.h"

namespace rdbproto {
namespace {

// magic, request, pointers, six words, name length, value length
constexpr size_t kRequestFixed = 11 * 4;
// magic, result, len, value length
constexpr size_t kReplyFixed = 4 * 4;

void put_u32(std::string &out, uint32_t v) {
  const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                         static_cast<char>(v >> 24)};
  out.append(bytes, sizeof bytes);
}

void put_i32(std::string &out, int32_t v) { put_u32(out, static_cast<uint32_t>(v)); }

// Reads little-endian words from a body whose size was checked up front.
class Reader {
 public:
  explicit Reader(std::string_view body) : body_(body) {}
  bool u32(uint32_t &v) {
    if (body_.size() - pos_ < 4) return false;
    const auto *p = reinterpret_cast<const unsigned char *>(body_.data() + pos_);
    v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    pos_ += 4;
    return true;
  }
  bool i32(int32_t &v) {
    uint32_t u;
    if (!u32(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  bool bytes(size_t n, std::string &out) {
    if (body_.size() - pos_ < n) return false;
    out.assign(body_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  bool at_end() const { return pos_ == body_.size(); }

 private:
  std::string_view body_;
  size_t pos_ = 0;
};

void begin_frame(std::string &out, size_t &length_at) {
  length_at = out.size();
  put_u32(out, 0);
}

void end_frame(std::string &out, size_t length_at) {
  const auto body = static_cast<uint32_t>(out.size() - length_at - kLengthPrefix);
  std::string prefix;
  put_u32(prefix, body);
  out.replace(length_at, kLengthPrefix, prefix);
}

// Splits the length prefix off. ok: *body is the frame's body.
Decode frame_body(std::string_view in, size_t max_body, size_t min_body, std::string_view *body, size_t *used) {
  *used = 0;
  if (in.size() < kLengthPrefix) return Decode::incomplete;
  const uint32_t length = body_length(in);
  if (length > max_body) return Decode::malformed;  // no way to resynchronise
  if (in.size() - kLengthPrefix < length) return Decode::incomplete;
  *used = kLengthPrefix + length;
  if (length < min_body) return Decode::malformed;
  *body = in.substr(kLengthPrefix, length);
  return Decode::ok;
}

bool is_reading(Op op) { return op == Op::get || op == Op::getnames; }

}  // namespace

Op op_of(unsigned long request) {
  if (_IOC_TYPE(request) != RDBDRV_IOC_TYPE) return Op::unknown;
  switch (_IOC_NR(request)) {
    case 2:
      return Op::get;
    case 3:
      return Op::write;
    case 4:
      return Op::getnames;
    default:
      return Op::unknown;
  }
}

void encode_request(const Request &req, std::string &out) {
  size_t length_at;
  begin_frame(out, length_at);
  put_u32(out, kMagic);
  put_u32(out, req.request);
  put_u32(out, (req.has_name ? kHasName : 0) | (req.has_value ? kHasValue : 0));
  for (int32_t word : {req.len, req.attr_a, req.flags, req.reserved, req.attr_b, req.attr_c}) put_i32(out, word);
  put_u32(out, static_cast<uint32_t>(req.name.size()));
  out += req.name;
  put_u32(out, static_cast<uint32_t>(req.value.size()));
  out += req.value;
  end_frame(out, length_at);
}

void encode_reply(const Reply &reply, std::string &out) {
  size_t length_at;
  begin_frame(out, length_at);
  put_u32(out, kMagic);
  put_i32(out, reply.result);
  put_i32(out, reply.len);
  put_u32(out, static_cast<uint32_t>(reply.value.size()));
  out += reply.value;
  end_frame(out, length_at);
}

Decode decode_request(std::string_view in, Request &req, size_t *used) {
  std::string_view body;
  Decode framing = frame_body(in, kMaxRequestBody, kRequestFixed, &body, used);
  if (framing != Decode::ok) return framing;

  Reader r(body);
  uint32_t magic = 0, pointers = 0, name_len = 0, value_len = 0;
  r.u32(magic);
  if (magic != kMagic) {
    *used = 0;  // not a peer of ours: nothing after this can be trusted
    return Decode::malformed;
  }
  r.u32(req.request);
  r.u32(pointers);
  r.i32(req.len);
  r.i32(req.attr_a);
  r.i32(req.flags);
  r.i32(req.reserved);
  r.i32(req.attr_b);
  r.i32(req.attr_c);
  if (!r.u32(name_len) || name_len > kMaxName || !r.bytes(name_len, req.name)) return Decode::malformed;
  if (!r.u32(value_len) || value_len > kMaxValue || !r.bytes(value_len, req.value) || !r.at_end())
    return Decode::malformed;
  if ((pointers & ~(kHasName | kHasValue)) != 0) return Decode::malformed;
  if (req.name.find('\0') != std::string::npos) return Decode::malformed;
  req.has_name = pointers & kHasName;
  req.has_value = pointers & kHasValue;
  if (!req.has_name && !req.name.empty()) return Decode::malformed;
  if (!req.has_value && !req.value.empty()) return Decode::malformed;
  return Decode::ok;
}

uint32_t body_length(std::string_view in) {
  uint32_t length = 0;
  Reader(in.substr(0, kLengthPrefix)).u32(length);
  return length;
}

bool request_ready(std::string_view in) {
  std::string_view body;
  size_t used = 0;
  return frame_body(in, kMaxRequestBody, kRequestFixed, &body, &used) != Decode::incomplete;
}

Decode decode_reply(std::string_view in, Reply &reply, size_t *used) {
  std::string_view body;
  Decode framing = frame_body(in, kMaxReplyBody, kReplyFixed, &body, used);
  if (framing != Decode::ok) return framing;

  Reader r(body);
  uint32_t magic = 0, value_len = 0;
  r.u32(magic);
  r.i32(reply.result);
  r.i32(reply.len);
  if (magic != kMagic || !r.u32(value_len) || value_len > kMaxListing || !r.bytes(value_len, reply.value) ||
      !r.at_end())
    return Decode::malformed;
  if (reply.result > 0 || reply.result < -4095) return Decode::malformed;
  return Decode::ok;
}

int request_from_record(unsigned long request, const rdbdrv_request &rec, Request &req) {
  req = Request{};
  req.request = static_cast<uint32_t>(request);
  req.len = rec.len;
  req.attr_a = rec.attr_a;
  req.flags = rec.flags;
  req.reserved = rec.reserved;
  req.attr_b = rec.attr_b;
  req.attr_c = rec.attr_c;
  req.has_name = rec.name != nullptr;
  req.has_value = rec.value != nullptr;
  if (rec.name) {
    const size_t n = strnlen(rec.name, kMaxName + 1);
    if (n > kMaxName) return -ENAMETOOLONG;
    req.name.assign(rec.name, n);
  }
  if (op_of(request) == Op::write && rec.value) {
    if (rec.len < 0) return -EINVAL;
    if (static_cast<size_t>(rec.len) > kMaxValue) return -E2BIG;
    req.value.assign(rec.value, static_cast<size_t>(rec.len));
  }
  return 0;
}

int32_t apply_reply(unsigned long request, const Reply &reply, rdbdrv_request &rec, int32_t capacity) {
  rec.len = reply.len;
  if (is_reading(op_of(request)) && rec.value && capacity > 0) {
    const size_t n = std::min(reply.value.size(), static_cast<size_t>(capacity));
    memcpy(rec.value, reply.value.data(), n);
  }
  return reply.result;
}

}  // namespace rdbproto
