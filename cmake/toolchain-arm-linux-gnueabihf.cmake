# SPDX-License-Identifier: MIT
# Cross build for the board: 32-bit ARM, hard float, Debian's
# arm-linux-gnueabihf toolchain. The test programs run under qemu-arm with
# the target's libraries, so gtest discovery and ctest work as on the host:
#   cmake -S . -B build-arm -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(HWTRACK_ARM_TRIPLET arm-linux-gnueabihf)
set(HWTRACK_ARM_SYSROOT /usr/${HWTRACK_ARM_TRIPLET})

set(CMAKE_C_COMPILER ${HWTRACK_ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${HWTRACK_ARM_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH ${HWTRACK_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(HWTRACK_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(HWTRACK_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HWTRACK_QEMU_ARM} -L ${HWTRACK_ARM_SYSROOT})
endif()
