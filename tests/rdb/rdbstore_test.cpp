// SPDX-License-Identifier: MIT
// The wire frames and the store that rdbd runs, in-process.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "rdb/rdbdrv.h"
#include "rdb/rdbproto.h"
#include "tools/board/sysfs_tree.h"
#include "tools/rdbd/store.h"

namespace {

using rdbproto::Decode;
using rdbproto::Reply;
using rdbproto::Request;
using rdbstore::Store;
using rdbstore::Variable;

// The request number of a 32-bit board; a 64-bit host sends another size.
constexpr uint32_t kSet32 = 0xc0206703;

Request make(unsigned long request, std::string name, int32_t len, int32_t flags = 0) {
  Request r;
  r.request = static_cast<uint32_t>(request);
  r.has_name = true;
  r.has_value = true;
  r.name = std::move(name);
  r.len = len;
  r.flags = flags;
  return r;
}

Request write_req(std::string name, std::string text, int32_t flags = -1) {
  Request r = make(RDBDRV_REQ_SET, std::move(name), 0, flags);
  r.value = std::move(text) + '\0';
  r.len = static_cast<int32_t>(r.value.size());
  r.attr_a = r.attr_b = r.attr_c = -1;
  return r;
}

Request create_req(std::string name, std::string text, bool persist = false) {
  return write_req(std::move(name), std::move(text), RDBDRV_CREATE | (persist ? RDBDRV_PERSIST : 0));
}

Request delete_req(std::string name) {
  Request r = make(RDBDRV_REQ_SET, std::move(name), 0);
  r.has_value = false;
  return r;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(RdbProto, RequestAndReplyRoundTrip) {
  Request req = write_req("a.b", std::string("x\0y", 3), 0x22);
  std::string frame;
  rdbproto::encode_request(req, frame);
  Request back;
  size_t used = 0;
  ASSERT_EQ(rdbproto::decode_request(frame, back, &used), Decode::ok);
  EXPECT_EQ(used, frame.size());
  EXPECT_EQ(back.name, req.name);
  EXPECT_EQ(back.value, req.value);
  EXPECT_EQ(back.flags, 0x22);
  EXPECT_TRUE(back.has_value);

  // Every cut of a frame is only incomplete, never misread.
  for (size_t n = 0; n < frame.size(); ++n)
    EXPECT_EQ(rdbproto::decode_request(std::string_view(frame).substr(0, n), back, &used), Decode::incomplete);

  std::string reply_frame;
  rdbproto::encode_reply(Reply{-EOVERFLOW, 99, "abc"}, reply_frame);
  Reply reply;
  ASSERT_EQ(rdbproto::decode_reply(reply_frame, reply, &used), Decode::ok);
  EXPECT_EQ(reply.result, -EOVERFLOW);
  EXPECT_EQ(reply.len, 99);
  EXPECT_EQ(reply.value, "abc");
}

TEST(RdbProto, LengthsAreNeverTrusted) {
  Request req;
  size_t used = 99;
  EXPECT_EQ(rdbproto::decode_request(std::string("\xff\xff\xff\x7f", 4), req, &used), Decode::malformed);
  EXPECT_EQ(used, 0u);  // no way to find the next frame

  std::string frame;
  rdbproto::encode_request(write_req("n", "v"), frame);
  std::string bad_magic = frame;
  bad_magic[4] ^= 1;
  EXPECT_EQ(rdbproto::decode_request(bad_magic, req, &used), Decode::malformed);
  EXPECT_EQ(used, 0u);

  // A name length pointing past the body: the frame is skipped whole.
  std::string bad_name = frame;
  bad_name[4 + 36] = 100;  // the name length word
  EXPECT_EQ(rdbproto::decode_request(bad_name, req, &used), Decode::malformed);
  EXPECT_EQ(used, frame.size());

  std::mt19937 random(42);
  for (int i = 0; i < 20000; ++i) {
    std::string noise(random() % 80, '\0');
    for (char &c : noise) c = static_cast<char>(random());
    if (noise.size() >= 8 && i % 2) memcpy(noise.data() + 4, "RDB1", 4);
    Reply reply;
    rdbproto::decode_request(noise, req, &used);
    rdbproto::decode_reply(noise, reply, &used);
    EXPECT_LE(used, noise.size());
  }
}

TEST(RdbProto, ReplyNeverWritesPastTheCallersCapacity) {
  char buf[8];
  memset(buf, '#', sizeof buf);
  rdbdrv_request rec{};
  rec.value = buf;
  rec.len = 4;
  const Reply reply{0, 20, std::string(20, 'x')};
  EXPECT_EQ(rdbproto::apply_reply(RDBDRV_REQ_GET, reply, rec, 4), 0);
  EXPECT_EQ(std::string(buf, 8), "xxxx####");
  EXPECT_EQ(rec.len, 20);

  std::string long_name(rdbproto::kMaxName + 1, 'n');
  rec.name = long_name.c_str();
  Request req;
  EXPECT_EQ(rdbproto::request_from_record(RDBDRV_REQ_GET, rec, req), -ENAMETOOLONG);
}

TEST(RdbStore, DriverConventions) {
  Store store;
  EXPECT_EQ(store.execute(write_req("a", "1")).result, -ENOENT);
  EXPECT_EQ(store.execute(create_req("a", "1")).result, 0);
  EXPECT_EQ(store.execute(create_req("a", "2")).result, -EEXIST);
  EXPECT_EQ(store.execute(write_req("a", "22")).result, 0);

  Reply r = store.execute(make(RDBDRV_REQ_GET, "a", 2));
  EXPECT_EQ(r.result, -EOVERFLOW);
  EXPECT_EQ(r.len, 3);
  r = store.execute(make(RDBDRV_REQ_GET, "a", 3));
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.value, std::string("22\0", 3));
  EXPECT_EQ(store.execute(make(RDBDRV_REQ_GET, "b", 10)).result, -ENOENT);

  EXPECT_EQ(store.execute(delete_req("a")).result, 0);
  EXPECT_EQ(store.execute(delete_req("a")).result, -ENOENT);
  EXPECT_EQ(store.execute(make(RDBDRV_REQ_GET, "a", 10)).result, -ENOENT);
}

TEST(RdbStore, ListingJoinsNamesUnderThePrefix) {
  Store store;
  for (const char *n : {"sys.hw.dev.1.name", "sys.hw.dev.0.name", "sys.hw.class.x", "sys.hw.devx"})
    store.execute(create_req(n, "v"));
  Reply r = store.execute(make(RDBDRV_REQ_GETNAMES, "sys.hw.dev.", 4095));
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.value.c_str(), std::string("sys.hw.dev.0.name&sys.hw.dev.1.name"));
  EXPECT_EQ(r.len, 35);
  r = store.execute(make(RDBDRV_REQ_GETNAMES, "sys.hw.dev.", 34));
  EXPECT_EQ(r.result, -EOVERFLOW);
  EXPECT_EQ(r.len, 35);
  EXPECT_EQ(store.execute(make(RDBDRV_REQ_GETNAMES, "nothing.", 100)).result, -ENOENT);
  store.execute(create_req("sys.hw.dev.2.kept", "v", true));
  r = store.execute(make(RDBDRV_REQ_GETNAMES, "sys.", 4095, RDBDRV_PERSIST));  // the persistent ones only
  EXPECT_EQ(r.value.c_str(), std::string("sys.hw.dev.2.kept"));
}

TEST(RdbStore, UpdateKeepsFlagsAndAnyRequestSizeIsAccepted) {
  Store store;
  Request create = create_req("id", "x", true);
  create.request = kSet32;
  EXPECT_EQ(store.execute(create).result, 0);
  EXPECT_EQ(store.execute(write_req("id", "y")).result, 0);
  ASSERT_NE(store.find("id"), nullptr);
  EXPECT_TRUE(store.find("id")->persistent());
  EXPECT_EQ(store.find("id")->value, "y");
}

TEST(RdbStore, BadRequestsChangeNothing) {
  Store store;
  store.execute(create_req("keep", "1"));
  const rdbstore::Variables before = store.variables();

  Request wrong_len = write_req("keep", "2");
  wrong_len.len = 1000;
  Request other_type = write_req("keep", "2");
  other_type.request = _IOWR('h', 3, rdbdrv_request);
  Request other_nr = write_req("keep", "2");
  other_nr.request = _IOWR('g', 9, rdbdrv_request);
  Request no_name = write_req("keep", "2");
  no_name.has_name = false;
  Request amp_name = create_req("a&b", "1");

  for (const Request &r : {wrong_len, other_type, other_nr, no_name, amp_name}) EXPECT_LT(store.execute(r).result, 0);
  EXPECT_EQ(store.variables(), before);
}

TEST(RdbStoreFile, ValuesRoundTripByteForByte) {
  rdbstore::Variables vars;
  const std::vector<std::string> values = {"", "plain", "two\nlines", "a=b&c;d", "100% sure", "tab\there",
                                           "\xff\xfe not utf-8 \x80", "trailing space "};
  for (size_t i = 0; i < values.size(); ++i) vars["v." + std::to_string(i)] = Variable{values[i], RDBDRV_PERSIST};
  vars["volatile"] = Variable{"gone", 0};

  rdbstore::Variables back;
  std::string error;
  const std::string text = rdbstore::serialize(vars);
  ASSERT_EQ(rdbstore::parse(text, back, &error), 0) << error;
  vars.erase("volatile");
  EXPECT_EQ(back, vars);

  // A file cut anywhere after its header reads as the whole records before
  // the cut, and says when it dropped a torn one.
  for (size_t n = text.find('\n') + 1; n <= text.size(); ++n) {
    const size_t whole = text.rfind('\n', n - 1) + 1;
    rdbstore::Variables cut, expected;
    rdbstore::Findings found;
    ASSERT_EQ(rdbstore::parse(text.substr(0, n), cut, &error, &found), 0) << n << error;
    rdbstore::parse(text.substr(0, whole), expected, &error);
    EXPECT_TRUE(cut == expected && found.torn_tail == (n != whole) && found.damaged_line == 0) << n;
  }
}

TEST(RdbStoreFile, PersistentWritesReachTheFileBeforeTheyAreAcknowledged) {
  const board::TempDir dir("rdbstore-test");
  const std::string file = dir.file("store");
  {
    Store store(file);
    ASSERT_EQ(store.load(nullptr), 0);
    ASSERT_EQ(store.execute(create_req("p.id", "line1\nline2", true)).result, 0);
    ASSERT_EQ(store.execute(create_req("v.dev", "ttyUSB0")).result, 0);
    ASSERT_EQ(store.execute(create_req("p.gone", "x", true)).result, 0);
    ASSERT_EQ(store.execute(delete_req("p.gone")).result, 0);
  }
  EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
  Store reloaded(file);
  ASSERT_EQ(reloaded.load(nullptr), 0);
  ASSERT_EQ(reloaded.variables().size(), 1u);
  EXPECT_EQ(reloaded.find("p.id")->value, "line1\nline2");

  // A write appends a record when it changes what the store keeps (value,
  // flags, attributes), and nothing otherwise.
  Request attr = write_req("p.id", "line1\nline2");
  attr.attr_b = 7;
  Request unchanged_attr = write_req("p.id", "line1\nline2", RDBDRV_PERSIST);
  unchanged_attr.attr_b = 7;
  const struct { Request req; int result; bool appended; } writes[] = {
      {write_req("p.id", "line1\nline2"), 0, 0},     {attr, 0, 1},
      {unchanged_attr, 0, 0},                        {write_req("p.id", "other"), 0, 1},
      {create_req("p.id", "other", true), -EEXIST, 0}, {write_req("v.dev", "ttyUSB0"), -ENOENT, 0},
      {create_req("v.dev", "ttyUSB0"), 0, 0},        {write_req("v.dev", "ttyUSB0", RDBDRV_PERSIST), 0, 1},
      {write_req("v.dev", "ttyUSB0"), 0, 0},         {delete_req("v.dev"), 0, 1},
  };
  for (const auto &w : writes) {
    const uintmax_t size = std::filesystem::file_size(file);
    EXPECT_EQ(reloaded.execute(w.req).result, w.result) << w.req.name;
    EXPECT_EQ(std::filesystem::file_size(file) > size, w.appended) << w.req.name << " " << w.req.value;
  }

  // Each write appends a record; the file is rewritten before the dead
  // ones outweigh the live ones (plus 64 KiB).
  uintmax_t largest = 0;
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(reloaded.execute(write_req("p.id", "value " + std::to_string(i))).result, 0);
    if (const uintmax_t size = std::filesystem::file_size(file); size > largest) largest = size;
  }
  EXPECT_TRUE(largest > 64 * 1024 && largest < 80 * 1024) << largest;
}

TEST(RdbStoreFile, FailedSaveIsReportedAndUndone) {
  const board::TempDir dir("rdbstore-test");
  Store store(dir.file("missing-folder/store"));
  store.execute(create_req("v", "1"));
  EXPECT_EQ(store.execute(create_req("p", "1", true)).result, -EIO);
  EXPECT_EQ(store.find("p"), nullptr);
  EXPECT_EQ(store.execute(write_req("v", "2", RDBDRV_PERSIST)).result, -EIO);
  EXPECT_EQ(store.find("v")->value, "1");
  EXPECT_EQ(store.execute(write_req("v", "3")).result, 0);  // volatile: no file involved

  // An append that fails halfway (a full disk) is undone and cut off the
  // file; the next write rewrites the file whole.
  const std::string file = dir.file("store");
  Store logged(file);
  ASSERT_EQ(logged.execute(create_req("p", "1", true)).result, 0);
  const std::string before = read_file(file);
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit tight{before.size() + 5, limit.rlim_max};
  setrlimit(RLIMIT_FSIZE, &tight);
  EXPECT_EQ(logged.execute(write_req("p", "2")).result, -EIO);
  setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_EQ(logged.find("p")->value, "1");
  EXPECT_EQ(read_file(file), before);
  EXPECT_EQ(logged.execute(write_req("p", "3")).result, 0);
  rdbstore::Variables on_disk;
  EXPECT_EQ(rdbstore::parse(read_file(file), on_disk, nullptr), 0);
  EXPECT_EQ(on_disk, logged.variables());
  EXPECT_EQ(read_file(file).find(" p 2 "), std::string::npos);

  // A rewrite that failed (here: no folder yet) is tried again no sooner
  // than kRewriteRetry, however many writes ask meanwhile; a refused write
  // is in neither the variables nor the file, now or after the retry.
  static std::chrono::steady_clock::time_point now{};
  Store later(dir.file("later/store"));
  later.set_clock([] { return now; });
  const struct { int step_ms, result; } steps[] = {{0, -EIO}, {0, -EIO}, {2999, -EIO}, {1, 0}};
  for (int i = 0; i < 4; ++i) {
    now += std::chrono::milliseconds(steps[i].step_ms);
    if (i > 0) std::filesystem::create_directories(dir.file("later"));
    const std::string name = "p" + std::to_string(i);
    EXPECT_EQ(later.execute(create_req(name, name, true)).result, steps[i].result) << i;
    EXPECT_EQ(later.find(name) != nullptr && later.trouble().empty(), steps[i].result == 0) << i;
  }
  Store reread(dir.file("later/store"));
  ASSERT_EQ(reread.load(nullptr), 0);
  EXPECT_EQ(reread.variables(), later.variables());
}

TEST(RdbStoreFile, CorruptFileIsRefusedAndLeftAlone) {
  const board::TempDir dir("rdbstore-test");
  const std::string file = dir.file("store");
  for (const std::string &text : {std::string("rdbd-store 1\n32 0 0 0 a b\n"),  // an old one without its end
                                  std::string("not a store\n")}) {
    std::ofstream(file, std::ios::trunc) << text;
    Store store(file);
    std::string error;
    EXPECT_EQ(store.load(&error), -EBADMSG) << text;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(read_file(file), text);
  }
}

TEST(RdbStoreFile, DamageStopsTheReadingAndThePersistentWritesUntilRepaired) {
  const board::TempDir dir("rdbstore-test");
  const std::string file = dir.file("store");
  // Lines 2 to 5 of the log the store writes: set a, set b, del a, set c.
  {
    std::filesystem::remove(file);
    Store writer(file);
    ASSERT_EQ(writer.load(nullptr), 0);
    for (const Request &r : {create_req("a", "1", true), create_req("b", "2", true), delete_req("a"),
                             create_req("c", "3", true)})
      ASSERT_EQ(writer.execute(r).result, 0);
  }
  const std::string log = read_file(file);
  const auto line_start = [&](int line) {
    size_t pos = 0;
    for (int i = 1; i < line; ++i) pos = log.find('\n', pos) + 1;
    return pos;
  };
  const auto flip = [&](size_t at) {
    std::string damaged = log;
    damaged[at] ^= 0x04;
    return damaged;
  };
  using Vars = std::map<std::string, std::string>;
  const struct {
    const char *what;
    std::string text;
    size_t damaged_line;
    Vars served, repaired;
  } rows[] = {
      {"a bit in a middle record", flip(line_start(3) + 15), 3, {{"a", "1"}}, {{"c", "3"}}},
      {"a bit in the last record", flip(line_start(5) + 15), 5, {{"b", "2"}}, {{"b", "2"}}},
      {"the newline before a delete", flip(line_start(4) - 1), 3, {{"a", "1"}}, {{"a", "1"}, {"c", "3"}}},
      {"the last newline", flip(log.size() - 1), 5, {{"b", "2"}}, {{"b", "2"}}},
      {"a torn last record (no damage)", log.substr(0, line_start(5) + 9), 0, {{"b", "2"}}, {}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    std::ofstream(file, std::ios::trunc | std::ios::binary) << row.text;
    Store store(file);
    std::string error;
    ASSERT_EQ(store.load(&error), 0) << error;
    EXPECT_EQ(store.findings().damaged_line, row.damaged_line);
    EXPECT_EQ(store.findings().torn_tail, row.damaged_line == 0);
    Vars served;
    for (const auto &[name, var] : store.variables()) served[name] = var.value;
    EXPECT_EQ(served, row.served);
    // Persistent writes fail and leave the file as it is; the rest works.
    EXPECT_EQ(store.execute(create_req("p", "x", true)).result, row.damaged_line ? -EIO : 0);
    EXPECT_EQ(store.execute(create_req("v", "x")).result, 0);
    EXPECT_EQ(store.compact(), row.damaged_line ? -EBADMSG : 0);
    if (row.damaged_line) {
      EXPECT_EQ(read_file(file), row.text);
    }
    EXPECT_EQ(store.trouble().find("rdbd --repair --store " + file) != std::string::npos, row.damaged_line != 0);

    // The repair keeps a copy and every sound record; a sound file is left alone.
    std::filesystem::remove(file + ".damaged");
    std::ofstream(file, std::ios::trunc | std::ios::binary) << row.text;
    rdbstore::Findings found;
    ASSERT_EQ(rdbstore::repair(file, &found, &error), 0) << error;
    EXPECT_EQ(found.skipped.empty(), row.damaged_line == 0);
    if (!row.damaged_line) continue;
    EXPECT_EQ(read_file(file + ".damaged"), row.text);
    Store repaired(file);
    ASSERT_EQ(repaired.load(&error), 0);
    EXPECT_FALSE(repaired.damaged());
    Vars kept;
    for (const auto &[name, var] : repaired.variables()) kept[name] = var.value;
    EXPECT_EQ(kept, row.repaired);
  }
}

}  // namespace
