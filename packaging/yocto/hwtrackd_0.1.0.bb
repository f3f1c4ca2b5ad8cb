# SPDX-License-Identifier: MIT
SUMMARY = "Hardware tracking daemon: kernel hot-plug events to RDB variables"
DESCRIPTION = "hwtrackd gives every attached serial port, network interface \
and storage partition a stable, numbered name in the RDB (sys.hw.class.serial.0, \
...) that survives unplugging and restarts, and runs a class script on every \
change. Comes with the rdb client, the rdbd RDB server for boards without the \
RDB driver, an example class script and init files."
HOMEPAGE = "https://git.example.com/hwtrackd"
SECTION = "base"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=66581a4181be3364f87e998a155abafa"

# Written for the Yocto Project 6.0 (wrynose) release series, and 5.3
# (whinlatter) on: sources unpack below ${UNPACKDIR}, and the release
# tarball unpacks into ${BP}, the default S, so S is not set. (With the git
# fetcher instead, add ";tag=v${PV}" to its URL with a fixed SRCREV; since
# 5.3 it too unpacks into ${BP}.)
#
# The release tarball comes from `cmake --build build --target dist`, which
# also writes a copy of this recipe with the tarball's SRC_URI[sha256sum].
# To build a local checkout instead, put into local.conf:
#   INHERIT += "externalsrc"
#   EXTERNALSRC:pn-hwtrackd = "/path/to/hwtrackd"
SRC_URI = "https://git.example.com/hwtrackd/releases/download/v${PV}/${BP}.tar.gz"

inherit cmake update-rc.d systemd

# cmake.bbclass passes the toolchain file, the prefix and the GNU install
# folders (sysconfdir /etc); CMake installs the SysV script to
# ${sysconfdir}/init.d, its settings to ${sysconfdir}/default and the unit to
# ${systemd_system_unitdir}, and systemd.bbclass removes the SysV script
# from systemd-only images.
EXTRA_OECMAKE = "\
    -DHWTRACK_BUILD_TESTS=OFF \
    -DHWTRACK_BUILD_TOOLS=OFF \
    -DHWTRACK_WERROR=OFF \
    -DHWTRACK_INSTALL_SYSV=ON \
    -DHWTRACK_INSTALL_SYSTEMD=ON \
    -DHWTRACK_SYSTEMD_UNITDIR=${systemd_system_unitdir} \
"

# rdbd only serves boards without the RDB kernel driver; leave out rdb where
# the driver comes with its own client.
PACKAGECONFIG ??= "rdbd rdb"
PACKAGECONFIG[rdbd] = "-DHWTRACK_BUILD_RDBD=ON,-DHWTRACK_BUILD_RDBD=OFF"
PACKAGECONFIG[rdb] = "-DHWTRACK_BUILD_RDB_CLIENT=ON,-DHWTRACK_BUILD_RDB_CLIENT=OFF"

INITSCRIPT_NAME = "hwtrackd"
INITSCRIPT_PARAMS = "defaults 50"
SYSTEMD_SERVICE:${PN} = "hwtrackd.service"
CONFFILES:${PN} = "${sysconfdir}/default/hwtrackd"

PACKAGES =+ "${PN}-rdbd"
FILES:${PN}-rdbd = "${sbindir}/rdbd"

# The init script and the class script are sh scripts; the init script also
# needs start-stop-daemon.
RDEPENDS:${PN} += "${VIRTUAL-RUNTIME_base-utils}"
