// SPDX-License-Identifier: MIT
// rdbd as a process: driver conventions over the socket, persistence across
// restarts, bad input, readiness of the socket path, reconnecting clients,
// clients that misbehave.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "rdb/rdb.h"
#include "rdb/rdbdrv.h"
#include "rdb/rdbproto.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/procfs.h"
#include "tests/support/rdb_client.h"
#include "tests/support/rdbd_process.h"
#include "tools/board/sysfs_tree.h"
#include "tools/rdbd/store.h"

namespace {

using board::TempDir;
using testsupport::can_connect;
using testsupport::proc_status_kb;
using testsupport::RdbdProcess;
using testsupport::run_program;

sockaddr_un address_of(const std::string &path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

hw::unique_fd raw_connect(const std::string &path) {
  const sockaddr_un addr = address_of(path);
  hw::unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) fd.reset();
  return fd;
}

std::string get_frame(const std::string &name, int32_t capacity) {
  std::string frame;
  rdbproto::encode_request(
      {.request = RDBDRV_REQ_GET, .len = capacity, .has_name = true, .has_value = true, .name = name, .value = {}},
      frame);
  return frame;
}

void send_bytes(int fd, std::string_view bytes) {
  ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Reads until one reply decodes or the peer closes; false when it closed.
bool read_reply(int fd, rdbproto::Reply &reply) {
  std::string in;
  char chunk[4096];
  for (;;) {
    size_t used;
    if (rdbproto::decode_reply(in, reply, &used) == rdbproto::Decode::ok) return true;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) return false;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    in.append(chunk, static_cast<size_t>(n));
  }
}

// The result of one request frame on a raw connection; -ECONNRESET when
// the server closed it instead of answering.
int32_t ask(int fd, const std::string &frame) {
  rdbproto::Reply reply;
  if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) < 0 || !read_reply(fd, reply)) return -ECONNRESET;
  return reply.result;
}

std::string set_frame(const std::string &name, const std::string &value) {
  std::string frame;
  rdbproto::encode_request({.request = RDBDRV_REQ_SET, .len = static_cast<int32_t>(value.size() + 1), .attr_a = -1,
                            .flags = -1, .attr_b = -1, .attr_c = -1, .has_name = true, .has_value = true,
                            .name = name, .value = value + '\0'},
                           frame);
  return frame;
}

// n connections to path made as uid and gid with the supplementary groups
// given: a thread of its own changes user by raw system calls, which change
// that thread only, and the kernel stamps its credentials on each.
std::vector<hw::unique_fd> connect_as(uid_t uid, gid_t gid, std::vector<gid_t> groups, const std::string &path,
                                      int n) {
  chmod(std::filesystem::path(path).parent_path().c_str(), 0755);  // the user must reach the socket
  std::vector<hw::unique_fd> fds;
  std::thread([&] {
    if (syscall(SYS_setgroups, groups.size(), groups.data()) < 0 || syscall(SYS_setresgid, gid, gid, gid) < 0 ||
        syscall(SYS_setresuid, uid, uid, uid) < 0)
      return;
    for (int i = 0; i < n; ++i) fds.push_back(raw_connect(path));
  }).join();
  return fds;
}

// True once the server has closed fd (nothing else makes an idle
// connection readable), within a generous bound.
bool closed_by_server(int fd) {
  pollfd p{fd, POLLIN, 0};
  char byte;
  return poll(&p, 1, 30000) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

class RdbdTest : public ::testing::Test {
 protected:
  RdbdTest() : server_(RDBD_BIN, dir_.file("rdb.sock"), dir_.file("store"), dir_.file("rdbd.log")) {}
  void SetUp() override { ASSERT_TRUE(server_.start()) << server_.log(); }
  void TearDown() override {
    if (handle_) rdbdrv_close(&handle_);
  }
  std::string socket_path() const { return dir_.file("rdb.sock"); }
  rdbdrv_handle *handle() {
    if (!handle_) {
      EXPECT_EQ(rdbdrv_open(socket_path().c_str(), &handle_), 0);
    }
    return handle_;
  }
  int set(const std::string &name, const std::string &value, bool persist = false) {
    return testsupport::put_variable(handle(), name, value, persist);
  }
  std::optional<std::string> get(const std::string &name) { return testsupport::get_variable(handle(), name); }
  std::string names(const std::string &prefix) {
    return testsupport::list_names(handle(), prefix).value_or("<none>");
  }
  void restart() {
    ASSERT_EQ(server_.stop(), 0);
    ASSERT_TRUE(server_.start()) << server_.log();
  }

  TempDir dir_;
  RdbdProcess server_;
  rdbdrv_handle *handle_ = nullptr;
};

TEST_F(RdbdTest, DriverConventionsOverTheSocket) {
  EXPECT_EQ(rdbdrv_set(handle(), "a.x", "1"), -ENOENT);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(rdbdrv_create(handle(), "a.x", "1234", 0, 0), 0);
  EXPECT_EQ(rdbdrv_create(handle(), "a.x", "1", 0, 0), -EEXIST);
  EXPECT_EQ(rdbdrv_create(handle(), "a.y", nullptr, 0, 0), 0);
  EXPECT_EQ(rdbdrv_create(handle(), "b.z", "1", 0, 0), 0);

  char small[3] = {'#', '#', '#'};
  int len = 3;
  EXPECT_EQ(rdbdrv_get(handle(), "a.x", small, &len), -EOVERFLOW);
  EXPECT_EQ(len, 5);
  EXPECT_EQ(get("a.x"), "1234");
  EXPECT_EQ(get("a.y"), "");

  EXPECT_EQ(names("a."), "a.x&a.y");
  len = 4;
  EXPECT_EQ(rdbdrv_getnames(handle(), "a.", small, &len, 0), -EOVERFLOW);
  EXPECT_EQ(len, 7);

  EXPECT_EQ(rdbdrv_delete(handle(), "a.x"), 0);
  EXPECT_EQ(rdbdrv_delete(handle(), "a.x"), -ENOENT);
  EXPECT_EQ(get("a.x"), std::nullopt);

  // Listings as long as the helper layer reads (4 MiB), not only 1 MiB.
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(set("c." + std::to_string(i) + std::string(1000, 'n'), ""), 0);
  std::string list(4 << 20, '\0');
  len = static_cast<int>(list.size());
  EXPECT_EQ(rdbdrv_getnames(handle(), "c.", list.data(), &len, 0), 0);
  EXPECT_EQ(std::count(list.begin(), list.begin() + len, '&'), 1999);
}

TEST_F(RdbdTest, PersistentVariablesSurviveARestartVolatileOnesDoNot) {
  ASSERT_EQ(set("sys.hw.class.serial.0.id", "1234:5678:SER", true), 0);
  ASSERT_EQ(set("sys.hw.class.serial.0.status", "inserted"), 0);
  ASSERT_EQ(set("sys.hw.class.serial.0.id", "updated"), 0);  // stays persistent
  restart();
  EXPECT_EQ(get("sys.hw.class.serial.0.id"), "updated");
  EXPECT_EQ(get("sys.hw.class.serial.0.status"), std::nullopt);
}

TEST_F(RdbdTest, ValuesRoundTripThroughTheStoreFileExactly) {
  const std::map<std::string, std::string> values = {
      {"v.newline", "SER\nsys.hw.class.serial.9.id=evil"},
      {"v.amp", "a&b;c=d"},
      {"v.bytes", "\x01\x7f\x80\xfe\xff%20"},
      {"v.empty", ""},
      {"v.spaces", " lead and trail "},
  };
  for (const auto &[name, value] : values) ASSERT_EQ(set(name, value, true), 0);
  server_.kill9();
  ASSERT_TRUE(server_.start()) << server_.log();
  for (const auto &[name, value] : values) EXPECT_EQ(get(name), value) << name;
  EXPECT_EQ(names("v."), "v.amp&v.bytes&v.empty&v.newline&v.spaces");
  EXPECT_EQ(names("sys."), "<none>");
}

TEST_F(RdbdTest, MalformedRequestsNeitherCrashNorChangeData) {
  ASSERT_EQ(set("keep", "1", true), 0);
  const std::string store_before = [&] {
    std::ifstream in(dir_.file("store"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();

  {  // A sound frame around a body that does not add up: an error reply.
    rdbproto::Request req;
    req.request = RDBDRV_REQ_SET;
    req.has_name = req.has_value = true;
    req.name = "keep";
    req.value = std::string("2\0", 2);
    req.len = 2;
    req.flags = -1;
    std::string frame;
    rdbproto::encode_request(req, frame);
    frame[4 + 36] = 50;  // name length past the body
    hw::unique_fd fd = raw_connect(socket_path());
    send_bytes(fd.get(), frame);
    rdbproto::Reply reply;
    ASSERT_TRUE(read_reply(fd.get(), reply));
    EXPECT_EQ(reply.result, -EINVAL);
  }
  // Garbage, a huge length, a truncated frame then a hang-up.
  for (std::string bytes : {std::string("GET keep HTTP/1.0\r\n\r\n"), std::string("\xff\xff\xff\xff", 4),
                            std::string("\x10\x00\x00\x00RDB1", 8), std::string(100000, '\0')}) {
    hw::unique_fd fd = raw_connect(socket_path());
    ASSERT_TRUE(fd);
    send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    shutdown(fd.get(), SHUT_WR);
    rdbproto::Reply reply;
    if (read_reply(fd.get(), reply)) {
      EXPECT_LT(reply.result, 0);
    }
  }
  {  // A value beyond the limit is refused by the client before it is sent.
    const std::string huge(rdbproto::kMaxValue + 1, 'x');
    EXPECT_EQ(rdbdrv_set(handle(), "keep", huge.c_str()), -E2BIG);
  }
  EXPECT_EQ(get("keep"), "1");
  EXPECT_TRUE(server_.running());
  std::ifstream in(dir_.file("store"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), store_before);
}

TEST_F(RdbdTest, SlowOrStuckClientsDoNotHoldUpOthers) {
  // One client sends half a frame and waits; another floods requests and
  // never reads a reply.
  hw::unique_fd half = raw_connect(socket_path());
  send_bytes(half.get(), std::string("\x40\x00\x00\x00RDB1", 8));

  ASSERT_EQ(set("big", std::string(60000, 'b')), 0);
  hw::unique_fd flood = raw_connect(socket_path());
  fcntl(flood.get(), F_SETFL, O_NONBLOCK);
  const std::string frame = get_frame("big", 65536);
  for (int i = 0; i < 2000; ++i)
    if (send(flood.get(), frame.data(), frame.size(), MSG_NOSIGNAL) < 0) break;

  EXPECT_EQ(set("other", "served"), 0);
  EXPECT_EQ(get("other"), "served");
}

TEST_F(RdbdTest, RequestsAreReadOnlyAsFastAsTheyAreServed) {
  // 200,000 requests sent at once, the replies read as they come: rdbd's
  // memory grows by no more than a few frames' worth.
  ASSERT_EQ(set("small", "v"), 0);
  std::string burst, reply;
  for (int i = 0; i < 1000; ++i) burst += get_frame("small", 64);
  rdbproto::encode_reply({0, 2, std::string("v\0", 2)}, reply);
  const size_t expected = 200 * 1000 * reply.size();
  const long rss_before = proc_status_kb(server_.pid(), "VmRSS");
  hw::unique_fd fd = raw_connect(socket_path());
  std::thread reader([&] {
    char chunk[65536];
    size_t got = 0;
    for (ssize_t n; got < expected && (n = recv(fd.get(), chunk, sizeof chunk, 0)) > 0;) got += n;
    EXPECT_EQ(got, expected);
  });
  for (int i = 0; i < 200; ++i) send_bytes(fd.get(), burst);
  reader.join();
#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps what the requests freed
  EXPECT_LT(proc_status_kb(server_.pid(), "VmHWM") - rss_before, 4 * 1024);
#endif
}

TEST_F(RdbdTest, SocketPathAppearsOnlyWhenConnectionsAreAccepted) {
  // A large store makes the start-up slow enough to be seen.
  server_.stop();
  {
    std::ofstream out(dir_.file("store"));
    out << "rdbd-store 1\n";
    for (int i = 0; i < 100000; ++i) out << "32 0 0 0 sys.hw.class.serial." << i << ".id value-" << i << "\n";
    out << "end 100000\n";
  }
  RdbdProcess slow(RDBD_BIN, socket_path(), dir_.file("store"), dir_.file("rdbd.log"));
  std::thread starter([&] { EXPECT_TRUE(slow.start()); });
  struct stat st;
  ASSERT_TRUE(testsupport::wait_until([&] { return stat(socket_path().c_str(), &st) == 0; },
                                      testsupport::within(std::chrono::seconds(30))));
  EXPECT_TRUE(can_connect(socket_path()));
  starter.join();
  slow.stop();
}

TEST_F(RdbdTest, StopsCleanlyOnTermAndRefusesASecondServer) {
  ASSERT_EQ(set("kept", "1", true), 0);
  const auto store_state = [&] {
    struct stat st {};
    stat(dir_.file("store").c_str(), &st);
    std::ifstream in(dir_.file("store"));
    return std::to_string(st.st_ino) + std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string before = store_state();
  // The same socket with another store, another socket with the same store:
  // each second server exits 1 and leaves the socket and the store alone.
  const struct { std::string socket, store, message; } rows[] = {
      {socket_path(), dir_.file("store2"), "another server is listening on " + socket_path()},
      {dir_.file("other.sock"), dir_.file("store"), "is in use by another rdbd"},
  };
  for (const auto &row : rows) {
    const auto second = run_program({RDBD_BIN, "--socket", row.socket, "--store", row.store});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find(row.message), std::string::npos) << second.err;
    EXPECT_TRUE(can_connect(socket_path()));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("store2")) || std::filesystem::exists(dir_.file("other.sock")));
    EXPECT_EQ(store_state(), before);
  }
  ASSERT_EQ(set("kept", "2"), 0);  // acknowledged after the attempts, and kept
  restart();
  EXPECT_EQ(get("kept"), "2");

  EXPECT_EQ(server_.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(socket_path()));
}

TEST_F(RdbdTest, RootAndTheOwnerWriteTheReadGroupReadsNobodyElse) {
  constexpr uid_t kNobody = 65534, kUser = 4242;
  ASSERT_EQ(set("x", "1"), 0);
  const struct {
    bool read_group;
    uid_t uid;
    std::vector<gid_t> groups;
    int32_t get, set;
  } rows[] = {
      {false, 0, {}, 0, 0},           {false, kNobody, {}, -EACCES, -EACCES}, {true, kNobody, {}, 0, -EACCES},
      {true, kUser, {}, -EACCES, -EACCES}, {true, kUser, {kNobody}, 0, -EACCES},
  };
  const mode_t umask_before = umask(0);  // the socket's mode is rdbd's own whatever the umask
  for (const auto &row : rows) {
    SCOPED_TRACE(std::to_string(row.uid) + (row.read_group ? " with a read group" : ""));
    server_.set_args(row.read_group ? std::vector<std::string>{"--read-group", std::to_string(kNobody)}
                                    : std::vector<std::string>{});
    restart();
    struct stat st;
    ASSERT_EQ(stat(socket_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, row.read_group ? 0660u : 0600u);
    EXPECT_EQ(st.st_gid, row.read_group ? kNobody : 0u);
    ASSERT_EQ(set("x", "1"), 0);
    chmod(socket_path().c_str(), 0666);  // the credentials decide, not only the mode
    auto fds = connect_as(row.uid, row.uid == kNobody ? kNobody : row.uid, row.groups, socket_path(), 1);
    ASSERT_TRUE(fds.size() == 1 && fds[0]);
    EXPECT_EQ(ask(fds[0].get(), get_frame("x", 64)), row.get);
    EXPECT_EQ(ask(fds[0].get(), set_frame("x", "2")), row.set);
    EXPECT_EQ(get("x"), row.set == 0 ? "2" : "1");
  }
  umask(umask_before);
}

TEST_F(RdbdTest, FloodsCloseTheLongestIdleConnectionsOfTheUserHoldingTheMost) {
  constexpr uid_t kNobody = 65534;
  server_.set_args({"--read-group", std::to_string(kNobody)});
  restart();
  ASSERT_EQ(set("x", "1"), 0);
  // hwtrackd's part: one root connection, idle while the flood comes; it
  // loses its connection only to a flood of its own user, and reconnects.
  for (const uid_t flooder : {kNobody, uid_t{0}}) {
    SCOPED_TRACE(flooder);
    rdbdrv_handle *victim = nullptr;
    ASSERT_EQ(rdbdrv_open(socket_path().c_str(), &victim), 0);
    ASSERT_EQ(testsupport::get_variable(victim, "x"), "1");
    auto flood = connect_as(flooder, flooder, {}, socket_path(), 70);
    ASSERT_EQ(flood.size(), 70u);
    EXPECT_TRUE(closed_by_server(flood[0].get()));
    EXPECT_EQ(ask(flood.back().get(), get_frame("x", 64)), 0);
    EXPECT_EQ(testsupport::get_variable(victim, "x"), "1");
    EXPECT_EQ(rdbdrv_reconnect_count(victim), flooder == 0 ? 1u : 0u);
    rdbdrv_close(&victim);
  }
  // Unfinished requests of 1 MiB: the user's buffered bytes stay bounded.
  [[maybe_unused]] const long rss_before = proc_status_kb(server_.pid(), "VmRSS");
  auto flood = connect_as(kNobody, kNobody, {}, socket_path(), 30);
  std::string part(4 + (1 << 20) - 100, 'v');
  const uint32_t body = 1 << 20;
  memcpy(part.data(), &body, 4);
  for (const hw::unique_fd &fd : flood) send(fd.get(), part.data(), part.size(), MSG_NOSIGNAL);
  EXPECT_TRUE(closed_by_server(flood[0].get()));
  EXPECT_EQ(get("x"), "1");
#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps what the closed ones freed
  EXPECT_LT(proc_status_kb(server_.pid(), "VmHWM") - rss_before, 16 * 1024);
#endif
}

TEST_F(RdbdTest, ReportsReadinessOnceItServesWithoutEverBlocking) {
  server_.stop();
  // An abstract notification socket; a ready pipe that is empty, or full,
  // which must not stop the server.
  for (const bool full : {false, true}) {
    const std::string notify = "@rdbd-test-" + std::to_string(getpid()) + (full ? "-full" : "");
    sockaddr_un addr = address_of(notify);
    addr.sun_path[0] = '\0';
    hw::unique_fd supervisor(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const timeval bound{30, 0};
    setsockopt(supervisor.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ASSERT_EQ(bind(supervisor.get(), reinterpret_cast<const sockaddr *>(&addr),
                   offsetof(sockaddr_un, sun_path) + notify.size()), 0);
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    hw::unique_fd ready(ends[0]), ready_w(ends[1]);
    fcntl(ready_w.get(), F_SETFL, O_NONBLOCK);
    while (full && write(ready_w.get(), "x", 1) == 1) {
    }
    fcntl(ready_w.get(), F_SETFL, 0);  // blocking, as a supervisor's pipe is
    const pid_t pid = testsupport::spawn({RDBD_BIN, "--socket", socket_path(), "--store", dir_.file("store")},
                                         {.env = {{"NOTIFY_SOCKET", notify}, {"RDBD_READY_FD", "3"}},
                                          .extra = {ready_w.get()}});
    ready_w.reset();
    char message[16] = {};
    EXPECT_EQ(recv(supervisor.get(), message, sizeof message, 0), 7);
    EXPECT_STREQ(message, "READY=1");
    EXPECT_TRUE(can_connect(socket_path()));
    // Read only once rdbd has closed its end (notified first, it may not
    // have tried the pipe yet): draining the full pipe earlier makes room.
    EXPECT_TRUE(testsupport::wait_until([&] {
      pollfd p{ready.get(), POLLIN, 0};
      return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
    }));
    std::string line;
    for (char c; read(ready.get(), &c, 1) == 1;) line = c;
    EXPECT_EQ(line, full ? "x" : "\n");
    EXPECT_EQ(testsupport::stop_process(pid, SIGTERM, testsupport::within()), 0);
  }
}

TEST_F(RdbdTest, ClientsReconnectAfterARestartAndFailSoftlyMeanwhile) {
  setenv("RDB_DEVICE", socket_path().c_str(), 1);
  testsupport::LogCapture log;
  ASSERT_EQ(rdb_init(), 0);
  ASSERT_EQ(rdb_set_value("sys.hw.class.eth.0.mac", "00:11", 1), 0);

  server_.kill9();  // the socket file stays behind, nobody answers
  EXPECT_EQ(rdb_get_value("sys.hw.class.eth.0.mac"), nullptr);
  EXPECT_LT(rdb_set_value("x", "1", 0), 0);
  EXPECT_EQ(rdb_get_names("sys.", 0), nullptr);
  ASSERT_EQ(server_.stop(), -1);
  std::filesystem::remove(socket_path());
  EXPECT_LT(rdb_delete_value("x"), 0);

  ASSERT_TRUE(server_.start()) << server_.log();
  const char *mac = rdb_get_value("sys.hw.class.eth.0.mac");
  ASSERT_NE(mac, nullptr);
  EXPECT_STREQ(mac, "00:11");
  restart();  // the open connection breaks; the next request finds the new server
  EXPECT_EQ(rdb_set_value("y", "2", 0), 0);
  rdb_fini();
  unsetenv("RDB_DEVICE");
}

// rdbd's part played over a Store in a thread of the test, except that the
// first request on the first connection gets no reply: the connection
// closes instead, once the request is applied or before.
void lose_first_reply(int listener, rdbstore::Store &store, bool applied) {
  for (int connection = 0; connection < 2; ++connection) {
    hw::unique_fd fd(accept(listener, nullptr, nullptr));
    std::string in;
    char chunk[4096];
    size_t used;
    rdbproto::Request req;
    for (ssize_t n; (n = recv(fd.get(), chunk, sizeof chunk, 0)) > 0;) {
      in.append(chunk, static_cast<size_t>(n));
      if (rdbproto::decode_request(in, req, &used) != rdbproto::Decode::ok) continue;
      in.erase(0, used);
      std::string out;
      if (connection > 0 || applied) rdbproto::encode_reply(store.execute(req), out);
      if (connection == 0) break;
      send_bytes(fd.get(), out);
    }
  }
}

TEST(RdbdLostReply, ACreateOrDeleteIsSettledNeverRepeatedBlindly) {
  // A create, delete or set of "new", applied or not before the connection
  // broke: the result, and the variable before and after.
  const struct { char op; bool applied; int rc; const char *before, *after; } rows[] = {
      {'c', true, 0, nullptr, "new"}, {'c', false, 0, nullptr, "new"}, {'c', true, -EEXIST, "old", "old"},
      {'d', true, 0, "old", nullptr}, {'d', false, 0, "old", nullptr}, {'s', true, 0, "old", "new"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(1, row.op) + (row.applied ? " applied" : " not applied"));
    TempDir dir;
    const sockaddr_un addr = address_of(dir.file("rdb.sock"));
    hw::unique_fd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(bind(listener.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 &&
                listen(listener.get(), 4) == 0);
    rdbstore::Store store;
    if (row.before) store.put("v", {row.before, 0});
    std::thread server(lose_first_reply, listener.get(), std::ref(store), row.applied);
    rdbdrv_handle *h = nullptr;
    ASSERT_EQ(rdbdrv_open(addr.sun_path, &h), 0);
    EXPECT_EQ(row.op == 'c'   ? rdbdrv_create(h, "v", "new", RDBDRV_PERSIST, 0)
              : row.op == 'd' ? rdbdrv_delete(h, "v")
                              : rdbdrv_set(h, "v", "new"),
              row.rc);
    EXPECT_EQ(rdbdrv_reconnect_count(h), 1u);
    rdbdrv_close(&h);
    server.join();
    const rdbstore::Variable *v = store.find("v");
    EXPECT_STREQ(v ? v->value.c_str() : nullptr, row.after);
  }
}

TEST(RdbdUsage, BadArgumentsAndACorruptStore) {
  TempDir dir;
  auto r = run_program({RDBD_BIN});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage: rdbd --socket PATH --store FILE"), std::string::npos);

  std::ofstream(dir.file("store")) << "not a store\n";
  r = run_program({RDBD_BIN, "--socket", dir.file("s"), "--store", dir.file("store")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot load store"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("s")));
}

}  // namespace
