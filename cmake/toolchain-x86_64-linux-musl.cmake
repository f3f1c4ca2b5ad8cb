# SPDX-License-Identifier: MIT
# A static x86-64 build against musl, from Debian 12's packages (musl-dev,
# clang-14, libstdc++-12-dev), so that every translation unit is compiled
# with musl's headers and every program linked with musl's libc.a and run:
#   cmake -S . -B build-musl -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-linux-musl.cmake
#
# Debian has no C++ library built for musl. clang compiles with musl's C
# headers and GCC 12's libstdc++ headers, and the programs link libstdc++.a
# and libgcc of the glibc build. The few glibc names those use and musl
# lacks come from cmake/musl/glibcxx-compat.h (force-included) and
# cmake/musl/glibcxx-compat.c (compiled here, linked into every program).
# The kernel's UAPI headers (linux/, asm/), which musl does not ship, are
# the system's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HWTRACK_MUSL_TRIPLET x86_64-linux-musl)
set(HWTRACK_MUSL_INCLUDE /usr/include/${HWTRACK_MUSL_TRIPLET})
set(HWTRACK_MUSL_LIB /usr/lib/${HWTRACK_MUSL_TRIPLET})
set(HWTRACK_MUSL_GCC_VERSION 12)
set(HWTRACK_MUSL_GCC_LIB /usr/lib/gcc/x86_64-linux-gnu/${HWTRACK_MUSL_GCC_VERSION})

set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${HWTRACK_MUSL_TRIPLET})
set(CMAKE_CXX_COMPILER_TARGET ${HWTRACK_MUSL_TRIPLET})

foreach(required ${HWTRACK_MUSL_INCLUDE}/stdio.h ${HWTRACK_MUSL_LIB}/libc.a
    ${HWTRACK_MUSL_GCC_LIB}/libstdc++.a /usr/include/c++/${HWTRACK_MUSL_GCC_VERSION})
  if(NOT EXISTS ${required})
    message(FATAL_ERROR "musl build: ${required} missing (apt-get install musl-dev clang-14 "
      "libstdc++-${HWTRACK_MUSL_GCC_VERSION}-dev)")
  endif()
endforeach()

execute_process(COMMAND ${CMAKE_C_COMPILER} -print-resource-dir
  OUTPUT_VARIABLE clang_resource OUTPUT_STRIP_TRAILING_WHITESPACE)

# The compiler checks of project() configure their own folders, so each
# gets its copy of the kernel header links and of the compatibility object.
set(extra ${CMAKE_BINARY_DIR}/musl-extra)
if(NOT EXISTS ${extra}/glibcxx-compat.o)
  file(MAKE_DIRECTORY ${extra}/include)
  foreach(dir linux asm-generic x86_64-linux-gnu/asm)
    get_filename_component(name ${dir} NAME)
    file(CREATE_LINK /usr/include/${dir} ${extra}/include/${name} SYMBOLIC)
  endforeach()
  execute_process(
    COMMAND ${CMAKE_C_COMPILER} --target=${HWTRACK_MUSL_TRIPLET} -nostdinc
      -isystem ${clang_resource}/include -isystem ${HWTRACK_MUSL_INCLUDE} -O2 -Wall -Werror
      -c ${CMAKE_CURRENT_LIST_DIR}/musl/glibcxx-compat.c -o ${extra}/glibcxx-compat.o
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "musl build: cmake/musl/glibcxx-compat.c does not compile")
  endif()
endif()

set(c_includes "-nostdinc -isystem ${clang_resource}/include -isystem ${HWTRACK_MUSL_INCLUDE} -isystem ${extra}/include")
set(CMAKE_C_FLAGS_INIT "${c_includes}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -include ${CMAKE_CURRENT_LIST_DIR}/musl/glibcxx-compat.h \
-isystem /usr/include/c++/${HWTRACK_MUSL_GCC_VERSION} \
-isystem /usr/include/x86_64-linux-gnu/c++/${HWTRACK_MUSL_GCC_VERSION} ${c_includes}")

# Static, with musl's start files and libc.a in place of glibc's.
set(link_begin "${HWTRACK_MUSL_LIB}/crt1.o ${HWTRACK_MUSL_LIB}/crti.o ${HWTRACK_MUSL_GCC_LIB}/crtbeginT.o")
set(link_end "${HWTRACK_MUSL_GCC_LIB}/libstdc++.a ${extra}/glibcxx-compat.o ${HWTRACK_MUSL_GCC_LIB}/libgcc_eh.a \
-Wl,--start-group ${HWTRACK_MUSL_LIB}/libc.a ${HWTRACK_MUSL_GCC_LIB}/libgcc.a -Wl,--end-group \
${HWTRACK_MUSL_GCC_LIB}/crtend.o ${HWTRACK_MUSL_LIB}/crtn.o")
set(wraps "-Wl,--wrap=newlocale,--wrap=__newlocale,--wrap=duplocale,--wrap=__duplocale")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -nostdlib ${wraps}")
foreach(lang C CXX)
  set(CMAKE_${lang}_LINK_EXECUTABLE "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> \
<LINK_FLAGS> ${link_begin} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${link_end}")
endforeach()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
