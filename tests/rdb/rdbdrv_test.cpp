// SPDX-License-Identifier: MIT
// The record words each driver operation sends, seen through the transport
// seam, and the request numbers and layout the driver expects.

#include "rdb/rdbdrv.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace {

struct Sent {
  int fd;
  unsigned long request;
  rdbdrv_request rec;
};

std::vector<Sent> g_sent;
int g_fail_errno = 0;     // fail every request with this errno when not 0
int32_t g_len_back = -1;  // len word the "driver" reports, when >= 0

int recording_transport(int fd, unsigned long request, rdbdrv_request *rec) {
  g_sent.push_back({fd, request, *rec});
  if (g_len_back >= 0) rec->len = g_len_back;
  if (g_fail_errno) {
    errno = g_fail_errno;
    return -1;
  }
  return 0;
}

// The six words beside the two pointers, in record order.
std::vector<int32_t> words(const rdbdrv_request &r) { return {r.len, r.attr_a, r.flags, r.reserved, r.attr_b, r.attr_c}; }

class RdbdrvRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/rdbdrv-test-XXXXXX";
    ASSERT_TRUE(hw::unique_fd(mkstemp(path)));
    device_ = path;
    g_sent.clear();
    g_fail_errno = 0;
    g_len_back = -1;
    rdbdrv_set_transport(recording_transport);
    ASSERT_EQ(rdbdrv_open(device_.c_str(), &handle_), 0);
  }
  void TearDown() override {
    if (handle_) rdbdrv_close(&handle_);
    rdbdrv_set_transport(nullptr);
    unlink(device_.c_str());
  }
  const Sent &only_request() {
    EXPECT_EQ(g_sent.size(), 1u);
    return g_sent.back();
  }

  std::string device_;
  rdbdrv_handle *handle_ = nullptr;
};

TEST_F(RdbdrvRecordTest, SetSendsValueWithItsNulAndLeavesAttributesUnchanged) {
  const char *name = "a.b";
  const char *value = "abc";
  EXPECT_EQ(rdbdrv_set(handle_, name, value), 0);
  const Sent &s = only_request();
  EXPECT_EQ(s.request, RDBDRV_REQ_SET);
  EXPECT_EQ(s.rec.name, name);
  EXPECT_EQ(s.rec.value, value);
  EXPECT_EQ(words(s.rec), (std::vector<int32_t>{4, -1, -1, 0, -1, -1}));

  g_sent.clear();
  EXPECT_EQ(rdbdrv_set(handle_, name, ""), 0);
  EXPECT_EQ(only_request().rec.len, 1);
}

TEST_F(RdbdrvRecordTest, CreateAlwaysSetsTheCreateBit) {
  EXPECT_EQ(rdbdrv_create(handle_, "n", nullptr, 0, 0), 0);
  EXPECT_EQ(rdbdrv_create(handle_, "n", "xy", RDBDRV_PERSIST, 7), 0);
  ASSERT_EQ(g_sent.size(), 2u);
  EXPECT_EQ(g_sent[0].request, RDBDRV_REQ_SET);
  EXPECT_STREQ(g_sent[0].rec.value, "");
  EXPECT_EQ(words(g_sent[0].rec), (std::vector<int32_t>{1, 0, 0x02, 0, -1, -1}));
  EXPECT_EQ(words(g_sent[1].rec), (std::vector<int32_t>{3, 7, 0x22, 0, -1, -1}));
}

TEST_F(RdbdrvRecordTest, DeleteSendsOnlyTheName) {
  const char *name = "gone";
  EXPECT_EQ(rdbdrv_delete(handle_, name), 0);
  const Sent &s = only_request();
  EXPECT_EQ(s.request, RDBDRV_REQ_SET);
  EXPECT_EQ(s.rec.name, name);
  EXPECT_EQ(s.rec.value, nullptr);
  EXPECT_EQ(words(s.rec), (std::vector<int32_t>(6, 0)));
}

TEST_F(RdbdrvRecordTest, ReadsSendTheCapacityAndWriteLenBackEvenOnFailure) {
  char buf[64];
  int len = 64;
  g_len_back = 77;
  g_fail_errno = EOVERFLOW;
  EXPECT_EQ(rdbdrv_get(handle_, "v", buf, &len), -EOVERFLOW);
  EXPECT_EQ(errno, EOVERFLOW);
  EXPECT_EQ(len, 77);
  EXPECT_EQ(g_sent.back().request, RDBDRV_REQ_GET);
  EXPECT_EQ(g_sent.back().rec.value, buf);
  EXPECT_EQ(words(g_sent.back().rec), (std::vector<int32_t>{64, 0, 0, 0, 0, 0}));

  len = 4095;
  g_len_back = 12;
  g_fail_errno = 0;
  EXPECT_EQ(rdbdrv_getnames(handle_, "sys.", buf, &len, 5), 0);
  EXPECT_EQ(len, 12);
  EXPECT_EQ(g_sent.back().request, RDBDRV_REQ_GETNAMES);
  EXPECT_EQ(words(g_sent.back().rec), (std::vector<int32_t>{4095, 0, 5, 0, 0, 0}));

  g_len_back = -1;
  EXPECT_EQ(rdbdrv_get(handle_, "v", buf, nullptr), 0);
  EXPECT_EQ(g_sent.back().rec.len, 0);
  EXPECT_EQ(rdbdrv_getnames(handle_, "v", buf, nullptr, 0), 0);
  EXPECT_EQ(g_sent.back().rec.len, 0);
}

TEST_F(RdbdrvRecordTest, FailuresComeBackAsNegatedErrno) {
  g_fail_errno = ENOENT;
  EXPECT_EQ(rdbdrv_set(handle_, "x", "1"), -2);
  EXPECT_EQ(errno, ENOENT);
  g_fail_errno = EEXIST;
  EXPECT_EQ(rdbdrv_create(handle_, "x", "1", 0, 0), -17);
}

TEST_F(RdbdrvRecordTest, DescriptorIsCloseOnExecAndCloseForgetsTheHandle) {
  EXPECT_EQ(rdbdrv_delete(handle_, "x"), 0);
  const int flags = fcntl(g_sent.back().fd, F_GETFD);
  ASSERT_GE(flags, 0);
  EXPECT_TRUE(flags & FD_CLOEXEC);
  rdbdrv_close(&handle_);
  EXPECT_EQ(handle_, nullptr);
}

TEST_F(RdbdrvRecordTest, WithoutTheSeamAPlainFileAnswersLikeANonDriver) {
  rdbdrv_set_transport(nullptr);
  // ENOTTY from a kernel; qemu's user mode says ENOSYS for ioctls it does
  // not know.
  const int rc = rdbdrv_set(handle_, "x", "1");
  EXPECT_TRUE(rc == -ENOTTY || rc == -ENOSYS) << rc;
  EXPECT_EQ(errno, -rc);
}

TEST(RdbdrvOpen, MissingDeviceLeavesNoHandle) {
  rdbdrv_handle *handle = reinterpret_cast<rdbdrv_handle *>(0x1);
  EXPECT_EQ(rdbdrv_open("/tmp/rdbdrv-test-no-such-device", &handle), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(handle, nullptr);
}

TEST(RdbdrvAbi, RequestNumbersAndRecordLayout) {
  for (auto [request, nr] : {std::pair{RDBDRV_REQ_GET, 2u}, {RDBDRV_REQ_SET, 3u}, {RDBDRV_REQ_GETNAMES, 4u}}) {
    EXPECT_EQ(_IOC_TYPE(request), 'g');
    EXPECT_EQ(_IOC_NR(request), nr);
    EXPECT_EQ(_IOC_DIR(request), unsigned{_IOC_READ | _IOC_WRITE});
    EXPECT_EQ(_IOC_SIZE(request), sizeof(rdbdrv_request));
  }
#if UINTPTR_MAX == 0xffffffffu
  // The driver on the board knows exactly these.
  EXPECT_EQ(sizeof(rdbdrv_request), 32u);
  EXPECT_EQ(RDBDRV_REQ_GET, 0xc0206702ul);
  EXPECT_EQ(RDBDRV_REQ_SET, 0xc0206703ul);
  EXPECT_EQ(RDBDRV_REQ_GETNAMES, 0xc0206704ul);
  EXPECT_EQ(offsetof(rdbdrv_request, len), 8u);
  EXPECT_EQ(offsetof(rdbdrv_request, flags), 16u);
  EXPECT_EQ(offsetof(rdbdrv_request, attr_c), 28u);
#else
  EXPECT_EQ(RDBDRV_REQ_GET, static_cast<unsigned long>(_IOC(_IOC_READ | _IOC_WRITE, 'g', 2, sizeof(rdbdrv_request))));
  EXPECT_EQ(RDBDRV_REQ_SET, static_cast<unsigned long>(_IOC(_IOC_READ | _IOC_WRITE, 'g', 3, sizeof(rdbdrv_request))));
  EXPECT_EQ(RDBDRV_REQ_GETNAMES,
            static_cast<unsigned long>(_IOC(_IOC_READ | _IOC_WRITE, 'g', 4, sizeof(rdbdrv_request))));
#endif
}

}  // namespace
