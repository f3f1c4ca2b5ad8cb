// SPDX-License-Identifier: MIT
// The sysfs cache against fixture trees: subsystem rules, link resolution,
// parents, attributes and the bounds on every path.
#include "sysfs/sysfs.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "base/unique_fd.h"
#include "tests/sysfs/sysfs_env.h"
#include "tools/board/sysfs_tree.h"

namespace {

namespace fs = std::filesystem;
using sysfs_test::ScopedSysfsPath;
using sysfs_test::SysfsOnBoard;

class Sysfs : public ::testing::Test, protected SysfsOnBoard {};

// --- The root ---------------------------------------------------------------------

TEST(SysfsRoot, ComesFromSysfsPathWithoutTrailingSlashes) {
  const struct {
    std::optional<std::string> env;
    const char *root;
  } rows[] = {
      {"/mnt/sys//", "/mnt/sys"},
      {"/mnt/sys", "/mnt/sys"},
      {"/", ""},  // full paths are then the devpaths themselves
      {"", ""},   // set but empty still counts as set
      {std::nullopt, "/sys"},
  };
  for (const auto &row : rows) {
    ScopedSysfsPath env(row.env);
    sysfs_init();
    EXPECT_STREQ(sysfs_path(), row.root) << row.env.value_or("(unset)");
    sysfs_cleanup();
  }
}

TEST(SysfsRoot, SlashMakesTheDevpathsTheFullPaths) {
  // Link resolution and attribute reads take any devpath, so with the empty
  // root they reach the real file system by absolute path.
  board::TempDir tmp("sysfs-root");
  const fs::path dir = fs::canonical(tmp.path());
  fs::create_directory(dir / "target");
  fs::create_symlink("target", dir / "link");
  { FILE *f = fopen((dir / "target" / "comm").c_str(), "w"); fputs("sysfs_test\n", f); fclose(f); }
  ScopedSysfsPath env("/");
  sysfs_init();
  char buf[hw::kPathSize];
  hw::strlcpy(buf, (dir / "link").c_str(), sizeof buf);
  ASSERT_EQ(sysfs_resolve_link(buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), (dir / "target").string());
  EXPECT_STREQ(sysfs_attr_get_value((dir / "link").c_str(), "comm"), "sysfs_test");
  sysfs_cleanup();
}

// --- Accepted devpaths --------------------------------------------------------------

TEST_F(Sysfs, DevpathsOutsideTheSixTopDirectoriesAreRefused) {
  sys.dir("/sys/devices/x");  // exists below the root, but is no devpath
  sys.dir("/devices/x");
  for (const char *devpath : {"/devices", "/sys/devices/x", "devices/x", "/dev/x", "", "/class", "/firmware/x",
                              "/devicesx/y", "//devices/x"})
    EXPECT_EQ(sysfs_device_get(devpath), nullptr) << devpath;
  EXPECT_EQ(sysfs_device_get(nullptr), nullptr);
  EXPECT_NE(sysfs_device_get("/devices/x"), nullptr);
}

TEST_F(Sysfs, TrailingSlashesNameTheSameRecord) {
  sysfs_device *plain = sysfs_device_get("/devices/platform");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(sysfs_device_get("/devices/platform/"), plain);
  EXPECT_EQ(sysfs_device_get("/devices/platform///"), plain);
  EXPECT_STREQ(plain->devpath.c_str(), "/devices/platform");
}

TEST_F(Sysfs, MissingDeviceIsNull) {
  EXPECT_EQ(sysfs_device_get("/devices/platform/nothing"), nullptr);
  EXPECT_EQ(sysfs_device_get("/class/tty/ttyS9"), nullptr);
}

TEST_F(Sysfs, LinkAndRealPathShareOneRecordKeyedByTheRealPath) {
  auto eth = sys.net(sys.platform_device("fec", "fec"), "eth0", "00:11:22:33:44:55");
  sysfs_device *via_link = sysfs_device_get("/class/net/eth0");
  ASSERT_NE(via_link, nullptr);
  EXPECT_STREQ(via_link->devpath.c_str(), eth.devpath.c_str());
  EXPECT_EQ(sysfs_device_get(eth.devpath.c_str()), via_link);
  EXPECT_EQ(sysfs_device_get("/class/net/eth0"), via_link);

  // The other way round: real path first, link later.
  next_pass();
  sysfs_device *real = sysfs_device_get(eth.devpath.c_str());
  EXPECT_EQ(sysfs_device_get("/class/net/eth0/"), real);
}

TEST_F(Sysfs, RecordsLiveForOnePass) {
  auto uart = sys.platform_device("uart0", "");
  sysfs_device *dev = sysfs_device_get(uart.devpath.c_str());
  ASSERT_NE(dev, nullptr);
  EXPECT_TRUE(dev->driver.empty());
  sys.bind_driver(uart, "platform", "serial-uart");
  EXPECT_TRUE(sysfs_device_get(uart.devpath.c_str())->driver.empty());  // never refreshed
  next_pass();
  EXPECT_STREQ(sysfs_device_get(uart.devpath.c_str())->driver.c_str(), "serial-uart");
}

// --- Subsystem, kernel, driver ------------------------------------------------------

TEST_F(Sysfs, SubsystemWithoutSubsystemLinkFollowsTheRulesInOrder) {
  sys.dir("/devices/old/pci0");
  sys.raw_link("/devices/old/pci0/bus", "../../../bus/pci");
  sys.dir("/devices/old/slashless");
  sys.raw_link("/devices/old/slashless/bus", "pci");
  sys.dir("/devices/old/drivers/x");  // "/devices/" decides before "/drivers/"
  sys.dir("/class/tty/x");
  sys.dir("/block/sda");
  sys.dir("/bus/usb/devices");
  sys.dir("/bus/usb/drivers/hub");
  sys.dir("/module/foo");
  sys.dir("/subsystem/foo/bar");

  const struct {
    const char *devpath;
    const char *subsystem;
  } rows[] = {
      {"/class/tty", "subsystem"},       {"/class/tty/x", "tty"},
      {"/block/sda", "block"},           {"/devices/old/pci0", "pci"},
      {"/devices/old/slashless", ""},    {"/devices/old", ""},
      {"/devices/old/drivers/x", ""},    {"/bus/usb/drivers/hub", "drivers"},
      {"/module/foo", "module"},         {"/subsystem/foo", "subsystem"},
      {"/subsystem/foo/bar", ""},        {"/bus/usb", "subsystem"},
      {"/bus/usb/devices", ""},          {"/bus/usb/drivers", ""},
  };
  for (const auto &row : rows) {
    sysfs_device *dev = sysfs_device_get(row.devpath);
    ASSERT_NE(dev, nullptr) << row.devpath;
    EXPECT_STREQ(dev->subsystem.c_str(), row.subsystem) << row.devpath;
  }
}

TEST_F(Sysfs, SubsystemLinkWinsOverTheRules) {
  sys.dir("/class/tty/linked");
  sys.raw_link("/class/tty/linked/subsystem", "../../../bus/serial");
  sys.dir("/class/tty/bare");
  sys.raw_link("/class/tty/bare/subsystem", "serial");  // a target without "/" names nothing
  EXPECT_STREQ(sysfs_device_get("/class/tty/linked")->subsystem.c_str(), "serial");
  EXPECT_STREQ(sysfs_device_get("/class/tty/bare")->subsystem.c_str(), "");
}

TEST_F(Sysfs, KernelNameAndNumber) {
  const struct {
    const char *name;
    const char *kernel;
    const char *number;
  } rows[] = {
      {"cciss!c0d0", "cciss/c0d0", "0"}, {"ttyUSB12", "ttyUSB12", "12"}, {"eth", "eth", ""},
      {"123", "123", "123"},             {"a1b", "a1b", ""},             {"1-1.2:1.0", "1-1.2:1.0", "0"},
  };
  for (const auto &row : rows) {
    std::string devpath = std::string("/devices/virtual/misc/") + row.name;
    sys.dir(devpath);
    sysfs_device *dev = sysfs_device_get(devpath.c_str());
    ASSERT_NE(dev, nullptr) << devpath;
    EXPECT_STREQ(dev->kernel.c_str(), row.kernel);
    EXPECT_STREQ(dev->kernel_number.c_str(), row.number) << row.name;
  }
}

TEST_F(Sysfs, DriverIsTheLastComponentOfTheDriverLink) {
  auto ifc = sys.usb_interface(sys.usb_device(sys.usb_host(sys.platform_device("ehci", "ehci-platform"), 1), 1), 0,
                               "cdc_acm");
  EXPECT_STREQ(sysfs_device_get(ifc.devpath.c_str())->driver.c_str(), "cdc_acm");
  EXPECT_STREQ(sysfs_device_get(ifc.devpath.c_str())->subsystem.c_str(), "usb");
}

// --- sysfs_resolve_link ----------------------------------------------------------

struct ResolveRow {
  const char *link;
  std::string target;
  const char *result;  // buffer afterwards
  int rc;
};

void PrintTo(const ResolveRow &row, std::ostream *os) { *os << row.link << " -> " << row.target; }

TEST_F(Sysfs, ResolveLinkWalksTheTargetAgainstTheDevpath) {
  const ResolveRow rows[] = {
      {"/class/tty/ttyS0", "../../devices/platform/serial8250/tty/ttyS0", "/devices/platform/serial8250/tty/ttyS0", 0},
      {"/a/b", "foo", "/a/foo", 0},
      {"/p/q/r", "../x/y", "/p/x/y", 0},
      {"/s/t/u/v", "../../../e", "/e", 0},
      {"/w/x/y", ".././z", "/w/z", 0},
      {"/w/x/y", "a/../../b//c/", "/w/b/c", 0},  // a ".." anywhere climbs
      {"/w/x/y", "a/../../../..", "", -1},        // above the root
      // Three "../" need four components; "/class/x" runs out after two.
      {"/class/x", "../../../devices/y", "", -1},
      {"/c/x", "../../../../devices/y", "", -1},
  };
  for (const ResolveRow &row : rows) {
    sys.raw_link(row.link, row.target);
    char buf[hw::kPathSize];
    hw::strlcpy(buf, row.link, sizeof buf);
    SCOPED_TRACE(testing::PrintToString(row));
    EXPECT_EQ(sysfs_resolve_link(buf, sizeof buf), row.rc);
    EXPECT_STREQ(buf, row.result);
  }
}

TEST_F(Sysfs, ResolveLinkLeavesTheBufferAloneWhenThereIsNoLink) {
  sys.dir("/devices/plain");
  for (const char *devpath : {"/devices/plain", "/devices/missing", "/devices"}) {
    char buf[hw::kPathSize];
    hw::strlcpy(buf, devpath, sizeof buf);
    errno = 0;
    EXPECT_EQ(sysfs_resolve_link(buf, sizeof buf), -1) << devpath;
    EXPECT_NE(errno, 0) << devpath;
    EXPECT_STREQ(buf, devpath);
  }
}

TEST_F(Sysfs, ResolveLinkTargetsOfBufferSizeAreRefusedNotCut) {
  // 511 bytes is the longest target that cannot have been cut by a read of
  // at most 512 bytes.
  std::string longest = "../" + std::string(250, 'a') + "/" + std::string(257, 'b');
  ASSERT_EQ(longest.size(), 511u);
  sys.raw_link("/l/x", longest);
  char buf[1024] = "/l/x";
  EXPECT_EQ(sysfs_resolve_link(buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), "/" + longest.substr(3));

  sys.raw_link("/l/y", longest + "c");
  char cut[1024] = "/l/y";
  EXPECT_EQ(sysfs_resolve_link(cut, sizeof cut), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_STREQ(cut, "/l/y");
}

TEST_F(Sysfs, ResolveLinkRefusesAResultThatWouldNotFit) {
  sys.raw_link("/a/b", "../0123456789");  // result "/0123456789": 11 characters
  char exact[12] = "/a/b";
  EXPECT_EQ(sysfs_resolve_link(exact, sizeof exact), 0);
  EXPECT_STREQ(exact, "/0123456789");

  char small[11] = "/a/b";
  EXPECT_EQ(sysfs_resolve_link(small, sizeof small), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_LT(strlen(small), sizeof small);

  char unterminated[4] = {'/', 'a', '/', 'b'};
  EXPECT_EQ(sysfs_resolve_link(unterminated, sizeof unterminated), -1);
}

TEST_F(Sysfs, DanglingOrCyclicLinksGiveNoRecordOrAnEndingWalk) {
  sys.raw_link("/class/tty/deep", "../../../../devices/x");
  EXPECT_EQ(sysfs_device_get("/class/tty/deep"), nullptr);
  sys.raw_link("/class/tty/gone", "../../devices/virtual/tty/gone");
  EXPECT_EQ(sysfs_device_get("/class/tty/gone"), nullptr);

  // Resolution is lexical, relative to the devpath: a link reached through
  // another link ("device" below a class entry) resolves to a path that
  // does not exist, and gives no record rather than a made-up one.
  auto tty = sys.tty(sys.platform_device("serial8250", "serial8250"), "ttyS0");
  EXPECT_EQ(sysfs_device_get("/class/tty/ttyS0/device"), nullptr);
  EXPECT_STREQ(sysfs_device_get((tty.devpath + "/device").c_str())->devpath.c_str(), "/devices/platform/serial8250");

  // Two class directories whose "device" links name each other.
  sys.dir("/class/x/a");
  sys.dir("/class/x/b");
  sys.raw_link("/class/x/a/device", "../../x/b");
  sys.raw_link("/class/x/b/device", "../../x/a");
  sysfs_device *a = sysfs_device_get("/class/x/a");
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(sysfs_device_get_parent(a)->devpath.c_str(), "/class/x/b");
  EXPECT_EQ(sysfs_device_get_parent_with_subsystem(a, "usb"), nullptr);
}

// --- Parents ---------------------------------------------------------------------

TEST_F(Sysfs, ParentRules) {
  auto tty = sys.tty(sys.platform_device("serial8250", "serial8250"), "ttyS0");
  // Old layouts: class and block entries as real directories.
  sys.dir("/class/tty/ttyX");
  sys.link("/class/tty/ttyX/device", "/devices/platform/serial8250");
  sys.dir("/block/sdz/sdz1");
  sys.link("/block/sdz/device", "/devices/platform/serial8250");
  sys.dir("/class/tty/orphan");
  sys.dir("/bus/usb/devices");
  sys.dir("/module/foo");

  const struct {
    const char *devpath;
    const char *parent;  // nullptr: none
  } rows[] = {
      {"/devices/platform/serial8250/tty/ttyS0", "/devices/platform/serial8250/tty"},
      {"/devices/platform/serial8250", "/devices/platform"},
      {"/devices/platform", nullptr},
      {"/class/tty/ttyX", "/devices/platform/serial8250"},
      {"/block/sdz", "/devices/platform/serial8250"},
      {"/block/sdz/sdz1", "/block/sdz"},
      {"/class/tty/orphan", nullptr},
      {"/class/tty", nullptr},  // "/class" is a class directory too: no /class/tty/device
      {"/bus/usb/devices", "/bus/usb"},
      {"/module/foo", nullptr},
  };
  for (const auto &row : rows) {
    sysfs_device *dev = sysfs_device_get(row.devpath);
    ASSERT_NE(dev, nullptr) << row.devpath;
    sysfs_device *parent = sysfs_device_get_parent(dev);
    if (!row.parent) {
      EXPECT_EQ(parent, nullptr) << row.devpath;
      continue;
    }
    ASSERT_NE(parent, nullptr) << row.devpath;
    EXPECT_STREQ(parent->devpath.c_str(), row.parent) << row.devpath;
    EXPECT_EQ(parent, sysfs_device_get(row.parent)) << "parent is the cached record";
  }
  (void)tty;
}

TEST_F(Sysfs, FoundParentIsRememberedAMissingOneIsNot) {
  sys.platform_device("serial8250", "serial8250");
  sys.dir("/class/tty/late");
  sysfs_device *dev = sysfs_device_get("/class/tty/late");
  EXPECT_EQ(sysfs_device_get_parent(dev), nullptr);
  sys.link("/class/tty/late/device", "/devices/platform/serial8250");
  sysfs_device *parent = sysfs_device_get_parent(dev);
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(dev->parent, parent);
  sys.raw_link("/class/tty/late/device", "../../../devices/platform");
  EXPECT_EQ(sysfs_device_get_parent(dev), parent);
}

TEST_F(Sysfs, ParentWithSubsystemNeverReturnsTheDeviceItself) {
  auto ctrl = sys.platform_device("ehci", "ehci-platform");
  auto usbdev = sys.usb_device(sys.usb_hub(sys.usb_host(ctrl, 1), 1), 3);
  auto ifc = sys.usb_interface(usbdev, 0, "option");
  auto tty = sys.usb_serial_port(ifc, "ttyUSB0", "option1");

  sysfs_device *ifc_dev = sysfs_device_get(ifc.devpath.c_str());
  ASSERT_STREQ(ifc_dev->subsystem.c_str(), "usb");
  EXPECT_STREQ(sysfs_device_get_parent_with_subsystem(ifc_dev, "usb")->devpath.c_str(), usbdev.devpath.c_str());

  sysfs_device *tty_dev = sysfs_device_get(tty.devpath.c_str());
  EXPECT_STREQ(sysfs_device_get_parent_with_subsystem(tty_dev, "usb")->devpath.c_str(), ifc.devpath.c_str());
  EXPECT_STREQ(sysfs_device_get_parent_with_subsystem(tty_dev, "usb-serial")->kernel.c_str(), "ttyUSB0");
  EXPECT_STREQ(sysfs_device_get_parent_with_subsystem(tty_dev, "platform")->devpath.c_str(), ctrl.devpath.c_str());
  EXPECT_EQ(sysfs_device_get_parent_with_subsystem(tty_dev, "USB"), nullptr);  // case counts
  EXPECT_EQ(sysfs_device_get_parent_with_subsystem(tty_dev, "pci"), nullptr);
}

// --- Attributes ------------------------------------------------------------------

TEST_F(Sysfs, AttributeValues) {
  auto dev = sys.platform_device("uart0", "imx-uart");
  const struct {
    const char *name;
    std::string content;
    unsigned mode;
    const char *value;  // nullptr: no value
  } rows[] = {
      {"one", "1\n", 0644, "1"},
      {"spaces", "a b \n\n", 0644, "a b "},
      {"tabs", "\tx\t\n", 0644, "\tx\t"},
      {"inner", "x\n\ny\n", 0644, "x\n\ny"},
      {"crlf", "x\r\n", 0644, "x\r"},
      {"empty", "", 0644, ""},
      {"newlines", "\n\n", 0644, ""},
      {"longest", std::string(255, 'v'), 0644, nullptr},  // checked below
      {"full", std::string(256, 'v'), 0644, nullptr},
      {"over", std::string(300, 'v') + "\n", 0644, nullptr},
      {"write_only", "1\n", 0200, nullptr},
      {"owner_cannot_read", "1\n", 0044, nullptr},
  };
  for (const auto &row : rows) sys.raw_attr(dev, row.name, row.content, row.mode);
  for (const auto &row : rows) {
    if (std::string(row.name) == "longest") continue;
    const char *value = sysfs_attr_get_value(dev.devpath.c_str(), row.name);
    if (row.value)
      EXPECT_STREQ(value, row.value) << row.name;
    else
      EXPECT_EQ(value, nullptr) << row.name;
  }
  EXPECT_EQ(std::string(sysfs_attr_get_value(dev.devpath.c_str(), "longest")), std::string(255, 'v'));
  EXPECT_STREQ(sysfs_attr_get_value(dev.devpath.c_str(), "driver"), "imx-uart");
  EXPECT_STREQ(sysfs_attr_get_value(dev.devpath.c_str(), "subsystem"), "platform");
  EXPECT_EQ(sysfs_attr_get_value(dev.devpath.c_str(), "power"), nullptr);  // a directory
  EXPECT_EQ(sysfs_attr_get_value(dev.devpath.c_str(), "missing"), nullptr);
  sys.raw_link(dev.devpath + "/bare", "name");
  EXPECT_EQ(sysfs_attr_get_value(dev.devpath.c_str(), "bare"), nullptr);
  // A target of 512 bytes or more may have been cut by the read: no value.
  sys.raw_link(dev.devpath + "/long_link", "../" + std::string(505, 'x') + "/drv");
  EXPECT_EQ(sysfs_attr_get_value(dev.devpath.c_str(), "long_link"), nullptr);
}

TEST_F(Sysfs, AttributeAnswersAreCachedForThePassIncludingAbsence) {
  auto dev = sys.platform_device("uart0");
  sys.attr(dev, "dev_id", "0x1");
  const char *first = sysfs_attr_get_value(dev.devpath.c_str(), "dev_id");
  EXPECT_STREQ(first, "0x1");
  EXPECT_EQ(sysfs_attr_get_value(dev.devpath.c_str(), "missing"), nullptr);

  sys.attr(dev, "dev_id", "0x2");
  sys.attr(dev, "missing", "here now");
  EXPECT_EQ(sysfs_attr_get_value(dev.devpath.c_str(), "dev_id"), first);
  EXPECT_STREQ(first, "0x1");
  EXPECT_EQ(sysfs_attr_get_value(dev.devpath.c_str(), "missing"), nullptr);

  next_pass();
  EXPECT_STREQ(sysfs_attr_get_value(dev.devpath.c_str(), "dev_id"), "0x2");
  EXPECT_STREQ(sysfs_attr_get_value(dev.devpath.c_str(), "missing"), "here now");
}

TEST_F(Sysfs, AttributeThatCannotBeOpenedAfterLstatHasNoValue) {
  // A socket passes lstat (owner-read set, not a directory) but cannot be
  // opened, as a file that vanishes between the two calls.
  auto dev = sys.platform_device("uart0");
  std::string path = sys.path_of(dev).string() + "/sock";
  const hw::unique_fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_TRUE(fd);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  chmod(path.c_str(), 0644);
  EXPECT_EQ(sysfs_attr_get_value(dev.devpath.c_str(), "sock"), nullptr);

  // A FIFO must not block the daemon: it reads as empty.
  ASSERT_EQ(mkfifo((sys.path_of(dev).string() + "/fifo").c_str(), 0644), 0);
  EXPECT_STREQ(sysfs_attr_get_value(dev.devpath.c_str(), "fifo"), "");
}

// --- Bounds ----------------------------------------------------------------------

TEST_F(Sysfs, LongDevpathsAreRefusedRatherThanCut) {
  std::string root = sysfs_path();
  // The longest devpath whose full path fits the 512-byte buffer.
  std::string devpath = "/devices/" + std::string(200, 'a') + "/" + std::string(200, 'b') + "/";
  devpath += std::string(511 - root.size() - devpath.size(), 'c');
  ASSERT_EQ(root.size() + devpath.size(), 511u);
  sys.dir(devpath);
  sysfs_device *dev = sysfs_device_get(devpath.c_str());
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(std::string(dev->devpath.c_str()), devpath);
  sys.raw_attr({devpath}, "x", "1\n");
  EXPECT_EQ(sysfs_attr_get_value(devpath.c_str(), "x"), nullptr);  // full path of 513 characters

  // One more character: cutting it would name the directory above.
  std::string longer = devpath + "/d";
  sys.dir(longer);
  EXPECT_EQ(sysfs_device_get(longer.c_str()), nullptr);
  std::string huge = "/devices/" + std::string(600, 'x');
  errno = 0;
  EXPECT_EQ(sysfs_device_get(huge.c_str()), nullptr);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(sysfs_attr_get_value(huge.c_str(), "dev"), nullptr);
}

TEST_F(Sysfs, OutOfMemoryLeavesTheCachesAsTheyWere) {
  auto dev = sys.platform_device("uart0");
  sys.attr(dev, "dev_id", "0x3");
  hw::set_alloc_budget(0);
  errno = 0;
  EXPECT_EQ(sysfs_device_get(dev.devpath.c_str()), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(sysfs_attr_get_value(dev.devpath.c_str(), "dev_id"), nullptr);
  hw::set_alloc_budget(-1);
  // Nothing was remembered, so the next questions read the tree.
  EXPECT_STREQ(sysfs_attr_get_value(dev.devpath.c_str(), "dev_id"), "0x3");
  EXPECT_NE(sysfs_device_get(dev.devpath.c_str()), nullptr);

  // The parent's allocation fails: the child keeps no parent and asks again.
  auto tty = sys.tty(sys.platform_device("uart1"), "ttyS1");
  next_pass();
  sysfs_device *tty_dev = sysfs_device_get(tty.devpath.c_str());
  hw::set_alloc_budget(0);
  EXPECT_EQ(sysfs_device_get_parent(tty_dev), nullptr);
  hw::set_alloc_budget(-1);
  EXPECT_NE(sysfs_device_get_parent(tty_dev), nullptr);
}

}  // namespace
