// SPDX-License-Identifier: MIT
// Kills rdbd with SIGKILL at random moments while several clients write
// and delete persistent variables: after a restart every acknowledged write
// is there, and the store file always reads back whole.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rdb/rdbdrv.h"
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

}  // namespace
