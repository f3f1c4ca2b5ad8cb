SUMMARY = "Hardware tracking daemon: kernel hot-plug events to RDB variables"
DESCRIPTION = "hwtrackd gives every attached serial port, network interface \
and storage partition a stable, numbered name in the RDB (sys.hw.class.serial.0, \
...) that survives unplugging and restarts, and runs a class script on every \
change. Comes with the rdb client, the rdbd RDB server for boards without the \
RDB driver, an example class script and init files."
SECTION = "base"

# No license file has been chosen for the project yet; set LICENSE and
# LIC_FILES_CHKSUM when it has one.
LICENSE = "CLOSED"

# The project's repository; a layer may point it elsewhere, or use
# externalsrc for a local checkout.
HWTRACKD_GIT ?= "git://git.example.com/hwtrackd.git;protocol=https;branch=main"
SRC_URI = "${HWTRACKD_GIT}"
SRCREV ?= "${AUTOREV}"
PV = "0.1.0+git${SRCPV}"
S = "${WORKDIR}/git"

inherit cmake update-rc.d systemd

# cmake.bbclass passes the toolchain file, the prefix and the GNU install
# folders (sysconfdir /etc); CMake installs the SysV script to
# ${sysconfdir}/init.d and the unit to ${systemd_system_unitdir}, and
# systemd.bbclass removes the former from systemd-only images.
EXTRA_OECMAKE = "\
    -DHWTRACK_BUILD_TESTS=OFF \
    -DHWTRACK_BUILD_TOOLS=OFF \
    -DHWTRACK_WERROR=OFF \
    -DHWTRACK_INSTALL_SYSV=ON \
    -DHWTRACK_INSTALL_SYSTEMD=ON \
    -DHWTRACK_SYSTEMD_UNITDIR=${systemd_system_unitdir} \
"

INITSCRIPT_NAME = "hwtrackd"
INITSCRIPT_PARAMS = "defaults 50"
SYSTEMD_SERVICE:${PN} = "hwtrackd.service"

# rdbd only serves boards without the RDB kernel driver.
PACKAGES =+ "${PN}-rdbd"
FILES:${PN}-rdbd = "${sbindir}/rdbd"

# The init script and the class script are sh scripts; the init script also
# needs start-stop-daemon.
RDEPENDS:${PN} += "${VIRTUAL-RUNTIME_base-utils}"
