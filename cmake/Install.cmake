# SPDX-License-Identifier: MIT
# Installation for firmware builds.
#
# Paths come from GNUInstallDirs, so a build system that configures with
# CMAKE_INSTALL_PREFIX=/usr and installs with DESTDIR=<staging> gets the
# layout of the target's root file system:
#
#   <prefix>/sbin/hwtrackd, hwtrack-explain (and their man8 pages)
#   <prefix>/sbin/rdbd, man8/rdbd.8                HWTRACK_BUILD_RDBD
#   <prefix>/bin/rdb, man1/rdb.1                   HWTRACK_BUILD_RDB_CLIENT
#   <prefix>/bin/boardsim, man1/boardsim.1         HWTRACK_BUILD_TOOLS (a developer
#                                                  tool for the host, not the board)
#   <prefix>/libexec/hwtrackd/hwclass-devnode      example class script
#                                                  HWTRACK_INSTALL_CLASS_SCRIPT
#   <prefix>/share/man/man8/hwtrackd.8
#   <prefix>/lib/systemd/system/hwtrackd.service   HWTRACK_INSTALL_SYSTEMD
#   <prefix>/lib/systemd/system/rdbd.service       and HWTRACK_BUILD_RDBD
#   <sysconfdir>/init.d/hwtrackd                   HWTRACK_INSTALL_SYSV (SysV/BusyBox)
#                                                  or HWTRACK_INSTALL_OPENWRT (procd)
#   <sysconfdir>/init.d/rdbd                       and HWTRACK_BUILD_RDBD
#   <prefix>/share/hwtrackd/init-functions         what the init scripts share
#   <sysconfdir>/default/hwtrackd                  settings of the units and the
#   <sysconfdir>/default/rdbd                      SysV scripts (not with OpenWrt,
#                                                  whose scripts read UCI); rdbd's
#                                                  with HWTRACK_BUILD_RDBD
#
# With the prefix /usr GNUInstallDirs puts the sysconfdir at /etc, as init
# systems expect.
include(GNUInstallDirs)

option(HWTRACK_INSTALL_SYSTEMD "Install the systemd unit" ON)
option(HWTRACK_INSTALL_SYSV "Install the SysV/BusyBox init script as <sysconfdir>/init.d/hwtrackd" ON)
option(HWTRACK_INSTALL_OPENWRT "Install the OpenWrt procd init script as <sysconfdir>/init.d/hwtrackd" OFF)
# Packaged on its own by the firmware recipes: it needs an rdb client,
# which a board whose RDB driver brings its own may not take from here.
option(HWTRACK_INSTALL_CLASS_SCRIPT "Install the example class script hwclass-devnode" ON)
set(HWTRACK_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
  "Directory of systemd system units, relative to the prefix or absolute")

if(HWTRACK_INSTALL_SYSV AND HWTRACK_INSTALL_OPENWRT)
  message(FATAL_ERROR "HWTRACK_INSTALL_SYSV and HWTRACK_INSTALL_OPENWRT both install "
    "init.d/hwtrackd: switch one of them off")
endif()

set(_hwtrack_programs hwtrackd hwtrack-explain)
if(HWTRACK_BUILD_RDBD)
  list(APPEND _hwtrack_programs rdbd)
endif()
if(HWTRACK_BUILD_RDB_CLIENT)
  list(APPEND _hwtrack_programs rdb)
endif()

# The in-project libraries an installed program is built from, so that
# options meant for shipped binaries reach every object in them.
function(_hwtrack_link_closure out)
  set(seen)
  set(todo ${ARGN})
  while(todo)
    list(POP_FRONT todo tgt)
    if(NOT TARGET ${tgt} OR tgt IN_LIST seen)
      continue()
    endif()
    get_target_property(imported ${tgt} IMPORTED)
    get_target_property(aliased ${tgt} ALIASED_TARGET)
    if(imported OR aliased)
      continue()
    endif()
    list(APPEND seen ${tgt})
    get_target_property(type ${tgt} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(deps ${tgt} LINK_LIBRARIES)
      if(deps)
        list(APPEND todo ${deps})
      endif()
    endif()
    get_target_property(ideps ${tgt} INTERFACE_LINK_LIBRARIES)
    if(ideps)
      list(APPEND todo ${ideps})
    endif()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

_hwtrack_link_closure(_hwtrack_shipped ${_hwtrack_programs})

# The build and source folders must not end up in the shipped binaries
# (debug information, __FILE__ in assertions): firmware build systems check
# their images for the paths of the build host.
foreach(tgt ${_hwtrack_shipped})
  get_target_property(type ${tgt} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    set_property(TARGET ${tgt} APPEND PROPERTY COMPILE_OPTIONS
      "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/="
      "-ffile-prefix-map=${PROJECT_BINARY_DIR}=.")
  endif()
endforeach()

if(HWTRACK_STATIC)
  foreach(tgt ${_hwtrack_programs})
    set_property(TARGET ${tgt} APPEND PROPERTY LINK_OPTIONS -static)
  endforeach()
endif()

install(TARGETS hwtrackd hwtrack-explain RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/hwtrackd.8 ${PROJECT_SOURCE_DIR}/man/hwtrack-explain.8
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
if(HWTRACK_BUILD_RDBD)
  install(TARGETS rdbd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/man/rdbd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()
if(HWTRACK_BUILD_RDB_CLIENT)
  install(TARGETS rdb RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/man/rdb.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

if(TARGET boardsim)
  install(TARGETS boardsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/man/boardsim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The packaging files name the programs by their places under the prefix
# /usr, so they can be used straight from the source tree; for any other
# layout they are installed with those paths rewritten.
function(_hwtrack_install_with_paths src dest_dir dest_name)
  cmake_parse_arguments(A "PROGRAM" "" "" ${ARGN})
  file(READ ${PROJECT_SOURCE_DIR}/${src} text)
  foreach(pair
      "/usr/sbin/hwtrackd|${CMAKE_INSTALL_FULL_SBINDIR}/hwtrackd"
      "/usr/sbin/rdbd|${CMAKE_INSTALL_FULL_SBINDIR}/rdbd"
      "/usr/bin/rdb|${CMAKE_INSTALL_FULL_BINDIR}/rdb"
      "/usr/libexec/hwtrackd/|${CMAKE_INSTALL_FULL_LIBEXECDIR}/hwtrackd/"
      "/usr/share/hwtrackd/|${CMAKE_INSTALL_FULL_DATADIR}/hwtrackd/"
      "/etc/default/hwtrackd|${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/hwtrackd"
      "/etc/default/rdbd|${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/rdbd")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    string(REPLACE "${from}" "${to}" text "${text}")
  endforeach()
  set(out ${PROJECT_BINARY_DIR}/${src})
  # Written through a copy so that an unchanged file keeps its time stamp.
  file(WRITE ${out}.tmp "${text}")
  configure_file(${out}.tmp ${out} COPYONLY)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/${src})
  if(A_PROGRAM)
    install(PROGRAMS ${out} DESTINATION ${dest_dir} RENAME ${dest_name})
  else()
    install(FILES ${out} DESTINATION ${dest_dir} RENAME ${dest_name})
  endif()
endfunction()

if(HWTRACK_INSTALL_CLASS_SCRIPT)
  _hwtrack_install_with_paths(packaging/hwclass-devnode.sh
    ${CMAKE_INSTALL_LIBEXECDIR}/hwtrackd hwclass-devnode PROGRAM)
endif()

# The services: hwtrackd, and rdbd where it is built.
set(_hwtrack_services hwtrackd)
if(HWTRACK_BUILD_RDBD)
  list(APPEND _hwtrack_services rdbd)
endif()
foreach(service ${_hwtrack_services})
  if(HWTRACK_INSTALL_SYSTEMD)
    _hwtrack_install_with_paths(packaging/systemd/${service}.service
      ${HWTRACK_SYSTEMD_UNITDIR} ${service}.service)
  endif()
  if(HWTRACK_INSTALL_SYSV)
    _hwtrack_install_with_paths(packaging/sysv/${service}
      ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d ${service} PROGRAM)
  endif()
  if(HWTRACK_INSTALL_OPENWRT)
    _hwtrack_install_with_paths(packaging/openwrt/hwtrackd/files/${service}.init
      ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d ${service} PROGRAM)
  else()
    _hwtrack_install_with_paths(packaging/default/${service}
      ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default ${service})
  endif()
endforeach()
if(HWTRACK_INSTALL_SYSV OR HWTRACK_INSTALL_OPENWRT)
  _hwtrack_install_with_paths(packaging/sysv/init-functions
    ${CMAKE_INSTALL_DATADIR}/hwtrackd init-functions)
endif()
