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
# folders (sysconfdir /etc); CMake installs the SysV scripts to
# ${sysconfdir}/init.d, their shared functions to ${datadir}/hwtrackd, their
# settings to ${sysconfdir}/default and the units to
# ${systemd_system_unitdir}, and systemd.bbclass removes the SysV scripts
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

# rdbd, where it is built, is a service of its own that starts before
# hwtrackd (and stops after it); its init script uses the shell functions
# that hwtrackd's package installs.
RDBD_PACKAGE = "${@bb.utils.contains('PACKAGECONFIG', 'rdbd', '${PN}-rdbd', '', d)}"
INITSCRIPT_PACKAGES = "${PN} ${RDBD_PACKAGE}"
INITSCRIPT_NAME:${PN} = "hwtrackd"
INITSCRIPT_PARAMS:${PN} = "defaults 50"
INITSCRIPT_NAME:${PN}-rdbd = "rdbd"
INITSCRIPT_PARAMS:${PN}-rdbd = "defaults 45 55"
SYSTEMD_PACKAGES = "${PN} ${RDBD_PACKAGE}"
SYSTEMD_SERVICE:${PN} = "hwtrackd.service"
SYSTEMD_SERVICE:${PN}-rdbd = "rdbd.service"
CONFFILES:${PN} = "${sysconfdir}/default/hwtrackd"
CONFFILES:${PN}-rdbd = "${sysconfdir}/default/rdbd"

# The example class script runs an rdb client: this recipe's, or the one
# of a board's RDB driver (set VIRTUAL-RUNTIME_rdb-client to its package).
VIRTUAL-RUNTIME_rdb-client ?= "${PN}-rdb"

PACKAGES =+ "${PN}-rdbd ${PN}-rdb ${PN}-hwclass-devnode"
FILES:${PN}-rdbd = "${sbindir}/rdbd ${sysconfdir}/init.d/rdbd ${systemd_system_unitdir}/rdbd.service ${sysconfdir}/default/rdbd"
FILES:${PN}-rdb = "${bindir}/rdb"
FILES:${PN}-hwclass-devnode = "${libexecdir}/hwtrackd/hwclass-devnode"

# The init scripts and the class script are sh scripts; the init scripts
# also need start-stop-daemon.
RDEPENDS:${PN} += "${VIRTUAL-RUNTIME_base-utils}"
RDEPENDS:${PN}-rdbd += "${PN}"
RDEPENDS:${PN}-hwclass-devnode += "${VIRTUAL-RUNTIME_rdb-client} ${VIRTUAL-RUNTIME_base-utils}"
