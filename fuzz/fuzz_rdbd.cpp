// SPDX-License-Identifier: MIT
// rdbd's side of the wire: the request decoder on a client's byte stream,
// and the store executing what it decodes, as rdbd serves a connection.
//
// Input: the bytes a client sends. Frames are decoded off the front one by
// one, as rdbd's server does: a malformed frame with a sound length is
// answered and skipped, one without ends the connection. Every input starts
// from a store holding a few variables. An input that begins with the store
// file's header line is instead parsed as a store file.
//
// Contracts checked beyond the absence of crashes:
//  - a decoded frame encodes back to exactly the bytes it was read from;
//  - a request the store rejects, and every read, leaves the store as it was;
//  - a write that succeeds changes only the variable it names;
//  - replies decode back to themselves and stay within the protocol's bounds;
//  - the store file of the resulting variables, and of any store file that
//    parses, reads back as their persistent part;
//  - a log that parses still parses when cut anywhere after its header (a
//    crash in the middle of an append never makes the store unreadable).

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "rdb/rdbdrv.h"
#include "rdb/rdbproto.h"
#include "tools/rdbd/store.h"

namespace {

constexpr size_t kMaxFrames = 64;
constexpr std::string_view kStoreHeader = "rdbd-store ";
constexpr std::string_view kLogHeader = "rdbd-store 2\n";

using Snapshot = std::map<std::string, rdbstore::Variable>;

Snapshot snapshot(const rdbstore::Store &store) { return {store.variables().begin(), store.variables().end()}; }

void seed(rdbstore::Store &store) {
  store.put("sys.hw.cfg.debug", {"7", RDBDRV_PERSIST});
  store.put("sys.hw.dev.0.name", {"/dev/ttyUSB0", 0});
  store.put("sys.hw.class.serial.0.id", {"1a2b-3c4d-XYZ", RDBDRV_PERSIST});
  store.put("sys.hw.class.serial.0.status", {"inserted", 0});
  store.put("long", {std::string(1023, 'v'), 0});
}

// Everything but the named variable is as it was.
bool only_changed(const Snapshot &before, const Snapshot &after, const std::string &name) {
  Snapshot a = before, b = after;
  a.erase(name);
  b.erase(name);
  return a == b;
}

void check_reply(const rdbproto::Reply &reply) {
  FUZZ_CHECK(reply.result <= 0 && reply.result >= -4095);
  FUZZ_CHECK(reply.value.size() <= rdbproto::kMaxListing);
  std::string frame;
  rdbproto::encode_reply(reply, frame);
  rdbproto::Reply back;
  size_t used = 0;
  FUZZ_CHECK(rdbproto::decode_reply(frame, back, &used) == rdbproto::Decode::ok);
  FUZZ_CHECK(used == frame.size());
  FUZZ_CHECK(back.result == reply.result && back.len == reply.len && back.value == reply.value);
}

void execute(rdbstore::Store &store, const rdbproto::Request &req) {
  const Snapshot before = snapshot(store);
  const rdbproto::Reply reply = store.execute(req);
  const Snapshot after = snapshot(store);
  check_reply(reply);

  const rdbproto::Op op = rdbproto::op_of(req.request);
  if (reply.result < 0 || op != rdbproto::Op::write) {
    FUZZ_CHECK(after == before);
  } else {
    FUZZ_CHECK(only_changed(before, after, req.name));
  }
  if (reply.result == 0 && op == rdbproto::Op::get) {
    // The value and its NUL, never more than the caller made room for.
    FUZZ_CHECK(reply.len == static_cast<int32_t>(reply.value.size()));
    FUZZ_CHECK(reply.len <= req.len);
    FUZZ_CHECK(!reply.value.empty() && reply.value.back() == '\0');
  }
  if (reply.result == 0 && op == rdbproto::Op::getnames) {
    FUZZ_CHECK(reply.len <= req.len);
    FUZZ_CHECK(reply.value.size() <= static_cast<size_t>(req.len));
  }
}

void serve(std::string_view in) {
  rdbstore::Store store;
  seed(store);
  for (size_t frames = 0; frames < kMaxFrames && !in.empty(); ++frames) {
    rdbproto::Request req;
    size_t used = 0;
    const rdbproto::Decode result = rdbproto::decode_request(in, req, &used);
    if (result == rdbproto::Decode::incomplete) break;
    if (result == rdbproto::Decode::malformed) {
      if (used == 0) break;  // rdbd drops the connection
      FUZZ_CHECK(used <= in.size());
      in.remove_prefix(used);
      continue;
    }
    FUZZ_CHECK(used > 0 && used <= in.size());
    std::string again;
    rdbproto::encode_request(req, again);
    FUZZ_CHECK(again == in.substr(0, used));
    in.remove_prefix(used);
    execute(store, req);
  }

  Snapshot persistent;
  for (const auto &[name, var] : store.variables())
    if (var.persistent()) persistent.emplace(name, var);
  rdbstore::Variables parsed;
  std::string error;
  FUZZ_CHECK(rdbstore::parse(rdbstore::serialize(store.variables()), parsed, &error) == 0);
  FUZZ_CHECK(Snapshot(parsed.begin(), parsed.end()) == persistent);
}

void parse_store_file(std::string_view text) {
  rdbstore::Variables vars;
  std::string error;
  if (rdbstore::parse(text, vars, &error) != 0) {
    FUZZ_CHECK(!error.empty());
    return;
  }
  // What is written back (the persistent variables) reads back the same.
  Snapshot persistent;
  for (const auto &[name, var] : vars)
    if (var.persistent()) persistent.emplace(name, var);
  rdbstore::Variables again;
  FUZZ_CHECK(rdbstore::parse(rdbstore::serialize(vars), again, &error) == 0);
  FUZZ_CHECK(Snapshot(again.begin(), again.end()) == persistent);

  if (!text.starts_with(kLogHeader)) return;
  // Cut at each line's end and just before it.
  for (size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n', end + 1)) {
    for (size_t cut : {end, end + 1}) {
      rdbstore::Variables shorter;
      FUZZ_CHECK(rdbstore::parse(text.substr(0, cut), shorter, &error) == 0 || cut < kLogHeader.size());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  if (input.starts_with(kStoreHeader))
    parse_store_file(input);
  else
    serve(input);
  return 0;
}
