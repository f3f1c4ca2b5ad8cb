#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; run this again only when an input format of a
target changes. Devpaths are those of the boards the targets lay out."""

import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

USB1 = "/devices/platform/soc/2184100.usb/usb1"
TTYUSB0 = USB1 + "/1-1/1-1.2/1-1.2:1.0/ttyUSB0/tty/ttyUSB0"
TTYACM0 = USB1 + "/1-1/1-1.3/1-1.3:1.0/tty/ttyACM0"
TTYUSB1 = USB1 + "/1-1/1-1.4/1-1.4:1.0/ttyUSB1/tty/ttyUSB1"
TTYUSB2 = USB1 + "/1-1/1-1.5/1-1.5:1.0/ttyUSB2/tty/ttyUSB2"
TTYUSB3 = (USB1 + "/1-1/1-1.7/1-1.7.7/1-1.7.7.7/1-1.7.7.7.7/1-1.7.7.7.7.7/1-1.7.7.7.7.7.1"
           "/1-1.7.7.7.7.7.1:1.0/ttyUSB3/tty/ttyUSB3")
TTYMXC0 = "/devices/platform/soc/2020000.serial/tty/ttymxc0"
ETH0 = "/devices/platform/soc/2188000.ethernet/net/eth0"
GADGET = "/devices/platform/soc/2184000.usb/gadget"
SDA1 = USB1 + "/1-2/1-2:1.0/host2/target2:0:0/2:0:0:0/block/sda/sda1"
MMCBLK0P1 = "/devices/platform/soc/2190000.mmc/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0/mmcblk0p1"


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- fuzz_uevent -------------------------------------------------------------

def datagram(*strings):
    return b"".join(s.encode("latin-1") + b"\0" for s in strings)


def uevent(action, devpath, subsystem, seqnum=1, *extra):
    return datagram(f"{action}@{devpath}", f"ACTION={action}", f"DEVPATH={devpath}",
                    f"SUBSYSTEM={subsystem}", f"SEQNUM={seqnum}", *extra)


def messages(*msgs):
    return b"\n%%\n".join(msgs)


def uevent_seeds():
    write("fuzz_uevent", "usb_serial_add_remove",
          messages(uevent("add", TTYUSB0, "tty", 1), uevent("remove", TTYUSB0, "tty", 2)))
    write("fuzz_uevent", "platform_and_gadget",
          messages(uevent("add", TTYMXC0, "tty"), uevent("add", ETH0, "net"),
                   uevent("add", GADGET + "/tty/ttyGS0", "tty"), uevent("add", GADGET + "/net/usb0", "net"),
                   uevent("remove", ETH0, "net")))
    write("fuzz_uevent", "storage",
          messages(uevent("add", SDA1, "block", 3, "DEVTYPE=partition"), uevent("add", MMCBLK0P1, "block"),
                   uevent("remove", SDA1, "block"), uevent("add", SDA1, "block")))
    write("fuzz_uevent", "awkward_devices",
          messages(uevent("add", TTYUSB1, "tty"), uevent("add", TTYUSB2, "tty"), uevent("add", TTYUSB3, "tty"),
                   uevent("add", TTYACM0, "tty"), uevent("remove", TTYUSB3, "tty")))
    write("fuzz_uevent", "link_loops",
          messages(uevent("add", "/class/tty/loop0", "tty"), uevent("add", "/class/tty/self", "tty"),
                   uevent("add", "/devices/virtual/tty/ttylost", "tty")))
    write("fuzz_uevent", "odd_messages",
          messages(uevent("change", TTYMXC0, "tty"), uevent("move", TTYMXC0, "tty"),
                   datagram("add@/devices/x", "ACTION=add", "SUBSYSTEM=tty"),
                   datagram("add@/devices/x", "DEVPATHX=/a", "DEVPATH=" + TTYMXC0, "ACTION=add", "SUBSYSTEM=TTY"),
                   datagram("add@/devices/x", "ACTION=add", "DEVPATH=", "SUBSYSTEM=tty"),
                   datagram("add@/devices/x", "ACTION=add", "", "DEVPATH=" + ETH0, "SUBSYSTEM=net"),
                   b"add@" + TTYMXC0.encode(),
                   datagram("header") + b"ACTION=remove\0DEVPATH=" + TTYMXC0.encode()))
    write("fuzz_uevent", "hostile_devpaths",
          messages(uevent("add", "/devices/platform/soc/../../../etc", "tty"),
                   uevent("add", "/devices/./platform/soc/2020000.serial/tty/ttymxc0", "tty"),
                   uevent("add", "/devices/" + "x" * 600, "tty"),
                   uevent("remove", "/devices/platform/soc/..", "tty"),
                   uevent("add", "relative/devpath", "tty"),
                   uevent("add", "/sys" + TTYMXC0, "tty")))
    filler = "X=" + "f" * (4096 - 200)
    full = datagram("add@/devices/x", "ACTION=add", "DEVPATH=" + TTYMXC0, "SUBSYSTEM=tty", filler)
    full = (full + b"Y=" + b"y" * 4096)[:4096]
    write("fuzz_uevent", "full_buffer",
          messages(full, full + b"DEVPATH=/devices/beyond\0"))
    write("fuzz_uevent", "udev_monitor_style",
          messages(uevent("add", TTYUSB0, "tty", 9, "UDEV_LOG=3", "DEVNAME=/dev/ttyUSB0", "MAJOR=188", "MINOR=0",
                          "ID_VENDOR_ID=1a2b", "ID_SERIAL_SHORT=XYZ")))


# --- fuzz_sysfs --------------------------------------------------------------

def sysfs_seeds():
    lines = lambda *ls: "\n".join(ls)
    write("fuzz_sysfs", "class_link_to_board",
          lines("Lcttyfz\t../../devices/platform/soc/2020000.serial/tty/ttymxc0",
                "R/class/fz/ttyfz", "G/class/fz/ttyfz", "G/class/tty/ttyUSB0", "G/class/block/sda1",
                "r\x10/class/fz/ttyfz"))
    write("fuzz_sysfs", "link_loops",
          lines("Lcloop0\tloop1", "Lcloop1\tloop0", "Lcself\tself",
                "Ddx", "Ldx/device\t../../../class/fz/xx", "Lcxx\t../../devices/fz/x",
                "G/class/fz/loop0", "R/class/fz/loop0", "G/class/fz/self", "G/class/fz/xx", "G/devices/fz/x"))
    write("fuzz_sysfs", "climbing_too_far",
          lines("Lca\t../../../../../../../../x", "R/class/fz/a", "r\x05/class/fz/a", "G/class/fz/a",
                "Lcb\t/etc/passwd", "R/class/fz/b", "G/class/fz/b", "Lcc\tfoo/", "G/class/fz/c",
                "Lcd\t" + "../" * 20 + "y" * 400, "R/class/fz/d"))
    write("fuzz_sysfs", "attributes",
          lines("Fddev1/one\t1\\n", "Fddev1/spaced\ta b \\n\\n", "Wddev1/wo\tsecret", "Fddev1/empty\t",
                "Fddev1/big\t" + "b" * 300, "Fddev1/edge\t" + "e" * 255, "Fddev1/nul\tab\0cd\\n",
                "Lddev1/driver\t../../../bus/usb/drivers/hub",
                "A/devices/fz/dev1\tone", "A/devices/fz/dev1\tspaced", "A/devices/fz/dev1\two",
                "A/devices/fz/dev1\tempty", "A/devices/fz/dev1\tbig", "A/devices/fz/dev1\tedge",
                "A/devices/fz/dev1\tnul", "A/devices/fz/dev1\tdriver", "A/devices/fz/dev1\tmissing",
                "A/devices/fz/dev1\t../../../../etc/hostname"))
    write("fuzz_sysfs", "devpath_forms",
          lines("G/devices", "G/sys/devices/x", "G/devices/platform/", "G/devices/platform", "G/class/tty",
                "G/class/tty/x", "G/block/sda", "G/bus/usb", "G/bus/usb/devices", "G/module/foo",
                "G/bus/usb/drivers/hub", "Ddcciss!c0d0", "G/devices/fz/cciss!c0d0", "G/devices/fz/123",
                "G/devices/../../etc", "G/subsystem/x", "G" + "/devices" * 80))
    write("fuzz_sysfs", "subsystem_links",
          lines("Ddsubdev", "Ldsubdev/subsystem\t../../../bus/usb", "Ldsubdev/driver\t../../../bus/usb/drivers/hub",
                "G/devices/fz/subdev", "Ddother", "Ldother/subsystem\tnoslash", "Ldother/bus\t../../bus/pci",
                "G/devices/fz/other", "Ddold", "Ldold/bus\t../../../bus/scsi", "G/devices/fz/old"))


# --- fuzz_hwcls --------------------------------------------------------------

def hwcls_seeds():
    def cls(prefix, *variables):
        return "\n".join([prefix] + [f"{n}={v}" for n, v in variables])
    s0 = "sys.hw.class.serial.0."
    write("fuzz_hwcls", "serial_class",
          cls("sys.hw.class.serial.0", (s0 + "id", "1a2b-3c4d-XYZ"), (s0 + "location", "usb1-1.2:1.0"),
              (s0 + "status", "inserted"), (s0 + "dev", "dev.0")))
    p3 = "sys.hw.class.phonemodule.3."
    write("fuzz_hwcls", "static_class",
          cls("sys.hw.class.phonemodule.3", (p3 + "id", "modem"), (p3 + "location", "platform"),
              (p3 + "static", "1"), (p3 + "enable", "0"), (p3 + "name", "/dev/ttyModem" + "m" * 30)))
    write("fuzz_hwcls", "unknown_type",
          cls("sys.hw.class.modem.0", ("sys.hw.class.modem.0.id", "x"), ("sys.hw.class.modem.0.location", "y"),
              ("sys.hw.class.(null).0.id", "n"), ("sys.hw.class.(null).0.location", "l")))
    e5 = "sys.hw.class.eth.5."
    write("fuzz_hwcls", "widths",
          cls("sys.hw.class.eth.5", (e5 + "id", "i" * 1023), (e5 + "location", "l" * 128),
              (e5 + "enable", "7"), (e5 + "static", "-0")))
    write("fuzz_hwcls", "over_width",
          cls("sys.hw.class.storage.1", ("sys.hw.class.storage.1.id", "i" * 127),
              ("sys.hw.class.storage.1.location", "l" * 1024)))
    write("fuzz_hwcls", "bad_prefixes_index_overflow",
          cls("sys.hw.class.serial.99999999999", ("sys.hw.class.serial.2147483647.id", "a"),
              ("sys.hw.class.serial.2147483647.location", "b")))
    write("fuzz_hwcls", "max_index",
          cls("sys.hw.class.serial.2147483647.id", ("sys.hw.class.serial.2147483647.id", "a"),
              ("sys.hw.class.serial.2147483647.location", "b")))
    write("fuzz_hwcls", "dots_and_nul",
          cls("sys.hw.class..storage...007x..", ("sys.hw.class.storage.7.id", "a\0hidden"),
              ("sys.hw.class.storage.7.location", "")))
    write("fuzz_hwcls", "short_prefix", cls("sys.hw.class"))


# --- fuzz_names --------------------------------------------------------------

def names_seed(mode, stop, listing, reported=0):
    return bytes([mode]) + struct.pack("<i", reported) + bytes([stop]) + listing


def names_seeds():
    write("fuzz_names", "device_names",
          names_seed(0, 0, b"sys.hw.dev.0.name&sys.hw.dev.0.id&sys.hw.dev.12.devpath&sys.hw.dev.name&sys.hw.devx.1.name"))
    write("fuzz_names", "class_ids",
          names_seed(1, 0, b"sys.hw.class.serial.0.id&sys.hw.class.serial.0.location&sys.hw.class.eth.12.id"))
    write("fuzz_names", "separators_and_stop", names_seed(2, 2, b";;&&one;two&three;&"))
    write("fuzz_names", "grows_past_4095",
          names_seed(0, 0, b"&".join(b"sys.hw.dev.%d.name" % i for i in range(400))))
    write("fuzz_names", "lying_long", names_seed(6, 0, b"a&b&c", 100000))
    write("fuzz_names", "lying_negative", names_seed(6, 0, b"a&b&c", -5))
    write("fuzz_names", "embedded_nul", names_seed(2, 0, b"one&two\0three&four"))


# --- fuzz_rdbd ---------------------------------------------------------------

def ioc(nr):
    return (3 << 30) | (40 << 16) | (0x67 << 8) | nr


GET, SET, GETNAMES = ioc(2), ioc(3), ioc(4)
MAGIC = 0x31424452


def frame(request, name=b"", value=b"", length=0, flags=0, attr_a=0, attr_b=0, attr_c=0, pointers=None,
          magic=MAGIC):
    if pointers is None:
        pointers = (1 if name else 0) | (2 if value or request in (GET, GETNAMES) else 0)
    body = struct.pack("<III6i", magic, request, pointers, length, attr_a, flags, 0, attr_b, attr_c)
    body += struct.pack("<I", len(name)) + name + struct.pack("<I", len(value)) + value
    return struct.pack("<I", len(body)) + body


def rdbd_seeds():
    write("fuzz_rdbd", "get", frame(GET, b"sys.hw.cfg.debug", length=1024) + frame(GET, b"long", length=1023))
    write("fuzz_rdbd", "write_create_delete",
          frame(SET, b"sys.hw.cfg.debug", b"3\0", length=2, flags=-1, attr_a=-1, attr_b=-1, attr_c=-1)
          + frame(SET, b"sys.hw.class.eth.0.id", b"fec\0", length=4, flags=0x22)
          + frame(SET, b"sys.hw.dev.0.name", pointers=1)
          + frame(SET, b"bad&name", b"x\0", length=2, flags=0x02)
          + frame(SET, b"sys.hw.class.eth.0.id", b"again\0", length=6, flags=0x02))
    write("fuzz_rdbd", "getnames",
          frame(GETNAMES, b"sys.hw.", length=10) + frame(GETNAMES, b"sys.hw.", length=4095)
          + frame(GETNAMES, b"nothing.", length=100))
    write("fuzz_rdbd", "bad_magic", frame(GET, b"x", length=10, magic=0x12345678) + frame(GET, b"long", length=2000))
    write("fuzz_rdbd", "malformed_then_sound",
          frame(GET, b"x", length=10, pointers=0x7) + frame(SET, b"v", b"abc", length=5, flags=0x02)
          + frame(GET, b"long", length=2000))
    write("fuzz_rdbd", "incomplete", frame(GET, b"sys.hw.cfg.debug", length=1024)[:-3])
    write("fuzz_rdbd", "huge_length", struct.pack("<I", 0xFFFFFFF0) + b"\0" * 16)
    write("fuzz_rdbd", "unknown_request", frame(ioc(9), b"x", length=1) + frame(0x1234, b"y", length=1))
    write("fuzz_rdbd", "store_file",
          "rdbd-store 1\n32 0 0 0 sys.hw.cfg.debug 7\n34 0 0 0 a%20b c%0Ad\nend 2\n")

    def record(line):
        return "%s %08X\n" % (line, zlib.crc32(line.encode()))
    write("fuzz_rdbd", "store_log",
          "rdbd-store 2\n" + record("set 32 0 0 0 sys.hw.cfg.debug 7") + record("set 34 0 0 0 a%20b c%0Ad")
          + record("set 32 -1 5 0 sys.hw.class.eth.0.mac 00:11") + record("del a%20b")
          + record("set 32 0 0 0 sys.hw.cfg.debug 3")[:-9])


def main():
    uevent_seeds()
    sysfs_seeds()
    hwcls_seeds()
    names_seeds()
    rdbd_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
