// SPDX-License-Identifier: MIT
// The fixture library's layouts, where a wrong layout would mislead the
// tests built on it: links as the kernel writes them, the usb-serial and
// gadget chains, block devices, unplugging.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "sysfs/sysfs.h"
#include "tests/sysfs/sysfs_env.h"
#include "tools/board/sysfs_tree.h"

namespace {

namespace fs = std::filesystem;

class Board : public ::testing::Test, protected sysfs_test::SysfsOnBoard {
 protected:
  // Every link in the tree is relative and names something that exists.
  void expect_links_sound() {
    for (const auto &entry : fs::recursive_directory_iterator(sys.root())) {
      if (!entry.is_symlink()) continue;
      fs::path target = fs::read_symlink(entry.path());
      EXPECT_TRUE(target.is_relative()) << entry.path();
      EXPECT_TRUE(fs::exists(entry.path())) << entry.path() << " -> " << target;
    }
  }
  const char *attr(const board::Device &dev, const char *name) {
    return sysfs_attr_get_value(dev.devpath.c_str(), name);
  }
};

TEST_F(Board, UsbSerialPortChain) {
  auto ctrl = sys.platform_device("2184200.usb", "ci_hdrc", sys.platform_device("soc"));
  auto usb1 = sys.usb_host(ctrl, 1);
  auto hub = sys.usb_hub(usb1, 1);
  auto dev = sys.usb_device(hub, 2, {.vendor = "0403", .product = "6001", .serial = "A600"});
  auto ifc = sys.usb_interface(dev, 0, "ftdi_sio");
  auto tty = sys.usb_serial_port(ifc, "ttyUSB0");
  expect_links_sound();

  EXPECT_EQ(dev.kernel(), "1-1.2");
  EXPECT_EQ(ifc.kernel(), "1-1.2:1.0");
  EXPECT_EQ(tty.devpath, ifc.devpath + "/ttyUSB0/tty/ttyUSB0");
  EXPECT_TRUE(fs::exists(sys.path_of("/devices/platform/soc/2184200.usb/usb1/1-0:1.0")));

  sysfs_device *d = sysfs_device_get("/class/tty/ttyUSB0");
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->devpath.c_str(), tty.devpath.c_str());
  EXPECT_STREQ(d->subsystem.c_str(), "tty");

  sysfs_device *port = sysfs_device_get((tty.devpath + "/device").c_str());
  ASSERT_NE(port, nullptr);
  EXPECT_STREQ(port->devpath.c_str(), (ifc.devpath + "/ttyUSB0").c_str());
  EXPECT_STREQ(port->subsystem.c_str(), "usb-serial");
  EXPECT_STREQ(port->driver.c_str(), "ftdi_sio");

  sysfs_device *interface = sysfs_device_get_parent(port);
  EXPECT_STREQ(interface->subsystem.c_str(), "usb");
  EXPECT_STREQ(attr(ifc, "bInterfaceNumber"), "00");
  EXPECT_STREQ(attr(ifc, "driver"), "ftdi_sio");

  sysfs_device *usbdev = sysfs_device_get_parent(interface);
  EXPECT_STREQ(usbdev->devpath.c_str(), dev.devpath.c_str());
  EXPECT_STREQ(attr(dev, "idVendor"), "0403");
  EXPECT_STREQ(attr(dev, "idProduct"), "6001");
  EXPECT_STREQ(attr(dev, "serial"), "A600");
  EXPECT_STREQ(attr(dev, "busnum"), "1");
  EXPECT_STREQ(attr(dev, "devpath"), "1.2");
  EXPECT_STREQ(attr(dev, "bConfigurationValue"), "1");
  EXPECT_STREQ(sysfs_device_get_parent_with_subsystem(d, "platform")->devpath.c_str(), ctrl.devpath.c_str());
}

TEST_F(Board, UsbNamesFollowTheKernel) {
  auto usb2 = sys.usb_host(sys.platform_device("ehci"), 2);
  board::UsbIds ids;
  ids.configuration = 2;
  auto dev = sys.usb_device(usb2, 1, ids);
  auto ifc = sys.usb_interface(dev, 10, "qmi_wwan");
  EXPECT_EQ(ifc.kernel(), "2-1:2.10");  // decimal in the name,
  EXPECT_STREQ(attr(ifc, "bInterfaceNumber"), "0a");  // hex in the attribute
  EXPECT_EQ(attr(dev, "serial"), nullptr);
  auto wwan = sys.net(ifc, "wwan0", "02:50:f3:00:00:00");
  EXPECT_STREQ(sysfs_device_get((wwan.devpath + "/device").c_str())->devpath.c_str(), ifc.devpath.c_str());
}

TEST_F(Board, ClassDeviceLinksNameTheParentAsTheKernelDoes) {
  auto uart = sys.platform_device("serial8250", "serial8250");
  sys.tty(uart, "ttyS0");
  EXPECT_EQ(fs::read_symlink(sys.path_of("/devices/platform/serial8250/tty/ttyS0/device")), "../../../serial8250");
  EXPECT_EQ(fs::read_symlink(sys.path_of("/devices/platform/serial8250/tty/ttyS0/subsystem")),
            "../../../../../class/tty");
  EXPECT_EQ(fs::read_symlink(sys.path_of("/class/tty/ttyS0")), "../../devices/platform/serial8250/tty/ttyS0");
  EXPECT_EQ(fs::read_symlink(sys.path_of("/devices/platform/serial8250/driver")),
            "../../../bus/platform/drivers/serial8250");
  EXPECT_EQ(fs::read_symlink(sys.path_of("/bus/platform/devices/serial8250")), "../../../devices/platform/serial8250");
}

TEST_F(Board, SerialBaseTtyHasAPortDeviceBetweenUartAndTty) {
  auto uart = sys.platform_device("serial8250", "serial8250");
  auto tty = sys.serial_base_tty(uart, "ttyS0");
  EXPECT_EQ(tty.devpath, "/devices/platform/serial8250/serial8250:0/serial8250:0.0/tty/ttyS0");
  sysfs_device *port = sysfs_device_get((tty.devpath + "/device").c_str());
  ASSERT_NE(port, nullptr);
  EXPECT_STREQ(port->subsystem.c_str(), "serial-base");
  EXPECT_STREQ(port->driver.c_str(), "port");
  EXPECT_STREQ(sysfs_device_get_parent_with_subsystem(port, "platform")->devpath.c_str(), uart.devpath.c_str());
  expect_links_sound();
}

TEST_F(Board, PlatformEthernetAndVirtualDevices) {
  auto eth = sys.net(sys.platform_device("2188000.ethernet", "fec"), "eth0", "00:11:22:33:44:55", "0x1");
  EXPECT_STREQ(attr(eth, "address"), "00:11:22:33:44:55");
  EXPECT_STREQ(attr(eth, "dev_id"), "0x1");
  EXPECT_STREQ(sysfs_device_get((eth.devpath + "/device").c_str())->subsystem.c_str(), "platform");

  auto tty1 = sys.virtual_tty("tty1");
  EXPECT_EQ(tty1.devpath, "/devices/virtual/tty/tty1");
  EXPECT_NE(sysfs_device_get("/class/tty/tty1"), nullptr);
  EXPECT_EQ(sysfs_device_get((tty1.devpath + "/device").c_str()), nullptr);
  auto loop = sys.loop_device(0);
  EXPECT_EQ(loop.devpath, "/devices/virtual/block/loop0");
  EXPECT_TRUE(fs::is_symlink(sys.path_of("/block/loop0")));
  expect_links_sound();
}

TEST_F(Board, MmcCardWithAndWithoutPartitions) {
  auto host = sys.mmc_host(sys.platform_device("2190000.mmc", "sdhci-esdhc-imx"), 0);
  auto disk = sys.block_disk(sys.mmc_card(host), "mmcblk0");
  EXPECT_EQ(disk.devpath, "/devices/platform/2190000.mmc/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0");
  sysfs_device *d = sysfs_device_get("/class/block/mmcblk0");
  EXPECT_STREQ(sysfs_device_get_parent_with_subsystem(d, "mmc")->kernel.c_str(), "mmc0:aaaa");
  EXPECT_STREQ(sysfs_device_get_parent_with_subsystem(d, "platform")->kernel.c_str(), "2190000.mmc");
  EXPECT_FALSE(fs::exists(sys.path_of(disk) / "mmcblk0p1"));
  EXPECT_EQ(attr(disk, "partition"), nullptr);

  auto part = sys.partition(disk, 1);
  EXPECT_EQ(part.kernel(), "mmcblk0p1");
  EXPECT_STREQ(attr(part, "partition"), "1");
  EXPECT_FALSE(fs::exists(sys.path_of(part) / "device"));
  EXPECT_TRUE(fs::is_symlink(sys.path_of("/class/block/mmcblk0p1")));
  EXPECT_FALSE(fs::exists(sys.path_of("/block/mmcblk0p1")));  // /block lists whole disks
  EXPECT_STREQ(sysfs_device_get("/class/block/mmcblk0p1")->subsystem.c_str(), "block");
  expect_links_sound();
}

TEST_F(Board, UsbStorageDiskAndPartition) {
  auto usb1 = sys.usb_host(sys.platform_device("ehci"), 1);
  auto stick = sys.usb_interface(sys.usb_device(usb1, 1), 0, "usb-storage", "08");
  auto sda = sys.scsi_disk(stick, "sda");
  auto sda1 = sys.partition(sda, 1);
  EXPECT_EQ(sda.devpath, stick.devpath + "/host0/target0:0:0/0:0:0:0/block/sda");
  EXPECT_EQ(sda1.kernel(), "sda1");
  EXPECT_EQ(sysfs_device_get("/block/sda"), sysfs_device_get(sda.devpath.c_str()));
  sysfs_device *part = sysfs_device_get("/class/block/sda1");
  EXPECT_STREQ(sysfs_device_get_parent(part)->devpath.c_str(), sda.devpath.c_str());
  EXPECT_STREQ(sysfs_device_get_parent_with_subsystem(part, "usb")->devpath.c_str(), stick.devpath.c_str());
  EXPECT_STREQ(sysfs_device_get((sda.devpath + "/device").c_str())->driver.c_str(), "sd");
  expect_links_sound();
}

TEST_F(Board, GadgetFunctionsHangFromTheGadget) {
  auto glue = sys.platform_device("2184000.usb", "imx_usb");
  auto udc = sys.platform_device("ci_hdrc.0", "ci_hdrc", glue);
  auto gadget = sys.usb_gadget(udc);
  auto tty = sys.tty(gadget, "ttyGS0");
  auto net = sys.net(gadget, "usb0", "aa:bb:cc:dd:ee:ff");
  for (const auto &function : {tty, net}) {
    sysfs_device *d = sysfs_device_get(function.devpath.c_str());
    sysfs_device *f = sysfs_device_get((function.devpath + "/device").c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->kernel.c_str(), "gadget");
    sysfs_device *p1 = sysfs_device_get_parent_with_subsystem(d, "platform");
    EXPECT_STREQ(p1->kernel.c_str(), "ci_hdrc.0");
    EXPECT_STREQ(sysfs_device_get_parent_with_subsystem(p1, "platform")->kernel.c_str(), "2184000.usb");
  }
  expect_links_sound();
}

TEST_F(Board, UnplugRemovesTheSubtreeAndEveryLinkIntoIt) {
  auto usb1 = sys.usb_host(sys.platform_device("ehci"), 1);
  auto keep = sys.usb_serial_port(sys.usb_interface(sys.usb_device(usb1, 1), 0, "pl2303"), "ttyUSB0");
  auto modem = sys.usb_device(usb1, 2);
  auto tty = sys.usb_serial_port(sys.usb_interface(modem, 0, "option"), "ttyUSB1", "option1");
  auto disk = sys.scsi_disk(sys.usb_interface(modem, 1, "usb-storage", "08"), "sda");
  sys.partition(disk, 1);

  sys.unplug(modem);
  EXPECT_FALSE(fs::exists(sys.path_of(modem)));
  for (const char *gone : {"/class/tty/ttyUSB1", "/class/block/sda", "/class/block/sda1", "/block/sda",
                           "/bus/usb/devices/1-2", "/bus/usb/devices/1-2:1.0", "/bus/usb-serial/devices/ttyUSB1",
                           "/bus/usb/drivers/option/1-2:1.0", "/bus/scsi/drivers/sd/0:0:0:0"})
    EXPECT_FALSE(fs::is_symlink(sys.path_of(gone))) << gone;
  EXPECT_TRUE(fs::exists(sys.path_of("/class/tty/ttyUSB0")));
  EXPECT_TRUE(fs::exists(sys.path_of(keep)));
  expect_links_sound();
  (void)tty;
}

TEST_F(Board, RawFilesKeepTheirBytesAndModes) {
  auto dev = sys.platform_device("uart0");
  sys.raw_attr(dev, "long", std::string(256, 'x'));
  sys.raw_attr(dev, "secret", "1\n", 0200);
  EXPECT_EQ(fs::file_size(sys.path_of(dev) / "long"), 256u);
  EXPECT_EQ(fs::status(sys.path_of(dev) / "secret").permissions(), fs::perms::owner_write);
  EXPECT_EQ(sys.class_entries("tty").size(), 0u);
}

TEST(BoardTempDir, GoesAwayWithTheTree) {
  fs::path root;
  {
    board::SysfsTree sys;
    root = sys.root();
    sys.virtual_tty("tty0");
    EXPECT_TRUE(fs::exists(root / "class/tty/tty0"));
  }
  EXPECT_FALSE(fs::exists(root));
  EXPECT_FALSE(fs::exists(root.parent_path()));
}

}  // namespace
