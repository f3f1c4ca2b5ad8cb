################################################################################
#
# hwtrackd
#
################################################################################

HWTRACKD_VERSION = 0.1.0
# The project's repository. To build a local checkout instead, put
#   HWTRACKD_OVERRIDE_SRCDIR = /path/to/hwtrackd
# into the local.mk of the Buildroot output folder.
HWTRACKD_SITE = https://git.example.com/hwtrackd.git
HWTRACKD_SITE_METHOD = git

# Tests and the host-only tools are not built for the target. Buildroot
# installs the init script and the unit itself (below), under the names its
# init systems look for, so CMake installs neither.
HWTRACKD_CONF_OPTS = \
	-DHWTRACK_BUILD_TESTS=OFF \
	-DHWTRACK_BUILD_TOOLS=OFF \
	-DHWTRACK_WERROR=OFF \
	-DHWTRACK_INSTALL_SYSV=OFF \
	-DHWTRACK_INSTALL_SYSTEMD=OFF \
	-DHWTRACK_STATIC=$(if $(BR2_STATIC_LIBS),ON,OFF)

ifneq ($(BR2_PACKAGE_HWTRACKD_RDBD),y)
define HWTRACKD_REMOVE_RDBD
	rm -f $(TARGET_DIR)/usr/sbin/rdbd $(TARGET_DIR)/usr/share/man/man8/rdbd.8
endef
HWTRACKD_POST_INSTALL_TARGET_HOOKS += HWTRACKD_REMOVE_RDBD
endif

define HWTRACKD_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(@D)/packaging/sysv/hwtrackd \
		$(TARGET_DIR)/etc/init.d/S50hwtrackd
endef

define HWTRACKD_INSTALL_INIT_SYSTEMD
	$(INSTALL) -D -m 0644 $(@D)/packaging/systemd/hwtrackd.service \
		$(TARGET_DIR)/usr/lib/systemd/system/hwtrackd.service
endef

$(eval $(cmake-package))
