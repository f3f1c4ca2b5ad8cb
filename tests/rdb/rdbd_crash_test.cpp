// SPDX-License-Identifier: MIT
// Kills rdbd with SIGKILL at random moments while several clients write
// and delete persistent variables: after a restart every acknowledged write
// is there, and the store file always reads back whole.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rdb/rdbdrv.h"
#include "tests/support/namespaces.h"
#include "tests/support/process.h"
#include "tests/support/rdb_client.h"
#include "tests/support/rdbd_process.h"
#include "tools/board/sysfs_tree.h"
#include "tools/rdbd/store.h"

namespace {

constexpr int kWriters = 3;
constexpr int kVarsPerWriter = 4;
constexpr int kRounds = 10;

// Writes are numbered; every fifth deletes the variable, the others set it
// to their number (padded, so that the store's log is rewritten now and
// then). 0 means never written.
struct VarState {
  long acked = 0;  // the last write rdbd acknowledged
  long tried = 0;  // the last write sent, acknowledged or not
};

bool deletes(long write) { return write % 5 == 0; }

std::optional<long> value_after(long n) { return n == 0 || deletes(n) ? std::nullopt : std::optional(n); }

std::string var_name(int writer, int k) { return "crash." + std::to_string(writer) + "." + std::to_string(k); }

int write_persistent(rdbdrv_handle *h, const std::string &name, long write) {
  if (deletes(write)) return rdbdrv_delete(h, name.c_str());
  const std::string value = std::to_string(write) + " " + std::string(2000, 'p');
  return testsupport::put_variable(h, name, value, /*persist=*/true);
}

// Writes until a request fails, which happens once the server is killed.
void writer(const std::string &socket, int id, std::vector<VarState> &vars, std::atomic<int> &acked_total) {
  const rdbdrv_handle_ptr h = testsupport::open_rdb(socket);
  if (!h) return;
  for (int i = 0;; ++i) {
    VarState &v = vars[i % kVarsPerWriter];
    v.tried = std::max(v.acked, v.tried) + 1;
    if (write_persistent(h.get(), var_name(id, i % kVarsPerWriter), v.tried) < 0) break;
    v.acked = v.tried;
    ++acked_total;
  }
}

std::optional<long> read_counter(rdbdrv_handle *h, const std::string &name) {
  const std::optional<std::string> value = testsupport::get_variable(h, name);
  if (!value) return std::nullopt;
  return std::stol(*value);
}

TEST(RdbdCrash, AcknowledgedPersistentWritesSurviveKill9) {
  const board::TempDir dir("rdbd-crash-test");
  const std::string socket = dir.file("rdb.sock"), store = dir.file("store");
  testsupport::RdbdProcess server(RDBD_BIN, socket, store, dir.file("rdbd.log"));
  std::vector<std::vector<VarState>> state(kWriters, std::vector<VarState>(kVarsPerWriter));
  std::mt19937 random(std::random_device{}());

  auto verify = [&] {
    rdbdrv_handle *raw = nullptr;
    ASSERT_EQ(rdbdrv_open(socket.c_str(), &raw), 0);
    const rdbdrv_handle_ptr h(raw);
    for (int w = 0; w < kWriters; ++w) {
      for (int k = 0; k < kVarsPerWriter; ++k) {
        VarState &v = state[w][k];
        const std::optional<long> stored = read_counter(h.get(), var_name(w, k));
        // The last write may have landed without its acknowledgement.
        if (stored == value_after(v.tried)) v.acked = v.tried;
        EXPECT_EQ(stored, value_after(v.acked)) << var_name(w, k);
        v.tried = v.acked;
      }
    }
  };

  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(server.start()) << server.log();
    verify();
    std::atomic<int> acked{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
      writers.emplace_back(writer, socket, w, std::ref(state[w]), std::ref(acked));
    // Let some writes through, then kill at a random moment among them.
    ASSERT_TRUE(testsupport::wait_until([&] { return acked > 10; }, testsupport::within(std::chrono::seconds(30))));
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 150));
    server.kill9();
    for (std::thread &t : writers) t.join();

    rdbstore::Store reread(store);
    std::string error;
    EXPECT_EQ(reread.load(&error), 0) << error;
  }
  ASSERT_TRUE(server.start()) << server.log();
  verify();
  server.stop();
}

// Stores rdbd cannot write: damaged, on a read-only file system, on one too
// full to rewrite it. rdbd serves what they hold; persistent writes fail
// (EIO) until the cause is mended, and a refused write never comes back.
TEST(RdbdCrash, StoresThatCannotBeWrittenAreServedAndRefusedWritesNeverComeBack) {
  ASSERT_EQ(testsupport::enter_namespaces(CLONE_NEWNS), "");
  const board::TempDir dir("rdbd-fault-test");
  const std::string disk = dir.file("disk"), store = disk + "/store", filler = disk + "/filler";
  std::filesystem::create_directory(disk);
  const auto remount = [&](unsigned long flags) {
    return mount(nullptr, disk.c_str(), nullptr, MS_REMOUNT | flags, nullptr) == 0;
  };
  const auto fill = [&] {
    std::ofstream out(filler, std::ios::binary);
    const std::string block(4096, 'f');
    while (out.write(block.data(), block.size()) && out.flush()) {
    }
  };
  const std::string big(1000, 'b');
  const struct {
    const char *what;
    const char *size;
    std::function<void()> before_start, break_it, mend;
  } rows[] = {
      {"damaged", "size=4m", [&] { std::fstream(store, std::ios::in | std::ios::out).seekp(-5, std::ios::end).put('x'); },
       [] {}, [] {}},
      {"read-only", "size=4m", [&] { ASSERT_TRUE(remount(MS_RDONLY)); }, [] {}, [&] { ASSERT_TRUE(remount(0)); }},
      {"full", "size=1m", [] {}, fill, [&] { std::filesystem::remove(filler); }},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(testsupport::mount_tmpfs(disk, row.size), "");
    rdbstore::Variables vars;  // 600 KiB: on a 1 MiB disk, no room to rewrite them
    for (int i = 0; i < 600; ++i) vars["v" + std::to_string(i)] = {big, RDBDRV_PERSIST};
    ASSERT_EQ(rdbstore::replace_file(store, rdbstore::serialize(vars)), 0);
    row.before_start();
    testsupport::RdbdProcess server(RDBD_BIN, dir.file("rdb.sock"), store, dir.file("rdbd.log"));
    ASSERT_TRUE(server.start()) << server.log();
    const rdbdrv_handle_ptr h = testsupport::open_rdb(dir.file("rdb.sock"));
    EXPECT_EQ(testsupport::get_variable(h.get(), "v1"), big);
    EXPECT_EQ(rdbdrv_set(h.get(), "v1", "acked"), std::string(row.what) == "full" ? 0 : -EIO);
    row.break_it();
    const std::string refused(8192, 'r');  // more than the last page of the store holds
    EXPECT_EQ(rdbdrv_set(h.get(), "v0", refused.c_str()), -EIO);
    EXPECT_EQ(testsupport::put_variable(h.get(), "volatile", "1", false), 0);
    if (std::string(row.what) == "damaged") {
      EXPECT_EQ(testsupport::run_program({RDBD_BIN, "--repair", "--store", store}).status, 1);  // it runs
      EXPECT_EQ(server.stop(), 0);
      EXPECT_EQ(testsupport::run_program({RDBD_BIN, "--repair", "--store", store}).status, 0);
      EXPECT_TRUE(std::filesystem::exists(store + ".damaged"));
      ASSERT_TRUE(server.start()) << server.log();
    }
    row.mend();
    EXPECT_TRUE(testsupport::wait_until([&] { return rdbdrv_set(h.get(), "v2", "after") == 0; }));
    ASSERT_EQ(server.stop(), 0);
    ASSERT_TRUE(server.start()) << server.log();
    EXPECT_EQ(testsupport::get_variable(h.get(), "v0"), big);
    EXPECT_EQ(testsupport::get_variable(h.get(), "v2"), "after");
    server.stop();
    ASSERT_EQ(umount2(disk.c_str(), MNT_DETACH), 0);
  }
}

}  // namespace
