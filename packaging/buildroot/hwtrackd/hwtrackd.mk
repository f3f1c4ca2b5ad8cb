################################################################################
#
# hwtrackd
#
################################################################################

# SPDX-License-Identifier: MIT
#
# The release tarball made by `cmake --build build --target dist`; dist also
# writes a copy of this folder whose hwtrackd.hash holds the tarball's hash.
# To build a local checkout instead, put
#   HWTRACKD_OVERRIDE_SRCDIR = /path/to/hwtrackd
# into the local.mk of the Buildroot output folder (or the file that
# BR2_PACKAGE_OVERRIDE_FILE names); then nothing is downloaded.
HWTRACKD_VERSION = 0.1.0
HWTRACKD_SITE = https://git.example.com/hwtrackd/releases/download/v$(HWTRACKD_VERSION)
HWTRACKD_LICENSE = MIT
HWTRACKD_LICENSE_FILES = LICENSE

# Tests and the host-only tools are not built for the target. Buildroot
# installs the init script and the unit itself (below), under the names its
# init systems look for, so CMake installs neither.
HWTRACKD_CONF_OPTS = \
	-DHWTRACK_BUILD_TESTS=OFF \
	-DHWTRACK_BUILD_TOOLS=OFF \
	-DHWTRACK_WERROR=OFF \
	-DHWTRACK_INSTALL_SYSV=OFF \
	-DHWTRACK_INSTALL_SYSTEMD=OFF \
	-DHWTRACK_STATIC=$(if $(BR2_STATIC_LIBS),ON,OFF) \
	-DHWTRACK_BUILD_RDBD=$(if $(BR2_PACKAGE_HWTRACKD_RDBD),ON,OFF) \
	-DHWTRACK_BUILD_RDB_CLIENT=$(if $(BR2_PACKAGE_HWTRACKD_RDB_CLIENT),ON,OFF) \
	-DHWTRACK_INSTALL_CLASS_SCRIPT=$(if $(BR2_PACKAGE_HWTRACKD_HWCLASS_DEVNODE),ON,OFF)

# rdbd is the RDB where it is installed: it starts before hwtrackd.
ifeq ($(BR2_PACKAGE_HWTRACKD_RDBD),y)
define HWTRACKD_INSTALL_INIT_SYSV_RDBD
	$(INSTALL) -D -m 0755 $(@D)/packaging/sysv/rdbd \
		$(TARGET_DIR)/etc/init.d/S45rdbd
endef
define HWTRACKD_INSTALL_INIT_SYSTEMD_RDBD
	$(INSTALL) -D -m 0644 $(@D)/packaging/systemd/rdbd.service \
		$(TARGET_DIR)/usr/lib/systemd/system/rdbd.service
endef
endif

define HWTRACKD_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(@D)/packaging/sysv/hwtrackd \
		$(TARGET_DIR)/etc/init.d/S50hwtrackd
	$(INSTALL) -D -m 0644 $(@D)/packaging/sysv/init-functions \
		$(TARGET_DIR)/usr/share/hwtrackd/init-functions
	$(HWTRACKD_INSTALL_INIT_SYSV_RDBD)
endef

define HWTRACKD_INSTALL_INIT_SYSTEMD
	$(INSTALL) -D -m 0644 $(@D)/packaging/systemd/hwtrackd.service \
		$(TARGET_DIR)/usr/lib/systemd/system/hwtrackd.service
	$(HWTRACKD_INSTALL_INIT_SYSTEMD_RDBD)
endef

$(eval $(cmake-package))
