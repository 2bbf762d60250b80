# SPDX-License-Identifier: ISC
# musl, the C library of OpenWrt, on this machine's CPU: Debian's musl-tools
# (musl-gcc's driver file) for C, and this machine's g++ on musl's headers
# for C++. Only the header-only parts of libstdc++ may be used (the programs
# and platform libraries are built without exceptions and RTTI): an empty
# libstdc++.a comes first in the link path, so any use of the C++ run time is
# a link error rather than a dependency.
#
# json-c comes from RAVEL_CROSS_PREFIX (a cache variable or the environment
# variable of that name), where scripts/cross.sh musl builds Debian's source.
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/musl.cmake \
#         -DRAVEL_CROSS_PREFIX=/opt/ravel-cross/musl -DRAVEL_TESTS=OFF -DRAVEL_TOOLS=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_HOST_SYSTEM_PROCESSOR})

execute_process(COMMAND gcc -dumpmachine OUTPUT_VARIABLE gnu_triple OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND gcc -dumpversion OUTPUT_VARIABLE gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND gcc -print-file-name=include OUTPUT_VARIABLE gcc_include
  OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX REPLACE "-gnu.*$" "-musl" musl_triple "${gnu_triple}")
set(musl_lib /usr/lib/${musl_triple})
set(musl_include /usr/include/${musl_triple})
set(musl_driver_file ${musl_lib}/musl-gcc.specs)
if(NOT EXISTS ${musl_driver_file})
  message(FATAL_ERROR "no ${musl_driver_file}: install Debian's musl-tools")
endif()

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${musl_triple})

# musl-gcc's driver file replaces the system headers, start files and libraries. It
# is in the language flags, which reach compiles and links alike (once).
set(CMAKE_C_FLAGS_INIT "-specs ${musl_driver_file}")
# C++: that file's headers only reach the C compiler proper, so the header
# folders are given in full, libstdc++'s first (its <cstdlib> includes the
# next <stdlib.h>, musl's). The shim answers the glibc version tests in
# libstdc++'s glibc-configured headers.
set(cxx_include /usr/include/c++/${gcc_major})
set(CMAKE_CXX_FLAGS_INIT "-specs ${musl_driver_file} -nostdinc \
-include ${CMAKE_CURRENT_LIST_DIR}/musl/glibc_shim.h \
-isystem ${cxx_include} -isystem /usr/include/${gnu_triple}/c++/${gcc_major} \
-isystem ${cxx_include}/backward -isystem ${musl_include} -isystem ${gcc_include}")

# An empty libstdc++ ahead of the compiler's own.
set(no_cxx_runtime ${CMAKE_BINARY_DIR}/musl-no-libstdc++)
file(MAKE_DIRECTORY ${no_cxx_runtime})
file(WRITE ${no_cxx_runtime}/libstdc++.a "!<arch>\n")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-L${no_cxx_runtime}")
endforeach()

if(NOT RAVEL_CROSS_PREFIX AND DEFINED ENV{RAVEL_CROSS_PREFIX})
  set(RAVEL_CROSS_PREFIX $ENV{RAVEL_CROSS_PREFIX})
endif()
set(RAVEL_CROSS_PREFIX "${RAVEL_CROSS_PREFIX}" CACHE PATH "Prefix holding libraries built for musl")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RAVEL_CROSS_PREFIX)

# Libraries and headers from musl's tree and the prefix only, never glibc's.
set(CMAKE_FIND_ROOT_PATH ${musl_lib} ${musl_include})
set(pkg_dirs "")
if(RAVEL_CROSS_PREFIX)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${RAVEL_CROSS_PREFIX})
  set(pkg_dirs ${RAVEL_CROSS_PREFIX}/lib/pkgconfig)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${pkg_dirs}")
set(ENV{PKG_CONFIG_PATH} "")
# The programs run here as they are, through musl's loader.
