// SPDX-License-Identifier: MIT
// The sysfs cache over a real laptop's sysfs tree: every class entry the
// start-up scan would look at must resolve to its device.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "sysfs/sysfs.h"
#include "tests/sysfs/sysfs_env.h"
#include "tools/board/sysfs_tree.h"

namespace {

namespace fs = std::filesystem;

class LaptopTree : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fs::path tarball = fs::path(HWTRACK_FIXTURES_DIR) / "laptop-sysfs.tar.xz";
    if (!fs::exists(tarball)) return;
    dir_ = std::make_unique<board::TempDir>("laptop-sysfs");
    // The parts the lookups touch: about half of the tree, half the time.
    unpacked_ = board::unpack_tarball(tarball, dir_->path(), {"sys/devices", "sys/class", "sys/block", "sys/bus"});
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "laptop-sysfs.tar.xz not found in " << HWTRACK_FIXTURES_DIR;
    ASSERT_TRUE(unpacked_) << "tar could not unpack laptop-sysfs.tar.xz";
    env_ = std::make_unique<sysfs_test::ScopedSysfsPath>(root().string());
    sysfs_init();
  }
  void TearDown() override {
    sysfs_cleanup();
    env_.reset();
  }

  static fs::path root() { return dir_->path() / "sys"; }

  static std::unique_ptr<board::TempDir> dir_;
  static bool unpacked_;
  std::unique_ptr<sysfs_test::ScopedSysfsPath> env_;
};

std::unique_ptr<board::TempDir> LaptopTree::dir_;
bool LaptopTree::unpacked_ = false;

TEST_F(LaptopTree, EveryClassEntryResolvesToItsDevice) {
  size_t checked = 0;
  for (const char *cls : {"tty", "net", "block"}) {
    for (const auto &entry : fs::directory_iterator(root() / "class" / cls)) {
      std::string name = entry.path().filename().string();
      std::string devpath = std::string("/class/") + cls + "/" + name;
      std::string real = "/" + fs::canonical(entry.path()).lexically_relative(fs::canonical(root())).string();

      sysfs_device *dev = sysfs_device_get(devpath.c_str());
      ASSERT_NE(dev, nullptr) << devpath;
      EXPECT_STREQ(dev->devpath.c_str(), real.c_str()) << devpath;
      EXPECT_STREQ(dev->subsystem.c_str(), cls) << devpath;
      EXPECT_STREQ(dev->kernel.c_str(), name.c_str()) << devpath;
      EXPECT_EQ(sysfs_device_get(real.c_str()), dev) << devpath;
      ++checked;
    }
  }
  EXPECT_GT(checked, 60u);
}

TEST_F(LaptopTree, ParentsAndPhysicalDevices) {
  const struct {
    const char *devpath;
    const char *subsystem;  // of the ancestor looked for
    const char *ancestor;
  } rows[] = {
      {"/class/tty/ttyS0", "platform", "/devices/platform/serial8250"},
      {"/class/tty/ttyACM0", "usb", "/devices/pci0000:00/0000:00:1d.7/usb5/5-2/5-2:1.0"},
      {"/class/block/sdb1", "usb", "/devices/pci0000:00/0000:00:1d.7/usb5/5-1/5-1:1.0"},
      {"/class/block/sdb1", "scsi", "/devices/pci0000:00/0000:00:1d.7/usb5/5-1/5-1:1.0/host7/target7:0:0/7:0:0:0"},
      {"/class/net/eth0", "pci", "/devices/pci0000:00/0000:00:1c.0/0000:02:00.0"},
      {"/block/sda", "pci", "/devices/pci0000:00/0000:00:1f.2"},
  };
  for (const auto &row : rows) {
    sysfs_device *dev = sysfs_device_get(row.devpath);
    ASSERT_NE(dev, nullptr) << row.devpath;
    sysfs_device *ancestor = sysfs_device_get_parent_with_subsystem(dev, row.subsystem);
    ASSERT_NE(ancestor, nullptr) << row.devpath;
    EXPECT_STREQ(ancestor->devpath.c_str(), row.ancestor) << row.devpath;
  }

  sysfs_device *acm_tty = sysfs_device_get("/class/tty/ttyACM0");
  ASSERT_NE(acm_tty, nullptr);
  sysfs_device *acm = sysfs_device_get((std::string(acm_tty->devpath.c_str()) + "/device").c_str());
  ASSERT_NE(acm, nullptr);
  EXPECT_STREQ(acm->kernel.c_str(), "5-2:1.0");
  EXPECT_STREQ(acm->driver.c_str(), "cdc_acm");
  EXPECT_STREQ(sysfs_attr_get_value(acm->devpath.c_str(), "bInterfaceNumber"), "00");
  EXPECT_EQ(sysfs_device_get("/devices/virtual/tty/tty1/device"), nullptr);
  EXPECT_STREQ(sysfs_attr_get_value("/devices/platform/serial8250/tty/ttyS0", "dev"), "4:64");
}

}  // namespace
