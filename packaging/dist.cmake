# SPDX-License-Identifier: MIT
#
# The release: the commit checked out as <NAME>-<VERSION>.tar.gz, and the
# firmware recipes of packaging/ ready to drop into a Buildroot tree, a
# Yocto layer and an OpenWrt feed, each with the tarball's checksum added.
# The recipes live in the tree that the tarball is made of, so they cannot
# hold its checksum themselves.
#
#   cmake -DSRC=<source tree> -DOUT=<folder> -DNAME=hwtrackd -DVERSION=<x.y.z>
#         -P packaging/dist.cmake
#
# Run by `cmake --build build --target dist`; VERSION is the project's.
cmake_minimum_required(VERSION 3.20)

foreach(var SRC OUT NAME VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "dist: ${var} not given")
  endif()
endforeach()
set(base ${NAME}-${VERSION})
set(tarball ${OUT}/${base}.tar.gz)
set(pkg ${SRC}/packaging)

# fail_unless_has FILE TEXT: FILE holds TEXT, the version as the recipe
# writes it.
function(fail_unless_has file text)
  file(READ ${file} content)
  string(FIND "${content}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "dist: ${file} does not say \"${text}\"; "
      "CMakeLists.txt gives the version ${VERSION}")
  endif()
endfunction()

# The recipes name the version themselves; they must name this one.
set(bb ${pkg}/yocto/${NAME}_${VERSION}.bb)
if(NOT EXISTS ${bb})
  message(FATAL_ERROR "dist: no ${bb}: rename the Yocto recipe to the version ${VERSION}")
endif()
fail_unless_has(${pkg}/buildroot/${NAME}/${NAME}.mk "HWTRACKD_VERSION = ${VERSION}\n")
fail_unless_has(${pkg}/openwrt/${NAME}/Makefile "PKG_VERSION:=${VERSION}\n")

find_program(GIT git REQUIRED)
execute_process(COMMAND ${GIT} -C ${SRC} status --porcelain --untracked-files=no
  OUTPUT_VARIABLE changes RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dist: ${SRC} is not a git checkout")
endif()
if(changes)
  message(WARNING "dist: the tarball holds the commit checked out, "
    "without the changes not committed yet:\n${changes}")
endif()

file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
# git archive writes gzip without a time stamp and the files with the
# commit's time, so the same commit gives the same tarball.
execute_process(COMMAND ${GIT} -C ${SRC} archive --format=tar.gz --prefix=${base}/
    -o ${tarball} HEAD
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dist: git archive failed")
endif()
file(SHA256 ${tarball} sum)
file(WRITE ${tarball}.sha256 "${sum}  ${base}.tar.gz\n")

# Buildroot: the package folder, its hash file with the tarball's line.
file(COPY ${pkg}/buildroot/${NAME} DESTINATION ${OUT}/buildroot)
file(APPEND ${OUT}/buildroot/${NAME}/${NAME}.hash "sha256  ${sum}  ${base}.tar.gz\n")

# Yocto: the recipe with the checksum of its SRC_URI.
file(READ ${bb} text)
file(WRITE ${OUT}/yocto/${NAME}_${VERSION}.bb "${text}SRC_URI[sha256sum] = \"${sum}\"\n")

# OpenWrt: the feed's package folder, PKG_HASH after the source's URL.
file(COPY ${pkg}/openwrt/${NAME} DESTINATION ${OUT}/openwrt)
set(makefile ${OUT}/openwrt/${NAME}/Makefile)
file(READ ${makefile} text)
string(REGEX REPLACE "(\nPKG_SOURCE_URL:=[^\n]*\n)" "\\1PKG_HASH:=${sum}\n" text "${text}")
file(WRITE ${makefile} "${text}")

message(STATUS "dist: ${tarball}\n   sha256 ${sum}\n   recipes in ${OUT}/{buildroot,yocto,openwrt}")
